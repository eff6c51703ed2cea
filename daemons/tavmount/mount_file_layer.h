// The mount daemon's file and memory layer under the image code: files opened read-only with the
// rights of the client that asked for the mount, every failure recorded through the daemon's
// error idiom (mount_report.h) with errno where a status is printed, and the memory calls with
// their leak report.
//
// Thread-safety: the file calls may be made from any thread; the open switches only the calling
// thread's file-system identity, and only for the time of the open. The volume credentials are
// process-wide (one mount at a time) and guarded.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tav::mount {

// Who volume files are opened as.
struct FileCredentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;  // supplementary groups
};

// The credentials of `uid` with primary group `gid` and the supplementary groups the user
// database gives that user (none when it has no entry).
FileCredentials credentials_of(uid_t uid, gid_t gid);

// Sets the credentials every volume open uses from now on (open_volume_as_client).
void set_volume_credentials(const FileCredentials& credentials);

// The storage's volume-open seam: opens `path` with tav_try_file_open as the volume credentials.
// When the daemon cannot take on those credentials (it does not run as root), it opens only for
// a client that is root or has the daemon's own user id; anything else is refused with EPERM.
// Returns a descriptor, or -1 with errno set.
int open_volume_as_client(const char* path);

// Opens an existing regular file for reading, whatever `mode` says. -1 on failure, with
// "file open: status = <errno in hex>" reported.
int tav_try_file_open(const char* path, int mode);
// Reads at the current position; the bytes read, 0 on failure ("file read: status = ...").
uint32_t tav_try_file_read(int handle, void* buffer, uint32_t length, const char* name);
// The current byte position, -1 on failure.
int64_t tav_file_get_position(int handle);
// The end-of-file position, -1 on failure.
int64_t tav_get_file_size(int handle);
// Only origin 0 (from the start) is taken; the new position, or -1.
int64_t tav_file_llseek(int handle, int64_t offset, int origin);
// Closes; 0.
int tav_file_close(int handle);
// 1 when the file opens (it is closed again), else 0.
int tav_file_exists(const char* path);

// Zero-filled block of `bytes` (null and a report on failure); free with mount_xfree.
void* mount_xmalloc(size_t bytes);
// A copy of `text` with its terminator; an empty string gives a one-unit block holding only the
// terminator. Null (and a report) for a null text or when memory runs out.
char16_t* mount_strdup(const char16_t* text);
void mount_xfree(void* block);

// Appends the blocks still allocated, one "\nMemory Leakage:  File:%s, Line:%ld, Size:%ld" line
// each, to `buffer` of `buffer_chars` characters (cut at its end, always terminated). Blocks carry
// no origin records here, so nothing is ever listed: returns 0 and leaves `buffer` unchanged.
int mount_leak_report(char* buffer, size_t buffer_chars);

}  // namespace tav::mount
