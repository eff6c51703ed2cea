// The control socket of the mount daemon: a Unix stream socket; each request is one frame and
// gets one reply frame. Only root may connect (checked with SO_PEERCRED).
//
// Request frame (little-endian):  u32 magic "TAVM" (0x4D564154), u32 device, u32 code,
//                                 u32 in_length, u32 out_length, then in_length bytes.
// Reply frame:                    u32 magic, u32 status, u64 information, u32 out_bytes, then
//                                 out_bytes bytes (at most the request's out_length).
// in_length and out_length are at most kMaxControlBytes; a frame breaking these rules closes
// the connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/mount/mount_driver.h"
#include "core/status.h"

namespace tav::mount {

constexpr uint32_t kControlMagic = 0x4D564154;
constexpr uint32_t kMaxControlBytes = 65536;

// Where the daemon listens: "<run dir>/tavmount.sock" (core/program_dir.h run_dir()).
std::string control_socket_path();

// Client side: connects to `socket_path`, sends one request and reads its reply.
Status control_request(const std::string& socket_path, uint32_t device, uint32_t code,
                       const std::vector<uint8_t>& in, uint32_t out_length, Reply* reply);

}  // namespace tav::mount
