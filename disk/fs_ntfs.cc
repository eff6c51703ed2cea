// The NTFS file-system handler: recognises NTFS boot sectors and, through libntfs-3g mounted
// read-only over the partition's own operations (ntfs_device.h), reports the clusters in use
// ($Bitmap), the data runs of single files (the paging and hibernation files are left out of a
// backup through them) and the smallest size the volume can be shrunk to.
//
// Every sector number here is a 512-byte sector relative to the partition; NTFS's own "sectors"
// (bytes_per_sector, which may be 4096) appear only while the boot sector is decoded.
//
// libntfs-3g keeps process-wide state (its log handler, among others) and says nothing about
// concurrent volumes, so one mutex serialises everything from mount to unmount. Its log lines
// go into our trace instead of stderr.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_order.h"
#include "core/console_pipe.h"
#include "core/extent_vector.h"
#include "core/status.h"
#include "core/text_convert.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/fs_copy.h"
#include "disk/fs_registry.h"
#include "disk/ntfs_boot_sector.h"
#include "disk/ntfs_device.h"
#include "disk/part_open.h"
#include "disk/part_record.h"

namespace tav::disk {
namespace {

// ---- boot sector ----

// The boot sector fields are laid out in ntfs_boot_sector.h.
namespace layout = ntfs::boot_layout;
constexpr uint32_t kMaxClusterBytes = 2u * 1024 * 1024;

// Sectors at the start of the volume kept whatever $Bitmap says: the boot sector and the boot
// code after it ($Boot is 8 KiB).
constexpr uint64_t kBootAreaSectors = 8192 / kSectorSize;

struct NtfsBoot {
  uint32_t bytes_per_sector = 0;
  uint32_t cluster_bytes = 0;
  uint64_t volume_sectors = 0;  // in bytes_per_sector units
  uint64_t mft_lcn = 0;

  uint64_t sectors_per_cluster() const { return cluster_bytes / kSectorSize; }  // 512-byte sectors
  uint64_t volume_bytes() const { return volume_sectors * bytes_per_sector; }
};

bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

Status parse_boot_sector(std::span<const uint8_t> sector, uint64_t part_bytes, NtfsBoot* out) {
  if (sector.size() < kSectorSize) return Status::corruption("short boot sector");
  if (std::memcmp(sector.data() + layout::kOemName, ntfs::kOemId, layout::kOemNameBytes) != 0) {
    return Status::not_found("no NTFS OEM id");
  }
  if (!ntfs::has_boot_signature(sector.data())) {
    return Status::corruption("boot sector signature missing");
  }
  NtfsBoot boot;
  boot.bytes_per_sector = get_le16(sector.data() + layout::kBytesPerSector);
  if (!is_power_of_two(boot.bytes_per_sector) || boot.bytes_per_sector < 512 || boot.bytes_per_sector > 4096) {
    return Status::corruption("bytes per sector " + std::to_string(boot.bytes_per_sector));
  }
  const uint8_t spc = sector[layout::kSectorsPerCluster];
  uint64_t sectors_per_cluster = 0;
  if (spc >= 1 && spc <= 0x80) {
    sectors_per_cluster = spc;
  } else if (spc >= 0xE1) {
    sectors_per_cluster = uint64_t{1} << (256 - spc);
  }
  if (!is_power_of_two(sectors_per_cluster) ||
      sectors_per_cluster * boot.bytes_per_sector > kMaxClusterBytes) {
    return Status::corruption("sectors per cluster byte " + std::to_string(spc));
  }
  boot.cluster_bytes = uint32_t(sectors_per_cluster * boot.bytes_per_sector);
  boot.volume_sectors = get_le64(sector.data() + layout::kVolumeSectors);
  if (boot.volume_sectors == 0 || boot.volume_sectors > part_bytes / boot.bytes_per_sector) {
    return Status::corruption("volume of " + std::to_string(boot.volume_sectors) +
                              " sectors does not fit the partition");
  }
  boot.mft_lcn = get_le64(sector.data() + layout::kMftCluster);
  if (boot.mft_lcn >= boot.volume_bytes() / boot.cluster_bytes) {
    return Status::corruption("$MFT cluster beyond the volume");
  }
  *out = boot;
  return Status::ok();
}

bool part_usable(const BACKUP_PARTITION_INFO* part) {
  return part != nullptr && part->ops != nullptr && part->ops->pos_read != nullptr && part->sector_count > 0;
}

Status read_boot(BACKUP_PARTITION_INFO* part, NtfsBoot* boot) {
  if (!part_usable(part)) return Status::invalid_argument("partition without operations");
  if (part->sector_count < 2) return Status::not_found("partition too small for NTFS");
  PartitionReadScope session(part);
  if (!session.ok()) return session.status();
  uint8_t sector[kSectorSize];
  if (part->ops->pos_read(part, 0, kSectorSize, sector) != int64_t{kSectorSize}) {
    return Status::io_error(std::string("cannot read boot sector: ") + std::strerror(errno));
  }
  return parse_boot_sector(sector, part->sector_count * kSectorSize, boot);
}

// ---- libntfs-3g: logging, serialisation, mounting ----

int log_to_trace(const char* function, const char* file, int line, u32 level, void*, const char* format,
                 va_list args) {
  const int saved_errno = errno;
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, args);
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
  const bool bad = (level & (NTFS_LOG_LEVEL_ERROR | NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL |
                             NTFS_LOG_LEVEL_WARNING)) != 0;
  if ((level & NTFS_LOG_LEVEL_PERROR) != 0) {
    TavTrace(kTraceWarn, 0, function, file, line, "libntfs-3g: %s: %s", text, std::strerror(saved_errno));
  } else {
    TavTrace(bad ? kTraceWarn : kTraceInfo, 0, function, file, line, "libntfs-3g: %s", text);
  }
  errno = saved_errno;
  return int(n);
}

void route_library_log() {
  static std::once_flag once;
  std::call_once(once, [] { ntfs_log_set_handler(log_to_trace); });
}

std::mutex& library_mutex() {
  static std::mutex m;
  return m;
}

// A volume mounted read-only over a partition, and the lock that keeps the library to this
// thread for as long as it is mounted. The partition is left open or closed as it was found.
class MountedVolume {
 public:
  MountedVolume() : lock_(library_mutex()) {}
  ~MountedVolume() {
    if (vol_ != nullptr) {
      ntfs_umount(vol_, FALSE);  // also frees the device
    } else if (dev_ != nullptr) {
      ntfs_device_free(dev_);
    }
  }
  MountedVolume(const MountedVolume&) = delete;
  MountedVolume& operator=(const MountedVolume&) = delete;

