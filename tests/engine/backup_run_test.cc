// The backup run end to end: full, incremental and differential snapshots of the sample disk
// (FAT32 + ext4) read back through the image reader and compared with the disk as it was; a
// cancel from another thread and a failing source leave the directory as it was.
#include "engine/backup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <thread>

#include "core/progress_channel.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "engine/engine_channel.h"
#include "image/image_catalogue.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/core/scoped_env.h"
#include "tests/engine/memory_partition.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::engine {
namespace {

namespace fs = std::filesystem;
namespace pl = img::part_layout;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Names and bytes of every file of a directory.
std::map<std::string, std::vector<uint8_t>> directory_state(const std::string& dir) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(dir)) files[e.path().filename().string()] = read_file(e.path().string());
  return files;
}

bool run_shell(const std::string& cmd) {
  const int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

// The face of the test: records the work-done result and the texts; progress and dialogs find
// nobody (post returns false), so the worker never waits for a drawing.
class RecordingSink : public UiSink {
 public:
  bool post(UiMessage message, THREAD_GUI_DATA*, int64_t param) override {
    if (message != UiMessage::kWorkDone) return false;
    std::lock_guard<std::mutex> lock(mu_);
    results_.push_back(param);
    done_.notify_all();
    return true;
  }
  void draw_progress(const ProgressView&) override {}
  uint32_t ask(uint32_t, uint32_t buttons, const std::string&, const std::string&) override {
    return unanswered_dialog_result(buttons);
  }
  // The result of the count-th run that ended.
  int64_t wait_result(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    done_.wait(lock, [&] { return results_.size() >= count; });
    return results_[count - 1];
  }
  std::vector<int64_t> results() {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }

 private:
  std::mutex mu_;
  std::condition_variable done_;
  std::vector<int64_t> results_;
};

// Texts the run shows, recorded through the channel's ops table.
std::mutex g_texts_mu;
std::vector<std::string> g_info, g_prompts;
void record_info(THREAD_GUI_DATA* r, const char* text) {
  {
    std::lock_guard<std::mutex> lock(g_texts_mu);
    g_info.emplace_back(text);
  }
  builtin_channel_ops().append_message_to_info_box(r, text);
}
void record_prompt(THREAD_GUI_DATA* r, const char* text) {
  {
    std::lock_guard<std::mutex> lock(g_texts_mu);
    g_prompts.emplace_back(text);
  }
  builtin_channel_ops().set_prompt_message(r, text);
}

class BackupRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(home_.ok());
    ASSERT_TRUE(work_.ok());
    env_ = std::make_unique<test::ScopedEnv>("TAV_HOME", home_.path().c_str());
    store_ = work_.file("store");
    fs::create_directories(store_);
    tav_init_disk();
    ops_ = builtin_channel_ops();
    ops_.append_message_to_info_box = record_info;
    ops_.set_prompt_message = record_prompt;
    libtavpub_init_thread_gui_data(&record_);
    record_.ops = &ops_;
    libtavpub_set_window_handle(&record_, &sink_);
    libtavbak_set_thread_gui(&record_, message_, &error_flag_);
    std::lock_guard<std::mutex> lock(g_texts_mu);
    g_info.clear();
    g_prompts.clear();
  }
  void TearDown() override {
    libtavpub_stop_thread(&record_, 100);
    libtavpub_set_window_handle(&record_, nullptr);
    libtavbak_set_thread_gui(nullptr, nullptr, nullptr);
    libtavimg_unload_image(libtavimg_get_storage_data());
  }

  BACKUP_REQUEST request(uint32_t type) const {
    BACKUP_REQUEST r;
    r.dest_dir = store_;
    r.base_name = "imbackup";
    r.backup_type = type;
    r.storage_exists = type != img::kBackupFull ? 1 : 0;
    r.no_vss = 1;
    return r;
  }

  // Runs on this thread and returns the work-done result.
  int64_t run(BACKUP_REQUEST* r, _DISK_INFOMATION* disks) {
    const size_t before = sink_.results().size();
    EXPECT_EQ(1, TavBackupThread(r, disks));
    const auto results = sink_.results();
    EXPECT_EQ(before + 1, results.size()) << "one work-done message per run";
    return results.size() > before ? results.back() : -2;
  }

  void load_storage() {
    ASSERT_EQ(0, libtavimg_load_image2(libtavimg_get_storage_data(), store_.c_str(), "imbackup", 0));
  }

  sysutil_test::TempDir home_, work_;
  std::unique_ptr<test::ScopedEnv> env_;
  std::string store_;
  GUI_OPS ops_{};
  THREAD_GUI_DATA record_;
  RecordingSink sink_;
  char message_[kMessageBufferBytes] = {};
  int32_t error_flag_ = 0;
};

