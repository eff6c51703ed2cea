// Fuzz target: a few volume files of one storage (tests/fuzz/volume_container.h) loaded as a
// catalogue, then every partition of every snapshot opened and read through the snapshot sector
// reader: its stored runs up to a cap, and sectors around them and at the partition's end.
// Loading and reading must refuse damaged volumes without crashing, hanging, leaking or reading
// out of bounds. Nobody answers the reader's questions: they get the safe answer (Abort).
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "disk/disk.h"
#include "disk/part_record.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"
#include "tests/fuzz/volume_container.h"

namespace {

// Sectors read per partition from its runs, and per read call.
constexpr uint64_t kSectorCap = 4096;
constexpr uint32_t kReadSectors = 300;  // not a multiple of a unit: reads start inside units

// A private directory for the volume files, made once per process.
const std::string& work_dir() {
  static const std::string dir = [] {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
      const char* tmp = ::getenv("TMPDIR");
      base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
    }
    std::string pattern = base + "/tav_reader_fuzz_XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) ::abort();
    return pattern + "/";
  }();
  return dir;
}

// Each run removes its files; the directory goes when the fuzzer exits normally.
void remove_work_dir() { ::rmdir(work_dir().c_str()); }

bool write_volume(const std::string& path, const std::vector<uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  ::close(fd);
  return done == bytes.size();
}

void read_range(BACKUP_PARTITION_INFO* part, uint64_t sector, uint64_t count, std::vector<uint8_t>* buffer) {
  while (count > 0) {
    const uint32_t n = uint32_t(std::min<uint64_t>(count, kReadSectors));
    if (part->ops->read_sectors(part, sector, n, buffer->data()) != int64_t(n)) return;
    sector += n;
    count -= n;
  }
}

void read_partition(BACKUP_PARTITION_INFO* part, std::vector<uint8_t>* buffer) {
  if (part->ops == nullptr || part->ops->open(part, tav::disk::kOpenRead) < 0) return;
  const IMAGE_RUN_VECTOR* runs = libtavimg_get_part_run_vector(part);
  uint64_t budget = kSectorCap;
  if (runs != nullptr && runs->runs != nullptr) {
    for (uint32_t i = 0; i < runs->run_count && budget > 0; ++i) {
      const IMAGE_RUN* r = runs->runs[i];
      if (r == nullptr) continue;
      // Every run visited costs its two neighbours as well, so a table of many tiny runs ends.
      const uint64_t n = std::min<uint64_t>(r->value.Number, budget);
      budget -= std::min<uint64_t>(budget, n + 2);
      // The sector before the run, the run, and the sector after it.
      if (r->value.Begin > 0) read_range(part, r->value.Begin - 1, 1, buffer);
      read_range(part, r->value.Begin, n, buffer);
      read_range(part, tav::run_end(*r), 1, buffer);
    }
  }
  // Around the end of the partition, and one read across it.
  if (part->sector_count > 0) read_range(part, part->sector_count - 1, 1, buffer);
  (void)part->ops->read_sectors(part, part->sector_count, 1, buffer->data());
  (void)part->ops->read_sectors(part, part->sector_count > 2 ? part->sector_count - 2 : 0, 4, buffer->data());
  // A byte read that starts and ends inside sectors.
  if (part->ops->pos_read != nullptr) (void)part->ops->pos_read(part, 700, 3000, buffer->data());
  part->ops->close(part);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  libtavpub_crc32_reset(tav::kCrc32Polynomial);
  (void)work_dir();
  std::atexit(remove_work_dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = work_dir();
  std::vector<std::string> written;
  for (const tav::fuzz::VolumeEntry& e : tav::fuzz::split_container(data, size)) {
    const std::string path = dir + "imbackup" + std::to_string(e.vol) + ".ego";
    if (write_volume(path, e.bytes)) written.push_back(path);
  }

  static std::vector<uint8_t> buffer(size_t{kReadSectors} * tav::kSectorSize);
  STORAGE_DATA* storage = libtavimg_get_storage_data();
  if (libtavimg_load_image2(storage, dir.c_str(), "imbackup", 0) == 0) {
    for (const auto& snap : storage->snaps) {
      for (_DISK_INFOMATION* d = snap->disks; d != nullptr; d = d->next) {
        for (const auto& part : d->parts) {
          if (!tav::disk::part_is_extended(*part)) read_partition(part.get(), &buffer);
        }
      }
    }
  }
  libtavimg_unload_image(storage);
  for (const std::string& path : written) ::unlink(path.c_str());
  return 0;
}
