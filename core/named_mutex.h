// Named mutexes shared by the suite's processes ("BLOOM_Schedule_Data_Mutex",
// "Tavbloom_Log_Mutex", "TAV_WIN_GUI_Mutex", ...), kept as flock locks on files in the run
// directory. Core library (TavPub).
//
// Files: mutex `name` is the file run_dir() + lock_file_name(name), locked with LOCK_EX while
// held, and "<that>.ref", on which every open object keeps LOCK_SH so an opener can tell whether
// the mutex already existed. Both are created on first use with the mode TavGetSecurityAttributes
// gives (0600: the owner's alone, like the run directory that prepare_run_dir keeps private; set
// with fchmod so the umask cannot change it), as close-on-exec, never through a symbolic link,
// and never deleted: deleting a lock file would let
// two holders lock different files of the same name. The kernel drops a holder's locks when its
// process ends, however it ends.
//
// "Already existed" without a race: the opener takes an exclusive open-file-description record
// lock on byte 0 of the ".ref" file (waiting for other openers), then tries LOCK_EX|LOCK_NB on
// it: success means no other object has the mutex open. It then converts to LOCK_SH and only
// then drops the record lock. flock converts by unlocking and relocking, and the record lock
// keeps every other opener from probing in that gap. Closing needs no record lock; a closer that
// lets a probe succeed really was the last other holder.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/file_utils.h"

namespace tav {

// One open handle on a named mutex. Opening does not lock. Ownership is per thread, as with any
// mutex: the thread that locks must unlock, and may lock again while it holds the mutex (each
// lock needs its unlock). One object may be shared by threads (open and close excepted): a
// thread locking it waits for the holding thread as for any other process or object. Failures
// return false with an errno value in the thread's last error; nothing throws.
// Not copyable or movable; the destructor releases the mutex if the destroying thread holds it,
// and closes the files.
class NamedMutex {
 public:
  NamedMutex() = default;
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Opens mutex `name` (closing any mutex this object had open), preparing the run directory
  // (prepare_run_dir: created private, or refused when another user owns it) and creating the
  // lock files when missing. EINVAL for an empty name, ENAMETOOLONG for a name too long for a
  // file name, EPERM or ENOTDIR for a run directory that is not ours.
  bool open(std::string_view name);
  // Releases the mutex if this thread holds it and closes the files.
  void close();

  bool is_open() const { return lock_fd_.valid(); }
  // Whether another object (in any process) had the mutex open when this one opened it.
  bool already_existed() const { return already_existed_; }
  // The lock file's path; empty when not open.
  const std::string& path() const { return path_; }

  // Waits as long as it takes. EBADF when not open.
  bool lock();
  // Takes the mutex only if that needs no wait; EWOULDBLOCK when it is held elsewhere.
  bool try_lock();
  // Waits at most `timeout_ms` milliseconds (0: try once; negative: no limit); ETIMEDOUT when
  // the time ran out. The file lock has no timed wait, so it is polled, at intervals growing
  // from 1 ms to 20 ms.
  bool lock_for(int timeout_ms);
  // Releases one lock of the calling thread. EPERM when the calling thread does not hold it.
  bool unlock();

  // The file name for mutex `name`: '/', '\\' and NUL become '_', and a name of only "." or
  // ".." becomes underscores, so the name always denotes a file inside the run directory.
  static std::string lock_file_name(std::string_view name);

 private:
  // The calling thread already holds the mutex: count one more lock.
  bool relock_if_owner();
  // Called with thread_mu_ held: takes the file lock or gives thread_mu_ back.
  bool finish_lock(bool ok, int err);

  // Set by open() and cleared by close(), which callers do not run concurrently with use.
  UniqueFd lock_fd_;
  UniqueFd ref_fd_;
  std::string path_;
  bool already_existed_ = false;

  // thread_mu_ is held by the owning thread for as long as it holds the file lock; it keeps
  // the other threads sharing this object out. owner_ is atomic so any thread may check it;
  // depth_ is touched only by the owner.
  std::timed_mutex thread_mu_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
};

}  // namespace tav
