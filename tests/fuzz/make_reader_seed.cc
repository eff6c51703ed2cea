// Writes a seed for the image reader fuzz target: a full and an incremental snapshot of two small
// disks through the real writer, each split over several volumes, packed into one container
// (tests/fuzz/volume_container.h). Contents compress well, so the seed stays a few KiB.
//   make_reader_seed OUT.bin
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "image/image_catalogue.h"
#include "tests/fixtures/snapshot_builder.h"
#include "tests/fuzz/volume_container.h"

namespace {

using tav::test::SyntheticDisk;
using tav::test::SyntheticPartition;

// Text-like bytes: a short varying line repeated, so every sector differs but compresses well.
std::vector<uint8_t> compressible(size_t sectors, uint32_t seed) {
  std::vector<uint8_t> out(sectors * 512);
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t('a' + (i / 512 + seed + i % 7) % 26);
  return out;
}

int fail(const std::string& what) {
  std::fprintf(stderr, "make_reader_seed: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: make_reader_seed OUT.bin");
  libtavpub_crc32_reset(tav::kCrc32Polynomial);
  std::string dir = (std::filesystem::temp_directory_path() / "tav_reader_seed_XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return fail("cannot make a directory");

  SyntheticDisk d0;
  d0.name = "disk0";
  d0.total_sectors = 4096;
  d0.boot_sectors = compressible(1, 5);
  SyntheticPartition a;
  a.start_sector = 64;
  a.signature = 0x51;
  a.content = compressible(700, 1);
  a.stored = {{0, 300}, {400, 300}};
  SyntheticPartition logical;
  logical.start_sector = 1024;
  logical.part_flags = 1;  // logical: the catalogue adds the extended partition before it
  logical.signature = 0x52;
  logical.content = compressible(300, 2);
  logical.stored = {{10, 100}};
  d0.parts = {a, logical};
  SyntheticDisk d1;
  d1.name = "disk1";
  d1.total_sectors = 2048;
  SyntheticPartition c;
  c.start_sector = 63;
  c.signature = 0x53;
  c.content = compressible(520, 3);
  c.stored = {{0, 520}};
  d1.parts = {c};
  std::vector<SyntheticDisk> disks = {d0, d1};

  tav::test::SnapshotPlan snapshot;
  snapshot.directory = dir;
  snapshot.comment = "seed full";
  snapshot.volume_limit = 139000;  // room for one unit of the largest size: about one unit per volume
  snapshot.now = 1700000000;
  tav::test::WrittenSnapshot full;
  if (!tav::test::write_snapshot(snapshot, disks, &full).is_ok()) return fail("full snapshot");

  for (SyntheticDisk& d : disks) {
    for (SyntheticPartition& p : d.parts) {
      p.stored.clear();
      p.parent_seq = full.snap_seq;
      p.parent_time = full.create_time;
      p.parent_vol = full.first_vol;
    }
  }
  disks[0].parts[0].content = compressible(700, 9);
  disks[0].parts[0].stored = {{250, 100}};
  disks[1].parts[0].content = compressible(520, 8);
  disks[1].parts[0].stored = {{500, 20}};
  STORAGE_DATA storage;
  if (libtavimg_load_image2(&storage, (dir + "/").c_str(), "imbackup", 0) != 0) return fail("loading the full one");
  snapshot.backup_type = tav::img::kBackupIncremental;
  snapshot.comment = "seed incremental";
  snapshot.now = 1700000000 + 600;
  snapshot.first_vol = full.last_vol + 1;
  snapshot.storage = &storage;
  tav::test::WrittenSnapshot incr;
  const bool incr_ok = tav::test::write_snapshot(snapshot, disks, &incr).is_ok();
  libtavimg_unload_image(&storage);
  if (!incr_ok) return fail("incremental snapshot");

  std::vector<uint8_t> blob;
  for (uint32_t vol = 0; vol <= incr.last_vol; ++vol) {
    const std::string path = dir + "/imbackup" + std::to_string(vol) + ".ego";
    std::ifstream f(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    tav::fuzz::append_entry(&blob, uint8_t(vol), bytes);
  }
  std::filesystem::remove_all(dir);
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(blob.data()), std::streamsize(blob.size()));
  if (!out) return fail(std::string("cannot write ") + argv[1]);
  std::printf("%s: %zu bytes, volumes 0..%u\n", argv[1], blob.size(), incr.last_vol);
  return 0;
}
