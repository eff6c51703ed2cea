// The mount daemon's devices over snapshots written by the real image writer: control codes and
// their statuses, mounts of full and incremental snapshots read back against the chain's data,
// replacement and close, the client's file rights, and partitions of 2^31 sectors and more.
#include "daemons/tavmount/mount_daemon.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/byte_order.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "format/ego_format.h"
#include "format/struct_sum.h"
#include "image/image_catalogue.h"
#include "tests/core/file_utils_test_support.h"
#include "tests/fixtures/snapshot_builder.h"

namespace tav::mount {
namespace {

using test::SyntheticDisk;
using test::SyntheticPartition;
using test::WrittenSnapshot;

constexpr uint32_t kSig = 0x5151;
constexpr uint64_t kSectors = 2100;
constexpr uint32_t kFullVol = 0;

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Caller self() { return Caller{uint32_t(::getpid()), uint32_t(::getuid()), uint32_t(::getgid())}; }

// A storage of two snapshots of one partition: a full one (volume 0) and an incremental on it
// (volume 1), with the data each must read as.
class MountFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    SyntheticDisk disk;
    disk.total_sectors = 8000;
    disk.boot_sectors = test::pattern_bytes(512, 9);
    SyntheticPartition full;
    full.start_sector = 63;
    full.signature = kSig;
    full.part_type = 0x83;
    full.content = test::pattern_bytes(kSectors * 512, 1);
    full.stored = {{0, 900}, {1000, 700}, {2000, 100}};
    disk.parts.push_back(full);
    full_ = write({disk}, img::kBackupFull, 1000000, nullptr);

    STORAGE_DATA storage;
    ASSERT_EQ(libtavimg_load_image2(&storage, folder().c_str(), "imbackup", 0), 0);
    SyntheticPartition incr = full;
    incr.content = test::pattern_bytes(kSectors * 512, 2);
    incr.stored = {{5, 300}, {1500, 400}, {2099, 1}};
    incr.parent_seq = full_.snap_seq;
    incr.parent_time = full_.create_time;
    incr.parent_vol = full_.first_vol;
    disk.parts[0] = incr;
    incr_ = write({disk}, img::kBackupIncremental, 1000100, &storage);
    libtavimg_unload_image(&storage);

    full_data_ = test::expected_content({&full});
    incr_data_ = test::expected_content({&full, &disk.parts[0]});
  }

  WrittenSnapshot write(const std::vector<SyntheticDisk>& disks, uint32_t type, time_t now,
                        const STORAGE_DATA* storage) {
    test::SnapshotPlan plan;
    plan.directory = folder();
    plan.backup_type = type;
    plan.now = now;
    plan.storage = storage;
    plan.first_vol = storage == nullptr ? kFullVol : kFullVol + 1;
    WrittenSnapshot w;
    const Status st = test::write_snapshot(plan, disks, &w);
    EXPECT_TRUE(st) << st.message();
    return w;
  }

  std::string folder() const { return dir_.file(""); }
  std::string volume(uint32_t vol) const { return folder() + "imbackup" + std::to_string(vol) + ".ego"; }

  static std::vector<uint8_t> open_input(const WrittenSnapshot& w, const std::string& folder, uint32_t min_seq,
                                         uint32_t max_seq, uint32_t signature = kSig) {
    MountInformation info;
    info.drive_letter = u'M';
    info.snap_seq = w.snap_seq;
    info.snap_time = int64_t(int32_t(w.create_time));
    info.signature = signature;
    info.min_seq = min_seq;
    info.max_seq = max_seq;
    EXPECT_TRUE(set_mount_path(&info, folder, "imbackup"));
    MountInfoBytes bytes;
    encode_mount_info(info, &bytes);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
  }

