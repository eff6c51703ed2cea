// Backup worker throughput: compress units per second from a partition held in memory, through
// the read thread, the compress threads and the write loop, into an image writer on /tmp. One
// to four compress threads and the single-thread loop, for each compression mode. Every run ends
// with the writer's fsync of its volume, part of the cost of a real backup.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/extent_vector.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker.h"
#include "engine/image_writer.h"
#include "tests/fixtures/snapshot_builder.h"

namespace {

using namespace tav;
namespace pl = img::part_layout;

constexpr uint32_t kUnits = 96;  // 12 MiB per run
constexpr uint32_t kSectors = kUnits * img::kSectorsPerUnit;

struct Source {
  std::vector<uint8_t> content;
};

int64_t read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
  const auto* s = static_cast<const Source*>(part->part_data);
  if ((first + count) * kSectorSize > s->content.size()) return -1;
  std::memcpy(buffer, s->content.data() + first * kSectorSize, size_t(count) * kSectorSize);
  return count;
}
int noop_open(BACKUP_PARTITION_INFO*, int) { return 0; }
int noop_close(BACKUP_PARTITION_INFO*) { return 0; }
const PART_OPERATIONS kOps = {nullptr, nullptr, read_sectors, nullptr, nullptr, noop_open, noop_close};

struct DiskListDeleter {
  void operator()(_DISK_INFOMATION* head) const { tav_destroy_all_disks(head); }
};

// Partition content like a used file system's: a mix of text-like, random-like and zero stretches.
const Source& source() {
  static Source s = [] {
    Source made;
    made.content = test::pattern_bytes(size_t(kSectors) * kSectorSize, 77);
    for (size_t at = 0; at < made.content.size(); at += 1 << 20) {
      std::memset(made.content.data() + at, 0, std::min<size_t>(256 << 10, made.content.size() - at));
    }
    return made;
  }();
  return s;
}

void BM_BackupWorker(benchmark::State& state) {
  const auto mode = static_cast<img::CompressMode>(state.range(0));
  const auto threads = uint32_t(state.range(1));  // 0: the single-thread loop
  libtavbak_set_thread_gui(nullptr, nullptr, nullptr);

  // TAV_BENCH_DIR puts the volumes elsewhere (/dev/shm leaves out the disk's flushes).
  const char* base = getenv("TAV_BENCH_DIR");
  std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/tav_worker_bench_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string dir = pattern;

  Source src = source();
  _DISK_INFOMATION* head = nullptr;
  auto disk = std::make_unique<_DISK_INFOMATION>();
  disk->name = disk->path = "benchdisk";
  disk->total_sectors = 2048 + kSectors;
  disk->heads = 255;
  disk->sectors_per_track = 63;
  disk->sectors_per_cylinder = 255 * 63;
  disk->table_kind = disk::TableKind::kMbr;
  _DISK_INFOMATION* raw_disk = disk.release();
  tav_add_disk_device(&head, raw_disk);
  std::unique_ptr<_DISK_INFOMATION, DiskListDeleter> list(head);
  auto owned = std::make_unique<BACKUP_PARTITION_INFO>();
  BACKUP_PARTITION_INFO* part = owned.get();
  disk::init_part_record(*part);
  disk::set_part_extent(*part, 2048, kSectors);
  disk::set_rec_u8(*part, pl::kPartType, 0x83);
  disk::set_rec_u32(*part, pl::kFull, 1);
  disk::set_part_used_sectors(*part, kSectors);
  part->selected = 1;
  part->ops_fs = disk::unknown_file_system();
  tav_part_add(raw_disk, owned.release());
  tav_assign_dev_num_all(head);
  part->ops = &kOps;
  part->part_data = &src;

  engine::WorkerSizing sizing;
  sizing.compress_threads = threads == 0 ? 1 : threads;
  sizing.depth = 30;
  sizing.single_thread = threads == 0;
  engine::BackupWorker worker;
  if (!worker.init(sizing, nullptr, mode)) {
    state.SkipWithError("worker init failed");
    return;
  }
  const FLAT_RUN used{0, kSectors};

  for (auto _ : state) {
    engine::ImageWriterRequest request;
    request.directory = dir;
    request.base_name = "bench";
    request.disks = list.get();
    request.compress_mode = mode;
    request.write_buffer_bytes = engine::write_buffer_bytes_for(sizing.depth);
    engine::ImageWriter writer;
    IMAGE_RUN_VECTOR* plan = libtavpub_create_empty_image_run_vector();
    IMAGE_RUN_VECTOR* stored = libtavpub_create_empty_image_run_vector();
    IMAGE_RUN run{};
    run.value = used;
    run.type = RUN_TYPE_ADDED;
    libtavpub_append_image_run(plan, &run);
    bool ok = bool(writer.begin(request)) && bool(writer.start_segment(part)) &&
              bool(writer.write_run_table(part, std::span<const FLAT_RUN>(&used, 1)));
    engine::PartitionWork work;
    work.part = part;
    work.plan = plan;
    work.stored = stored;
    ok = ok && worker.run(work, &writer) && bool(writer.close_segment(part)) && bool(writer.finish());
    libtavpub_release_image_run_vector(plan);
    libtavpub_release_image_run_vector(stored);
    if (!ok) {
      writer.abort();
      state.SkipWithError("backup run failed");
      break;
    }
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kUnits);
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnits * img::kUnitBytes);
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// (mode, compress threads; 0 = single-thread loop)
BENCHMARK(BM_BackupWorker)
    ->ArgNames({"mode", "threads"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
