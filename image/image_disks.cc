// Image disks and image partitions of a snapshot, built from its disk table, saved boot sectors
// and partition records, and the private data that ties an image partition to its snapshot.
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "core/byte_order.h"
#include "disk/disk_list.h"
#include "disk/fs_registry.h"
#include "disk/part_record.h"
#include "format/ego_records.h"
#include "image/catalogue_internal.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/image_reader.h"

namespace tav::img {
namespace {

// Reads [offset, offset + count * size) after checking that it lies inside the file, so a
// damaged count never turns into a huge allocation.
Status read_records(const IMAGE_FILE_DATA& file, uint64_t offset, uint64_t count, uint64_t size,
                    const char* what, std::vector<uint8_t>* out) {
  const uint64_t bytes = count * size;  // count < 2^32, size < 2^20: no overflow
  if (offset > file.file_size || bytes > file.file_size - offset) {
    return Status::corruption(file.name + ": " + what + " (" + std::to_string(count) + " x " +
                              std::to_string(size) + " bytes at " + std::to_string(offset) +
                              ") lies outside the file");
  }
  out->resize(size_t(bytes));
  return read_volume_bytes(file, offset, out->data(), out->size());
}

// Builds one image partition from a checked record and adds it to `disk`. `position` is the
// record's 1-based place on its disk (a synthesized extended partition counts).
Status add_image_partition(SNAP_DATA* snap, _DISK_INFOMATION* disk, const EGO_PART_RECORD& rec,
                           uint32_t position) {
  auto part = std::make_unique<BACKUP_PARTITION_INFO>();
  std::memcpy(part->record.data(), rec.raw.data(), kPartRecordSize);
  uint32_t full = rec.full;
  uint32_t signature = rec.signature;
  if (snap->version().is_v10()) {
    // A 1.0 record ends before these fields: every partition is full, and its chain signature
    // comes from the snapshot's time and the record's place on the disk.
    full = 1;
    signature = synthesize_v10_signature(uint32_t(snap->create_time), position);
    put_le32(&part->record[part_layout::kFull], full);
    put_le32(&part->record[part_layout::kSignature], signature);
  }
  part->first_sector = rec.start_sector;
  part->sector_count = rec.sector_count;
  part->last_sector = rec.sector_count != 0 ? rec.start_sector + rec.sector_count - 1 : rec.start_sector;
  part->ops_fs = libtavdisk_file_system_type_get(rec.part_type);
  const uint32_t fs_code = disk::rec_u32(*part, disk::part_private::kFsTypeCode);
  part->fs = fs_code != disk::FS_UNKNOWN ? disk::file_system_by_code(fs_code) : nullptr;
  part->is_image = 1;
  part->ops = libtavimg_image_part_operations();

  auto data = std::make_unique<IMAGE_PART_DATA>();
  data->part = part.get();
  data->psnap = snap;
  data->full = full;
  data->signature = signature;
  data->parent_seq = snap->version().is_v10() ? 0 : rec.parent_seq;
  data->parent_time = snap->version().is_v10() ? 0 : int64_t(int32_t(rec.parent_time));
  part->part_data = data.get();
  snap->part_data.reserve(snap->part_data.size() + 1);
  if (tav_part_add(disk, part.get()) != 0) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "add_image_partitions failed");
    return Status::out_of_memory("out of memory, !ppart");
  }
  part.release();  // the disk owns it now
  snap->part_data.push_back(std::move(data));  // cannot throw after the reserve
  return Status::ok();
}