  Status mount(BACKUP_PARTITION_INFO* part) {
    part_ = part;
    if (!part_usable(part)) return Status::invalid_argument("partition without operations");
    Status st = read_boot(part, &boot_);
    if (!st) return st;
    route_library_log();
    state_.part = part;
    dev_ = alloc_part_ntfs_device(&state_);
    if (dev_ == nullptr) return Status::out_of_memory("cannot allocate NTFS device");
    errno = 0;
    vol_ = ntfs_device_mount(dev_, NTFS_MNT_RDONLY);
    if (vol_ == nullptr) {
      const int err = errno;
      return Status::corruption(std::string("NTFS volume does not mount: ") +
                                (err != 0 ? std::strerror(err) : "unknown reason"));
    }
    // The library decoded the same boot sector; anything else means it read something else.
    if (vol_->cluster_size != boot_.cluster_bytes || vol_->nr_clusters <= 0 ||
        uint64_t(vol_->nr_clusters) > boot_.volume_bytes() / boot_.cluster_bytes || vol_->lcnbmp_na == nullptr) {
      return Status::corruption("volume geometry disagrees with the boot sector");
    }
    return Status::ok();
  }

  ntfs_volume* vol() const { return vol_; }
  const NtfsBoot& boot() const { return boot_; }
  BACKUP_PARTITION_INFO* part() const { return part_; }
  uint64_t clusters() const { return uint64_t(vol_->nr_clusters); }

 private:
  std::unique_lock<std::mutex> lock_;  // first member: released after the unmount
  NtfsPartDeviceState state_;
  BACKUP_PARTITION_INFO* part_ = nullptr;
  NtfsBoot boot_;
  ntfs_device* dev_ = nullptr;
  ntfs_volume* vol_ = nullptr;
};

// ---- used sectors ----

// Receives sector ranges [first, end) in ascending order of `first` and hands on merged ones.
class RangeMerger {
 public:
  using Sink = std::function<bool(uint64_t first, uint64_t end)>;
  explicit RangeMerger(Sink sink) : sink_(std::move(sink)) {}