  // Sends an open (or close) and decodes its reply record; the request itself must succeed.
  static MountInformation send(MountDaemon& d, uint32_t code, const std::vector<uint8_t>& in,
                               const Caller& caller = self(), uint32_t device = 0) {
    const Reply r = d.control(device, code, in, kMountInfoBytes, caller);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, kMountInfoBytes);
    MountInfoBytes bytes{};
    if (r.out.size() == kMountInfoBytes) std::copy(r.out.begin(), r.out.end(), bytes.begin());
    return decode_mount_info(bytes);
  }

  MountInformation mount(MountDaemon& d, const WrittenSnapshot& w, const Caller& caller = self()) {
    return send(d, IOCTL_TAV_PART_OPEN, open_input(w, folder(), 0, 1), caller);
  }

  // The whole partition through device 1 in reads of `chunk` bytes at odd offsets.
  static std::vector<uint8_t> read_all(MountDaemon& d, uint32_t chunk = 70001) {
    std::vector<uint8_t> out;
    const uint64_t total = d.mounted_sectors() * 512;
    for (uint64_t at = 0; at < total; at += chunk) {
      const uint32_t n = uint32_t(std::min<uint64_t>(chunk, total - at));
      const Reply r = d.read(1, at, n);
      if (r.status != STATUS_SUCCESS || r.out.size() != n) {
        ADD_FAILURE() << "read at " << at << ": status " << std::hex << r.status;
        return {};
      }
      out.insert(out.end(), r.out.begin(), r.out.end());
    }
    return out;
  }

  static uint32_t u32_of(MountDaemon& d, uint32_t code, uint32_t device = 0) {
    const Reply r = d.control(device, code, {}, 4, self());
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    return r.out.size() == 4 ? get_le32(r.out.data()) : 0xFFFFFFFF;
  }

  sysutil_test::TempDir dir_;
  WrittenSnapshot full_, incr_;
  std::vector<uint8_t> full_data_, incr_data_;
};

// ---- Control codes. ----

