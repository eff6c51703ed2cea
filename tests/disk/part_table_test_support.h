// Helpers for the partition-table tests: the fixture images made once per test program, sparse
// copies to patch, byte surgery on image files (with GPT CRC resealing), and sfdisk's own view of
// a table ("sfdisk -d") to compare with ours.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "disk/part_table.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk::test {

// The images of tests/disk/fixtures/make_partitioned_disks.sh, made once per test program in a
// directory that lives until the program ends. Empty when the tools are missing or the script
// failed (callers skip then).
inline const std::string& partitioned_fixture_dir() {
  static const std::string path = [] {
    const FixtureFiles& files = fixture_files("make_partitioned_disks.sh", {"sfdisk", "mkfs.fat", "truncate"});
    return files.ready() ? files.dir.path() : std::string();
  }();
  return path;
}

// Copies `from` to `to`, leaving zero blocks as holes so a copy of a sparse image stays small.
inline bool copy_sparse(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    ::close(in);
    return false;
  }
  std::vector<char> block(1 << 16);
  const std::vector<char> zeros(block.size(), 0);
  off_t offset = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::pread(in, block.data(), block.size(), offset);
    if (n < 0) ok = false;
    if (n <= 0) break;
    const bool zero = std::memcmp(block.data(), zeros.data(), size_t(n)) == 0;
    if (!zero && ::pwrite(out, block.data(), size_t(n), offset) != n) ok = false;
    offset += n;
  }
  ok = ::ftruncate(out, offset) == 0 && ok;
  ::close(in);
  return ::close(out) == 0 && ok;
}

inline std::vector<uint8_t> read_at(const std::string& path, uint64_t offset, size_t bytes) {
  std::vector<uint8_t> data(bytes);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || !pread_full(fd, data.data(), bytes, offset)) data.clear();
  if (fd >= 0) ::close(fd);
  return data;
}

inline bool put32_at(const std::string& path, uint64_t offset, uint32_t value) {
  std::vector<uint8_t> b(4);
  put_le32(b.data(), value);
  return patch_file(path, offset, b);
}

inline uint64_t file_sectors(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) / kSectorSize : 0;
}

// Recomputes the entry-array CRC (when `entries` is set) and the header CRC of the GPT header
// at `lba`, so a patch gets past the CRC checks to the check behind them.
inline bool reseal_gpt(const std::string& path, uint64_t lba, bool entries) {
  std::vector<uint8_t> h = read_at(path, lba * kSectorSize, kSectorSize);
  if (h.empty()) return false;
  if (entries) {
    const uint64_t entries_lba = get_le64(&h[72]);
    const uint64_t bytes = uint64_t(get_le32(&h[80])) * get_le32(&h[84]);
    std::vector<uint8_t> e = read_at(path, entries_lba * kSectorSize, size_t(bytes));
    if (e.empty()) return false;
    put_le32(&h[88], libtavpub_crc32_calc(e.data(), e.size()));
  }
  put_le32(&h[16], 0);
  put_le32(&h[16], libtavpub_crc32_calc(h.data(), get_le32(&h[12])));
  return patch_file(path, lba * kSectorSize, h);
}

// An FNV-style hash of the whole file, a 64-bit word at a time: enough to tell whether anything
// was written (images are whole sectors, so no tail is left over).
inline uint64_t file_digest(const std::string& path) {
  uint64_t hash = 1469598103934665603ull;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<uint64_t> block(1 << 17);
  ssize_t n;
  while ((n = ::read(fd, block.data(), block.size() * sizeof(uint64_t))) > 0) {
    for (size_t i = 0; i < size_t(n) / sizeof(uint64_t); ++i) hash = (hash ^ block[i]) * 1099511628211ull;
    hash = (hash ^ uint64_t(n)) * 1099511628211ull;
  }
  ::close(fd);
  return hash;
}

// One partition line of "sfdisk -d".
struct SfdiskPart {
  int number = 0;  // from the device name "disk.img5"
  uint64_t start = 0;
  uint64_t size = 0;
  std::string type;  // "83", "c", or a GUID
  bool bootable = false;
  std::string uuid;
  std::string name;  // \xHH escapes undone
};

struct SfdiskTable {
  std::string label;  // "dos" or "gpt"
  std::string label_id;
  std::vector<SfdiskPart> parts;
};

inline std::string unescape_sfdisk(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
      out += char(std::stoi(s.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Runs "sfdisk -d <image>" and parses its lines; false when sfdisk fails.
inline bool sfdisk_dump(const std::string& image, SfdiskTable* out) {
  *out = {};
  const std::string cmd = "sfdisk -d '" + image + "' 2>/dev/null";
  FILE* pipe = ::popen(cmd.c_str(), "r");
  if (pipe == nullptr) return false;
  char line_buf[1024];
  while (std::fgets(line_buf, sizeof line_buf, pipe) != nullptr) {
    std::string line(line_buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("label: ", 0) == 0) out->label = line.substr(7);
    if (line.rfind("label-id: ", 0) == 0) out->label_id = line.substr(10);
    const size_t colon = line.find(" : ");
    if (colon == std::string::npos) continue;
    SfdiskPart p;
    size_t digits = colon;
    while (digits > 0 && isdigit(static_cast<unsigned char>(line[digits - 1]))) --digits;
    p.number = std::stoi(line.substr(digits, colon - digits));
    std::string rest = line.substr(colon + 3);
    size_t pos = 0;
    while (pos < rest.size()) {
      size_t end;
      const size_t eq = rest.find('=', pos);
      std::string key = rest.substr(pos, (eq == std::string::npos ? rest.size() : eq) - pos);
      std::string value;
      if (eq == std::string::npos) {
        end = rest.find(',', pos);
      } else if (rest[eq + 1] == '"') {
        const size_t close = rest.find('"', eq + 2);
        value = rest.substr(eq + 2, close - eq - 2);
        end = rest.find(',', close);
      } else {
        end = rest.find(',', eq);
        value = rest.substr(eq + 1, (end == std::string::npos ? rest.size() : end) - eq - 1);
      }
      while (!value.empty() && value.front() == ' ') value.erase(value.begin());
      if (key == "start") p.start = std::stoull(value);
      if (key == "size") p.size = std::stoull(value);
      if (key == "type") p.type = value;
      if (key == "bootable") p.bootable = true;
      if (key == "uuid") p.uuid = value;
      if (key == "name") p.name = unescape_sfdisk(value);
      if (end == std::string::npos) break;
      pos = end + 1;
      while (pos < rest.size() && rest[pos] == ' ') ++pos;
    }
    out->parts.push_back(p);
  }
  return ::pclose(pipe) == 0;
}

// A disk object over `path` with its table read; the status of the read in *status.
inline std::unique_ptr<_DISK_INFOMATION> read_disk(const std::string& path, Status* status) {
  auto disk = file_disk(path);
  if (disk == nullptr) {
    *status = Status::not_found(path);
    return disk;
  }
  *status = read_partition_table(disk.get());
  return disk;
}

}  // namespace tav::disk::test
