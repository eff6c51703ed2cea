// The read side of a restore's sector copy out of a snapshot: when the read-ahead stops early
// (a volume it could not open), the copy reads on directly, and the failure the read-ahead met
// does not fail a copy whose own reads all succeed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/progress_channel.h"
#include "disk/fs_copy.h"
#include "disk/part_record.h"
#include "engine/engine_channel.h"
#include "engine/restore_copy.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

constexpr uint64_t kSectors = 1000;

// A destination in memory.
struct MemoryDestination {
  std::vector<uint8_t> bytes;

  static int64_t write_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, const void* data) {
    auto* self = static_cast<MemoryDestination*>(part->part_data);
    if ((first + count) * kSectorSize > self->bytes.size()) return -1;
    std::memcpy(self->bytes.data() + first * kSectorSize, data, size_t(count) * kSectorSize);
    return count;
  }
  static int open(BACKUP_PARTITION_INFO*, int) { return 0; }
  static int close(BACKUP_PARTITION_INFO*) { return 0; }
  static constexpr PART_OPERATIONS kOps = {nullptr, nullptr, nullptr, write_sectors, nullptr, open, close};
};

// Opening the volume whose name ends in `g_flaky_name` fails the first time (as a volume on a medium that is back a moment
// later); every other open goes through.
std::string g_flaky_name;
std::atomic<int> g_flaky_failures{0};
int flaky_open(const char* path) {
  const std::string name(path);
  const bool flaky = name.size() >= g_flaky_name.size() && name.compare(name.size() - g_flaky_name.size(), std::string::npos, g_flaky_name) == 0;
  if (flaky && g_flaky_failures.fetch_add(1) == 0) {
    errno = EIO;
    return -1;
  }
  return img::open_volume_default(path);
}

TEST(RestoreRead, ReadAheadStoppedByAVolumeThatReadsDirectlyIsNoFailure) {
  sysutil_test::TempDir work;
  ASSERT_TRUE(work.ok());
  const std::string dir = work.file("store");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  test::SyntheticPartition p;
  p.start_sector = 2048;
  p.part_type = 0xDA;
  p.signature = 7;
  p.content = test::pattern_bytes(kSectors * kSectorSize, 5);
  p.stored = {{0, uint32_t(kSectors)}};
  test::SyntheticDisk d;
  d.total_sectors = 8192;
  d.parts = {p};
  test::SnapshotPlan plan;
  plan.directory = dir;
  plan.compress_mode = img::kCompressNone;
  plan.volume_limit = 128 << 10;
  plan.now = 200000;
  test::WrittenSnapshot written;
  ASSERT_TRUE(test::write_snapshot(plan, {d}, &written).is_ok());
  ASSERT_GT(written.last_vol, written.first_vol + 1) << "the units must spread over several volumes";

  THREAD_GUI_DATA record;
  libtavpub_init_thread_gui_data(&record);
  record.silent.store(1);
  char message[kMessageBufferBytes] = {};
  char image_message[kMessageBufferBytes] = {};
  libtavbak_set_thread_gui(&record, message, nullptr);
  libtavimg_set_thread_gui(&record, image_message, nullptr);
  STORAGE_DATA storage;
  ASSERT_EQ(libtavimg_load_image2(&storage, (dir + "/").c_str(), "imbackup", 0), 0);
  ASSERT_FALSE(storage.snaps.empty());
  BACKUP_PARTITION_INFO* source = storage.snaps[0]->disks->parts[0].get();
  // Every volume is opened afresh by the copy; one in the middle fails its first open, which
  // the read-ahead makes.
  libtavimg_close_all_image_file(&storage);
  g_flaky_name = "/imbackup" + std::to_string(written.first_vol + 2) + ".ego";
  g_flaky_failures.store(0);
  storage.open_volume = flaky_open;

  MemoryDestination memory;
  memory.bytes.assign(kSectors * kSectorSize, 0xAA);
  BACKUP_PARTITION_INFO dest;
  disk::init_part_record(dest);
  disk::set_part_extent(dest, 2048, kSectors);
  dest.dev_name = "memdest";
  dest.ops = &MemoryDestination::kOps;
  dest.part_data = &memory;

  COPY_CONTEXT context;
  context.error_count = &record.error_count;
  context.cancel = &record.cancel;
  context.channel = &record;
  context.source = source;
  context.dest = &dest;
  const int result = copy_part_by_sector_from_image(&context, "");
  const std::string report = message;

  libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
  libtavimg_set_thread_gui(nullptr, nullptr, nullptr);
  libtavimg_unload_image(&storage);
  EXPECT_GE(g_flaky_failures.load(), 2) << "the read-ahead met the failure and the copy read the volume again";
  EXPECT_EQ(result, 0) << report;
  EXPECT_EQ(record.error_count.load(), 0) << report;
  EXPECT_TRUE(memory.bytes == p.content) << "every stored sector arrives";
}

}  // namespace
}  // namespace tav::engine