TEST_F(MountFixture, WithoutMediaOnlyOpenAndCountsAnswer) {
  MountDaemon d;
  EXPECT_FALSE(d.media_present());
  EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_VERSION), 5000u);
  EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_MOUNT_COUNT), 0u);
  d.add_reference(1, 3);
  d.add_reference(0, 1);
  EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_REF_COUNTS, 0), (3u << 16) | 1u);
  d.add_reference(1, 70000);  // clamped to 16 bits
  EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_REF_COUNTS, 1), 0xFFFFFFFFu);

  struct Case {
    uint32_t code;
    uint32_t out_length;
    uint32_t status;
  };
  const Case cases[] = {
      {IOCTL_TAV_GET_VERSION, 3, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_TAV_GET_REF_COUNTS, 0, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_TAV_GET_MOUNT_COUNT, 2, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_TAV_PART_QUERY, 2048, STATUS_NO_MEDIA_IN_DEVICE},
      {IOCTL_TAV_PART_CLOSE, 2048, STATUS_NO_MEDIA_IN_DEVICE},
      {IOCTL_DISK_GET_LENGTH_INFO, 8, STATUS_NO_MEDIA_IN_DEVICE},
      {IOCTL_DISK_IS_WRITABLE, 0, STATUS_NO_MEDIA_IN_DEVICE},
      {0x12345678, 64, STATUS_NO_MEDIA_IN_DEVICE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    for (uint32_t device : {0u, 1u}) EXPECT_EQ(d.control(device, c.code, {}, c.out_length, self()).status, c.status);
  }
  EXPECT_EQ(d.read(1, 0, 512).status, STATUS_NO_MEDIA_IN_DEVICE);
  const std::vector<uint8_t> data(512, 1);
  EXPECT_EQ(d.write(1, 0, data).status, STATUS_NO_MEDIA_IN_DEVICE);
  EXPECT_EQ(d.control(2, IOCTL_TAV_GET_VERSION, {}, 4, self()).status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(MountFixture, OpenWithBadLengthsIsRefusedBeforeAnythingHappens) {
  MountDaemon d;
  const std::vector<uint8_t> good = open_input(full_, folder(), 0, 1);
  const uint16_t dir_bytes = get_le16(&good[30]);
  const uint16_t name_bytes = get_le16(&good[32]);
  const size_t exact = 34 + dir_bytes + name_bytes;
  struct Case {
    const char* name;
    size_t in_length;
    int dir_delta;
    uint32_t out_length;
    uint32_t status;
  };
  const Case cases[] = {
      {"35 bytes", 35, 0, 2048, STATUS_INVALID_PARAMETER},
      {"strings run past the input", exact - 1, 0, 2048, STATUS_INVALID_PARAMETER},
      {"folder length runs past the input", exact, 2, 2048, STATUS_INVALID_PARAMETER},
      {"odd string length", exact, -1, 2048, STATUS_INVALID_PARAMETER},
      {"reply does not fit", 2048, 0, 2047, STATUS_BUFFER_TOO_SMALL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> in(good.begin(), good.begin() + std::ptrdiff_t(c.in_length));
    if (in.size() >= 32) put_le16(&in[30], uint16_t(dir_bytes + c.dir_delta));
    EXPECT_EQ(d.control(0, IOCTL_TAV_PART_OPEN, in, c.out_length, self()).status, c.status);
    EXPECT_FALSE(d.media_present());
  }
  // Exactly the strings and no more is enough: the rest of the record is not needed.
  const std::vector<uint8_t> shortest(good.begin(), good.begin() + std::ptrdiff_t(exact));
  const Reply r = d.control(0, IOCTL_TAV_PART_OPEN, shortest, 2048, self());
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  MountInfoBytes bytes{};
  std::copy(r.out.begin(), r.out.end(), bytes.begin());
  EXPECT_EQ(decode_mount_info(bytes).error, 0u) << reply_message(decode_mount_info(bytes));
  EXPECT_TRUE(d.media_present());
}

TEST_F(MountFixture, DiskCodesOfAMountedPartition) {
  MountDaemon d;
  ASSERT_EQ(mount(d, full_).error, 0u);
  const uint64_t bytes = kSectors * 512;
  EXPECT_EQ(d.mounted_sectors(), kSectors);

  struct Case {
    const char* name;
    uint32_t code;
    uint32_t device;
    size_t in_length;
    uint32_t out_length;
    uint32_t status;
    uint64_t information;
  };
  const Case cases[] = {
      {"geometry", IOCTL_DISK_GET_DRIVE_GEOMETRY, 1, 0, 24, STATUS_SUCCESS, 24},
      {"geometry short", IOCTL_DISK_GET_DRIVE_GEOMETRY, 1, 0, 23, STATUS_BUFFER_TOO_SMALL, 0},
      {"cdrom geometry", IOCTL_CDROM_GET_DRIVE_GEOMETRY, 1, 0, 24, STATUS_SUCCESS, 24},
      {"partition info", IOCTL_DISK_GET_PARTITION_INFO, 1, 0, 32, STATUS_SUCCESS, 32},
      {"partition info short", IOCTL_DISK_GET_PARTITION_INFO, 1, 0, 31, STATUS_BUFFER_TOO_SMALL, 0},
      {"partition info ex", IOCTL_DISK_GET_PARTITION_INFO_EX, 1, 0, 144, STATUS_SUCCESS, 144},
      {"partition info ex short", IOCTL_DISK_GET_PARTITION_INFO_EX, 1, 0, 143, STATUS_BUFFER_TOO_SMALL, 0},
      {"length", IOCTL_DISK_GET_LENGTH_INFO, 1, 0, 8, STATUS_SUCCESS, 8},
      {"length short", IOCTL_DISK_GET_LENGTH_INFO, 1, 0, 7, STATUS_BUFFER_TOO_SMALL, 0},
      {"verify", IOCTL_DISK_VERIFY, 1, 16, 0, STATUS_SUCCESS, 4096},
      {"verify short input", IOCTL_DISK_VERIFY, 1, 15, 0, STATUS_BUFFER_TOO_SMALL, 0},
      {"writable control", IOCTL_DISK_IS_WRITABLE, 0, 0, 0, STATUS_MEDIA_WRITE_PROTECTED, 0},
      {"writable disk", IOCTL_DISK_IS_WRITABLE, 1, 0, 0, STATUS_SUCCESS, 0},
      {"set info control", IOCTL_DISK_SET_PARTITION_INFO, 0, 1, 0, STATUS_MEDIA_WRITE_PROTECTED, 0},
      {"set info no input", IOCTL_DISK_SET_PARTITION_INFO, 1, 0, 0, STATUS_INVALID_PARAMETER, 0},
      {"set info", IOCTL_DISK_SET_PARTITION_INFO, 1, 1, 0, STATUS_SUCCESS, 0},
      {"check verify", IOCTL_DISK_CHECK_VERIFY, 1, 0, 0, STATUS_SUCCESS, 0},
      {"media removal", IOCTL_DISK_MEDIA_REMOVAL, 1, 0, 0, STATUS_SUCCESS, 0},
      {"storage check verify", IOCTL_STORAGE_CHECK_VERIFY, 0, 0, 0, STATUS_SUCCESS, 0},
      {"storage check verify 2", IOCTL_STORAGE_CHECK_VERIFY2, 1, 0, 0, STATUS_SUCCESS, 0},
      {"storage media removal", IOCTL_STORAGE_MEDIA_REMOVAL, 1, 0, 0, STATUS_SUCCESS, 0},
      {"unknown", 0x12345678, 1, 0, 64, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"query too small", IOCTL_TAV_PART_QUERY, 0, 0, 35, STATUS_INVALID_PARAMETER, 0},
      {"query without room for the strings", IOCTL_TAV_PART_QUERY, 0, 0, 36, STATUS_BUFFER_TOO_SMALL, 0},
  };
  std::vector<uint8_t> verify(16);
  put_le32(&verify[8], 4096);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> in(verify.begin(), verify.begin() + std::ptrdiff_t(c.in_length));
    const Reply r = d.control(c.device, c.code, in, c.out_length, self());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_LE(r.out.size(), c.out_length);
  }

  Reply r = d.control(1, IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24, self());
  EXPECT_EQ(get_le64(&r.out[0]), kSectors / 64);
  EXPECT_EQ(get_le32(&r.out[8]), 11u);
  EXPECT_EQ(get_le32(&r.out[12]), 2u);
  EXPECT_EQ(get_le32(&r.out[16]), 32u);
  EXPECT_EQ(get_le32(&r.out[20]), 512u);
  r = d.control(1, IOCTL_DISK_GET_PARTITION_INFO, {}, 32, self());
  EXPECT_EQ(get_le64(&r.out[0]), 512u);
  EXPECT_EQ(get_le64(&r.out[8]), bytes);
  EXPECT_EQ(get_le32(&r.out[16]), 1u);
  EXPECT_EQ(get_le32(&r.out[20]), 1u);
  EXPECT_EQ(r.out[24], 0x83);
  EXPECT_EQ(r.out[26], 1);
  r = d.control(1, IOCTL_DISK_GET_PARTITION_INFO_EX, {}, 144, self());
  EXPECT_EQ(get_le32(&r.out[0]), 0u);
  EXPECT_EQ(get_le64(&r.out[16]), bytes);
  EXPECT_EQ(r.out[32], 0x83);

  // The query gives back the letter and the two strings as they were sent.
  const std::vector<uint8_t> sent = open_input(full_, folder(), 0, 1);
  const size_t need = 34 + get_le16(&sent[30]) + get_le16(&sent[32]);
  r = d.control(0, IOCTL_TAV_PART_QUERY, {}, uint32_t(need) - 1, self());
  EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
  r = d.control(0, IOCTL_TAV_PART_QUERY, {}, 2048, self());
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, need);
  EXPECT_EQ(get_le16(&r.out[0]), u'M');
  EXPECT_TRUE(std::equal(r.out.begin() + 30, r.out.end(), sent.begin() + 30));
  // The disk device holds no record of its own.
  EXPECT_EQ(d.control(1, IOCTL_TAV_PART_QUERY, {}, 2048, self()).information, 34u);
}

// ---- Mounts and reads. ----

TEST_F(MountFixture, FullAndIncrementalSnapshotsReadAsTheirChain) {
  MountDaemon d;
  for (const auto& [w, expected] : {std::pair{full_, &full_data_}, std::pair{incr_, &incr_data_}}) {
    const MountInformation reply = mount(d, w);
    ASSERT_EQ(reply.error, 0u) << reply_message(reply);
    EXPECT_EQ(reply.snap_seq, w.snap_seq);  // the request's fields come back
    EXPECT_NE(reply_message(reply).find("allocating debug info ok!"), std::string::npos);
    EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_MOUNT_COUNT), 1u) << "a second open replaces the first";
    EXPECT_TRUE(read_all(d) == *expected);
    // Device 0 serves the same data; small reads at byte offsets inside a sector.
    const Reply r = d.read(0, 1500 * 512 + 17, 1000);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), expected->begin() + 1500 * 512 + 17));
  }
  // Past the end: a short read fails the request.
  EXPECT_EQ(d.read(1, kSectors * 512 - 512, 1024).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(d.read(1, 0, 0).status, STATUS_SUCCESS);
}

