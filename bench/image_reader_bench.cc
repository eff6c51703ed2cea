// Throughput of the snapshot sector reader: a 64 MiB partition with a mix of random and
// repetitive bytes, stored as one full snapshot (normal compression) or as a full snapshot with
// an incremental over a tenth of it, read through the image partition's operations. Sequential
// reads in 1 MiB requests report MB/s of partition data; random 4 KiB reads report the time per
// read (most of them inflate a unit, since the cache holds 32 of the 512 units).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "core/sector.h"
#include "tests/fixtures/snapshot_builder.h"

namespace {

constexpr uint64_t kPartBytes = 64ull << 20;
constexpr uint64_t kPartSectors = kPartBytes / tav::kSectorSize;

// A storage written once per process into a temporary directory, removed at exit.
struct BenchStorage {
  std::string dir;
  bool ok = false;

  explicit BenchStorage(bool with_incremental) {
    char name[] = "/tmp/tav-reader-bench-XXXXXX";
    if (!mkdtemp(name)) return;
    dir = name;
    tav::test::SyntheticDisk disk;
    disk.total_sectors = kPartSectors + 2048;
    disk.boot_sectors.assign(tav::kSectorSize, 0);
    tav::test::SyntheticPartition part;
    part.start_sector = 2048;
    part.signature = 0x5EED;
    part.content = tav::test::pattern_bytes(kPartBytes, 1);
    part.stored = {{0, uint32_t(kPartSectors)}};
    disk.parts.push_back(part);

    tav::test::SnapshotPlan plan;
    plan.directory = dir;
    plan.now = 1700000000;
    tav::test::WrittenSnapshot full;
    if (!tav::test::write_snapshot(plan, {disk}, &full)) return;
    if (with_incremental) {
      STORAGE_DATA* storage = libtavimg_get_storage_data();
      if (libtavimg_load_image2(storage, dir.c_str(), "imbackup", 0) != 0) return;
      auto& changed = disk.parts[0];
      // Every tenth MiB rewritten.
      changed.stored.clear();
      const auto fresh = tav::test::pattern_bytes(kPartBytes, 2);
      for (uint64_t mib = 0; mib < 64; mib += 10) {
        const uint64_t first = mib * 2048;
        changed.stored.push_back({uint32_t(first), 2048});
        std::copy(fresh.begin() + first * tav::kSectorSize, fresh.begin() + (first + 2048) * tav::kSectorSize,
                  changed.content.begin() + first * tav::kSectorSize);
      }
      changed.parent_seq = full.snap_seq;
      changed.parent_time = full.create_time;
      changed.parent_vol = full.first_vol;
      plan.backup_type = tav::img::kBackupIncremental;
      plan.first_vol = full.last_vol + 1;
      plan.now = 1700000060;
      plan.storage = storage;
      tav::test::WrittenSnapshot incremental;
      if (!tav::test::write_snapshot(plan, {disk}, &incremental)) return;
    }
    ok = true;
  }
  ~BenchStorage() {
    libtavimg_unload_image(libtavimg_get_storage_data());
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
};

// The partition of the newest snapshot, opened; null when anything failed.
BACKUP_PARTITION_INFO* open_newest(BenchStorage& bench, benchmark::State& state) {
  if (!bench.ok) {
    state.SkipWithError("could not write the bench storage");
    return nullptr;
  }
  STORAGE_DATA* storage = libtavimg_get_storage_data();
  if (libtavimg_load_image2(storage, bench.dir.c_str(), "imbackup", 0) != 0 || storage->snaps.empty()) {
    state.SkipWithError("could not load the bench storage");
    return nullptr;
  }
  _DISK_INFOMATION* disk = libtavimg_get_image_disks_list(storage->snaps.back().get());
  BACKUP_PARTITION_INFO* part = disk && !disk->parts.empty() ? disk->parts.front().get() : nullptr;
  if (!part || part->ops->open(part, 0) != 0) {
    state.SkipWithError("could not open the partition");
    return nullptr;
  }
  return part;
}

void read_sequential(benchmark::State& state, bool with_incremental) {
  static BenchStorage full_only(false);
  static BenchStorage chained(true);
  BenchStorage& bench = with_incremental ? chained : full_only;
  BACKUP_PARTITION_INFO* part = open_newest(bench, state);
  if (!part) return;
  std::vector<uint8_t> buffer(1 << 20);
  for (auto _ : state) {
    for (uint64_t sector = 0; sector < kPartSectors; sector += 2048) {
      if (part->ops->read_sectors(part, sector, 2048, buffer.data()) != 2048) {
        state.SkipWithError("read failed");
        break;
      }
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  part->ops->close(part);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPartBytes));
}

void BM_ReadFullSnapshot(benchmark::State& state) { read_sequential(state, false); }
void BM_ReadIncrementalChain(benchmark::State& state) { read_sequential(state, true); }

void BM_RandomRead4K(benchmark::State& state) {
  static BenchStorage bench(false);
  BACKUP_PARTITION_INFO* part = open_newest(bench, state);
  if (!part) return;
  std::mt19937_64 random(7);
  std::vector<uint8_t> buffer(4096);
  for (auto _ : state) {
    const uint64_t sector = (random() % (kPartSectors / 8)) * 8;
    if (part->ops->read_sectors(part, sector, 8, buffer.data()) != 8) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  part->ops->close(part);
}

}  // namespace

BENCHMARK(BM_ReadFullSnapshot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadIncrementalChain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RandomRead4K)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