  bool add(uint64_t first, uint64_t end) {
    if (end <= first) return true;
    if (open_ && first <= end_) {
      end_ = std::max(end_, end);
      return true;
    }
    if (open_ && !sink_(first_, end_)) return false;
    open_ = true;
    first_ = first;
    end_ = end;
    return true;
  }
  bool finish() {
    if (!open_) return true;
    open_ = false;
    return sink_(first_, end_);
  }

 private:
  Sink sink_;
  bool open_ = false;
  uint64_t first_ = 0;
  uint64_t end_ = 0;
};

// Bytes of $Bitmap read at a time.
constexpr int64_t kBitmapChunkBytes = 64 * 1024;

// Walks $Bitmap and hands each run of used clusters [first, end) to `emit` in ascending order;
// `last_used` gets the highest used cluster (or stays untouched when none is used).
Status scan_bitmap(const MountedVolume& mv, const std::function<bool(uint64_t, uint64_t)>& emit,
                   uint64_t* last_used, bool* any_used) {
  ntfs_attr* bitmap = mv.vol()->lcnbmp_na;
  const uint64_t clusters = mv.clusters();
  const int64_t needed_bytes = int64_t((clusters + 7) / 8);
  if (bitmap->data_size < needed_bytes) {
    return Status::corruption("$Bitmap holds " + std::to_string(bitmap->data_size) + " bytes, the volume needs " +
                              std::to_string(needed_bytes));
  }
  std::vector<uint8_t> chunk(size_t(std::min(kBitmapChunkBytes, needed_bytes)));
  bool in_run = false;
  uint64_t run_first = 0;
  for (int64_t pos = 0; pos < needed_bytes; pos += int64_t(chunk.size())) {
    const int64_t want = std::min<int64_t>(int64_t(chunk.size()), needed_bytes - pos);
    errno = 0;
    if (ntfs_attr_pread(bitmap, pos, want, chunk.data()) != want) {
      return Status::io_error(std::string("cannot read $Bitmap: ") + std::strerror(errno != 0 ? errno : EIO));
    }
    for (int64_t i = 0; i < want; ++i) {
      const uint8_t byte = chunk[size_t(i)];
      const uint64_t base = uint64_t(pos + i) * 8;
      if ((byte == 0x00 && !in_run) || (byte == 0xFF && in_run && base + 8 <= clusters)) continue;
      for (uint32_t bit = 0; bit < 8; ++bit) {
        const uint64_t lcn = base + bit;
        if (lcn >= clusters) break;
        const bool used = (byte >> bit) & 1;
        if (used && !in_run) {
          in_run = true;
          run_first = lcn;
        } else if (!used && in_run) {
          in_run = false;
          if (!emit(run_first, lcn)) return Status::out_of_memory("run vector");
          *last_used = lcn - 1;
          *any_used = true;
        }
      }
    }
  }
  if (in_run) {
    if (!emit(run_first, clusters)) return Status::out_of_memory("run vector");
    *last_used = clusters - 1;
    *any_used = true;
  }
  return Status::ok();
}

// The backup boot sector: one NTFS sector just past the volume (where the volume's own tools
// put it), and the partition's last 512-byte sector (where a volume that fills its partition
// keeps it). Both lie beyond the cluster range. Returned as [first, end) pairs, ascending.
std::vector<std::pair<uint64_t, uint64_t>> backup_boot_ranges(const MountedVolume& mv) {
  const uint64_t part_sectors = mv.part()->sector_count;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  const uint64_t first = mv.boot().volume_bytes() / kSectorSize;
  const uint64_t end = std::min(part_sectors, first + mv.boot().bytes_per_sector / kSectorSize);
  if (first < end) ranges.emplace_back(first, end);
  ranges.emplace_back(part_sectors - 1, part_sectors);
  std::sort(ranges.begin(), ranges.end());
  return ranges;
}

// Every used sector, merged, in ascending order: the boot area, the clusters $Bitmap marks, the
// backup boot sector.
Status for_each_used_range(const MountedVolume& mv, const RangeMerger::Sink& sink, uint64_t* last_used_lcn,
                           bool* any_used) {
  const uint64_t spc = mv.boot().sectors_per_cluster();
  RangeMerger merger(sink);
  bool ok = merger.add(0, std::min(kBootAreaSectors, mv.part()->sector_count));
  uint64_t last = 0;
  bool any = false;
  Status st = scan_bitmap(
      mv, [&](uint64_t first, uint64_t end) { return merger.add(first * spc, end * spc); }, &last, &any);
  if (!st) return st;
  for (const auto& [first, end] : backup_boot_ranges(mv)) ok = ok && merger.add(first, end);
  ok = ok && merger.finish();
  if (!ok) return Status::out_of_memory("run vector");
  if (last_used_lcn != nullptr) *last_used_lcn = last;
  if (any_used != nullptr) *any_used = any;
  return Status::ok();
}

// How traces and reports name a partition: its device name, else its disk and first sector.
std::string part_label(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return "(no partition)";
  if (!part->dev_name.empty()) return part->dev_name;
  const std::string disk = part->disk != nullptr ? part->disk->path : std::string("?");
  return disk + "@" + std::to_string(part->first_sector);
}

void trace_failure(const char* what, const BACKUP_PARTITION_INFO* part, const Status& st) {
  TAV_TRACE(kTraceError, 0, "NTFS %s of %s failed: %s", what, part_label(part).c_str(), st.message().c_str());
}

// ---- label ----

std::string volume_label(const MountedVolume& mv) {
  ntfs_volume* vol = mv.vol();
  if (vol->vol_ni != nullptr) {
    s64 size = 0;
    void* raw = ntfs_attr_readall(vol->vol_ni, AT_VOLUME_NAME, AT_UNNAMED, 0, &size);
    if (raw != nullptr) {
      std::string label =
          utf16le_bytes_to_utf8(std::span<const unsigned char>(static_cast<const unsigned char*>(raw), size_t(size)));
      std::free(raw);
      return label;
    }
  }
  return vol->vol_name != nullptr ? std::string(vol->vol_name) : std::string();
}

// ---- file runs ----

// The inode of a '/'-path, walked component by component from the root with names converted
// from UTF-8 here (the library's own conversion depends on the locale). Null with *missing set
// when there is no such file, null with *missing clear on error.
ntfs_inode* open_path(ntfs_volume* vol, std::string_view path, bool* missing, Status* error) {
  *missing = false;
  ntfs_inode* ni = ntfs_inode_open(vol, FILE_root);
  if (ni == nullptr) {
    *error = Status::corruption(std::string("cannot open the root directory: ") + std::strerror(errno));
    return nullptr;
  }
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t slash = path.find('/', pos);
    const std::string_view name = path.substr(pos, slash == std::string_view::npos ? path.npos : slash - pos);
    pos = slash == std::string_view::npos ? path.size() : slash + 1;
    if (name.empty()) continue;
    const std::u16string wide = utf8_to_utf16(name);
    const bool is_dir = (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
    if (!is_dir || wide.empty() || wide.size() > 255) {  // no such entry can exist
      ntfs_inode_close(ni);
      *missing = true;
      return nullptr;
    }
    std::vector<ntfschar> uname(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) uname[i] = cpu_to_le16(uint16_t(wide[i]));
    errno = 0;
    const u64 mref = ntfs_inode_lookup_by_name(ni, uname.data(), int(uname.size()));
    const int err = errno;
    ntfs_inode_close(ni);
    if (mref == u64(-1)) {
      if (err == ENOENT) {
        *missing = true;
      } else {
        *error = Status::corruption("lookup of " + std::string(name) + " failed: " + std::strerror(err != 0 ? err : EIO));
      }
      return nullptr;
    }
    ni = ntfs_inode_open(vol, MREF(mref));
    if (ni == nullptr) {
      *error = Status::corruption("cannot open inode of " + std::string(name) + ": " + std::strerror(errno));
      return nullptr;
    }
  }
  return ni;
}

struct InodeCloser {
  void operator()(ntfs_inode* ni) const { ntfs_inode_close(ni); }
};
struct AttrCloser {
  void operator()(ntfs_attr* na) const { ntfs_attr_close(na); }
};
struct FlatVectorRelease {
  void operator()(FLAT_RUN_VECTOR* v) const { libtavpub_release_flat_run_vector(v); }
};
struct ImageVectorRelease {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
using FlatVectorPtr = std::unique_ptr<FLAT_RUN_VECTOR, FlatVectorRelease>;
using ImageVectorPtr = std::unique_ptr<IMAGE_RUN_VECTOR, ImageVectorRelease>;

// Sector ranges [first, end) of the clusters that hold the unnamed $DATA of the file, in file
// order; resident data and sparse runs give none. *missing when the file does not exist.
Status file_sector_ranges(const MountedVolume& mv, const char* path, bool* missing,
                          std::vector<std::pair<uint64_t, uint64_t>>* ranges) {
  Status error;
  std::unique_ptr<ntfs_inode, InodeCloser> ni(open_path(mv.vol(), path, missing, &error));
  if (ni == nullptr) return *missing ? Status::ok() : error;
  errno = 0;
  std::unique_ptr<ntfs_attr, AttrCloser> na(ntfs_attr_open(ni.get(), AT_DATA, AT_UNNAMED, 0));
  if (na == nullptr) {
    if (errno == ENOENT) return Status::ok();  // a directory, or a file without data
    return Status::corruption(std::string("cannot open $DATA: ") + std::strerror(errno != 0 ? errno : EIO));
  }
  if (!NAttrNonResident(na.get())) return Status::ok();
  if (ntfs_attr_map_whole_runlist(na.get()) != 0) {
    return Status::corruption(std::string("cannot map the runs of $DATA: ") + std::strerror(errno != 0 ? errno : EIO));
  }
  const uint64_t clusters = mv.clusters();
  const uint64_t spc = mv.boot().sectors_per_cluster();
  for (const runlist_element* rl = na->rl; rl != nullptr && rl->length != 0; ++rl) {
    if (rl->length < 0) return Status::corruption("negative run length in $DATA");
    if (rl->lcn == LCN_HOLE) continue;
    if (rl->lcn < 0) return Status::corruption("unmapped run in $DATA");
    const uint64_t lcn = uint64_t(rl->lcn);
    const uint64_t count = uint64_t(rl->length);
    if (lcn >= clusters || count > clusters - lcn) return Status::corruption("run of $DATA beyond the volume");
    ranges->emplace_back(lcn * spc, (lcn + count) * spc);
  }
  return Status::ok();
}

// ---- min size ----

// Collects the size ntfsresize reports in "You might resize at N bytes ...".
class ResizeInfoPipe : public CConsolePipe {
 public:
  ~ResizeInfoPipe() override { Wait(); }
  int64_t bytes() const { return bytes_; }

