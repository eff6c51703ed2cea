// The mount daemon over the image code: loading a mount's volume set, finding and reading the
// snapshot partition.
#include "daemons/tavmount/mount_image.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "core/engine_report.h"
#include "daemons/tavmount/mount_file_layer.h"
#include "daemons/tavmount/mount_report.h"
#include "core/sector.h"
#include "disk/part_record.h"
#include "image/image_catalogue.h"
#include "image/image_reader.h"

namespace tav::mount {

int init_image_data(STORAGE_DATA* state, const char* folder, const char* base_name) {
  reset_mount_report(source_file_name(__FILE__), __LINE__, __func__);
  if (state == nullptr || folder == nullptr || base_name == nullptr) {
    set_mount_error_flag(2);
    return -1;
  }
  libtavimg_unload_image(state);
  try {
    state->directory = folder;
    state->base_name = base_name;
  } catch (const std::bad_alloc&) {
    set_mount_error_flag(2);
    return -1;
  }
  state->open_volume = open_volume_as_client;
  return 0;
}

int tav_load_image3(STORAGE_DATA* state, const char* folder, const char* base_name, uint32_t min_seq,
                    uint32_t max_seq) {
  if (init_image_data(state, folder, base_name) != 0) return -1;
  const int from = min_seq > uint32_t(INT32_MAX) ? INT32_MAX : int(min_seq);
  const int to = max_seq > uint32_t(INT32_MAX) ? INT32_MAX : int(max_seq);
  if (libtavimg_load_specified_range_snaps(state, folder, base_name, from, to) != 0) {
    TAV_MOUNT_REPORT("load_specified_range_snaps failed!");
    return -1;
  }
  if (state->snaps.empty()) {
    TAV_MOUNT_REPORT("Some wrong!");
    return -1;
  }
  // The first loaded snapshot becomes current: its volume opens (as the client) and the reader's
  // buffers are in place.
  const SNAP_DATA& first = *state->snaps.front();
  if (image_open_image_file(state, int32_t(first.meta_vol)) != 0 || !state->codec) {
    TAV_MOUNT_REPORT("Some wrong!");
    return -1;
  }
  return 0;
}

BACKUP_PARTITION_INFO* get_mounting_part(STORAGE_DATA* state, uint32_t snap_seq, int64_t snap_time,
                                         uint32_t signature) {
  SNAP_DATA* snap = state != nullptr ? libtavimg_find_last_snap(state, 0, snap_seq, snap_time, nullptr) : nullptr;
  if (snap == nullptr) {
    TAV_MOUNT_REPORT("get_mounting_part: !psnap");
    return nullptr;
  }
  if (signature == 0) {
    TAV_MOUNT_REPORT("get_mounting_part: signature is null");
    return nullptr;
  }
  BACKUP_PARTITION_INFO* part = libtavimg_get_part_from_signature(libtavimg_get_image_disks_list(snap), signature);
  if (part == nullptr) {
    // Without a report the reply would carry error 0 and the client would take it for a mount.
    TAV_MOUNT_REPORT("get_mounting_part: !ppart (signature %u)", signature);
  }
  return part;
}

int mount_part(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) {
    TAV_MOUNT_REPORT("mount_part: ppart is NULL!\n");
    return -1;
  }
  if (tav_start_read_part(part) != 0) {
    // The image code reported why; this keeps a failure from passing unreported.
    TAV_MOUNT_REPORT("mount_part: tav_start_read_part failed\n");
    return -1;
  }
  return 0;
}

int umount_part(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) {
    TAV_MOUNT_REPORT("umount_part: ppart is NULL!\n");
    return -1;
  }
  tav_end_read_part(part);
  return 0;
}

uint32_t mount_read(BACKUP_PARTITION_INFO* part, uint64_t offset, uint32_t count, void* buffer) {
  if (part == nullptr) {
    TAV_MOUNT_REPORT("mount_read: ppart is NULL!\n");
    return 0;
  }
  // Nothing is read past the partition's end (the image reader would give zeros there).
  const uint64_t size = part->sector_count * kSectorSize;
  const uint32_t inside = offset >= size ? 0 : uint32_t(std::min<uint64_t>(count, size - offset));
  const int64_t got = inside == 0 ? 0 : part->ops->pos_read(part, offset, inside, buffer);
  const uint32_t done = got < 0 ? 0 : uint32_t(got);
  if (done != count) {
    TAV_MOUNT_REPORT("mount_read: sector=%lu, left=%lu, count=%lu, ret=%lu\n",
                     static_cast<unsigned long>(offset / kSectorSize), static_cast<unsigned long>(offset % kSectorSize),
                     static_cast<unsigned long>(count), static_cast<unsigned long>(done));
  }
  return done;
}

uint64_t mount_get_part_length(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) {
    TAV_MOUNT_REPORT("mount_get_part_length: ppart is NULL!\n");
    return 0;
  }
  return part->sector_count;
}

uint8_t mount_get_part_type(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr) {
    TAV_MOUNT_REPORT("mount_get_part_type: ppart is NULL!\n");
    return 0;
  }
  return disk::part_type(*part);
}

uint32_t mount_get_alignment(const STORAGE_DATA* state) {
  const IMAGE_FILE_DATA* file = state != nullptr ? state->cur_file : nullptr;
  if (file == nullptr) {
    TAV_MOUNT_REPORT("find_from_files_vector failed!");
    return 1;
  }
  if (file->fd < 0) {
    TAV_MOUNT_REPORT("mount get alignment failed, pfile_data->fd(%d) is INVALID_HANDLE_VALUE\n", file->fd);
    return 1;
  }
  struct statx sx {};
  if (::statx(file->fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) != 0) {
    TAV_MOUNT_REPORT("mount get alignment failed, ZwQueryInformationFile return error\n");
    return 1;
  }
  if ((sx.stx_mask & STATX_DIOALIGN) == 0 || sx.stx_dio_mem_align == 0) return 1;
  return sx.stx_dio_mem_align;
}

}  // namespace tav::mount
