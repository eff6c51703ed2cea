// Loading the catalogue of a storage: the directory scan for a base name's volume files, one
// snapshot record per snapshot (from its first volume when there is one), their order, and
// unloading.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/extent_vector.h"
#include "core/trace.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "format/ego_records.h"
#include "format/image_name.h"
#include "image/catalogue_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/image_reader.h"
#include "image/reader_internal.h"

namespace tav::img {

void destroy_snap(std::unique_ptr<SNAP_DATA> snap) {
  if (!snap) return;
  for (auto& data : snap->part_data) {
    if (data->prun_vector != nullptr) libtavpub_release_image_run_vector(data->prun_vector);
    data->prun_vector = nullptr;
  }
  tav_destroy_all_disks(snap->disks);
  snap->disks = nullptr;
  snap.reset();  // the partitions' private data goes after the partitions
}

void forget_reader_state(STORAGE_DATA* storage) {
  // Any partition that holds reading state may refer to members of other snapshots' chains.
  for (const auto& snap : storage->snaps) {
    for (const auto& data : snap->part_data) {
      if (data->prun_vector != nullptr || !data->snap_part_vector.empty() || data->runs_loaded) {
        tav_end_read_part(data->part);
      }
    }
  }
  storage->open_part = nullptr;
  storage->part = nullptr;
  storage->part_data = nullptr;
  empty_unit_cache(storage);
}

Status prepare_reader_buffers(STORAGE_DATA* storage) {
  if (Status s = ensure_reader_buffers(storage); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "Allocating cache_buff failed!");
    return s;
  }
  empty_unit_cache(storage);
  storage->cache_counter = 0;
  return Status::ok();
}

namespace {

// Index of the snapshot with this identity, or -1.
int find_snap(const STORAGE_DATA& storage, uint32_t signature, uint32_t snap_seq, int64_t create_time) {
  for (size_t i = 0; i < storage.snaps.size(); ++i) {
    const SNAP_DATA& s = *storage.snaps[i];
    if (s.signature == signature && s.snap_seq == snap_seq && s.create_time == create_time) return int(i);
  }
  return -1;
}

// Adds a loaded record: it replaces a record of the same snapshot (taking over its load order),
// else it comes after every loaded one; the vector stays ordered by (create_time, load_order).
Status add_snap(STORAGE_DATA* storage, std::unique_ptr<SNAP_DATA> snap) {
  if (storage->signature != 0 && snap->signature != storage->signature) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "psnap->signature != pstorage->signature");
    destroy_snap(std::move(snap));
    return Status::invalid_argument("the snapshot belongs to another storage");
  }
  storage->snaps.reserve(storage->snaps.size() + 1);
  const int existing = find_snap(*storage, snap->signature, snap->snap_seq, snap->create_time);
  if (existing >= 0) {
    forget_reader_state(storage);
    std::unique_ptr<SNAP_DATA> old = std::move(storage->snaps[size_t(existing)]);
    storage->snaps.erase(storage->snaps.begin() + existing);
    snap->load_order = old->load_order;
    storage->total_vol -= std::min<uint64_t>(storage->total_vol, old->total_vol);
    destroy_snap(std::move(old));
  } else {
    uint32_t highest = 0;
    for (const auto& s : storage->snaps) highest = std::max(highest, s->load_order);
    snap->load_order = highest + 1;
  }
  const auto at = std::find_if(storage->snaps.begin(), storage->snaps.end(), [&](const auto& s) {
    return s->create_time > snap->create_time ||
           (s->create_time == snap->create_time && s->load_order > snap->load_order);
  });
  storage->signature = snap->signature;
  storage->total_vol += snap->total_vol;
  storage->snaps.insert(at, std::move(snap));  // cannot throw after the reserve
  return Status::ok();
}