TEST_F(MountFixture, ConcurrentReadersGetTheirOwnData) {
  MountDaemon d;
  ASSERT_EQ(mount(d, incr_).error, 0u);
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<uint32_t>(t));
      for (int i = 0; i < 60; ++i) {
        const uint64_t at = rng() % (kSectors * 512 - 9000);
        const uint32_t n = 1 + rng() % 9000;
        const Reply r = d.read(uint32_t(t % 2), at, n);
        if (r.status != STATUS_SUCCESS || !std::equal(r.out.begin(), r.out.end(), incr_data_.begin() + std::ptrdiff_t(at))) {
          ++bad[size_t(t)];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, std::vector<int>(4, 0));
}

TEST_F(MountFixture, WritesChangeNothing) {
  MountDaemon d;
  ASSERT_EQ(mount(d, full_).error, 0u);
  const std::vector<uint8_t> junk(4096, 0xCC);
  EXPECT_EQ(d.write(0, 0, junk).status, STATUS_MEDIA_WRITE_PROTECTED);
  const Reply w = d.write(1, 0, junk);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, junk.size());
  const Reply r = d.read(1, 0, 4096);
  EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), full_data_.begin()));
}

TEST_F(MountFixture, FailedOpensReplyWithTheFirstFailure) {
  MountDaemon d;
  struct Case {
    const char* name;
    bool incremental;
    uint32_t min_seq, max_seq;
    uint32_t signature;
    const char* message;
  };
  // The incremental's volume lies outside 0..0, so its snapshot is not loaded.
  const Case cases[] = {
      {"snapshot outside the volume range", true, 0, 0, kSig, "get_mounting_part: !psnap"},
      {"no volume in the range", false, 5, 9, kSig, "Some wrong!"},
      {"signature 0", false, 0, 1, 0, "get_mounting_part: signature is null"},
      {"no partition with the signature", false, 0, 1, 0x777, "get_mounting_part: !ppart"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each failed open follows a good one: the failure must leave nothing mounted behind.
    ASSERT_EQ(mount(d, full_).error, 0u);
    const MountInformation reply =
        send(d, IOCTL_TAV_PART_OPEN, open_input(c.incremental ? incr_ : full_, folder(), c.min_seq, c.max_seq, c.signature));
    EXPECT_EQ(reply.error, 1u);
    const std::string message = reply_message(reply);
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_EQ(message.find("allocating debug info ok!"), std::string::npos) << message;
    EXPECT_FALSE(d.media_present());
    EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_MOUNT_COUNT), 0u);
    EXPECT_EQ(d.read(1, 0, 512).status, STATUS_NO_MEDIA_IN_DEVICE);
  }
  // A folder that does not exist loads nothing.
  const MountInformation reply = send(d, IOCTL_TAV_PART_OPEN, open_input(full_, folder() + "nowhere/", 0, 1));
  EXPECT_EQ(reply.error, 1u);
  EXPECT_NE(reply_message(reply).find("Some wrong!"), std::string::npos) << reply_message(reply);
}

