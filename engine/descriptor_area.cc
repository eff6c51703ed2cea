// Builds the descriptor area of a volume file from the disk library's disks and partitions.
#include "engine/descriptor_area.h"

#include <algorithm>

#include "core/byte_order.h"
#include "format/ego_records.h"
#include "format/struct_sum.h"
#include "disk/part_record.h"

namespace tav::engine {

namespace {

// Offset of the 32-bit disk signature inside a saved MBR.
constexpr size_t kMbrDiskSignature = 440;

void seal_part_record(BACKUP_PARTITION_INFO& part) {
  const auto magic = img::magic_bytes(img::kPartMagic);
  std::copy(magic.begin(), magic.end(), part.record.begin() + img::part_layout::kMagic);
  img::seal_struct_sum(part.record, img::part_layout::kSum);
}

}  // namespace

bool disk_has_selected_partition(const _DISK_INFOMATION& disk) {
  return std::any_of(disk.parts.begin(), disk.parts.end(), [](const auto& p) { return p->selected != 0; });
}

uint32_t count_disks_with_selection(const _DISK_INFOMATION* disks) {
  uint32_t n = 0;
  for (const _DISK_INFOMATION* d = disks; d != nullptr; d = d->next) {
    if (disk_has_selected_partition(*d)) ++n;
  }
  return n;
}

void build_descriptor_area(_DISK_INFOMATION* disks, uint64_t at, bool final_pass, DescriptorArea* out) {
  out->bytes.clear();
  out->num_disks = 0;
  std::vector<img::EGO_DISK_RECORD> records;
  for (_DISK_INFOMATION* disk = disks; disk != nullptr; disk = disk->next) {
    if (!disk_has_selected_partition(*disk)) continue;
    img::EGO_DISK_RECORD rec;
    rec.cylinders = disk->cylinders;
    rec.heads = disk->heads;
    rec.sectors_per_track = disk->sectors_per_track;
    rec.sectors_per_cylinder = disk->sectors_per_cylinder;
    rec.total_sectors = disk->total_sectors;
    img::set_name_field(rec.disk_name, disk->name);
    rec.disk_kind = disk->disk_type;
    rec.whole_disk = disk->whole_disk;
    if (disk->ext_length != 0) {
      rec.ext_length = disk->ext_length;
      rec.ext_start = disk->ext_start;
      rec.ext_end = disk->ext_end;
    }
    // Whole sectors only: a partial trailing sector would shift every record after it.
    const uint32_t mbr_sectors = disk->mbr_sectors();
    if (mbr_sectors != 0) {
      rec.mbr_sectors = mbr_sectors;
      rec.mbr_offset = at + out->bytes.size();
      out->bytes.insert(out->bytes.end(), disk->mbr.begin(), disk->mbr.begin() + size_t(mbr_sectors) * kSectorSize);
    }
    rec.parts_offset = at + out->bytes.size();
    for (auto& part : disk->parts) {
      if (part->selected == 0) continue;
      seal_part_record(*part);
      out->bytes.insert(out->bytes.end(), part->record.begin(), part->record.end());
      ++rec.num_parts;
    }
    if (final_pass) {
      if (disk->mbr.size() >= kMbrDiskSignature + 4) rec.disk_signature = get_le32(&disk->mbr[kMbrDiskSignature]);
      rec.boot_kind = disk->boot_kind == 2 ? 2 : 1;
      rec.boot_part_start = rec.boot_kind == 2 ? disk->boot_part_start : 0;
    }
    records.push_back(rec);
  }
  out->disk_table_offset = at + out->bytes.size();
  out->num_disks = uint32_t(records.size());
  for (const auto& rec : records) {
    std::array<uint8_t, img::kDiskRecordSize> bytes{};
    img::encode_disk_record(rec, bytes);
    out->bytes.insert(out->bytes.end(), bytes.begin(), bytes.end());
  }
}

}  // namespace tav::engine