 protected:
  void FlushOutput(const char* line) override {
    static constexpr std::string_view kLead = "You might resize at ";
    const std::string_view text(line);
    const size_t at = text.find(kLead);
    if (at == std::string_view::npos) return;
    const char* digits = line + at + kLead.size();
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(digits, &end, 10);
    if (end != digits && errno == 0 && std::string_view(end).starts_with(" bytes") && v <= uint64_t(INT64_MAX)) {
      bytes_ = int64_t(v);
    }
  }

 private:
  int64_t bytes_ = -1;  // written on the listener thread, read after Wait()
};

int64_t resize_tool_min_bytes(const BACKUP_PARTITION_INFO* part) {
  ResizeInfoPipe pipe;
  if (pipe.Launch({"ntfsresize", "--info", "--force", "--no-progress-bar", part->dev_path}, true) == 0) {
    TAV_TRACE(kTraceWarn, kTraceLastError, "cannot run ntfsresize for %s", part->dev_path.c_str());
    return -1;
  }
  if (!pipe.Succeeded() || pipe.bytes() <= 0) {
    TAV_TRACE(kTraceWarn, 0, "ntfsresize gave no size for %s (exit %d)", part->dev_path.c_str(), pipe.ExitStatus());
    return -1;
  }
  return pipe.bytes();
}

// ---- the handler's operations ----

int ntfs_probe(BACKUP_PARTITION_INFO* part) {
  NtfsBoot boot;
  const Status st = read_boot(part, &boot);
  if (!st && st.code() != StatusCode::kNotFound) trace_failure("probe", part, st);
  return st ? 1 : 0;
}

int ntfs_prepare(BACKUP_PARTITION_INFO* part) {
  MountedVolume mv;
  Status st = mv.mount(part);
  uint64_t used = 0;
  if (st) {
    st = for_each_used_range(
        mv,
        [&](uint64_t first, uint64_t end) {
          used += end - first;
          return true;
        },
        nullptr, nullptr);
  }
  if (!st) {
    trace_failure("prepare", part, st);
    return -1;
  }
  set_part_used_sectors(*part, used);
  set_rec_text(*part, pp::kFsName, 16, "NTFS");
  set_rec_text(*part, pp::kFsLabel, 48, volume_label(mv));
  return 0;
}

IMAGE_RUN_VECTOR* ntfs_used_runs(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* part) {
  Status st;
  ImageVectorPtr runs;
  if (part != nullptr && part->sector_count > UINT32_MAX) {
    st = Status::not_supported("partition of " + std::to_string(part->sector_count) +
                               " sectors cannot be described by 32-bit runs");
  } else {
    MountedVolume mv;
    st = mv.mount(part);
    if (st) {
      runs.reset(libtavpub_create_empty_image_run_vector());
      if (runs == nullptr) st = Status::out_of_memory("run vector");
    }
    if (st) {
      st = for_each_used_range(
          mv,
          [&](uint64_t first, uint64_t end) {
            IMAGE_RUN run{{uint32_t(first), uint32_t(end - first)}, RUN_TYPE_DATA, 0};
            return libtavpub_append_image_run(runs.get(), &run) != 0;
          },
          nullptr, nullptr);
    }
  }
  if (!st) {
    trace_failure("used-run scan", part, st);
    if (channel != nullptr) {
      TAV_ENGINE_REPORT(disk_report(), true, kIconError, "Cannot read the NTFS allocation of %s: %s",
                        part_label(part).c_str(), st.message().c_str());
    }
    errno = st.code() == StatusCode::kNotSupported ? EFBIG : EIO;
    return nullptr;
  }
  return runs.release();
}

// Sorted by sector and merged, as the set operations that subtract them expect; a file whose
// fragments lie in ascending order keeps its file order.
FLAT_RUN_VECTOR* ntfs_file_runs(BACKUP_PARTITION_INFO* part, const char* path) {
  if (path == nullptr || path[0] != '/') {
    errno = EINVAL;
    return nullptr;
  }
  Status st;
  FlatVectorPtr runs;
  if (part != nullptr && part->sector_count > UINT32_MAX) {
    st = Status::not_supported("partition cannot be described by 32-bit runs");
  } else {
    MountedVolume mv;
    st = mv.mount(part);
    bool missing = false;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    if (st) st = file_sector_ranges(mv, path, &missing, &ranges);
    if (st) {
      runs.reset(libtavpub_create_empty_flat_run_vector());
      if (runs == nullptr) st = Status::out_of_memory("run vector");
    }
    if (st) {
      std::sort(ranges.begin(), ranges.end());
      RangeMerger merger([&](uint64_t first, uint64_t end) {
        while (first < end) {
          const uint64_t n = std::min<uint64_t>(end - first, kFlatRunMaxSectors);
          FLAT_RUN run{uint32_t(first), uint32_t(n)};
          if (libtavpub_append_flat_run(runs.get(), &run) == 0) return false;
          first += n;
        }
        return true;
      });
      bool ok = true;
      for (const auto& [first, end] : ranges) ok = ok && merger.add(first, end);
      if (!(ok && merger.finish())) st = Status::out_of_memory("run vector");
    }
  }
  if (!st) {
    trace_failure("file-run scan", part, st);
    TAV_TRACE(kTraceError, 0, "    path %s", path);
    errno = st.code() == StatusCode::kNotSupported ? EFBIG : EIO;
    return nullptr;
  }
  return runs.release();
}

// Two answers, best first:
//  - a partition read through its own block device (and not through a snapshot) asks
//    ntfsresize, which knows how far it can move clusters down: "You might resize at N bytes";
//  - otherwise, or when the tool is missing or fails, the volume cannot shrink below its last
//    used cluster: the end of that cluster plus one NTFS sector for the backup boot sector.
int64_t ntfs_min_size_bytes(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) return -1;
  if (!part->dev_path.empty() && part->read_path.empty() && part->snapshot == nullptr) {
    const int64_t bytes = resize_tool_min_bytes(part);
    if (bytes > 0) return bytes;
  }
  MountedVolume mv;
  Status st = mv.mount(part);
  uint64_t last_used = 0;
  bool any_used = false;
  if (st) st = for_each_used_range(mv, [](uint64_t, uint64_t) { return true; }, &last_used, &any_used);
  if (!st) {
    trace_failure("minimum size", part, st);
    return -1;
  }
  const uint64_t cluster_end = any_used ? (last_used + 1) * mv.boot().cluster_bytes : 0;
  const uint64_t bytes = std::max<uint64_t>(cluster_end, kBootAreaSectors * kSectorSize) + mv.boot().bytes_per_sector;
  return int64_t(std::min(bytes, part->sector_count * kSectorSize));
}

const FILE_SYSTEM_TYPE kNtfs = {
    FS_NTFS,        "NTFS", ntfs_probe, ntfs_prepare, ntfs_used_runs, ntfs_file_runs, ntfs_min_size_bytes,
    tav_fs_copy_used,
};

}  // namespace
}  // namespace tav::disk

void tav_file_system_ntfs_init() { tav::disk::register_file_system(&tav::disk::kNtfs); }