// ---- The sample disk -------------------------------------------------------------------------

class SampleDiskBackupTest : public BackupRunTest {
 protected:
  void SetUp() override {
    BackupRunTest::SetUp();
    disk_path_ = work_.file("sample.img");
    const int rc = std::system(("bash '" TAV_SOURCE_DIR "/tests/fixtures/make_sample_disk.sh' '" + disk_path_ +
                                "' >/dev/null 2>&1").c_str());
    if (!WIFEXITED(rc) || WEXITSTATUS(rc) == 3) GTEST_SKIP() << "sfdisk, dosfstools, mtools or e2fsprogs missing";
    ASSERT_EQ(0, WEXITSTATUS(rc));
  }

  // The disk as it is now, both partitions selected; a copy of its bytes is kept as the source
  // of snapshot `copies_.size()`.
  std::unique_ptr<_DISK_INFOMATION> open_sample() {
    std::unique_ptr<_DISK_INFOMATION> disk;
    const Status st = disk::open_disk(disk_path_, &disk);
    EXPECT_TRUE(st) << st.message();
    if (!disk) return nullptr;
    disk->whole_disk = 1;
    copies_.push_back(read_file(disk_path_));
    return disk;
  }

  bool fat(const std::string& mtools_args) {
    return run_shell("MTOOLS_SKIP_CHECK=1 " + mtools_args);
  }
  std::string fat_image() const { return "'" + disk_path_ + "@@" + std::to_string(2048 * 512) + "'"; }
  bool ext(const std::string& request) {
    return run_shell("debugfs -w -R '" + request + "' '" + disk_path_ + "?offset=" + std::to_string(83968ull * 512) + "'");
  }

  // Reads every used sector (used at the time of snapshot k) of every partition of snapshot k
  // through the image reader and compares it with the disk's bytes of that time.
  void expect_snapshots_read_back() {
    load_storage();
    STORAGE_DATA* storage = libtavimg_get_storage_data();
    ASSERT_EQ(copies_.size(), storage->snaps.size());
    for (size_t k = 0; k < storage->snaps.size(); ++k) {
      SCOPED_TRACE("snapshot " + std::to_string(k));
      const std::string source_path = work_.file("source" + std::to_string(k) + ".img");
      {
        std::ofstream out(source_path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(copies_[k].data()), std::streamsize(copies_[k].size()));
      }
      std::unique_ptr<_DISK_INFOMATION> source;
      ASSERT_TRUE(disk::open_disk(source_path, &source));
      _DISK_INFOMATION* image_disk = storage->snaps[k]->disks;
      ASSERT_NE(nullptr, image_disk);
      for (auto& part : source->parts) {
        if (tav_partition_is_active(part.get()) == 0 || disk::part_is_extended(*part)) continue;
        SCOPED_TRACE(part->dev_name);
        BACKUP_PARTITION_INFO* image = nullptr;
        for (auto& p : image_disk->parts) {
          if (p->first_sector == part->first_sector) image = p.get();
        }
        ASSERT_NE(nullptr, image);
        std::unique_ptr<IMAGE_RUN_VECTOR, void (*)(IMAGE_RUN_VECTOR*)> used(
            part->ops_fs->get_used_runs(nullptr, part.get()), libtavpub_release_image_run_vector);
        ASSERT_TRUE(used);
        ASSERT_GE(image->ops->open(image, disk::kOpenRead), 0);
        std::vector<uint8_t> got(256 * 512);
        uint64_t compared = 0;
        for (uint32_t i = 0; i < used->run_count; ++i) {
          for (uint64_t s = used->runs[i]->value.Begin; s < run_end(*used->runs[i]); s += 256) {
            const uint32_t n = uint32_t(std::min<uint64_t>(256, run_end(*used->runs[i]) - s));
            ASSERT_EQ(int64_t(n), image->ops->read_sectors(image, s, n, got.data()));
            const uint8_t* want = copies_[k].data() + (part->first_sector + s) * 512;
            ASSERT_EQ(0, std::memcmp(got.data(), want, size_t(n) * 512)) << "sectors from " << s;
            compared += n;
          }
        }
        image->ops->close(image);
        EXPECT_GT(compared, 0u);
      }
    }
  }