TEST_F(MountFixture, CloseEndsTheMount) {
  MountDaemon d;
  ASSERT_EQ(mount(d, incr_).error, 0u);
  MountInfoBytes zero{};
  const std::vector<uint8_t> in(zero.begin(), zero.end());
  EXPECT_EQ(d.control(0, IOCTL_TAV_PART_CLOSE, in, 2047, self()).status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(d.media_present());
  const MountInformation reply = send(d, IOCTL_TAV_PART_CLOSE, in);
  EXPECT_EQ(reply.error, 0u) << reply_message(reply);
  EXPECT_FALSE(d.media_present());
  EXPECT_EQ(d.mounted_sectors(), 0u);
  EXPECT_EQ(u32_of(d, IOCTL_TAV_GET_MOUNT_COUNT), 0u);
  EXPECT_EQ(d.read(1, 0, 512).status, STATUS_NO_MEDIA_IN_DEVICE);
  EXPECT_EQ(d.control(0, IOCTL_TAV_PART_QUERY, {}, 2048, self()).status, STATUS_NO_MEDIA_IN_DEVICE);
  // The volume files are closed: they can be replaced, and a new mount reads the new ones.
  ASSERT_EQ(mount(d, full_).error, 0u);
  EXPECT_TRUE(read_all(d) == full_data_);
}

// ---- The client's rights. ----

TEST_F(MountFixture, VolumesAreOpenedWithTheClientsRights) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  constexpr uint32_t kNobody = 65534;
  const Caller nobody{1, kNobody, kNobody};
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  for (uint32_t vol : {0u, 1u}) ASSERT_EQ(::chmod(volume(vol).c_str(), 0644), 0);
  MountDaemon d;
  MountInformation reply = mount(d, incr_, nobody);
  ASSERT_EQ(reply.error, 0u) << reply_message(reply);
  EXPECT_TRUE(read_all(d) == incr_data_);

  // The full snapshot's volume becomes unreadable for the client: the incremental needs it.
  ASSERT_EQ(::chmod(volume(0).c_str(), 0600), 0);
  reply = mount(d, incr_, nobody);
  EXPECT_EQ(reply.error, 1u);
  EXPECT_NE(reply_message(reply).find("file open: status = d"), std::string::npos) << reply_message(reply);  // EACCES
  EXPECT_FALSE(d.media_present());
  // The owner still can.
  reply = mount(d, incr_, Caller{1, 0, 0});
  EXPECT_EQ(reply.error, 0u) << reply_message(reply);
}

