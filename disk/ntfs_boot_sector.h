// The boot sector of an NTFS volume: the offset of every field the disk library reads or writes.
// The NTFS handler and the fitting of a copied boot sector take them from here.
//
// NTFS keeps the first fields of the FAT BIOS parameter block where FAT has them
// (fat_boot_sector.h), so those offsets are the FAT ones. Little-endian:
//   off size   field
//   0x000 u8[3] jump instruction: EB xx 90 or E9 xx xx
//   0x003 u8[8] OEM id, "NTFS    "
//   0x00B u16   bytes per sector: 512, 1024, 2048 or 4096
//   0x00D u8    sectors per cluster: 1..128 as a power of two, or 0xE1..0xFF meaning 2^(256 - value)
//   0x018 u16   sectors per track of the disk geometry the boot code uses
//   0x01A u16   heads of that geometry
//   0x01C u32   hidden sectors: the volume's first sector on its disk
//   0x028 u64   sectors in the volume (the backup boot sector lies just past them)
//   0x030 u64   first cluster of $MFT
//   0x1FE u8[2] 55 AA
#pragma once

#include <cstddef>

#include "disk/fat_boot_sector.h"

namespace tav::disk::ntfs {

namespace boot_layout {
using fat::boot_layout::kBytesPerSector;
using fat::boot_layout::kHeads;
using fat::boot_layout::kHiddenSectors;
using fat::boot_layout::kOemName;
using fat::boot_layout::kOemNameBytes;
using fat::boot_layout::kSectorsPerCluster;
using fat::boot_layout::kSectorsPerTrack;
using fat::boot_layout::kSignature;
constexpr size_t kVolumeSectors = 0x28, kMftCluster = 0x30;
}  // namespace boot_layout

constexpr char kOemId[] = "NTFS    ";  // stored without its zero

using fat::has_boot_signature;

}  // namespace tav::disk::ntfs
