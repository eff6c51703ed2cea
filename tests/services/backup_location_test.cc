// The backup location policy: the kind of snapshot a storage allows, the least volume size a
// disk needs, the volume limit, and the directories a run creates and removes again.
#include "services/backup_location.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "format/ego_format.h"
#include "disk/disk.h"
#include "tests/core/file_utils_test_support.h"

namespace tav::services {
namespace {

using sysutil_test::make_file;
using sysutil_test::TempDir;

constexpr uint64_t kMiB = uint64_t{1} << 20;

TEST(BackupLocationTest, KindFollowsTheStorage) {
  struct Case {
    const char* name;
    uint32_t requested;
    bool storage_exists;
    bool ok;
    uint32_t kind;
  };
  const Case cases[] = {
      {"unset, new storage", 0, false, true, img::kBackupFull},
      {"unset, existing storage", 0, true, true, img::kBackupIncremental},
      {"full onto an existing storage", img::kBackupFull, true, true, img::kBackupFull},
      {"differential onto an existing storage", img::kBackupDifferential, true, true, img::kBackupDifferential},
      {"incremental without a storage", img::kBackupIncremental, false, false, 0},
      {"differential without a storage", img::kBackupDifferential, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t kind = 0;
    const Status st = choose_backup_kind(c.requested, c.storage_exists, "/store", "base", &kind);
    EXPECT_EQ(st.is_ok(), c.ok) << st.message();
    if (c.ok) {
      EXPECT_EQ(kind, c.kind);
    } else {
      EXPECT_EQ(st.message(),
                "an incremental or differential snapshot extends a storage, and /store holds no snapshot of \"base\"");
    }
  }
}

TEST(BackupLocationTest, SmallestVolumeHoldsTwoDescriptorAreasAndUnits) {
  // Two descriptor areas (saved boot sectors and 64 KiB of records each) and two of the largest
  // stored units, rounded up to whole MiB, never below the 1 MiB floor.
  struct Case {
    uint64_t boot_sectors;
    uint64_t bytes;
  };
  const Case cases[] = {
      {0, kMiB},          // 425,984 bytes of need: the floor
      {63, kMiB},         // a classic first track still fits in 1 MiB
      {2048, 3 * kMiB},   // 1 MiB of boot sectors: 2,523,136 bytes
      {4096, 5 * kMiB},   // 2 MiB: 4,620,288 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boot_sectors);
    _DISK_INFOMATION disk;
    disk.mbr.assign(c.boot_sectors * kSectorSize, 0);
    EXPECT_EQ(smallest_volume_bytes(disk), c.bytes);
  }
  // Exactly at a MiB boundary no further MiB is added.
  _DISK_INFOMATION disk;
  const uint64_t fixed = 2 * 64 * 1024 + 2 * uint64_t{img::kMaxStoredUnitBytes};
  disk.mbr.assign((4 * kMiB - fixed) / 2, 0);
  EXPECT_EQ(smallest_volume_bytes(disk), 4 * kMiB);
}

TEST(BackupLocationTest, VolumeLimitIsTheRequestOrNoneOffFat) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  EXPECT_EQ(volume_limit_bytes(650 * kMiB, dir.path()), 650 * kMiB);
  // The test directory does not lie on a FAT file system: no limit.
  EXPECT_EQ(volume_limit_bytes(0, dir.path()), 0u);
}

TEST(BackupLocationTest, ExistingAncestorWalksUpToADirectory) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(make_file(dir.file("file")));
  std::string ancestor;
  struct stat st {};
  ASSERT_TRUE(existing_ancestor(dir.file("a/b/c//"), &ancestor, &st).is_ok());
  EXPECT_EQ(ancestor, dir.path());
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  const Status through_file = existing_ancestor(dir.file("file/store"), &ancestor, &st);
  EXPECT_EQ(through_file.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(through_file.message(), dir.file("file") + ": not a directory");
}

TEST(BackupLocationTest, CreatedDirectoriesGoUnlessKeptOrNotEmpty) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  namespace fs = std::filesystem;
  {
    CreatedDirectories created;
    ASSERT_TRUE(created.create(dir.file("a/b/c/")).is_ok());
    EXPECT_TRUE(fs::is_directory(dir.file("a/b/c")));
    EXPECT_EQ(fs::status(dir.file("a/b")).permissions(), fs::perms::owner_all);
  }
  EXPECT_FALSE(fs::exists(dir.file("a"))) << "a run that added nothing leaves no directory behind";

  {
    CreatedDirectories created;
    ASSERT_TRUE(created.create(dir.file("kept/store")).is_ok());
    created.keep();
  }
  EXPECT_TRUE(fs::is_directory(dir.file("kept/store")));

  // Only what the run made goes, and only while empty.
  {
    CreatedDirectories created;
    ASSERT_TRUE(created.create(dir.file("kept/store/x/y")).is_ok());
    ASSERT_TRUE(make_file(dir.file("kept/store/x/left")));
  }
  EXPECT_FALSE(fs::exists(dir.file("kept/store/x/y")));
  EXPECT_TRUE(fs::exists(dir.file("kept/store/x/left")));

  // A failure part-way (here a file met after ".." steps back out of the new directories): what
  // was made before it is removed all the same.
  ASSERT_TRUE(make_file(dir.file("plain")));
  {
    CreatedDirectories created;
    const Status st = created.create(dir.file("new/sub/../../plain/store"));
    EXPECT_EQ(st.code(), StatusCode::kIoError);
    EXPECT_TRUE(fs::is_directory(dir.file("new/sub")));
  }
  EXPECT_FALSE(fs::exists(dir.file("new")));
}

}  // namespace
}  // namespace tav::services
