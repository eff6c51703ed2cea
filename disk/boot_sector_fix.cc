// Fitting a copied FAT or NTFS boot sector to its new place on disk: the geometry fields
// (sectors per track, heads) and the hidden sectors (the partition's first sector), which the
// boot code of both file systems uses to find the volume.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/byte_order.h"
#include "disk/fat_boot_sector.h"
#include "disk/fs_copy.h"
#include "disk/ntfs_boot_sector.h"

namespace {

using tav::get_le16;
using tav::get_le64;
using tav::put_le16;
using tav::put_le32;
using tav::disk::fat::has_boot_signature;
namespace fat_layout = tav::disk::fat::boot_layout;
namespace ntfs_layout = tav::disk::ntfs::boot_layout;

bool has_jump(const uint8_t* b) { return (b[0] == 0xEB && b[2] == 0x90) || b[0] == 0xE9; }

bool is_power_of_two(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool valid_sector_size(const uint8_t* b) {
  const uint16_t bps = get_le16(b + fat_layout::kBytesPerSector);
  return bps >= 512 && bps <= 4096 && is_power_of_two(bps);
}

bool oem_is(const uint8_t* b, const char* name) {
  return std::memcmp(b + fat_layout::kOemName, name, fat_layout::kOemNameBytes) == 0;
}

bool is_fat_boot_sector(const uint8_t* b) {
  using namespace fat_layout;
  if (!has_boot_signature(b) || !has_jump(b) || !valid_sector_size(b)) return false;
  if (oem_is(b, tav::disk::ntfs::kOemId) || oem_is(b, "EXFAT   ")) return false;
  const uint8_t media = b[kMedia];
  return is_power_of_two(b[kSectorsPerCluster]) && get_le16(b + kReservedSectors) >= 1 &&
         (b[kFatCount] == 1 || b[kFatCount] == 2) && (media == 0xF0 || media >= 0xF8);
}

bool is_ntfs_boot_sector(const uint8_t* b) {
  return has_boot_signature(b) && has_jump(b) && oem_is(b, tav::disk::ntfs::kOemId) && valid_sector_size(b) &&
         b[ntfs_layout::kSectorsPerCluster] != 0;
}

// The fields FAT and NTFS boot sectors share at the same offsets.
void set_place(uint8_t* b, uint16_t sectors_per_track, uint16_t heads, uint32_t first_sector) {
  put_le16(b + fat_layout::kSectorsPerTrack, sectors_per_track);
  put_le16(b + fat_layout::kHeads, heads);
  put_le32(b + fat_layout::kHiddenSectors, first_sector);
}

}  // namespace

int libtavfat_fix_fat_bootsector(uint8_t* boot_sector, uint16_t sectors_per_track, uint16_t heads,
                                 uint32_t first_sector) {
  if (boot_sector == nullptr || !is_fat_boot_sector(boot_sector)) return -1;
  set_place(boot_sector, sectors_per_track, heads, first_sector);
  return 0;
}

int libtavntfs_fix_ntfs_bootsector(uint8_t* boot_sector, uint16_t sectors_per_track, uint16_t heads,
                                   uint32_t first_sector) {
  if (boot_sector == nullptr || !is_ntfs_boot_sector(boot_sector)) return -1;
  set_place(boot_sector, sectors_per_track, heads, first_sector);
  return 0;
}

namespace tav::disk {

BootPlace boot_place_of(const BACKUP_PARTITION_INFO* dest) {
  BootPlace place;
  const _DISK_INFOMATION* disk = dest->disk;
  if (disk != nullptr && disk->sectors_per_track != 0 && disk->heads != 0) {
    place.sectors_per_track = uint16_t(std::min<uint32_t>(disk->sectors_per_track, UINT16_MAX));
    place.heads = uint16_t(std::min<uint32_t>(disk->heads, UINT16_MAX));
  }
  place.first_sector = uint32_t(std::min<uint64_t>(dest->first_sector, UINT32_MAX));
  return place;
}

bool fit_held_boot_sectors(uint8_t* held, uint32_t held_count, uint32_t type_code, const BootPlace& place) {
  if (held_count == 0) return false;
  if (type_code == FS_FAT16 || type_code == FS_FAT32) {
    if (libtavfat_fix_fat_bootsector(held, place.sectors_per_track, place.heads, place.first_sector) != 0) return false;
    // Only FAT32 has a backup boot sector; on FAT12/16 these bytes belong to the volume label.
    if (get_le16(held + fat_layout::kFatSize16) == 0 && get_le16(held + fat_layout::kBytesPerSector) == kSectorSize) {
      const uint16_t backup = get_le16(held + fat_layout::kFat32BackupBootSector);
      if (backup > 0 && backup < held_count) {
        libtavfat_fix_fat_bootsector(held + size_t(backup) * kSectorSize, place.sectors_per_track, place.heads,
                                     place.first_sector);
      }
    }
    return true;
  }
  if (type_code == FS_NTFS) {
    return libtavntfs_fix_ntfs_bootsector(held, place.sectors_per_track, place.heads, place.first_sector) == 0;
  }
  return true;
}

bool fit_ntfs_backup_boot_sector(BACKUP_PARTITION_INFO* dest, const uint8_t* boot, uint32_t held_count,
                                 const BootPlace& place) {
  if (!is_ntfs_boot_sector(boot) || get_le16(boot + ntfs_layout::kBytesPerSector) != kSectorSize) return true;
  const uint64_t backup = get_le64(boot + ntfs_layout::kVolumeSectors);
  if (backup < held_count || backup >= dest->sector_count) return true;
  uint8_t sector[kSectorSize];
  if (dest->ops->read_sectors(dest, backup, 1, sector) != 1 ||
      libtavntfs_fix_ntfs_bootsector(sector, place.sectors_per_track, place.heads, place.first_sector) != 0) {
    std::memcpy(sector, boot, kSectorSize);
  }
  return dest->ops->write_sectors(dest, backup, 1, sector) == 1;
}

}  // namespace tav::disk
