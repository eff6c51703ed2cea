// Raw files: plain files (image volumes, scripts, lists) and devices opened by path and used
// through a descriptor with 64-bit positions. The image code reaches its volume files through
// these functions.
//
// Results: descriptors, byte counts and positions, or -1 on failure; the reason is then in errno
// and in tav::get_last_error() (an errno value). Any thread may call them; a descriptor is used
// by one thread at a time.
//
// Reporting: the plain forms (tav_file_open, tav_file_pos_write, tav_file_llseek,
// tav_file_get_position, tav_get_file_size, tav_file_close) also report a failure through the
// disk library's report (tav::disk::disk_report()), naming the file or the descriptor. The "try"
// forms report nothing: they are for callers that expect failures and handle them themselves
// (looking for a volume that may not exist, reading up to the end of a file) and that report
// in their own words; they only trace the failure, naming the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav::disk {

// Open flags: bit 0x2 read-write access, 0x100 create when missing, 0x200 truncate to 0 bytes.
// New files get mode 0644 (less the umask). Every descriptor is close-on-exec.
enum : int {
  kFileRead = 0,                    // an existing file, read only
  kFileReadWrite = 0x002,           // an existing file, read-write
  kFileReadWriteCreate = 0x102,     // read-write, created when missing
  kFileReadWriteTruncate = 0x302,   // read-write, created when missing, emptied when present
};

}  // namespace tav::disk

// Opens `name` with the flags above. Any other flag value, and create or truncate without
// read-write access, is refused with EINVAL; a directory is refused with EISDIR. Returns the
// descriptor or -1.
int tav_try_file_open(const char* name, int flags);
int tav_file_open(const char* name, int flags);

// Reads `length` bytes at the current position, retrying short reads and interruptions. Returns
// the bytes read (fewer than `length` only at the end of the file) or -1. `name` is only used
// to name the file in the trace (may be null).
int64_t tav_try_file_read(int fd, void* buffer, size_t length, const char* name);

// Writes `length` bytes at the current position, retrying short writes and interruptions.
// Returns `length` or -1 (ENOSPC when the device stops taking data).
int64_t tav_try_file_write(int fd, const void* buffer, size_t length, const char* name);

// Writes `length` bytes at byte `offset` without moving the current position. Returns `length`
// or -1.
int64_t tav_file_pos_write(int fd, uint64_t offset, const void* buffer, size_t length);

// Moves the current position: `whence` 0 from the start, 1 from the current position, 2 from the
// end. Returns the new position or -1 (EINVAL for another `whence` or a negative result).
int64_t tav_file_llseek(int fd, int64_t offset, int whence);

// The current position, or -1.
int64_t tav_file_get_position(int fd);

// Size in bytes of the file, or of the block device, behind `fd`; -1 on failure. The position
// does not move.
int64_t tav_get_file_size(int fd);

// Closes the descriptor. 0, or -1 (EBADF for a descriptor that is not open).
int tav_file_close(int fd);
