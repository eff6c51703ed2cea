// The boot sector of a FAT12, FAT16 or FAT32 volume and the FAT32 FSInfo sector: the offset of
// every field the disk library reads or writes. The FAT reader, the grower, the fitting of a
// copied boot sector and the partition-table probe all take them from here. NTFS keeps the first
// fields of this BIOS parameter block at the same offsets (ntfs_boot_sector.h).
//
// Boot sector (offsets in the first sector, little-endian):
//   off size   field
//     0 u8[3]  jump instruction: EB xx 90 or E9 xx xx
//     3 u8[8]  OEM name ("NTFS    " and "EXFAT   " are other file systems)
//    11 u16    bytes per sector: 512, 1024, 2048 or 4096
//    13 u8     sectors per cluster: a power of two, 1..128
//    14 u16    reserved sectors (boot sector, FAT32 FSInfo and backup boot sector), >= 1
//    16 u8     number of FATs: 1 or 2
//    17 u16    root directory entries (FAT12/16; 0 on FAT32)
//    19 u16    total sectors when below 65536, else 0
//    21 u8     media descriptor: 0xF0 or 0xF8..0xFF
//    22 u16    sectors per FAT (FAT12/16; 0 on FAT32)
//    24 u16    sectors per track of the disk geometry the boot code uses
//    26 u16    heads of that geometry
//    28 u32    hidden sectors: the volume's first sector on its disk
//    32 u32    total sectors when the 16-bit field is 0
//   FAT12/16:
//    38 u8     extended boot signature 0x29, then 43 u8[11] volume label
//   FAT32:
//    36 u32    sectors per FAT
//    40 u16    flags: bit 7 set when the FATs are not mirrored, bits 0-3 the active FAT then
//    42 u16    version (0)
//    44 u32    root directory cluster
//    48 u16    FSInfo sector (in reserved sectors; 0 or beyond them: none)
//    50 u16    backup boot sector (likewise)
//    66 u8     extended boot signature 0x29, then 71 u8[11] volume label
//    82 u8[8]  file-system type text, "FAT32   "
//   510 u8[2]  55 AA (at this offset whatever the sector size)
//
// FSInfo sector (FAT32):
//     0 u32    lead signature 0x41615252
//   484 u32    struct signature 0x61417272
//   488 u32    free clusters (0xFFFFFFFF: unknown)
//   492 u32    next free cluster hint (0xFFFFFFFF: unknown)
//   510 u8[2]  55 AA
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav::disk::fat {

namespace boot_layout {
constexpr size_t kOemName = 3, kBytesPerSector = 11, kSectorsPerCluster = 13, kReservedSectors = 14,
                 kFatCount = 16, kRootEntries = 17, kTotalSectors16 = 19, kMedia = 21, kFatSize16 = 22,
                 kSectorsPerTrack = 24, kHeads = 26, kHiddenSectors = 28, kTotalSectors32 = 32;
constexpr size_t kFat16ExtSignature = 38, kFat16Label = 43;
constexpr size_t kFat32FatSize = 36, kFat32Flags = 40, kFat32Version = 42, kFat32RootCluster = 44,
                 kFat32FsInfoSector = 48, kFat32BackupBootSector = 50, kFat32ExtSignature = 66, kFat32Label = 71,
                 kFat32FsType = 82;
constexpr size_t kSignature = 510;
constexpr size_t kOemNameBytes = 8;
constexpr uint8_t kExtendedBootSignature = 0x29;
}  // namespace boot_layout

namespace fsinfo_layout {
constexpr size_t kLeadSignature = 0, kStructSignature = 484, kFreeCount = 488, kNextFree = 492;
constexpr uint32_t kLeadSignatureValue = 0x41615252;
constexpr uint32_t kStructSignatureValue = 0x61417272;
constexpr uint32_t kUnknown = 0xFFFFFFFF;
}  // namespace fsinfo_layout

// The 55 AA that ends a boot sector and an FSInfo sector (`sector` holds at least 512 bytes).
inline bool has_boot_signature(const uint8_t* sector) {
  return sector[boot_layout::kSignature] == 0x55 && sector[boot_layout::kSignature + 1] == 0xAA;
}

}  // namespace tav::disk::fat
