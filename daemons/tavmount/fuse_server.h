// The mount daemon's FUSE file system: a read-only directory holding one regular file,
// kServedFileName ("disk1"), whose bytes are the mounted partition read through
// MountDaemon::read on device 1. Its size is the partition's size, 0 while nothing is mounted;
// reads then fail with ENOMEDIUM, and a read the daemon cannot complete fails with EIO. Writes,
// truncation and creating anything fail with EROFS (the mount itself is read-only too). Each
// open handle of the file holds one reference of device 1.
#pragma once

#include <memory>
#include <string>

#include "core/status.h"
#include "daemons/tavmount/mount_daemon.h"

namespace tav::mount {

// Threads: mount(), run(), unmount() and the destructor belong to one owning thread (run() also
// drives libfuse's worker threads, which call into the daemon). request_exit() and
// media_changed() may be called from any other thread, never from a signal handler.
class FuseServer {
 public:
  // `daemon` must outlive this object.
  explicit FuseServer(MountDaemon* daemon);
  ~FuseServer();  // unmounts when still mounted
  FuseServer(const FuseServer&) = delete;
  FuseServer& operator=(const FuseServer&) = delete;

  // Mounts the file system read-only at the existing directory `dir` (this process must be
  // allowed to mount: root, or fusermount3 for others). `debug` has libfuse print every
  // request it handles on stderr.
  Status mount(const std::string& dir, bool debug = false);

  // Serves requests with a multithreaded loop until request_exit() or until the file system is
  // unmounted from outside. Installs a handler that does nothing for SIGUSR2 and unblocks it on
  // this thread: request_exit() sends it to wake the loop.
  Status run();

  // Makes run() return (or, before run(), keeps it from serving). Returns once run() has left
  // its loop, or at once when it is not running.
  void request_exit();

  // Unmounts (after run() returned). Idempotent.
  void unmount();

  // Drops the kernel's cached data and size of the served file: called after the mounted
  // partition changed.
  void media_changed();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tav::mount