  std::string disk_path_;
  std::vector<std::vector<uint8_t>> copies_;
};

uint64_t stored_bytes_at(const STORAGE_DATA* storage, size_t snap, uint64_t first_sector) {
  for (auto& p : storage->snaps[snap]->disks->parts) {
    if (p->first_sector == first_sector) return disk::rec_u64(*p, pl::kStoredBytes);
  }
  return UINT64_MAX;
}

// Each row: the "Adjustment" settings of the runs.
class SampleDiskRoundTripTest : public SampleDiskBackupTest, public ::testing::WithParamInterface<const char*> {};

INSTANTIATE_TEST_SUITE_P(Settings, SampleDiskRoundTripTest,
                         ::testing::Values("",
                                           "[Adjustment]\nSpeedImageRead=0\nBackupBySingleThread=1\n"
                                           "GetRunListBeforeVss=1\n"));

TEST_P(SampleDiskRoundTripTest, FullIncrementalDifferentialReadBack) {
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_TRUE(sysutil_test::make_file(home_.file("Settings.ini"), GetParam()));
  // Full.
  auto disk = open_sample();
  ASSERT_TRUE(disk);
  BACKUP_REQUEST full = request(img::kBackupFull);
  full.no_vss = 0;  // unmounted partitions of an image file need no frozen view
  full.comment = "first";
  ASSERT_EQ(0, run(&full, disk.get())) << message_;
  EXPECT_EQ(0u, full.first_vol);
  EXPECT_EQ(0, record_.worker_mode.load());
  {
    std::lock_guard<std::mutex> lock(g_texts_mu);
    ASSERT_FALSE(g_info.empty());
    EXPECT_NE(g_info.back().find("进度创建完成！"), std::string::npos) << g_info.back();
    bool named = false;  // partitions without a letter are shown by their device name
    for (const std::string& p : g_prompts) named = named || p.find(disk_path_ + "@2048") != std::string::npos;
    EXPECT_TRUE(named);
  }

  // Change the FAT partition only, then an incremental.
  sysutil_test::make_file(work_.file("new.txt"), std::string(70000, 'n'));
  ASSERT_TRUE(fat("mcopy -i " + fat_image() + " '" + work_.file("new.txt") + "' ::/new.txt"));
  ASSERT_TRUE(fat("mdel -i " + fat_image() + " ::/README.txt"));
  load_storage();
  disk = open_sample();
  ASSERT_TRUE(disk);
  BACKUP_REQUEST incremental = request(img::kBackupIncremental);
  const int64_t first_incremental = run(&incremental, disk.get());
  ASSERT_GT(first_incremental, 0) << message_;
  load_storage();
  ASSERT_EQ(2u, libtavimg_get_storage_data()->snaps.size());
  // The unchanged ext4 partition stores (almost) nothing; the FAT partition its changes.
  EXPECT_LT(stored_bytes_at(libtavimg_get_storage_data(), 1, 83968), 64u * 1024);
  EXPECT_GT(stored_bytes_at(libtavimg_get_storage_data(), 1, 2048), 0u);

  // Change both, then a differential against the full snapshot.
  sysutil_test::make_file(work_.file("more.bin"), std::string(200000, 'm'));
  ASSERT_TRUE(ext("write " + work_.file("more.bin") + " more.bin"));
  ASSERT_TRUE(fat("mcopy -o -i " + fat_image() + " '" + work_.file("more.bin") + "' ::/docs/more.bin"));
  disk = open_sample();
  ASSERT_TRUE(disk);
  BACKUP_REQUEST differential = request(img::kBackupDifferential);
  ASSERT_GT(run(&differential, disk.get()), first_incremental) << message_;

  expect_snapshots_read_back();
  const STORAGE_DATA* storage = libtavimg_get_storage_data();
  ASSERT_EQ(3u, storage->snaps.size());
  EXPECT_EQ(img::kBackupDifferential, storage->snaps[2]->backup_type);
  // The differential's partitions continue the full snapshot.
  for (auto& p : storage->snaps[2]->disks->parts) {
    if (disk::part_is_extended(*p)) continue;
    EXPECT_EQ(storage->snaps[0]->snap_seq, disk::rec_u32(*p, pl::kParentSeq));
    EXPECT_EQ(0u, disk::rec_u32(*p, pl::kFull));
  }
}