// The saved boot sectors and partitions of one disk record.
Status load_disk(const IMAGE_FILE_DATA& file, SNAP_DATA* snap, const EGO_DISK_RECORD& d, _DISK_INFOMATION* disk) {
  const FormatVersion v = snap->version();
  if (d.mbr_sectors != 0) {
    if (Status s = read_records(file, d.mbr_offset, d.mbr_sectors, kSectorSize, "boot sectors", &disk->mbr); !s) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "read boot sectors of %s failed", file.name.c_str());
      return s;
    }
  }
  std::vector<uint8_t> records;
  const size_t record_size = v.part_record_size();
  if (Status s = read_records(file, d.parts_offset, d.num_parts, record_size, "partition records", &records); !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "Getting all parts from disk failed! (%s)", file.name.c_str());
    return s;
  }
  bool extended_present = false;
  uint32_t position = 0;
  for (uint32_t i = 0; i < d.num_parts; ++i) {
    const std::span<const uint8_t> bytes(records.data() + size_t(i) * record_size, record_size);
    EGO_PART_RECORD rec;
    Status st = check_part_record(bytes, v);
    if (st) st = decode_part_record(bytes, v, &rec);
    if (!st) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "CRC checking failed: !bRet (%s, partition record %u)",
                        file.name.c_str(), i);
      return st.with_prefix(file.name + ": ");
    }
    // A sealed record can still be forged or written by a faulty program: one that does not
    // lie inside its disk would turn sizes and offsets of every later step into nonsense.
    if (st = check_part_extent(rec.start_sector, rec.sector_count, d); !st) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "%s (%s, partition record %u)", st.message().c_str(),
                        file.name.c_str(), i);
      return st.with_prefix(file.name + ": ");
    }
    if ((rec.part_flags & kPartFlagExtended) != 0) extended_present = true;
    // The backup stores the logical partitions, not the extended one that holds them: put it
    // back before the first logical partition so the disk's layout is whole again.
    if ((rec.part_flags & kPartFlagLogical) != 0 && !extended_present && d.ext_length != 0) {
      extended_present = true;
      if (Status s = check_part_extent(d.ext_start, d.ext_length, d); !s) {
        TAV_ENGINE_REPORT(image_report(), true, kIconError, "%s (%s, extended partition)", s.message().c_str(),
                          file.name.c_str());
        return s.with_prefix(file.name + ": extended partition: ");
      }
      if (Status s = add_image_partition(snap, disk, synthesize_extended_part_record(d), ++position); !s) {
        TAV_ENGINE_REPORT(image_report(), true, kIconError, "add_image_ext_part failed");
        return s;
      }
    }
    if (Status s = add_image_partition(snap, disk, rec, ++position); !s) return s;
  }
  if (!disk->parts.empty()) {
    const uint32_t kind = disk::rec_u32(*disk->parts.front(), disk::part_private::kTableKind);
    if (kind == uint32_t(disk::TableKind::kMbr) || kind == uint32_t(disk::TableKind::kGpt)) {
      disk->table_kind = disk::TableKind(kind);
    }
  }
  return Status::ok();
}

}  // namespace

Status load_image_disks(const IMAGE_FILE_DATA& file, SNAP_DATA* snap) {
  if (snap->num_disks == 0) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "disk number is less than zero!");
    return Status::corruption(file.name + ": no disks");
  }
  std::vector<uint8_t> table;
  if (Status s = read_records(file, snap->disk_table_offset, snap->num_disks, kDiskRecordSize, "disk table", &table);
      !s) {
    TAV_ENGINE_REPORT(image_report(), true, kIconError, "add_image_disks failed (%s)", file.name.c_str());
    return s;
  }
  for (uint32_t i = 0; i < snap->num_disks; ++i) {
    const std::span<const uint8_t> bytes(table.data() + size_t(i) * kDiskRecordSize, kDiskRecordSize);
    EGO_DISK_RECORD d;
    Status st = check_disk_record(bytes);
    if (st) st = decode_disk_record(bytes, &d);
    if (!st) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "crc check failed, disk on image struct is damaged!(%d) (%s)",
                        int(kDiskRecordSize), file.name.c_str());
      return st.with_prefix(file.name + ": ");
    }
    auto disk = std::make_unique<_DISK_INFOMATION>();
    disk->cylinders = d.cylinders;
    disk->heads = d.heads;
    disk->sectors_per_track = d.sectors_per_track;
    disk->sectors_per_cylinder = d.sectors_per_cylinder;
    disk->total_sectors = d.total_sectors;
    const std::string name = name_field_text(d.disk_name);
    disk->name = ansi_to_utf8(reinterpret_cast<const uint8_t*>(name.data()), name.size());
    disk->disk_type = disk::DEVICE_IMAGE;
    disk->whole_disk = d.whole_disk;
    disk->ext_start = d.ext_start;
    disk->ext_length = d.ext_length;
    disk->ext_end = d.ext_end;
    disk->boot_kind = d.boot_kind;
    disk->disk_signature = d.disk_signature;
    disk->boot_part_start = d.boot_part_start;
    if (tav_add_disk_device(&snap->disks, disk.get()) != 0) {
      TAV_ENGINE_REPORT(image_report(), true, kIconError, "out of memory, !pdisk");
      return Status::out_of_memory("out of memory, !pdisk");
    }
    _DISK_INFOMATION* added = disk.release();  // the snapshot's list owns it now
    if (Status s = load_disk(file, snap, d, added); !s) return s;
  }
  if (tav_assign_dev_num_all(snap->disks) != 0) return Status::out_of_memory("out of memory, !ppart");
  return Status::ok();
}

IMAGE_PART_DATA* image_part_data(const BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->is_image != 1 || part->ops != libtavimg_image_part_operations()) return nullptr;
  return static_cast<IMAGE_PART_DATA*>(part->part_data);
}

}  // namespace tav::img
