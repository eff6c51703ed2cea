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

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/status.h"
#include "daemons/tavmount/protocol/mount_info.h"

namespace tav::mount {

constexpr uint32_t kControlMagic = 0x4D564154;
constexpr uint32_t kMaxControlBytes = 65536;

// Header sizes of the two frames, in bytes.
constexpr size_t kRequestHeaderBytes = 20;  // magic, device, code, in_length, out_length
constexpr size_t kReplyHeaderBytes = 20;    // magic, status, information (u64), out_bytes

// Where the daemon listens: "<run dir>/tavmount.sock" (core/program_dir.h run_dir()).
std::string control_socket_path();

// Where the daemon mounts its FUSE file system by default: "<run dir>/tavmount". The mounted
// partition is the read-only regular file kServedFileName in it.
std::string default_fuse_dir();
constexpr const char* kServedFileName = "disk1";

// How long the client waits for the daemon to take a request and to answer it. Opening a
// partition loads its storage's catalogue, which takes seconds for a large storage; a daemon
// silent for this long is hung.
constexpr std::chrono::milliseconds kControlTimeout{120000};

// How long the rest of a request frame may take to arrive once its first byte has come. A
// connection may wait idle between frames, but never hold its reader inside a frame.
constexpr std::chrono::milliseconds kFrameTimeout{5000};

// Client side: connects to `socket_path`, sends one request and reads its reply, waiting at most
// `timeout` for the request to go out and at most `timeout` for the whole reply.
// Errors: kNotFound when no daemon answers there (no socket, or a stale one), kInvalidArgument
// for a request the frame rules refuse or a path too long for a socket address, kCorruption for
// a reply breaking the frame rules, kIoError for other socket failures (the message names the
// errno text; EACCES when a non-root caller may not reach the socket) and for a daemon that does
// not answer in time. A reply with any status (STATUS_ACCESS_DENIED included) is an ok result;
// the status is in `reply`.
Status control_request(const std::string& socket_path, uint32_t device, uint32_t code,
                       const std::vector<uint8_t>& in, uint32_t out_length, Reply* reply,
                       std::chrono::milliseconds timeout = kControlTimeout);

// One decoded request frame.
struct ControlRequest {
  uint32_t device = 0;
  uint32_t code = 0;
  uint32_t out_length = 0;
  std::vector<uint8_t> in;
};

// Frame codecs. The encoders return the whole frame; encode_request refuses (empty result)
// input longer than kMaxControlBytes or out_length above it; encode_reply sends at most
// `out_length` bytes of reply.out.
std::vector<uint8_t> encode_request(uint32_t device, uint32_t code, std::span<const uint8_t> in,
                                    uint32_t out_length);
std::vector<uint8_t> encode_reply(const Reply& reply, uint32_t out_length);

// Blocking frame I/O on a connected stream socket; EINTR is retried, SIGPIPE never raised.
// read_request waits as long as it takes for a frame to begin, then at most `frame_timeout` for
// the whole rest of it (kIoError when that runs out, however the bytes trickle in); read_reply
// gives the whole reply `timeout`. read_request: kNotFound when the peer closed before a frame
// began (a clean end of the connection); kCorruption for a bad magic, a length above
// kMaxControlBytes or a frame cut short; kIoError for a socket error. read_reply also refuses
// (kCorruption) out_bytes above `out_length`. The writers give kIoError when the peer is gone.
Status read_request(int fd, ControlRequest* request, std::chrono::milliseconds frame_timeout = kFrameTimeout);
Status write_reply(int fd, const Reply& reply, uint32_t out_length);
Status write_request(int fd, uint32_t device, uint32_t code, std::span<const uint8_t> in,
                     uint32_t out_length);
Status read_reply(int fd, uint32_t out_length, Reply* reply, std::chrono::milliseconds timeout = kControlTimeout);

}  // namespace tav::mount