// ---- Lengths of 2^31 sectors and more. ----

TEST_F(MountFixture, HugePartitionReportsItsFullLength) {
  // The full snapshot's partition record grows to 2^32 + 64 sectors (sealed again); sectors past
  // the stored ones read as zeros.
  constexpr uint64_t kHuge = (uint64_t(1) << 32) + 64;
  std::vector<uint8_t> bytes = read_file(volume(kFullVol));
  const std::string magic = "EGO.PART";
  const auto at = std::search(bytes.begin(), bytes.end(), magic.begin(), magic.end());
  ASSERT_NE(at, bytes.end());
  const std::span<uint8_t> record(&*at, img::kPartRecordSize);
  put_le64(&record[img::part_layout::kSectorCount], kHuge);
  img::seal_struct_sum(record, img::part_layout::kSum);
  // The disk grows with it: a partition must lie inside its disk.
  const std::string disk_magic = "EGO.DISK";
  const auto disk_at = std::search(bytes.begin(), bytes.end(), disk_magic.begin(), disk_magic.end());
  ASSERT_NE(disk_at, bytes.end());
  const std::span<uint8_t> disk_record(&*disk_at, img::kDiskRecordSize);
  put_le64(&disk_record[img::disk_layout::kTotalSectors], uint64_t(1) << 33);
  img::seal_struct_sum(disk_record, img::disk_layout::kSum);
  write_file(volume(kFullVol), bytes);

  MountDaemon d;
  const MountInformation reply = mount(d, full_);
  ASSERT_EQ(reply.error, 0u) << reply_message(reply);
  EXPECT_EQ(d.mounted_sectors(), kHuge);
  Reply r = d.control(1, IOCTL_DISK_GET_LENGTH_INFO, {}, 8, self());
  EXPECT_EQ(get_le64(r.out.data()), kHuge * 512);
  r = d.control(1, IOCTL_DISK_GET_PARTITION_INFO, {}, 32, self());
  EXPECT_EQ(get_le64(&r.out[8]), kHuge * 512);
  r = d.control(1, IOCTL_DISK_GET_PARTITION_INFO_EX, {}, 144, self());
  EXPECT_EQ(get_le64(&r.out[16]), kHuge * 512);
  r = d.control(1, IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24, self());
  EXPECT_EQ(get_le64(&r.out[0]), kHuge / 64);
  // A read far past 2^31 sectors reaches the partition, not a truncated offset.
  r = d.read(1, (kHuge - 1) * 512, 512);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.out, std::vector<uint8_t>(512, 0));
  r = d.read(1, 0, 512);
  EXPECT_TRUE(std::equal(r.out.begin(), r.out.end(), full_data_.begin()));
}

}  // namespace
}  // namespace tav::mount
