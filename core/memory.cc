// Zero-filling allocation on the process heap, string duplicates, and the traced allocation list
// behind the leak report. Core library (TavPub); every other module allocates through here.
#include "core/memory.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>

#include "core/last_error.h"
#include "core/text_convert.h"

namespace {

// One traced block. Records form a circular doubly linked list through a sentinel, newest right
// after the sentinel. `file` is an owned UTF-16 copy of the source file name (never null).
struct TraceRecord {
  TraceRecord* prev;
  TraceRecord* next;
  void* block;
  size_t size;
  char16_t* file;
  long line;
};

// The sentinel is constant-initialised, so the list is usable before any static constructor
// runs. All links are guarded by g_trace_mu; blocks and file names are freed outside it.
std::mutex g_trace_mu;
TraceRecord g_trace_head{&g_trace_head, &g_trace_head, nullptr, 0, nullptr, 0};

// Size of the leak report buffer in UTF-16 units, and the length at which no further line is
// started.
constexpr size_t kReportChars = 20480;
constexpr size_t kReportLineLimit = 0x4C00;  // 19456

void unlink_locked(TraceRecord* r) {
  r->prev->next = r->next;
  r->next->prev = r->prev;
  r->prev = r->next = nullptr;
}

void free_record(TraceRecord* r) {
  libtavpub_xfree(r->file);
  delete r;
}

// Copies `length` units of `text` plus a zero into a new block from `alloc` (traced) or, when
// `alloc` is null, from libtavpub_xmalloc. A length whose byte count would overflow size_t
// fails like an allocation.
template <typename Char>
Char* dup_chars(const Char* text, size_t length, void* (*alloc)(size_t, const char*, long),
                const char* file, long line) {
  if (length > std::numeric_limits<size_t>::max() / sizeof(Char) - 1) {
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
  const size_t bytes = (length + 1) * sizeof(Char);
  auto* copy = static_cast<Char*>(alloc ? alloc(bytes, file, line) : libtavpub_xmalloc(bytes));
  if (copy != nullptr && length != 0) std::memcpy(copy, text, length * sizeof(Char));
  return copy;  // zero-filled, so already terminated
}

size_t u16_length(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

char16_t* dup_wide(const char16_t* text, void* (*alloc)(size_t, const char*, long),
                   const char* file, long line) {
  static const char16_t kEmpty[1] = {0};
  if (text == nullptr) text = kEmpty;
  return dup_chars(text, u16_length(text), alloc, file, line);
}

char* dup_narrow(const char* text, void* (*alloc)(size_t, const char*, long), const char* file,
                 long line) {
  if (text == nullptr) text = "";
  return dup_chars(text, std::strlen(text), alloc, file, line);
}

// Owned UTF-16 copy of a source file name; an empty string for null. Null when memory runs out.
char16_t* copy_file_name(const char* file) {
  if (file == nullptr || *file == 0) return libtavpub_strdup(nullptr);
  try {
    const std::u16string wide = tav::utf8_to_utf16(file);
    return libtavpub_strdup(wide.c_str());
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
}

// Appends text to the fixed report buffer, never past `cap - 1` units so a zero always follows,
// and never ending on the first half of a surrogate pair. Once something has been cut, nothing
// more is appended, so a cut line is a prefix of the whole line.
class ReportWriter {
 public:
  ReportWriter(char16_t* buffer, size_t cap) : buf_(buffer), cap_(cap) {}

  size_t length() const { return len_; }

  void put(const char16_t* text) {
    for (; *text != 0 && !full_; ++text) {
      if (!room_for(*text, text[1])) {
        full_ = true;
        return;
      }
      buf_[len_++] = *text;
    }
  }

  void put_ascii(const char* text) {
    for (; *text != 0 && !full_; ++text) {
      if (len_ + 1 >= cap_) {
        full_ = true;
        return;
      }
      buf_[len_++] = static_cast<char16_t>(static_cast<unsigned char>(*text));
    }
  }

  void put_unsigned(unsigned long long value) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    char text[25];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = 0;
    put_ascii(text);
  }

  void put_signed(long value) {
    if (value < 0) {
      put_ascii("-");
      // Negate in unsigned arithmetic so LONG_MIN is printed correctly.
      put_unsigned(0ull - static_cast<unsigned long long>(value));
    } else {
      put_unsigned(static_cast<unsigned long long>(value));
    }
  }

 private:
  bool room_for(char16_t unit, char16_t following) const {
    const bool pair = unit >= 0xD800 && unit <= 0xDBFF && following >= 0xDC00 && following <= 0xDFFF;
    return len_ + (pair ? 2 : 1) < cap_;
  }

  char16_t* buf_;
  size_t cap_;
  size_t len_ = 0;
  bool full_ = false;
};

}  // namespace

void* libtavpub_xmalloc(size_t size) {
  // A request for 0 bytes still yields a distinct block, so null always means out of memory.
  void* block = std::calloc(1, size != 0 ? size : 1);
  if (block == nullptr) tav::set_last_error(ENOMEM);
  return block;
}

void libtavpub_xfree(void* block) { std::free(block); }

void* tav::xrealloc_zeroed(void* block, size_t old_size, size_t new_size) {
  void* grown = std::realloc(block, new_size != 0 ? new_size : 1);
  if (grown == nullptr) {
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
  if (new_size > old_size) std::memset(static_cast<char*>(grown) + old_size, 0, new_size - old_size);
  return grown;
}

char16_t* libtavpub_strdup(const char16_t* text) { return dup_wide(text, nullptr, nullptr, 0); }

char* libtavpub_strdupA(const char* text) { return dup_narrow(text, nullptr, nullptr, 0); }

void* libtavpub_debug_xmalloc(size_t size, const char* file, long line) {
  void* block = libtavpub_xmalloc(size);
  if (block == nullptr) return nullptr;
  char16_t* file_copy = copy_file_name(file);
  auto* record = file_copy != nullptr ? new (std::nothrow) TraceRecord{} : nullptr;
  if (record == nullptr) {
    libtavpub_xfree(file_copy);
    libtavpub_xfree(block);
    tav::set_last_error(ENOMEM);
    return nullptr;
  }
  record->block = block;
  record->size = size;
  record->file = file_copy;
  record->line = line;

  std::lock_guard<std::mutex> lock(g_trace_mu);
  record->prev = &g_trace_head;
  record->next = g_trace_head.next;
  g_trace_head.next->prev = record;
  g_trace_head.next = record;
  return block;
}

void libtavpub_debug_xfree(void* block) {
  if (block == nullptr) return;
  // Unlink every record of this address under the lock, then free them outside it.
  TraceRecord* removed = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_trace_mu);
    TraceRecord* r = g_trace_head.next;
    while (r != &g_trace_head) {
      TraceRecord* next = r->next;
      if (r->block == block) {
        unlink_locked(r);
        r->next = removed;
        removed = r;
      }
      r = next;
    }
  }
  while (removed != nullptr) {
    TraceRecord* next = removed->next;
    free_record(removed);
    removed = next;
  }
  libtavpub_xfree(block);
}

char16_t* libtavpub_debug_strdup(const char16_t* text, const char* file, long line) {
  return dup_wide(text, libtavpub_debug_xmalloc, file, line);
}

char* libtavpub_debug_strdupA(const char* text, const char* file, long line) {
  return dup_narrow(text, libtavpub_debug_xmalloc, file, line);
}

char16_t* libtavpub_print_tracemem() {
  {
    std::lock_guard<std::mutex> lock(g_trace_mu);
    if (g_trace_head.next == &g_trace_head) return nullptr;
  }
  // Allocate outside the lock; the list may empty meanwhile, which is checked again below.
  auto* buffer = static_cast<char16_t*>(libtavpub_xmalloc(kReportChars * sizeof(char16_t)));
  if (buffer == nullptr) return nullptr;

  std::lock_guard<std::mutex> lock(g_trace_mu);
  if (g_trace_head.next == &g_trace_head) {
    libtavpub_xfree(buffer);
    return nullptr;
  }
  // Each line goes into whatever is left of the buffer; no new line starts once the text has
  // reached the limit, which leaves room for a line with an ordinary file name.
  ReportWriter out(buffer, kReportChars);
  for (TraceRecord* r = g_trace_head.next; r != &g_trace_head && out.length() < kReportLineLimit;
       r = r->next) {
    out.put_ascii("\nMemory Leakage:  File:");
    out.put(r->file);
    out.put_ascii(", Line:");
    out.put_signed(r->line);
    out.put_ascii(", Size:");
    out.put_unsigned(r->size);
  }
  return buffer;
}

void libtavpub_free_tracemem() {
  TraceRecord* first;
  {
    std::lock_guard<std::mutex> lock(g_trace_mu);
    if (g_trace_head.next == &g_trace_head) return;
    first = g_trace_head.next;
    g_trace_head.prev->next = nullptr;  // terminate the detached chain
    g_trace_head.next = g_trace_head.prev = &g_trace_head;
  }
  while (first != nullptr) {
    TraceRecord* next = first->next;
    libtavpub_xfree(first->block);
    free_record(first);
    first = next;
  }
}
