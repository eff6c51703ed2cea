// The due rules of scheduled tasks: whether a task should start now. Application services
// (TavPub2). Times are seconds since 1970 UTC; calendar days and times of day are local (the
// process's time zone), so a task at 09:00 runs at 09:00 on both sides of a daylight-saving
// change. A local time that a change skips runs at the moment the clock jumps to.
//
// Each kind but Period names occurrences: local dates at Hour:Minute. For "now", take the
// latest occurrence not after now (occ). The task is due when
//   - it did not run or fail since occ (LastTime < occ and CancelTime < occ),
//   - it existed in time for it (LastTime != 0, or CreateTime <= occ + 15 minutes),
//   - and now is within 15 minutes of occ, or RunMissedTask is set (a missed run is made up).
// OneTime: the one occurrence; never due when it lies before the creation.
// Daily every day / workdays (Monday-Friday) / every DayCount days (counted from the creation
// date). Weekly: the marked weekdays of every WeeklyCount-th week, counted from the week
// (Sunday first) of the creation; each marked day is an occurrence. Monthly by day: that day,
// or the month's last day in shorter months. Monthly by weekday: the first .. fourth or last
// such weekday of each month, from that month's own calendar.
// Period: due when now > R + Count units, R being the later of the last run (or the creation)
// and the last failure.
// Counts of 0 or less, hours and minutes out of range and unknown kinds are never due.
#pragma once

#include <cstdint>

#include "services/scheduler_records.h"

namespace tav::services {

inline constexpr int64_t kDueWindowSeconds = 900;

bool task_is_due(const SCHEDULER_TASK& task, int64_t now);

// Whether a schedule can ever be due (the checks above without the clock); TavCreateTask
// refuses the others.
bool schedule_is_valid(const SCHEDULER_TIME& schedule);

}  // namespace tav::services