// Builds the snapshot record from the header and descriptor area of volume `vol`.
Status load_snap_from_volume(STORAGE_DATA* storage, int32_t vol, bool from_first_vol) {
  if (Status s = open_image_file(storage, vol); !s) return s;
  const IMAGE_FILE_DATA& file = *storage->cur_file;  // stays put: no other volume opens below
  std::array<uint8_t, kHeaderSize> bytes{};
  if (Status s = read_volume_bytes(file, 0, bytes.data(), bytes.size()); !s) return s;
  EGO_IMAGE_HEADER h;
  if (Status s = decode_image_header(bytes, &h); !s) return s.with_prefix(file.name + ": ");
  if (storage->signature != 0 && storage->signature != h.signature) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "pstorage->signature != 0 && pstorage->signature != signature (%s)",
                      file.name.c_str());
    return Status::invalid_argument(file.name + ": belongs to another storage");
  }
  if (h.reserved1 != 0) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "reserved1 != 0 (%s)", file.name.c_str());
    return Status::corruption(file.name + ": snapshot marked unloadable (reserved1 " + std::to_string(h.reserved1) + ")");
  }
  auto snap = std::make_unique<SNAP_DATA>();
  const FormatVersion v = h.version();
  snap->major = h.major;
  snap->minor = h.minor;
  snap->create_time = int64_t(int32_t(h.create_time));
  snap->signature = h.signature;
  snap->compress_mode = compress_mode_of(v, h.compress_mode);
  snap->unit_bytes = h.unit_bytes;
  snap->total_vol = h.total_vol;
  snap->num_disks = h.num_disks;
  snap->disk_table_offset = h.disk_table_offset;
  if (v.is_v10()) {
    snap->backup_type = kBackupFull;
    libtavimg_dword_convert_systime(h.create_time, &snap->create_systime);
  } else {
    snap->backup_type = h.backup_type;
    snap->create_systime = h.create_systime;
    snap->snap_seq = h.snap_seq;
    snap->first_vol = h.first_vol;
    snap->first_vol2 = h.first_vol2;
  }
  if (h.comment_offset != 0 && h.comment_length != 0) {
    if (Status s = read_comment(file.fd, file.file_size, v, h.comment_offset, h.comment_length, &snap->comment); !s) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "read comment of %s failed", file.name.c_str());
      return s.with_prefix(file.name + ": ");
    }
    snap->has_comment = true;
  }
  snap->meta_vol = uint32_t(vol);
  snap->from_first_vol = from_first_vol ? 1 : 0;
  snap->pstorage = storage;
  if (Status s = load_image_disks(file, snap.get()); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "add_image_disks failed");
    destroy_snap(std::move(snap));
    return s;
  }
  return add_snap(storage, std::move(snap));
}

bool is_regular_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Volume files of the base name in the directory whose numbers lie in [from, to], in
// volume-number order: names that are the base name, decimal digits (possibly none) and ".ego",
// regular files only, with "./" before them when the directory is empty. The directory is listed
// rather than every number tried: a range taken from a damaged or forged record may span billions
// of numbers, of which only the files there count. A name spelt otherwise than its volume's own
// ("imbackup007.ego") is refused by the volume check when it is loaded.
Status list_volume_files(const std::string& directory, const std::string& base_name, uint64_t from, uint64_t to,
                         std::vector<std::string>* paths) {
  std::vector<VolumeFileName> names;
  if (Status s = list_volume_names(directory, base_name, false, &names); !s) return Status::not_found(s.message());
  const std::string prefix = directory.empty() ? "./" : (directory.back() == '/' ? directory : directory + "/");
  for (const VolumeFileName& f : names) {
    if (f.number < from || f.number > to) continue;
    const std::string path = prefix + f.name;
    if (is_regular_file(path)) paths->push_back(path);
  }
  return Status::ok();
}

Status load_image(STORAGE_DATA* storage, const char* directory, const char* base_name, bool first_only) {
  storage->directory = directory;
  storage->base_name = base_name;
  tav_init_disk();
  std::vector<std::string> paths;
  if (Status s = list_volume_files(storage->directory, storage->base_name, 0, UINT64_MAX, &paths); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "%s", s.message().c_str());
    return s;
  }
  for (const std::string& path : paths) tav_load_snap(storage, path, first_only);
  if (storage->snaps.empty()) {
    return Status::not_found("no snapshot of " + storage->base_name + " in " + storage->directory);
  }
  return prepare_reader_buffers(storage);
}

