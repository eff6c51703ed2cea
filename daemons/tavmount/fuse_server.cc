// The read-only FUSE file system of the mount daemon (see fuse_server.h), on libfuse3's
// low-level interface: inode 1 is the root directory, inode 2 the served file.
#define FUSE_USE_VERSION 312
#include "daemons/tavmount/fuse_server.h"

#include <fuse3/fuse_lowlevel.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "daemons/tavmount/protocol/control_protocol.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "core/sector.h"

namespace tav::mount {
namespace {

constexpr fuse_ino_t kRootIno = FUSE_ROOT_ID;
constexpr fuse_ino_t kFileIno = 2;
// The signal request_exit() sends to the loop's thread to get it out of its wait.
constexpr int kWakeSignal = SIGUSR2;

void ignore_signal(int) {}

}  // namespace

// Threads: `daemon` and `session` are set before the loop runs and constant while it does.
// `mu` guards the loop state below it.
struct FuseServer::Impl {
  MountDaemon* daemon = nullptr;
  time_t start_time = ::time(nullptr);  // the times the file system shows
  fuse_session* session = nullptr;
  bool mounted = false;

  std::mutex mu;
  std::condition_variable loop_left;
  bool running = false;         // guarded by mu
  bool exit_requested = false;  // guarded by mu
  pthread_t loop_thread{};      // guarded by mu; valid while running

  static Impl* of(fuse_req_t req) { return static_cast<Impl*>(fuse_req_userdata(req)); }

  uint64_t file_bytes() const { return daemon->mounted_sectors() * kSectorSize; }

  struct stat attributes(fuse_ino_t ino) const {
    struct stat st {};
    st.st_ino = ino;
    st.st_uid = 0;
    st.st_gid = 0;
    st.st_atime = st.st_mtime = st.st_ctime = start_time;
    if (ino == kRootIno) {
      st.st_mode = S_IFDIR | 0555;
      st.st_nlink = 2;
    } else {
      st.st_mode = S_IFREG | 0444;
      st.st_nlink = 1;
      st.st_size = off_t(file_bytes());
      st.st_blksize = 4096;
      st.st_blocks = blkcnt_t(st.st_size / 512);
    }
    return st;
  }

  // FUSE operations. None lets an exception out to libfuse: a failed allocation becomes ENOMEM.
  static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    try {
      if (parent != kRootIno || std::strcmp(name, kServedFileName) != 0) {
        fuse_reply_err(req, ENOENT);
        return;
      }
      fuse_entry_param entry{};
      entry.ino = kFileIno;
      entry.attr = of(req)->attributes(kFileIno);
      entry.attr_timeout = 0;  // the size changes with every mount
      entry.entry_timeout = 3600;
      fuse_reply_entry(req, &entry);
    } catch (...) {
      fuse_reply_err(req, ENOMEM);
    }
  }

  static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    if (ino != kRootIno && ino != kFileIno) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    const struct stat st = of(req)->attributes(ino);
    fuse_reply_attr(req, &st, 0);
  }

  static void refuse_setattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
  }

  static void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    if (ino != kRootIno) {
      fuse_reply_err(req, ENOTDIR);
      return;
    }
    try {
      struct Entry {
        const char* name;
        fuse_ino_t ino;
        mode_t mode;
      };
      static constexpr Entry kEntries[] = {
          {".", kRootIno, S_IFDIR}, {"..", kRootIno, S_IFDIR}, {kServedFileName, kFileIno, S_IFREG}};
      std::vector<char> buffer(size);
      size_t used = 0;
      for (off_t i = std::max<off_t>(offset, 0); i < off_t(std::size(kEntries)); ++i) {
        struct stat st {};
        st.st_ino = kEntries[i].ino;
        st.st_mode = kEntries[i].mode;
        const size_t need = fuse_add_direntry(req, buffer.data() + used, size - used, kEntries[i].name,
                                              &st, i + 1);
        if (need > size - used) break;
        used += need;
      }
      fuse_reply_buf(req, buffer.data(), used);
    } catch (...) {
      fuse_reply_err(req, ENOMEM);
    }
  }

  static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    if (ino == kRootIno) {
      fuse_reply_err(req, EISDIR);
      return;
    }
    if (ino != kFileIno) {
      fuse_reply_err(req, ENOENT);
      return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
      fuse_reply_err(req, EROFS);
      return;
    }
    // Cached pages are dropped when the partition changes (media_changed), so they may outlive
    // a close; no keep_cache means each open starts from a clean cache anyway.
    fi->keep_cache = 0;
    of(req)->daemon->add_reference(1, 1);
    if (fuse_reply_open(req, fi) != 0) {
      // The opener is gone (interrupted): no release will follow.
      of(req)->daemon->add_reference(1, -1);
    }
  }

  static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    if (ino == kFileIno) of(req)->daemon->add_reference(1, -1);
    fuse_reply_err(req, 0);
  }

  static void read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t offset, fuse_file_info*) {
    if (ino != kFileIno) {
      fuse_reply_err(req, EISDIR);
      return;
    }
    try {
      Impl* self = of(req);
      if (!self->daemon->media_present()) {
        fuse_reply_err(req, ENOMEDIUM);
        return;
      }
      const uint64_t end = self->file_bytes();
      if (offset < 0 || uint64_t(offset) >= end || size == 0) {
        fuse_reply_buf(req, nullptr, 0);
        return;
      }
      const uint32_t length = uint32_t(std::min<uint64_t>({size, end - uint64_t(offset), UINT32_MAX}));
      const Reply reply = self->daemon->read(1, uint64_t(offset), length);
      if (reply.status == STATUS_NO_MEDIA_IN_DEVICE) {
        fuse_reply_err(req, ENOMEDIUM);
      } else if (reply.status != STATUS_SUCCESS || reply.out.size() < length) {
        fuse_reply_err(req, EIO);
      } else {
        fuse_reply_buf(req, reinterpret_cast<const char*>(reply.out.data()), length);
      }
    } catch (...) {
      fuse_reply_err(req, ENOMEM);
    }
  }

  static void refuse_write(fuse_req_t req, fuse_ino_t, const char*, size_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
  }
  static void refuse_create(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
  }
  static void refuse_mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
    fuse_reply_err(req, EROFS);
  }
  static void refuse_mkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) { fuse_reply_err(req, EROFS); }
  static void refuse_remove(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
  static void refuse_rename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
    fuse_reply_err(req, EROFS);
  }
  static void refuse_fallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
  }

  static fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.setattr = refuse_setattr;
    ops.readdir = readdir;
    ops.open = open;
    ops.release = release;
    ops.read = read;
    ops.write = refuse_write;
    ops.create = refuse_create;
    ops.mknod = refuse_mknod;
    ops.mkdir = refuse_mkdir;
    ops.unlink = refuse_remove;
    ops.rmdir = refuse_remove;
    ops.rename = refuse_rename;
    ops.fallocate = refuse_fallocate;
    return ops;
  }
};

