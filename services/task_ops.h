// Task operations of the programs: create, rename, delete, get and list scheduled backup tasks,
// their description and last-run texts, and the requests that go to the scheduling service
// (start, pause, stop, resume, which task runs). Application services (TavPub2).
//
// Create, rename and delete change "scheduler.xml" under its mutex at once (CScheduler::Modify)
// and then tell the service (SchedulerChanged). The service's client is not part of this
// library yet: every request to the service fails as when the service was never reached
// (0, or -1 from TavGetRunningTask, last error ENOTCONN), and the change notice is skipped.
#pragma once

#include <string>
#include <vector>

#include "services/scheduler_records.h"

// Builds a task from the settings (partitions that are backup candidates and selected, or of a
// disk selected whole) and the schedule, appends and saves it. The new id, or 0: EINVAL for a
// schedule that could never be due (counts of 0 or less, times out of range), or the save's
// reason.
long TavCreateTask(const _BACKUP_SETTING_& setting, const SCHEDULER_TIME& schedule);
// 0 with 0xE000001F when no task has the id.
int TavDeleteTask(long id);
int TavRenameTask(long id, const char* name);
// Fills `task` (its id set by the caller) from the list; state is the stored Status.
int TavGetTask(TAVTASK& task);
// Asks the service which task runs; 0 when that fails (tasks left empty), else one TAVTASK per
// task with state 0 for the running one and 1 for the others.
int TavGetAllTasks(std::vector<TAVTASK>& tasks);
// -1 when the service cannot be asked; 0 when no task runs; else the running task's id.
long TavGetRunningTask();
int TavStartTask(long id);
int TavPauseTask();
int TavStopTask();
int TavResumeTask(long id);

namespace tav::services {

// The summary of a task: description and last-run text in the process's language.
TAVTASK task_summary(const SCHEDULER_TASK& task, int32_t state);

// The time text of hour:minute(:second), minutes and seconds zero-padded ("2:05:00 PM"; in
// Chinese "下午2:05").
std::string task_time_text(int hour, int minute, int second);

}  // namespace tav::services
