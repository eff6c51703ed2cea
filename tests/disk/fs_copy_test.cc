// The file-system-aware copy (restore and clone) and what goes with it: boot-sector fixes on
// crafted sectors, copies between partitions of disk image files made by
// tests/fixtures/test_disk.sh, refusals, interruption, read failures and their questions,
// growing to a larger destination, and the partition-table reload of image files.
#include "disk/fs_copy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/engine_report.h"
#include "core/extent_vector.h"
#include "core/progress_channel.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "tests/core/scoped_env.h"
#include "tests/disk/disk_test_support.h"

namespace tav::disk {
namespace {

using test::add_file_partition;
using test::file_bytes;
using test::file_disk;
using test::have_tools;
using test::TempDir;

// ---- boot-sector fixes ----

std::vector<uint8_t> fat_boot(bool fat32) {
  std::vector<uint8_t> b(512, 0);
  b[0] = 0xEB;
  b[1] = fat32 ? 0x58 : 0x3C;
  b[2] = 0x90;
  std::memcpy(&b[3], "MSDOS5.0", 8);
  put_le16(&b[0x0B], 512);
  b[0x0D] = fat32 ? 1 : 4;
  put_le16(&b[0x0E], fat32 ? 32 : 4);
  b[0x10] = 2;
  b[0x15] = 0xF8;
  put_le16(&b[0x18], 32);
  put_le16(&b[0x1A], 64);
  put_le32(&b[0x1C], 0);
  if (fat32) put_le16(&b[0x32], 6);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

std::vector<uint8_t> ntfs_boot() {
  std::vector<uint8_t> b(512, 0);
  b[0] = 0xEB;
  b[1] = 0x52;
  b[2] = 0x90;
  std::memcpy(&b[3], "NTFS    ", 8);
  put_le16(&b[0x0B], 512);
  b[0x0D] = 8;
  b[0x15] = 0xF8;
  put_le16(&b[0x18], 32);
  put_le16(&b[0x1A], 64);
  put_le64(&b[0x28], 32767);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

struct BootCase {
  const char* name;
  std::function<std::vector<uint8_t>()> make;
  int fat_result;
  int ntfs_result;
};

TEST(BootSectorFixTest, FitsOnlyItsOwnBootSectorsToTheNewPlace) {
  const BootCase cases[] = {
      {"FAT16", [] { return fat_boot(false); }, 0, -1},
      {"FAT32", [] { return fat_boot(true); }, 0, -1},
      {"NTFS", [] { return ntfs_boot(); }, -1, 0},
      {"zeros", [] { return std::vector<uint8_t>(512, 0); }, -1, -1},
      {"FAT without signature",
       [] {
         auto b = fat_boot(true);
         b[511] = 0;
         return b;
       },
       -1, -1},
      {"FAT with 3 FATs",
       [] {
         auto b = fat_boot(false);
         b[0x10] = 3;
         return b;
       },
       -1, -1},
      {"exFAT",
       [] {
         auto b = fat_boot(false);
         std::memcpy(&b[3], "EXFAT   ", 8);
         return b;
       },
       -1, -1},
      {"NTFS with 100-byte sectors",
       [] {
         auto b = ntfs_boot();
         put_le16(&b[0x0B], 100);
         return b;
       },
       -1, -1},
  };
  for (const BootCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (int ntfs = 0; ntfs < 2; ++ntfs) {
      std::vector<uint8_t> b = c.make();
      const std::vector<uint8_t> before = b;
      const int expected = ntfs ? c.ntfs_result : c.fat_result;
      const int rc = ntfs ? libtavntfs_fix_ntfs_bootsector(b.data(), 63, 255, 0x12345678)
                          : libtavfat_fix_fat_bootsector(b.data(), 63, 255, 0x12345678);
      EXPECT_EQ(rc, expected) << (ntfs ? "ntfs fix" : "fat fix");
      if (rc != 0) {
        EXPECT_EQ(b, before) << "a refused sector is left unchanged";
        continue;
      }
      EXPECT_EQ(get_le16(&b[0x18]), 63);
      EXPECT_EQ(get_le16(&b[0x1A]), 255);
      EXPECT_EQ(get_le32(&b[0x1C]), 0x12345678u);
      // Nothing but the three fields changes.
      for (size_t i = 0; i < b.size(); ++i) {
        if (i >= 0x18 && i < 0x20) continue;
        ASSERT_EQ(b[i], before[i]) << "byte " << i;
      }
    }
  }
}

// ---- copies ----

// Layout of test_disk.sh's disk, in sectors.
struct FixturePart {
  const char* fs;  // the script's name
  uint32_t number;
  uint64_t first;
  uint64_t count;
};
constexpr FixturePart kFat{"fat", 1, 2048, 73728};
constexpr FixturePart kExt{"ext", 2, 2048 + 73728, 32768};
constexpr FixturePart kNtfs{"ntfs", 3, 2048 + 73728 + 32768, 32768};

std::string script() { return std::string(TAV_SOURCE_DIR) + "/tests/fixtures/test_disk.sh"; }

int shell(const std::string& command) {
  const int rc = std::system(command.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string q(const std::string& s) { return "'" + s + "'"; }

// Copies `count` sectors at `first` of `from` into a new file.
bool extract(const std::string& from, uint64_t first, uint64_t count, const std::string& to) {
  return shell("dd if=" + q(from) + " of=" + q(to) + " bs=512 skip=" + std::to_string(first) +
               " count=" + std::to_string(count) + " status=none") == 0;
}

// A channel whose question slot answers from a script and whose progress slot counts sectors
// (and can cancel after the first piece).
struct ScriptedChannel {
  THREAD_GUI_DATA record;
  GUI_OPS ops = builtin_channel_ops();
  std::deque<uint32_t> answers;
  std::vector<std::string> questions;
  uint64_t progressed = 0;
  bool cancel_after_first_piece = false;

  ScriptedChannel() {
    record.ops = &ops;
    ops.sub_progress_update = &ScriptedChannel::update;
    ops.throw_dlg = &ScriptedChannel::dialog;
    current() = this;
  }
  ~ScriptedChannel() { current() = nullptr; }

  static ScriptedChannel*& current() {
    static ScriptedChannel* channel = nullptr;
    return channel;
  }
  static void update(THREAD_GUI_DATA* record, uint32_t units) {
    ScriptedChannel* c = current();
    c->progressed += units;
    if (c->cancel_after_first_piece) record->cancel = 1;
  }
  static uint32_t dialog(THREAD_GUI_DATA*, uint32_t, uint32_t buttons, const char* format, ...) {
    ScriptedChannel* c = current();
    va_list args;
    va_start(args, format);
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    c->questions.emplace_back(text);
    EXPECT_EQ(buttons, kButtonsAbortRetryIgnore);
    if (c->answers.empty()) return kAnswerAbort;
    const uint32_t a = c->answers.front();
    c->answers.pop_front();
    return a;
  }

  COPY_CONTEXT context(BACKUP_PARTITION_INFO* source, BACKUP_PARTITION_INFO* dest) {
    COPY_CONTEXT c;
    c.error_count = &record.error_count;
    c.cancel = &record.cancel;
    c.channel = &record;
    c.source = source;
    c.dest = dest;
    c.read_failed_text = "Reading the disk failed. Retry?";
    c.write_failed_text = "Writing the disk failed. Retry?";
    return c;
  }
};

// Routes the disk library's reports into a buffer (no boxes).
class ReportCapture {
 public:
  ReportCapture() { libtavdisk_set_thread_gui(nullptr, message_, &flag_); }
  ~ReportCapture() { libtavdisk_set_thread_gui(nullptr, nullptr, nullptr); }
  std::string text() const { return message_; }

 private:
  char message_[kMessageBufferBytes] = {};
  int32_t flag_ = 0;
};

class FsCopyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tav_init_disk();
    dir_ = new TempDir();
    if (!have_tools({"sfdisk", "mkfs.fat", "mcopy", "mkfs.ext4", "mkntfs", "ntfscp", "debugfs", "ntfscat",
                     "fsck.fat", "e2fsck", "ntfsfix"})) {
      skip_reason_ = "the file-system tools of test_disk.sh are not installed";
      return;
    }
    const int rc = shell("bash " + q(script()) + " make " + q(dir_->file("source.img")) + " mbr " +
                         q(dir_->file("state")));
    if (rc != 0) skip_reason_ = "test_disk.sh make failed with status " + std::to_string(rc);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!skip_reason_.empty()) GTEST_SKIP() << skip_reason_;
    ASSERT_TRUE(work_.ok());
    ASSERT_TRUE(open_disk(dir_->file("source.img"), &source_disk_).is_ok());
  }

  BACKUP_PARTITION_INFO* source_part(const FixturePart& p) {
    for (const auto& part : source_disk_->parts) {
      if (part->first_sector == p.first) return part.get();
    }
    return nullptr;
  }

  // A destination disk image holding one partition of `sectors` at sector 2048, filled with a
  // pattern (what an earlier file system would have left) so that nothing relies on zeros.
  BACKUP_PARTITION_INFO* make_dest(uint64_t sectors, const std::string& name = "dest.img") {
    dest_path_ = work_.file(name);
    const uint64_t bytes = (sectors + 4096) * 512;
    std::vector<uint8_t> pattern(1 << 20, 0xA5);
    FILE* f = std::fopen(dest_path_.c_str(), "wb");
    for (uint64_t done = 0; f != nullptr && done < bytes; done += pattern.size()) {
      std::fwrite(pattern.data(), 1, std::min<uint64_t>(pattern.size(), bytes - done), f);
    }
    if (f != nullptr) std::fclose(f);
    dest_disk_ = file_disk(dest_path_);
    if (dest_disk_ == nullptr) return nullptr;
    return add_file_partition(dest_disk_.get(), 2048, sectors, 0x83);
  }

  std::string dest_part_file(const BACKUP_PARTITION_INFO* dest, const std::string& name) {
    const std::string out = work_.file(name);
    EXPECT_TRUE(extract(dest_path_, dest->first_sector, dest->sector_count, out));
    return out;
  }

  // The file system's own check and the files it holds, against the fixture's mirror.
  void expect_clean_with_files(const std::string& part_file, const char* fs) {
    EXPECT_EQ(shell("bash " + q(script()) + " check " + q(part_file) + " " + fs + " >/dev/null 2>&1"), 0)
        << fs << " check of the copy";
    const std::string out = part_file + ".files";
    const std::string state = dir_->file("state") + "/" + fs;
    ASSERT_EQ(shell("bash " + q(script()) + " files " + q(part_file) + " " + fs + " " + q(out) + " " + q(state)),
              0);
    EXPECT_EQ(shell("diff -r " + q(state) + " " + q(out) + " >&2"), 0) << "files of the " << fs << " copy";
  }

  // NTFS after ntfsresize: the volume is marked for a check at the next start of its system, so
  // its files are read with the force option.
  void expect_grown_ntfs_files(const std::string& part_file) {
    EXPECT_EQ(shell("ntfsfix -n " + q(part_file) + " >/dev/null 2>&1"), 0) << "ntfs check of the copy";
    const std::string state = dir_->file("state") + "/ntfs";
    for (const auto& entry : std::filesystem::directory_iterator(state)) {
      const std::string name = entry.path().filename().string();
      const std::string out = part_file + "." + name;
      EXPECT_EQ(shell("ntfscat -f " + q(part_file) + " " + q(name) + " > " + q(out) + " 2>/dev/null && cmp -s " +
                      q(out) + " " + q(entry.path().string())),
                0)
          << name;
    }
  }

  static TempDir* dir_;
  static std::string skip_reason_;
  TempDir work_;
  std::unique_ptr<_DISK_INFOMATION> source_disk_;
  std::unique_ptr<_DISK_INFOMATION> dest_disk_;
  std::string dest_path_;
};

TempDir* FsCopyTest::dir_ = nullptr;
std::string FsCopyTest::skip_reason_;

TEST_F(FsCopyTest, EqualSizeCopiesAreCleanAndHoldTheSameFiles) {
  for (const FixturePart& p : {kFat, kExt, kNtfs}) {
    SCOPED_TRACE(p.fs);
    BACKUP_PARTITION_INFO* source = source_part(p);
    ASSERT_NE(source, nullptr);
    ASSERT_NE(source->ops_fs->copy, nullptr) << "the handler offers the copy";
    BACKUP_PARTITION_INFO* dest = make_dest(p.count, std::string(p.fs) + ".img");
    ASSERT_NE(dest, nullptr);
    // The destination disk has another geometry than the source's.
    dest_disk_->sectors_per_track = 32;
    dest_disk_->heads = 16;
    ScriptedChannel channel;
    COPY_CONTEXT context = channel.context(source, dest);
    context.is_fat32 = p.number == 1;
    ASSERT_EQ(source->ops_fs->copy(&context), 0);
    EXPECT_EQ(channel.record.error_count.load(), 0);
    EXPECT_TRUE(channel.questions.empty());
    EXPECT_EQ(channel.progressed, part_used_sectors(*source)) << "progress counts the used sectors";
    const std::string part_file = dest_part_file(dest, std::string(p.fs) + ".part");
    expect_clean_with_files(part_file, p.fs);
    const std::vector<uint8_t> boot = file_bytes(part_file);
    ASSERT_GE(boot.size(), 512u);
    if (p.number != 2) {  // FAT and NTFS carry the new place in their boot sector
      EXPECT_EQ(get_le16(&boot[0x18]), 32);
      EXPECT_EQ(get_le16(&boot[0x1A]), 16);
      EXPECT_EQ(get_le32(&boot[0x1C]), 2048u);
    }
    if (p.number == 1) {  // and the FAT32 backup boot sector matches the primary
      EXPECT_TRUE(std::equal(boot.begin(), boot.begin() + 512, boot.begin() + 6 * 512));
    }
  }
}

TEST_F(FsCopyTest, SmallerDestinationIsRefusedWithBothSizes) {
  BACKUP_PARTITION_INFO* source = source_part(kExt);
  ASSERT_NE(source, nullptr);
  BACKUP_PARTITION_INFO* dest = make_dest(kExt.count - 1);
  ASSERT_NE(dest, nullptr);
  const std::vector<uint8_t> before = file_bytes(dest_path_);
  ReportCapture report;
  ScriptedChannel channel;
  COPY_CONTEXT context = channel.context(source, dest);
  EXPECT_EQ(tav_fs_copy_used(&context), -1);
  EXPECT_EQ(channel.record.error_count.load(), 1);
  EXPECT_NE(report.text().find("is smaller than"), std::string::npos) << report.text();
  EXPECT_NE(report.text().find(std::to_string(kExt.count) + " sectors"), std::string::npos) << report.text();
  EXPECT_NE(report.text().find(std::to_string(kExt.count - 1) + " sectors"), std::string::npos) << report.text();
  EXPECT_EQ(file_bytes(dest_path_), before) << "nothing was written";
}

TEST_F(FsCopyTest, DestinationOverlappingTheSourceIsRefused) {
  BACKUP_PARTITION_INFO* source = source_part(kExt);
  ASSERT_NE(source, nullptr);
  ReportCapture report;
  ScriptedChannel channel;
  COPY_CONTEXT context = channel.context(source, source);
  EXPECT_EQ(tav_fs_copy_used(&context), -1);
  EXPECT_NE(report.text().find("overlaps"), std::string::npos) << report.text();
}

// Type code of the file system a probe recognises on `part`, FS_UNKNOWN for none.
uint32_t probed_type(BACKUP_PARTITION_INFO* part) {
  const FILE_SYSTEM_TYPE* fs = probe_file_system(part);
  return fs == nullptr ? uint32_t(FS_UNKNOWN) : fs->type_code;
}

TEST_F(FsCopyTest, InterruptedCopyLeavesNoValidFileSystem) {
  for (const FixturePart& p : {kFat, kNtfs, kExt}) {
    SCOPED_TRACE(p.fs);
    BACKUP_PARTITION_INFO* source = source_part(p);
    ASSERT_NE(source, nullptr);
    // First a complete copy, so that the interrupted one overwrites a valid file system.
    BACKUP_PARTITION_INFO* dest = make_dest(p.count, std::string(p.fs) + ".img");
    ASSERT_NE(dest, nullptr);
    {
      ScriptedChannel channel;
      COPY_CONTEXT context = channel.context(source, dest);
      ASSERT_EQ(tav_fs_copy_used(&context), 0);
    }
    ASSERT_EQ(probed_type(dest), source->ops_fs->type_code);
    ScriptedChannel channel;
    channel.cancel_after_first_piece = true;
    COPY_CONTEXT context = channel.context(source, dest);
    EXPECT_EQ(tav_fs_copy_used(&context), 0) << "a cancel is no error";
    EXPECT_EQ(channel.record.error_count.load(), 0);
    EXPECT_LT(channel.progressed, part_used_sectors(*source));
    EXPECT_EQ(probed_type(dest), uint32_t(FS_UNKNOWN)) << "no file system is recognised";
    const std::string part_file = dest_part_file(dest, std::string(p.fs) + ".part");
    EXPECT_NE(shell("bash " + q(script()) + " check " + q(part_file) + " " + p.fs + " >/dev/null 2>&1"), 0);
  }
}

// A source whose reads fail at one sector a given number of times.
struct FlakySource {
  static const PART_OPERATIONS* real;
  static uint64_t bad_sector;
  static int failures_left;
  static int64_t read_sectors(BACKUP_PARTITION_INFO* part, uint64_t first, uint32_t count, void* buffer) {
    if (failures_left > 0 && first <= bad_sector && bad_sector < first + count) {
      --failures_left;
      errno = EIO;
      return -1;
    }
    return real->read_sectors(part, first, count, buffer);
  }
};
const PART_OPERATIONS* FlakySource::real = nullptr;
uint64_t FlakySource::bad_sector = 0;
int FlakySource::failures_left = 0;

TEST(FsCopyQuestionTest, ReadFailuresFollowTheAnswers) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  constexpr uint64_t kSectors = 3 * 8192;  // three pieces
  const std::string src_path = dir.file("src.img");
  ASSERT_EQ(shell("head -c " + std::to_string(kSectors * 512) + " /dev/urandom > " + q(src_path)), 0);
  const std::vector<uint8_t> src_bytes = file_bytes(src_path);
  tav_init_disk();

  struct Case {
    const char* name;
    int failures;
    std::vector<uint32_t> answers;
    bool ask;  // the engine gave question texts
    int rc;
    size_t questions;
    bool second_piece_copied;
  };
  const Case cases[] = {
      {"retry then success", 1, {kAnswerRetry}, true, 0, 1, true},
      {"ignore skips the piece", 5, {kAnswerIgnore}, true, 0, 1, false},
      {"abort fails", 5, {kAnswerRetry, kAnswerAbort}, true, -1, 2, false},
      {"no question text fails at once", 5, {}, false, -1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto src_disk = file_disk(src_path);
    BACKUP_PARTITION_INFO* source = add_file_partition(src_disk.get(), 0, kSectors, 0xDA);
    PART_OPERATIONS flaky = *tav_get_part_operation();
    FlakySource::real = tav_get_part_operation();
    FlakySource::bad_sector = 8192 + 100;  // in the second piece
    FlakySource::failures_left = c.failures;
    flaky.read_sectors = FlakySource::read_sectors;
    source->ops = &flaky;
    source->ops_fs = unknown_file_system();

    const std::string dst_path = dir.file(std::string("dst-") + std::to_string(&c - cases) + ".img");
    ASSERT_EQ(shell("truncate -s " + std::to_string(kSectors * 512) + " " + q(dst_path)), 0);
    auto dst_disk = file_disk(dst_path);
    BACKUP_PARTITION_INFO* dest = add_file_partition(dst_disk.get(), 0, kSectors, 0xDA);

    ReportCapture report;
    ScriptedChannel channel;
    channel.answers.assign(c.answers.begin(), c.answers.end());
    COPY_CONTEXT context = channel.context(source, dest);
    if (!c.ask) context.read_failed_text = nullptr;
    EXPECT_EQ(tav_fs_copy_used(&context), c.rc);
    EXPECT_EQ(channel.record.error_count.load(), c.rc == 0 ? 0 : 1);
    EXPECT_EQ(channel.questions.size(), c.questions);
    for (const std::string& question : channel.questions) {
      EXPECT_EQ(question, "Reading the disk failed. Retry?");
    }
    if (c.rc != 0) {
      EXPECT_NE(report.text().find("sector 8192"), std::string::npos) << report.text();
    }

    const std::vector<uint8_t> out = file_bytes(dst_path);
    ASSERT_EQ(out.size(), src_bytes.size());
    const size_t piece = 8192 * 512;
    // The first sectors are written last: only a finished copy has them.
    EXPECT_EQ(std::equal(out.begin(), out.begin() + 4096, src_bytes.begin()), c.rc == 0);
    EXPECT_TRUE(std::equal(out.begin() + 4096, out.begin() + piece, src_bytes.begin() + 4096));
    EXPECT_EQ(std::equal(out.begin() + piece, out.begin() + 2 * piece, src_bytes.begin() + piece),
              c.second_piece_copied);
    if (c.rc == 0) {
      EXPECT_TRUE(std::equal(out.begin() + 2 * piece, out.end(), src_bytes.begin() + 2 * piece));
      EXPECT_EQ(channel.progressed, kSectors) << "a skipped piece still counts";
    }
  }
}

// ---- growing ----

bool can_attach_loop_devices() {
  return ::geteuid() == 0 && have_tools({"losetup"}) && ::access("/dev/loop-control", F_OK) == 0;
}

uint64_t ext_bytes(const std::vector<uint8_t>& part) {
  const uint8_t* sb = part.data() + 1024;
  return uint64_t(get_le32(sb + 4)) * (1024u << get_le32(sb + 24));
}

TEST_F(FsCopyTest, LargerDestinationIsGrownToSpanIt) {
  // ext and NTFS are grown by their tools over a loop device; FAT by our own code, on any disk.
  const bool loops = can_attach_loop_devices();
  constexpr uint64_t kExtra = 16 * 2048;  // 16 MiB more
  for (const FixturePart& p : {kExt, kNtfs, kFat}) {
    if (p.number != 1 && !loops) continue;
    SCOPED_TRACE(p.fs);
    BACKUP_PARTITION_INFO* source = source_part(p);
    ASSERT_NE(source, nullptr);
    BACKUP_PARTITION_INFO* dest = make_dest(p.count + kExtra, std::string(p.fs) + ".img");
    ASSERT_NE(dest, nullptr);
    ReportCapture report;
    ScriptedChannel channel;
    COPY_CONTEXT context = channel.context(source, dest);
    ASSERT_EQ(tav_fs_copy_used(&context), 0) << report.text();
    EXPECT_EQ(channel.record.error_count.load(), 0);
    const std::string part_file = dest_part_file(dest, std::string(p.fs) + ".part");
    if (p.number == 3) {
      expect_grown_ntfs_files(part_file);
    } else {
      expect_clean_with_files(part_file, p.fs);
    }
    const std::vector<uint8_t> bytes = file_bytes(part_file);
    ASSERT_GE(bytes.size(), 2048u);
    const uint64_t dest_bytes = dest->sector_count * 512;
    if (p.number == 2) {
      EXPECT_GT(ext_bytes(bytes), dest_bytes - (1 << 20)) << "ext spans the destination";
      EXPECT_LE(ext_bytes(bytes), dest_bytes);
    } else if (p.number == 3) {
      EXPECT_GE(get_le64(&bytes[0x28]), dest->sector_count - 8) << "NTFS spans the destination";
      EXPECT_LT(get_le64(&bytes[0x28]), dest->sector_count);
    } else {
      // FAT is grown by our own code: the volume spans the destination, and nothing warns.
      EXPECT_EQ(get_le16(&bytes[0x13]), 0);
      EXPECT_EQ(get_le32(&bytes[0x20]), dest->sector_count) << "FAT spans the destination";
      EXPECT_EQ(report.text().find("keeps its size"), std::string::npos) << report.text();
    }
    if (p.number != 3) {  // the pattern an earlier file system left in the last sector is gone
      EXPECT_TRUE(std::all_of(bytes.end() - 512, bytes.end(), [](uint8_t b) { return b == 0; }));
    }
  }
  if (!loops) GTEST_SKIP() << "growing ext and NTFS needs root and loop devices (FAT was grown)";
}

TEST_F(FsCopyTest, GrowWithoutLoopDevicesSaysWhy) {
  if (can_attach_loop_devices()) GTEST_SKIP() << "this machine can grow";
  BACKUP_PARTITION_INFO* source = source_part(kExt);
  ASSERT_NE(source, nullptr);
  BACKUP_PARTITION_INFO* dest = make_dest(kExt.count + 2048);
  ASSERT_NE(dest, nullptr);
  ReportCapture report;
  ScriptedChannel channel;
  COPY_CONTEXT context = channel.context(source, dest);
  EXPECT_EQ(tav_fs_copy_used(&context), 0) << "the copy itself is complete";
  EXPECT_FALSE(report.text().empty()) << "the failed grow is reported as a warning";
  expect_clean_with_files(dest_part_file(dest, "ext.part"), "ext");
}

// A resizing tool that ran and failed may have left the file system half changed: the copy must
// not pass for a good one. (A tool that is not there changes nothing: that stays a warning.)
TEST_F(FsCopyTest, GrowToolThatFailsMakesTheCopyFail) {
  if (!can_attach_loop_devices()) GTEST_SKIP() << "growing ext needs root and loop devices";
  const TempDir bin;
  ASSERT_TRUE(bin.ok());
  const std::string fake = bin.file("resize2fs");
  ASSERT_EQ(shell("printf '#!/bin/sh\\necho resize2fs: cannot grow this one >&2\\nexit 1\\n' > " + q(fake) +
                  " && chmod +x " + q(fake)),
            0);
  const std::string path = bin.path() + ":" + (getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin");
  tav::test::ScopedEnv env("PATH", path.c_str());
  BACKUP_PARTITION_INFO* source = source_part(kExt);
  ASSERT_NE(source, nullptr);
  BACKUP_PARTITION_INFO* dest = make_dest(kExt.count + 2048);
  ASSERT_NE(dest, nullptr);
  ReportCapture report;
  ScriptedChannel channel;
  COPY_CONTEXT context = channel.context(source, dest);
  EXPECT_EQ(tav_fs_copy_used(&context), -1);
  EXPECT_EQ(channel.record.error_count.load(), 1);
  EXPECT_NE(report.text().find("cannot grow this one"), std::string::npos) << report.text();
  EXPECT_NE(report.text().find("may be damaged"), std::string::npos) << report.text();
}

// ---- partition-table reload ----

TEST(ReloadPartitionTableTest, ImageFilesNeedNothingAndMissingDisksFail) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_EQ(shell("truncate -s 1M " + q(dir.file("disk.img"))), 0);
  auto disk = file_disk(dir.file("disk.img"));
  ASSERT_NE(disk, nullptr);
  EXPECT_TRUE(reload_partition_table(disk.get()).is_ok());
  disk->path = dir.file("gone.img");
  EXPECT_FALSE(reload_partition_table(disk.get()).is_ok());
  EXPECT_FALSE(reload_partition_table(nullptr).is_ok());
}

}  // namespace
}  // namespace tav::disk
