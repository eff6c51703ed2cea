// "scheduler.xml": the task list as the suite's XML document. Application services (TavPub2).
//
// Layout (element text unless said; numbers decimal, flags "true"/"false"):
//   Meadowgold
//     SchedulerBackDatas count=N
//       SchedulerBackData0 .. N-1  name=task name
//         GeneralInfo: CreateTime LastTime CancelTime Status Signature
//         BackupSettings: Path Basename bValidImage BackType(Full|Incremental|Differential)
//                         CompressLevel(No|Normal|High) Comment OverWrite MaxFileSize FileSizeAuto
//           Disks count=D
//             Disk0 .. D-1: Device Model DiskNumber Cylinders Heads Sectors Length [DiskId]
//               Partitions count=P
//                 Partition0 .. P-1: Bootable Start Length Used DriveLetter (one character)
//         Scheduler: TaskType and the elements of the kind (scheduler_file.cc, kind table)
// "Disks", "Partitions" and "Scheduler" are always written (with a count of 0 where there is
// nothing), so every task we write reads back. DiskId is ours and optional on reading.
//
// Reading is strict: a flag other than "true"/"false", a kind word outside its list, or a
// missing Disks / Partitions / Disk%d / Partition%d / Scheduler element drops that task; a
// missing number leaves the field 0. Every dropped task and every other damage is reported.
#pragma once

#include <string>
#include <vector>

#include "core/tav_xml.h"
#include "services/scheduler_records.h"

namespace tav::services {

inline constexpr char kSchedulerFileName[] = "scheduler.xml";

// The document for `tasks`.
void write_scheduler_document(const std::vector<SCHEDULER_TASK>& tasks, CTavXml* doc);

// What a load found.
struct SchedulerRead {
  std::vector<SCHEDULER_TASK> tasks;  // the tasks that read, in file order
  std::vector<std::string> problems;  // one line per damage; empty for a sound file
};
// Reads the tasks of `doc`, which CTavXml::Load returned `load_result` for (a mismatch means
// the file ended or broke early: reported, and the tasks read so far are kept).
SchedulerRead read_scheduler_document(CTavXml& doc, int load_result);

// The kind words of the file, for the command line and the descriptions.
extern const char* const kWeekdayWords[7];  // "Sunday" .. "Saturday", with "Thirsday" for 4

}  // namespace tav::services
