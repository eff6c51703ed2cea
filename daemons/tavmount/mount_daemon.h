// The mount daemon's devices and request dispatch: device 0 (control, read-only) and device 1
// (the disk that presents the mounted partition), each with its own queue served in order by
// one worker thread, over the daemon's own copy of the image state (one loaded image and one
// mounted partition, daemon-wide). Transport-free: the control socket and the FUSE file server
// call in here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "daemons/tavmount/protocol/mount_info.h"

namespace tav::mount {

// Who asked: the credentials image files are opened with while a PART_OPEN is served.
struct Caller {
  uint32_t pid = 0;
  uint32_t uid = 0;
  uint32_t gid = 0;
};

class MountDaemon {
 public:
  MountDaemon();   // creates both devices and starts their workers
  ~MountDaemon();  // stops the workers; unmounts
  MountDaemon(const MountDaemon&) = delete;
  MountDaemon& operator=(const MountDaemon&) = delete;

  // A control request to device `device` (0 or 1) with input `in` and room for `out_length`
  // bytes of output. Requests the table queues (PART_OPEN, PART_CLOSE) are served by the
  // device's worker in order with the others; the call returns when the request completed.
  Reply control(uint32_t device, uint32_t code, std::span<const uint8_t> in, uint32_t out_length,
                const Caller& caller);
  // Reads `length` bytes at byte `offset` of the mounted partition through device `device`.
  Reply read(uint32_t device, uint64_t offset, uint32_t length);
  // Writes are never stored: write-protected on device 0, "success" without effect on device 1.
  Reply write(uint32_t device, uint64_t offset, std::span<const uint8_t> data);

  // Sector count of the mounted partition (0 when none) and whether one is mounted.
  uint64_t mounted_sectors() const;
  bool media_present() const;

  // Reference counts reported by GET_REF_COUNTS; the FUSE server counts its open handles on
  // device 1 here, the control socket its connections on device 0.
  void add_reference(uint32_t device, int delta);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tav::mount