TEST_F(SampleDiskBackupTest, RefusedRequestWritesNothing) {
  if (HasFatalFailure() || IsSkipped()) return;
  auto disk = open_sample();
  ASSERT_TRUE(disk);
  BACKUP_REQUEST r = request(img::kBackupFull);
  r.dest_dir = work_.file("missing");
  EXPECT_EQ(-1, run(&r, disk.get()));
  EXPECT_NE(std::string(message_).find("does not exist"), std::string::npos) << message_;
  EXPECT_TRUE(fs::is_empty(store_));
  EXPECT_FALSE(fs::exists(r.dest_dir));
  EXPECT_EQ(0, record_.worker_mode.load());
}

// ---- A fake partition: slow enough to cancel, or failing ---------------------------------------

// Contents that hardly compress, so that the run writes several volumes.
void scattered_fill(uint64_t sector, uint8_t* out) {
  for (uint64_t i = 0; i < 512; ++i) out[i] = uint8_t((sector * 512 + i) * 2654435761u >> 13);
}

class FakeSourceBackupTest : public BackupRunTest {
 protected:
  void SetUp() override {
    BackupRunTest::SetUp();
    source_.sectors = kSectors;
    source_.fill = scattered_fill;
    disk_ = std::make_unique<_DISK_INFOMATION>();
    disk_->name = "fake";
    disk_->path = "/nonexistent/fake.img";
    disk_->total_sectors = 2048 + kSectors;
    disk_->heads = 255;
    disk_->sectors_per_track = 63;
    disk_->sectors_per_cylinder = 255 * 63;
    disk_->table_kind = disk::TableKind::kMbr;
    auto part = std::make_unique<BACKUP_PARTITION_INFO>();
    disk::init_part_record(*part);
    disk::set_part_extent(*part, 2048, kSectors);
    disk::set_rec_u8(*part, pl::kPartType, 0x83);
    disk::set_rec_u32(*part, pl::kPartNumber, 1);
    disk::set_part_used_sectors(*part, kSectors);
    part->ops_fs = disk::unknown_file_system();
    source_.attach(part.get());
    part->selected = 1;
    part->dev_name = "/nonexistent/fake.img@2048";
    ASSERT_EQ(0, tav_part_add(disk_.get(), part.get()));
    part.release();
  }
  static constexpr uint64_t kSectors = 64 * 1024;  // 32 MiB, 256 units
  test::MemoryPartition source_;
  std::unique_ptr<_DISK_INFOMATION> disk_;
};

TEST_F(FakeSourceBackupTest, CancelLeavesTheDirectoryAsItWas) {
  BACKUP_REQUEST first = request(img::kBackupFull);
  ASSERT_EQ(0, run(&first, disk_.get())) << message_;
  const auto before = directory_state(store_);
  ASSERT_FALSE(before.empty());

  source_.reads = 0;
  source_.gate_read = 40;  // well inside the partition, with volumes already written
  BACKUP_REQUEST second = request(img::kBackupFull);
  second.volume_limit = 4 * 1024 * 1024;
  std::thread canceller([&] {
    source_.wait_until_at_gate();
    record_.cancel.store(1);
    source_.open_gate();
  });
  ASSERT_EQ(1, TavStartBackup(&second, disk_.get()));
  EXPECT_EQ(-1, sink_.wait_result(2));
  canceller.join();
  ASSERT_EQ(1, libtavpub_stop_thread(&record_, 100));
  EXPECT_EQ(before, directory_state(store_));
  std::lock_guard<std::mutex> lock(g_texts_mu);
  ASSERT_FALSE(g_info.empty());
  EXPECT_NE(g_info.back().find("取消"), std::string::npos) << g_info.back();
}

TEST_F(FakeSourceBackupTest, FailingReadFailsTheRunAndDeletesItsVolumes) {
  source_.fail_read = 30;
  BACKUP_REQUEST r = request(img::kBackupFull);
  r.volume_limit = 4 * 1024 * 1024;
  EXPECT_EQ(-1, run(&r, disk_.get()));
  EXPECT_TRUE(fs::is_empty(store_));
  EXPECT_GT(record_.error_count.load(), 0);
  EXPECT_NE(std::string(message_), "") << "the failure was reported";
  std::lock_guard<std::mutex> lock(g_texts_mu);
  ASSERT_FALSE(g_info.empty());
  EXPECT_NE(g_info.back().find("未知错误发生！"), std::string::npos) << g_info.back();
}

}  // namespace
}  // namespace tav::engine
