// A partition for the engine's tests whose sectors live in memory or are generated on the fly:
// reads are counted, and a chosen sector or read can fail or wait at a gate the test opens.
#pragma once

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/byte_order.h"
#include "disk/disk.h"
#include "format/ego_format.h"

namespace tav::test {

// Writes the kSectorSize bytes of sector `sector` to `out`.
using SectorFill = void (*)(uint64_t sector, uint8_t* out);

// A pattern that differs from sector to sector (and compresses a little).
inline void default_sector_fill(uint64_t sector, uint8_t* out) {
  for (uint32_t i = 0; i < kSectorSize; i += 8) put_le64(out + i, (sector * 0x9E3779B97F4A7C15ull) ^ (i / 64));
}

// The partition's contents and faults are plain fields, set before the reads start. Reads may
// come from several threads at once; the counters and the gate are safe for that. Copies take
// the contents and the faults, with fresh counters and a closed gate.
class MemoryPartition {
 public:
  uint64_t sectors = 0;                    // reads past it fail; 0: no end
  std::vector<uint8_t> content;            // the sectors; when empty, `fill` makes them
  SectorFill fill = default_sector_fill;
  int64_t fail_sector = -1;                // a read that includes this sector fails with EIO
  int fail_read = -1;                      // the read with this number (from 1) fails with EIO
  int64_t gate_sector = -1;                // a read that includes this sector waits at the gate
  int gate_read = -1;                      // so does the read with this number (from 1)

  std::atomic<int> reads{0};               // read calls so far
  std::atomic<uint32_t> max_count{0};      // the most sectors one call asked for

  MemoryPartition() = default;
  MemoryPartition(const MemoryPartition& other) { *this = other; }
  MemoryPartition& operator=(const MemoryPartition& other) {
    sectors = other.sectors;
    content = other.content;
    fill = other.fill;
    fail_sector = other.fail_sector;
    fail_read = other.fail_read;
    gate_sector = other.gate_sector;
    gate_read = other.gate_read;
    return *this;
  }

  // Makes `part` read from this partition; it must outlive the part's use.
  void attach(BACKUP_PARTITION_INFO* part) {
    part->ops = &kOps;
    part->part_data = this;
  }

  // Blocks until a read waits at the gate.
  void wait_until_at_gate() {
    std::unique_lock<std::mutex> lock(gate_mu_);
    gate_cv_.wait(lock, [this] { return at_gate_; });
  }
  // Lets every read at the gate, and every later one, go on.
  void open_gate() {
    std::lock_guard<std::mutex> lock(gate_mu_);
    gate_open_ = true;
    gate_cv_.notify_all();
  }

  static int64_t read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
    auto* self = static_cast<MemoryPartition*>(part->part_data);
    const int n = ++self->reads;
    uint32_t seen = self->max_count.load();
    while (count > seen && !self->max_count.compare_exchange_weak(seen, count)) {
    }
    if (self->sectors != 0 && first + count > self->sectors) return -1;
    auto includes = [&](int64_t s) { return s >= 0 && uint64_t(s) >= first && uint64_t(s) < first + count; };
    if (n == self->gate_read || includes(self->gate_sector)) self->wait_at_gate();
    if (n == self->fail_read || includes(self->fail_sector)) {
      errno = EIO;
      return -1;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    if (!self->content.empty()) {
      std::memcpy(out, self->content.data() + first * kSectorSize, size_t(count) * kSectorSize);
    } else {
      for (uint32_t i = 0; i < count; ++i) self->fill(first + i, out + size_t(i) * kSectorSize);
    }
    return count;
  }

  // Any byte range, through one read of the sectors that hold it.
  static int64_t pos_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t bytes, void* buffer) {
    const uint64_t first = offset / kSectorSize;
    const uint64_t end = (offset + bytes + kSectorSize - 1) / kSectorSize;
    std::vector<uint8_t> sectors(size_t(end - first) * kSectorSize);
    if (read_sectors(part, first, uint32_t(end - first), sectors.data()) < 0) return -1;
    std::memcpy(buffer, sectors.data() + offset % kSectorSize, bytes);
    return bytes;
  }
  static int open(BACKUP_PARTITION_INFO* part, int mode) {
    part->open_mode = mode;
    return 0;
  }
  static int close(BACKUP_PARTITION_INFO* part) {
    part->open_mode = -1;
    return 0;
  }

  static constexpr PART_OPERATIONS kOps = {pos_read, nullptr, read_sectors, nullptr, nullptr, open, close};

 private:
  void wait_at_gate() {
    std::unique_lock<std::mutex> lock(gate_mu_);
    at_gate_ = true;
    gate_cv_.notify_all();
    gate_cv_.wait(lock, [this] { return gate_open_; });
  }

  std::mutex gate_mu_;
  std::condition_variable gate_cv_;
  bool at_gate_ = false;
  bool gate_open_ = false;
};

}  // namespace tav::test
