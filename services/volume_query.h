// Starting a program, and what the system says about volumes (by drive letter, see the disk
// library's VolumeTable) and disks (by their number in the current disk list). Application
// services (TavPub2).
#pragma once

#include <cstdint>

// File systems of a volume.
enum PART_FILE_SYS : int {
  kPartFsOther = 0,  // other, or not determined
  kPartFsFat = 1,    // FAT12 or FAT16
  kPartFsFat32 = 2,
  kPartFsNtfs = 3,
};

// Starts `command_line` (split as the console rules do, no shell; a program name without '/' is
// looked up in PATH) with this process's standard input, output and error and no other of its
// descriptors. With `wait_ms` not 0, waits up to that long for it to end. A child that is still
// running when the call returns is reaped in the background when it ends, never left behind as a
// zombie. `show_state` is accepted for the programs that pass a window state; nothing here has
// windows. 1 when started, 0 with a trace "Create process '%s' failed." and the last error set.
int TavRunProgram(const char* command_line, uint32_t wait_ms, int show_state);

// The file system of the volume mounted at the letter's mount point, as the disk library
// recognised it: NTFS 3, FAT32 2, FAT12/16 1, anything else 0 (traced). 0 for a character that
// is not a letter and for a letter with no volume.
PART_FILE_SYS TavGetFileSystem(char letter);

// Bytes of an allocation unit of the file system mounted at the letter's mount point; 0 when
// it cannot be asked.
uint32_t TavGetClusterSize(char letter);

// The number (position in the current disk list, from 0) of the disk that holds the volume
// mounted at the letter's mount point, and in *start (when not null) the volume's first byte on
// that disk. -1 for a non-letter, a letter with no volume, or a volume on no listed disk.
long TavGetPartDiskNumber(char letter, int64_t* start);

// Reads sector 0 of the disk with that number in the current disk list: -1 when there is no
// such disk or it cannot be opened or read; 0 without the boot signature 0x55 0xAA; otherwise
// the four table entries in order: type 0x42 gives 3 (a dynamic disk), type 0xEE 2 (a GPT
// protective table); with neither, 1 (a DOS partition table). *active (when not null) is set to
// 0 first and then to the index of the first entry whose boot flag is 0x80, among the entries
// looked at.
long TavGetDiskType(long disk_number, unsigned* active);
