// File and directory helpers every module uses instead of calling the file system directly, and
// the shared attributes for named objects. Core library (TavPub), below every other layer.
//
// Paths are UTF-8. Each exported function returns 1 on success or 0 on failure and leaves the
// reason in the thread's last error (tav::get_last_error) as an errno value; a null path fails
// with EINVAL. All functions are safe to call from any thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tav {

// Owns one file descriptor and closes it when it goes; -1 holds nothing. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (errors from close are of no use here) and takes `fd`.
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// How named objects (the lock files behind tav::NamedMutex) are created. They live in the run
// directory, which is private to its user (prepare_run_dir), and are the owner's alone too: a
// lock file another user could open is a lock that user could hold against us.
struct NamedObjectAttributes {
  uint32_t length;     // sizeof(NamedObjectAttributes)
  uint32_t mode;       // permission bits a new named object gets, applied with fchmod after
                       // creation so the umask cannot change them: 0600 for lock files
  int inherit_handle;  // 0: descriptors of named objects are close-on-exec
};

// Creates `path` and every missing parent (relative paths are taken from the working
// directory). New directories get 0777 minus the umask; nothing existing is changed. True when
// `path` is a directory afterwards; `*created` (optional) tells whether this call made it. False
// with the reason in the last error: EEXIST when a non-directory is at `path`, ENOTDIR when one
// is in place of a parent, EINVAL for an empty path, else the system's errno.
bool create_directories(const std::string& path, bool* created = nullptr);

// Reads the whole regular file at `path` (symbolic links followed) into *bytes, and its status
// into *st when `st` is not null. The open never blocks, so a FIFO is refused, not waited on.
// Returns 0, or the errno value of the failure: ENOENT for a missing file, EISDIR for a
// directory, EINVAL for anything else that is not a regular file. *bytes is cleared first.
int read_whole_file(const std::string& path, std::string* bytes, struct stat* st = nullptr);

// Replaces the file at `path` by one holding `bytes`, so that readers and a crash find either the
// old or the new contents: a temporary file beside the target is written, synced and renamed
// over it, then the directory is synced (a directory that refuses the sync does not undo the
// save). A symbolic link at `path` is followed, so the link stays and its target gets the new
// contents. An existing file keeps its permission bits (the umask does not narrow them) and, when
// the caller is root, its owner and group (best effort: FAT refuses both); a new file gets 0666
// minus the umask. A file without any write bit is read-only here, for root too.
// Returns 0, or the errno value of the failure (EISDIR for a directory, EACCES for a read-only
// file); the old file is then untouched and no temporary file is left. *before_write (optional)
// is set on failure to whether nothing was written yet: the target was refused or the temporary
// file could not be created. Safe from any thread; concurrent writers of one path each replace
// the file whole, the last rename wins.
int write_file_atomically(const std::string& path, std::string_view bytes, bool* before_write = nullptr);

}  // namespace tav

// Rebuilds and returns the module-wide record for named objects (length, mode 0600, not
// inheritable). The record lives for the whole process; callers only read it. Any field a
// caller changed is put back on the next call. Never null.
const tav::NamedObjectAttributes* TavGetSecurityAttributes();

// 1 when `path` (symbolic links followed) is a directory. A non-directory gives 0 with ENOTDIR;
// a missing path gives 0 with the system's errno (ENOENT, EACCES, ...).
int TavIsDir(const char* path);

// 1 when `path` (links followed) exists and is not a directory. A directory gives 0 with EISDIR;
// a missing path gives 0 with the system's errno.
int TavIsFile(const char* path);

// Sets `size` to 0, then to the size in bytes of the file at `path`, rounded up to the next
// multiple of `unit` when `unit` is not 0 (a size already a multiple, 0 included, stays). 0 when
// the path cannot be examined (errno) or is a directory (EISDIR).
int TavGetFileSize(const char* path, uint64_t& size, unsigned unit);

// 1 when `path` is an existing non-directory that this process can open for reading (opened and
// closed at once, without blocking on a FIFO or becoming a controlling terminal); else 0 with the
// reason (EISDIR for a directory).
int TavIsFileReadable(const char* path);

// Deletes the file or symbolic link (the link itself) at `path`, whatever its permission bits;
// only the containing directory's permissions matter. Directories are refused with EISDIR.
int TavRemoveFile(const char* path);

// Deletes the directory `path` after stripping trailing tabs, CR, LF, blanks and '/'.
// Refused with EINVAL, before anything is touched: an empty result, a relative path, and any
// path that resolves to "/" (e.g. "/", "//", "/tmp/.."). The last component is never followed:
// a symbolic link there gives ENOTDIR.
// `recursive` 0: removes the directory, which must be empty (ENOTEMPTY otherwise).
// `recursive` not 0: removes the directory and everything below it. Symbolic links are deleted
// as links, never followed. Directories lacking owner read/write/search permission get it so
// their entries can be deleted. A directory below the tree that is a mount point (another file
// system, or a bind mount of the same one) is left untouched with everything in it; the call
// then deletes all it can and fails with EXDEV. Any other failure also lets the walk go on, and
// the first error is reported.
int TavDeleteDir(const char* path, int recursive);

// Creates the directory `path` with every missing parent. An existing directory is success.
// When `mode` is not 0 the directory's permission bits are set to `mode & 07777` afterwards
// (also when it already existed); `mode` 0 leaves them as created (0777 minus the umask).
// On success the last error is 0 when the directory was created and EEXIST when it was already
// there. An existing non-directory at `path` fails with EEXIST (it is not a directory to use);
// other failures carry the system's errno.
int TavCreateDir(const char* path, unsigned mode);