Status load_range(STORAGE_DATA* storage, const char* directory, const char* base_name, int from, int to) {
  if (storage->snaps.empty()) {
    storage->directory = directory;
    storage->base_name = base_name;
  } else if (storage->directory != directory || storage->base_name != base_name) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "!img_name! (%s%s: another storage is loaded)", directory,
                      base_name);
    return Status::invalid_argument("another storage is loaded");
  }
  tav_init_disk();
  if (from > to) return Status::ok();
  std::vector<std::string> paths;
  if (Status s = list_volume_files(storage->directory, storage->base_name, uint64_t(std::max(from, 0)), uint64_t(to),
                                   &paths);
      !s) {
    // As with a directory without those volumes: nothing loads, which the caller reports.
    TAV_TRACE(kTraceError, 0, "%s", s.message().c_str());
  }
  for (const std::string& path : paths) tav_load_snap(storage, path, false);
  if (storage->snaps.empty()) return Status::ok();
  return prepare_reader_buffers(storage);
}

}  // namespace

Status tav_load_snap(STORAGE_DATA* storage, const std::string& path, bool first_only) {
  IMAGEFILE_INFO info;
  if (Status s = volume_info(path, &info, false); !s) return s;
  // "imbackup12.ego" may be volume 2 of base name "imbackup1": not a volume of this storage.
  if (info.base_name != storage->base_name) return Status::ok();
  if (storage->signature != 0 && storage->signature != info.signature) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "pstorage->signature != 0 && pstorage->signature != signature (%s)",
                      path.c_str());
    return Status::invalid_argument(path + ": belongs to another storage");
  }
  const bool v10 = FormatVersion{info.major, info.minor}.is_v10();
  // Any 1.0 file counts as a first volume; a record is read from its snapshot's volume 0 when
  // that one is there.
  const bool counts_as_first = v10 || info.first_vol2 == info.vol;
  if (first_only && !counts_as_first) return Status::ok();
  const int existing = find_snap(*storage, info.signature, info.snap_seq, info.create_time);
  // A record read from the first volume is final; one read from a later volume is replaced only
  // by a read of the first.
  const bool truly_first = v10 ? info.vol == 0 : counts_as_first;
  if (existing >= 0 && (storage->snaps[size_t(existing)]->from_first_vol != 0 || !truly_first)) {
    return Status::ok();
  }
  return load_snap_from_volume(storage, int32_t(info.vol), truly_first);
}

}  // namespace tav::img

int libtavimg_load_image2(STORAGE_DATA* storage, const char* directory, const char* base_name, int first_only) {
  if (storage == nullptr || directory == nullptr || base_name == nullptr) {
    errno = EINVAL;
    return -1;
  }
  libtavimg_unload_image(storage);
  tav::Status st;
  try {
    st = tav::img::load_image(storage, directory, base_name, first_only != 0);
  } catch (const std::bad_alloc&) {
    st = tav::Status::out_of_memory("out of memory, !psnap");
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "out of memory, !psnap");
  }
  tav::img::set_errno_from(st);
  return st ? 0 : -1;
}

int libtavimg_load_specified_range_snaps(STORAGE_DATA* storage, const char* directory, const char* base_name, int from,
                                         int to) {
  if (storage == nullptr || directory == nullptr || base_name == nullptr) {
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "!img_name!");
    errno = EINVAL;
    return -1;
  }
  tav::Status st;
  try {
    st = tav::img::load_range(storage, directory, base_name, from, to);
  } catch (const std::bad_alloc&) {
    st = tav::Status::out_of_memory("out of memory, !psnap");
    TAV_ENGINE_REPORT(tav::img::image_report(), true, tav::kIconError, "out of memory, !psnap");
  }
  tav::img::set_errno_from(st);
  return st ? 0 : -1;
}

void libtavimg_unload_image(STORAGE_DATA* storage) {
  if (storage == nullptr) return;
  tav::img::forget_reader_state(storage);
  libtavimg_close_all_image_file(storage);
  for (auto& snap : storage->snaps) tav::img::destroy_snap(std::move(snap));
  storage->snaps.clear();
  storage->directory.clear();
  storage->base_name.clear();
  storage->signature = 0;
  storage->total_vol = 0;
  storage->codec.reset();
  std::vector<uint8_t>().swap(storage->stored_unit);
  for (tav::img::CacheSlot& slot : storage->cache) slot.data.reset();
  storage->cache_counter = 0;
}
