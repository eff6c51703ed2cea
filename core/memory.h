// Zero-filling allocation shared by every module, its string duplicates, and traced allocation
// with a leak report. Blocks from any of these are freed with libtavpub_xfree (traced ones with
// libtavpub_debug_xfree).
#pragma once

#include <cstddef>

// Zero-filled block of `size` bytes from the process heap, or null (last error ENOMEM). A size
// of 0 still gives a distinct block, so null always means out of memory.
void* libtavpub_xmalloc(size_t size);
// Frees a block; null is ignored.
void libtavpub_xfree(void* block);

// New zero-terminated copies. A null argument gives a new empty string; null only when memory
// runs out. Wide strings are UTF-16 (char16_t), used where a file format stores UTF-16.
char16_t* libtavpub_strdup(const char16_t* text);
char* libtavpub_strdupA(const char* text);

// Traced allocation: like libtavpub_xmalloc, and records (address, size, file, line) in a
// process-wide list, newest first. `file` is UTF-8 and copied; null gives an empty name. When the
// record cannot be allocated the block is freed and null is returned. All traced functions are
// safe for concurrent use (one mutex guards the list).
void* libtavpub_debug_xmalloc(size_t size, const char* file, long line);
// Removes every record of that address and frees the block.
void libtavpub_debug_xfree(void* block);
char16_t* libtavpub_debug_strdup(const char16_t* text, const char* file, long line);
char* libtavpub_debug_strdupA(const char* text, const char* file, long line);

// Null when no traced block is live; else a new buffer of 20480 UTF-16 characters (40960 bytes)
// holding "\nMemory Leakage:  File:%s, Line:%ld, Size:%ld" for each live record from the newest,
// a line being added only while the text holds fewer than 19456 characters. A line that does not
// fit in what is left is cut (never inside a surrogate pair); the text is always zero-terminated.
// Free it with libtavpub_xfree.
char16_t* libtavpub_print_tracemem();
// Frees every live traced block and its record, and empties the list. Pointers to those blocks
// held anywhere become invalid.
void libtavpub_free_tracemem();

namespace tav {

// Grows or shrinks a block from libtavpub_xmalloc to `new_size` bytes, zero-filling the bytes
// past `old_size`. On failure the old block is untouched and null is returned. Large blocks are
// remapped by the C library rather than copied, which keeps linear growth of big arrays cheap.
void* xrealloc_zeroed(void* block, size_t old_size, size_t new_size);

}  // namespace tav
