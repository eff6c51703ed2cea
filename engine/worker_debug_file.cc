// The debug compress file: a hex dump of a unit that failed its verification after compression
// (the data and the compressed bytes), left in the program directory for a developer.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "core/program_dir.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"

namespace tav::engine {

namespace {

// `title` followed by every byte as " 0x%02x,", a tab after every 8th byte and "\r\n" after every
// 16th; the unit number overwrites the title's first characters. Empty when it cannot be built.
std::string dump(const char* title, int64_t unit, const uint8_t* bytes, size_t count) {
  std::string text;
  if (bytes == nullptr || count == 0) return text;
  try {
    text.reserve(std::char_traits<char>::length(title) + count * 6 + count / 8 + count / 8 + 16);
    text = title;
    char number[24];
    const int n = std::snprintf(number, sizeof number, "%ld", long(unit));
    text.replace(0, std::min(text.size(), size_t(n)), number, size_t(n));
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
      const char item[] = {' ', '0', 'x', kHex[bytes[i] >> 4], kHex[bytes[i] & 15], ','};
      text.append(item, sizeof item);
      if ((i + 1) % 8 == 0) text += '\t';
      if ((i + 1) % 16 == 0) text += "\r\n";
    }
  } catch (const std::bad_alloc&) {
    text.clear();
  }
  return text;
}

bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

}  // namespace

bool write_compress_debug_info(int64_t unit, const uint8_t* original, size_t original_bytes,
                               const uint8_t* compressed, size_t compressed_bytes) {
  const std::string path = program_file("debug_compress.txt");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    TAV_WORKER_WARN("write compress debug info: creating compress debug file failed!");
    return false;
  }
  std::string first = dump("original data is following:\r\n", unit, original, original_bytes);
  if (first.empty()) first = "original data is null!\r\n";
  std::string second = dump("compresssion data is following:\r\n", unit, compressed, compressed_bytes);
  if (second.empty()) second = "compresssion data is null!\r\n";
  bool ok = write_all(fd, first) && write_all(fd, "\r\n\r\n\r\n") && write_all(fd, second);
  ok = ::close(fd) == 0 && ok;
  if (!ok) TAV_WORKER_WARN("debug write STRUCT info: Writting file failed!");
  return ok;
}

}  // namespace tav::engine
