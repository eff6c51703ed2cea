// `tav list` on a storage written by the real writer: snapshot order and numbering, disks and
// partitions in text and JSON, base names, and the refusals.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "cli/image_session.h"
#include "core/byte_order.h"
#include "core/time_word.h"
#include "format/ego_format.h"
#include "format/struct_sum.h"
#include "tests/cli/cli_test_support.h"
#include "tests/cli/json_reader.h"
#include "tests/cli/storage_fixture.h"

namespace tav::cli_test {
namespace {

class ListCommandTest : public TwoSnapshotStorageTest {
 protected:
  // A full snapshot of one disk with one fully stored partition of `sectors` sectors, written
  // into the scratch directory.
  void write_one_partition(test::SnapshotPlan plan, uint32_t sectors, test::WrittenSnapshot* written) {
    test::SyntheticDisk d;
    d.total_sectors = 4096;
    test::SyntheticPartition p;
    p.start_sector = 2048;
    p.signature = 0x4444;
    p.content = test::pattern_bytes(size_t(sectors) * 512, 9);
    p.stored = {{0, sectors}};
    d.parts = {p};
    plan.directory = scratch_.file("");
    ASSERT_TRUE(test::write_snapshot(plan, {d}, written).is_ok());
  }

  TempDir scratch_;
};

TEST_F(ListCommandTest, JsonDescribesBothSnapshotsInOrder) {
  const RunResult r = run_tav(scratch_, {"list", storage_->dir, "--json"});
  ASSERT_TRUE(r.exited) << describe(r);
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  JsonValue doc;
  ASSERT_TRUE(JsonReader::parse(r.out, &doc)) << r.out;
  EXPECT_EQ(doc["base_name"].str(), "imbackup");
  const JsonValue& snaps = doc["snapshots"];
  ASSERT_EQ(snaps.items.size(), 2u) << r.out;

  struct Expect {
    const char* kind;
    const test::WrittenSnapshot* written;
    const char* comment;
    time_t when;
    const std::vector<test::SyntheticDisk>* disks;
  };
  const Expect expect[] = {
      {"full", &storage_->full, "first", TwoSnapshotStorage::kFullTime, &storage_->full_disks},
      {"incremental", &storage_->incr, "second", TwoSnapshotStorage::kIncrTime, &storage_->incr_disks},
  };
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(expect[i].kind);
    const JsonValue& s = snaps[i];
    EXPECT_EQ(s["index"].u64(), i + 1);
    EXPECT_EQ(s["kind"].str(), expect[i].kind);
    EXPECT_EQ(s["snap_seq"].u64(), expect[i].written->snap_seq);
    EXPECT_EQ(s["first_volume"].u64(), expect[i].written->first_vol);
    EXPECT_EQ(s["last_volume"].u64(), expect[i].written->last_vol);
    EXPECT_EQ(s["comment"].str(), expect[i].comment);
    EXPECT_EQ(s["created"].str(), cli::systime_text(systime_from_time(expect[i].when)));

    const JsonValue& disks = s["disks"];
    ASSERT_EQ(disks.items.size(), 2u);
    EXPECT_EQ(disks[0]["name"].str(), "disk0");
    EXPECT_EQ(disks[0]["sectors"].u64(), 65536u);
    EXPECT_EQ(disks[1]["name"].str(), "disk1");
    ASSERT_EQ(disks[0]["partitions"].items.size(), 2u);
    ASSERT_EQ(disks[1]["partitions"].items.size(), 1u);
    // Partitions are numbered across the disks: A, B on disk0 are 1 and 2, C on disk1 is 3.
    const JsonValue* parts[] = {&disks[0]["partitions"][0], &disks[0]["partitions"][1], &disks[1]["partitions"][0]};
    for (int k = 0; k < 3; ++k) {
      const test::SyntheticPartition& sp = TwoSnapshotStorage::part(*expect[i].disks, k);
      const JsonValue& p = *parts[k];
      EXPECT_EQ(p["number"].u64(), uint64_t(k + 1));
      EXPECT_EQ(p["start"].u64(), sp.start_sector);
      EXPECT_EQ(p["sectors"].u64(), sp.content.size() / 512);
      EXPECT_EQ(p["type"].u64(), sp.part_type);
      // Only what this snapshot stored counts; B's incremental stores nothing.
      EXPECT_EQ(p["stored_bytes"].u64() == 0, sp.stored.empty()) << k << "\n" << r.out;
    }
  }
}

TEST_F(ListCommandTest, TextShowsTheSameStorage) {
  const RunResult r = run_tav(scratch_, {"list", storage_->dir + "/"});
  ASSERT_TRUE(r.exited) << describe(r);
  ASSERT_EQ(r.exit_status, 0) << describe(r);
  const size_t first = r.out.find("snapshot 1  ");
  const size_t second = r.out.find("snapshot 2  ");
  ASSERT_NE(first, std::string::npos) << r.out;
  ASSERT_NE(second, std::string::npos) << r.out;
  EXPECT_LT(first, second);
  const std::string one = r.out.substr(first, second - first);
  const std::string two = r.out.substr(second);
  EXPECT_NE(one.find("  full  "), std::string::npos) << one;
  EXPECT_NE(one.find("comment \"first\""), std::string::npos) << one;
  EXPECT_NE(two.find("  incremental  "), std::string::npos) << two;
  EXPECT_NE(two.find("volumes " + std::to_string(storage_->incr.first_vol) + ".." +
                     std::to_string(storage_->incr.last_vol)),
            std::string::npos)
      << two;
  for (const std::string& part : {one, two}) {
    EXPECT_NE(part.find("disk 1  \"disk0\""), std::string::npos) << part;
    EXPECT_NE(part.find("disk 2  \"disk1\""), std::string::npos) << part;
    EXPECT_NE(part.find("\n    1   2048"), std::string::npos) << part;
    EXPECT_NE(part.find("\n    2   8192"), std::string::npos) << part;
    EXPECT_NE(part.find("\n    3   63 "), std::string::npos) << part;
  }
}

TEST_F(ListCommandTest, BaseNameSelectsItsOwnSnapshots) {
  // A storage with another base name in a directory of its own.
  test::SnapshotPlan snapshot;
  snapshot.base_name = "other";
  snapshot.comment = "the other one";
  test::WrittenSnapshot written;
  ASSERT_NO_FATAL_FAILURE(write_one_partition(snapshot, 1024, &written));
  const RunResult mine = run_tav(scratch_, {"list", scratch_.file(""), "--name", "other", "--json"});
  ASSERT_EQ(mine.exit_status, 0) << describe(mine);
  JsonValue doc;
  ASSERT_TRUE(JsonReader::parse(mine.out, &doc)) << mine.out;
  ASSERT_EQ(doc["snapshots"].items.size(), 1u);
  EXPECT_EQ(doc["snapshots"][0]["comment"].str(), "the other one");
  // The default base name finds nothing there.
  const RunResult none = run_tav(scratch_, {"list", scratch_.file("")});
  EXPECT_EQ(none.exit_status, 1) << describe(none);
  EXPECT_NE(none.err.find("no snapshot of base name \"imbackup\""), std::string::npos) << none.err;
  EXPECT_TRUE(none.out.empty()) << none.out;
}

// An interrupted run leaves its first volume unfinished: the snapshot is listed from a later
// volume, marked as not readable, and exporting it fails naming the first volume.
TEST_F(ListCommandTest, SnapshotWithAnUnfinishedFirstVolumeIsMarkedAndNotExported) {
  test::SnapshotPlan snapshot;
  snapshot.volume_limit = 140000;  // about one unit per volume
  test::WrittenSnapshot written;
  ASSERT_NO_FATAL_FAILURE(write_one_partition(snapshot, 2048, &written));
  ASSERT_GT(written.last_vol, written.first_vol);
  const std::string first = scratch_.file("imbackup0.ego");
  std::vector<uint8_t> bytes = read_bytes(first);
  ASSERT_GE(bytes.size(), img::kHeaderSize);
  put_le32(&bytes[img::header_layout::kTotalVol], 0);
  img::seal_struct_sum(std::span(bytes).first(img::kHeaderSize), img::header_layout::kSum);
  {
    std::ofstream out(first, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }

  const RunResult json = run_tav(scratch_, {"--no", "list", scratch_.file(""), "--json"});
  ASSERT_EQ(json.exit_status, 0) << describe(json);
  JsonValue doc;
  ASSERT_TRUE(JsonReader::parse(json.out, &doc)) << json.out;
  ASSERT_EQ(doc["snapshots"].items.size(), 1u);
  EXPECT_FALSE(doc["snapshots"][0]["readable"].boolean);
  const RunResult text = run_tav(scratch_, {"--no", "list", scratch_.file("")});
  EXPECT_NE(text.out.find("cannot be read: its first volume (0) is missing or unfinished"), std::string::npos)
      << text.out;

  const std::string out = scratch_.file("p.img");
  const RunResult exported = run_tav(scratch_, {"--no", "export", scratch_.file(""), "--snapshot", "1", "--partition", "1", out});
  EXPECT_EQ(exported.exit_status, 1) << describe(exported);
  EXPECT_NE(exported.err.find(first), std::string::npos) << exported.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ListCommandTest, RefusesWhatItCannotList) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* message;
  };
  const std::string empty_dir = scratch_.file("empty");
  ASSERT_EQ(::mkdir(empty_dir.c_str(), 0700), 0);
  const Case cases[] = {
      {"missing directory", {"list", scratch_.file("missing")}, 1, "no such directory"},
      {"a file, not a directory", {"list", storage_->dir + "/imbackup0.ego"}, 1, "no such directory"},
      {"no snapshot", {"list", empty_dir}, 1, "no snapshot"},
      {"no directory", {"list"}, 2, "no directory given"},
      {"two directories", {"list", empty_dir, empty_dir}, 2, "one directory only"},
      {"unknown option", {"list", empty_dir, "--bogus"}, 2, "unknown option"},
      {"name without value", {"list", empty_dir, "--name"}, 2, "--name needs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run_tav(scratch_, c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, c.status) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace tav::cli_test