FuseServer::FuseServer(MountDaemon* daemon) : impl_(std::make_unique<Impl>()) { impl_->daemon = daemon; }

FuseServer::~FuseServer() {
  unmount();
  if (impl_->session != nullptr) fuse_session_destroy(impl_->session);
}

Status FuseServer::mount(const std::string& dir, bool debug) {
  if (impl_->session != nullptr) return Status::invalid_argument("the FUSE file system is already set up");
  // Read-only for the kernel as well: writes fail before they reach the daemon. The daemon runs
  // as root, so only root can reach the file (no allow_other).
  const char* argv[] = {"tavmount", "-o", "ro,default_permissions,fsname=tavmount,subtype=tavmount", "-d"};
  fuse_args args = FUSE_ARGS_INIT(debug ? 4 : 3, const_cast<char**>(argv));
  const fuse_lowlevel_ops ops = Impl::operations();
  impl_->session = fuse_session_new(&args, &ops, sizeof ops, impl_.get());
  fuse_opt_free_args(&args);  // parsing may have copied the arguments
  if (impl_->session == nullptr) return Status::io_error("cannot create the FUSE session");
  if (fuse_session_mount(impl_->session, dir.c_str()) != 0) {
    fuse_session_destroy(impl_->session);
    impl_->session = nullptr;
    return Status::io_error("cannot mount the FUSE file system at " + dir);
  }
  impl_->mounted = true;
  return Status::ok();
}

Status FuseServer::run() {
  if (!impl_->mounted) return Status::invalid_argument("the FUSE file system is not mounted");
  struct sigaction action {};
  action.sa_handler = ignore_signal;  // no SA_RESTART: the loop's wait must return EINTR
  sigemptyset(&action.sa_mask);
  ::sigaction(kWakeSignal, &action, nullptr);
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, kWakeSignal);
  pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);

  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->exit_requested) return Status::ok();
    impl_->running = true;
    impl_->loop_thread = pthread_self();
  }
  fuse_loop_config* config = fuse_loop_cfg_create();
  int rc = -1;
  if (config != nullptr) {
    fuse_loop_cfg_set_clone_fd(config, 0);
    fuse_loop_cfg_set_max_threads(config, 8);
    rc = fuse_session_loop_mt(impl_->session, config);
    fuse_loop_cfg_destroy(config);
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->running = false;
  }
  impl_->loop_left.notify_all();
  if (config == nullptr) return Status::out_of_memory("cannot configure the FUSE loop");
  // An exit on request or an unmount from outside both end the loop normally.
  return rc == 0 ? Status::ok() : Status::io_error("the FUSE loop failed: " + std::string(std::strerror(rc < 0 ? -rc : rc)));
}

void FuseServer::request_exit() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->exit_requested = true;
  if (impl_->session == nullptr) return;
  fuse_session_exit(impl_->session);
  // The loop checks the exit flag only when its wait is interrupted; a signal that lands just
  // before it starts waiting is lost, so keep waking it until it has left.
  while (impl_->running) {
    pthread_kill(impl_->loop_thread, kWakeSignal);
    impl_->loop_left.wait_for(lock, std::chrono::milliseconds(50), [this] { return !impl_->running; });
  }
}

void FuseServer::unmount() {
  if (!impl_->mounted) return;
  fuse_session_unmount(impl_->session);
  impl_->mounted = false;
}

void FuseServer::media_changed() {
  if (!impl_->mounted) return;
  // ENOENT only means the kernel holds nothing of the file yet.
  (void)fuse_lowlevel_notify_inval_inode(impl_->session, kFileIno, 0, 0);
}

}  // namespace tav::mount
