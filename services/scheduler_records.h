// The scheduled-backup records: when a task runs (SCHEDULER_TIME), what it backs up
// (_BACKUP_SETTING_, SCHEDULER_DISK, SCHEDULER_PART), the stored task (SCHEDULER_TASK) and the
// summary the programs show (TAVTASK). Application services (TavPub2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct _DISK_INFOMATION;

// Schedule kinds (SCHEDULER_TIME::TaskType).
enum : int32_t {
  kTaskManually = 0,
  kTaskOneTime = 1,
  kTaskPeriod = 2,
  kTaskDaily = 3,
  kTaskWeekly = 4,
  kTaskMonthly = 5,
};
// Daily kinds (Minor of a Daily task).
enum : int32_t { kDailyEvery = 0, kDailyWeekday = 1, kDailyCount = 2 };
// Period units (Minor of a Period task).
enum : int32_t { kPeriodHour = 0, kPeriodMinute = 1 };
// Monthly kinds (MonthlyKind).
enum : int32_t { kMonthlyDay = 0, kMonthlyWeekDay = 1 };
// Occurrences of a Monthly-by-weekday task (Minor): first .. fourth, last.
enum : int32_t { kWeekdayFirst = 0, kWeekdayLast = 4 };

// When a task runs: twelve 32-bit fields, copied between records as one block. The meaning of
// Count, Minor and Extra depends on the kind (see the comments).
struct SCHEDULER_TIME {
  int32_t TaskType = kTaskManually;
  int32_t Reserved1 = 0;  // not read or written by the services; copied with the block
  int32_t Reserved2 = 0;
  int32_t Reserved3 = 0;
  int32_t Hour = 0;           // 0-23 (all kinds but Period and Manually)
  int32_t Minute = 0;         // 0-59
  int32_t RunMissedTask = 0;  // 1: a missed run is made up later
  int32_t Reserved4 = 0;
  int32_t Count = 0;  // OneTime: day of month; Period: units; Daily: DayCount; Weekly: weeks;
                      // Monthly by day: the day of the month
  int32_t Minor = 0;  // OneTime: month; Period: unit; Daily: kind; Weekly: weekday mask (bit 0
                      // Sunday .. bit 6 Saturday); Monthly by weekday: occurrence 0-4
  int32_t Extra = 0;  // OneTime: year; Monthly by weekday: weekday 0 Sunday .. 6 Saturday
  int32_t MonthlyKind = kMonthlyDay;
};
static_assert(sizeof(SCHEDULER_TIME) == 48);
static_assert(offsetof(SCHEDULER_TIME, Hour) == 16 && offsetof(SCHEDULER_TIME, Count) == 32);

// What a program passes to TavCreateTask and what the service gets back before a run.
struct _BACKUP_SETTING_ {
  std::string Path;      // directory of the volume files
  std::string Basename;  // base name of the volume files
  int32_t bValidImage = 0;  // nonzero: add a snapshot to an existing storage
  int32_t BackType = 1;     // 1 full, 2 incremental, 3 differential
  int32_t CompressLevel = 1;  // 0 none, 1 normal, 2 high
  std::string Comment;
  int32_t OverWrite = 0;
  int64_t MaxFileSize = 0;  // volume size limit in bytes
  int32_t Cleared = 0;      // set to 0 by TavTaskToBackupSetting; not stored in tasks
  int32_t Reserved = 0;     // not read or written by the services
  int32_t FileSizeAuto = 0;
  _DISK_INFOMATION* Disks = nullptr;  // disk list whose selected partitions are backed up
};

// One partition of a task. Start carries the sector count and Length the first sector (this
// pairing, as stored in the file).
struct SCHEDULER_PART {
  int32_t Bootable = 0;
  int64_t Start = 0;   // sector count
  int64_t Length = 0;  // first sector
  int64_t Used = 0;    // used sectors
  char DriveLetter = 0;
};

// One disk of a task. DiskId is the disk's stable name (its /dev/disk/by-id entry, or the path
// of a disk image file): device names like "/dev/sdb" can change between boots, so a task finds
// its disk by DiskId when it has one and by Device only otherwise.
struct SCHEDULER_DISK {
  std::string Device;
  std::string Model;
  int32_t DiskNumber = 0;
  int32_t Cylinders = 0;
  int32_t Heads = 0;
  int32_t Sectors = 0;
  int64_t Length = 0;  // sectors
  std::string DiskId;
  std::vector<SCHEDULER_PART> parts;
};

// One task.
struct SCHEDULER_TASK {
  std::string name;
  int64_t CreateTime = 0;  // seconds since 1970 UTC
  int64_t LastTime = 0;    // end of the last completed run; 0 never
  int64_t CancelTime = 0;  // last cancelled or failed run; 0 never
  int32_t Status = 1;
  int32_t id = 0;  // "Signature", unique within the file
  std::string Path;
  std::string Basename;
  int32_t bValidImage = 0;
  int32_t BackType = 1;
  int32_t CompressLevel = 1;
  std::string Comment;
  int32_t OverWrite = 0;
  int64_t MaxFileSize = 0;
  int32_t Reserved = 0;
  int32_t FileSizeAuto = 0;
  std::vector<SCHEDULER_DISK> disks;
  SCHEDULER_TIME schedule;
};

// The summary of a task the programs list.
struct TAVTASK {
  std::string name;
  int32_t TaskType = 0;
  int32_t state = 0;  // TavGetAllTasks: 0 the running task, 1 not running; TavGetTask: Status
  int32_t id = 0;
  std::string description;
  std::string last_run;  // empty when the task never ran
};
