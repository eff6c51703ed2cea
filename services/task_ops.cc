// Task operations over the scheduler data.
#include "services/task_ops.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "core/format_va.h"
#include "core/last_error.h"
#include "core/language.h"
#include "disk/disk.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "services/disk_identity.h"
#include "services/scheduler.h"
#include "services/scheduler_due.h"
#include "services/service_clock.h"
#include "services/services_texts.h"

namespace tav::services {

namespace {

// Every text of the table keeps the argument order of its built-in text, so a translation
// (which the language loader accepts only with the same conversions) formats safely.
std::string format(const char* text, ...) {
  va_list args;
  va_start(args, text);
  std::string out = format_va(text, args);
  va_end(args);
  return out;
}

std::string description(const SCHEDULER_TIME& s) {
  const std::string time = task_time_text(s.Hour, s.Minute, 0);
  switch (s.TaskType) {
    case kTaskManually:
      return svc_text(SvcText::kTaskManually);
    case kTaskOneTime: {
      if (!schedule_is_valid(s) || s.Extra < 1971 || s.Extra > 2037) {
        return format("Invalid schedule time: %d, %d, %d", s.Extra, s.Minor, s.Count);
      }
      struct tm t {};
      t.tm_year = s.Extra - 1900;
      t.tm_mon = s.Minor - 1;
      t.tm_mday = s.Count;
      t.tm_hour = 12;
      t.tm_isdst = -1;
      std::mktime(&t);
      return format(svc_text(SvcText::kTaskOneTime), s.Extra, s.Minor, s.Count, svc_text(SvcText::kSunday, t.tm_wday),
                    time.c_str());
    }
    case kTaskPeriod:
      return format(svc_text(SvcText::kTaskPeriod), s.Count,
                    s.Minor == kPeriodHour ? svc_text(SvcText::kHours)
                                           : s.Minor == kPeriodMinute ? svc_text(SvcText::kMinutes) : "");
    case kTaskDaily:
      if (s.Minor == kDailyEvery) return format(svc_text(SvcText::kTaskDaily1), time.c_str());
      if (s.Minor == kDailyWeekday) return format(svc_text(SvcText::kTaskDaily2), time.c_str());
      return format(svc_text(SvcText::kTaskDaily3), s.Count, time.c_str());
    case kTaskWeekly: {
      std::string days;
      for (int d = 0; d < 7; ++d) {
        if (s.Minor & (1 << d)) days += std::string(svc_text(SvcText::kSunday, d)) + " ";
      }
      return format(svc_text(SvcText::kTaskWeekly), s.Count, days.c_str(), time.c_str());
    }
    case kTaskMonthly:
      if (s.MonthlyKind == kMonthlyDay) return format(svc_text(SvcText::kTaskMonthly1), s.Count, time.c_str());
      if (s.Minor < 0 || s.Minor > 4 || s.Extra < 0 || s.Extra > 6) return "";
      return format(svc_text(SvcText::kTaskMonthly2), svc_text(SvcText::kFirst, s.Minor),
                    svc_text(SvcText::kSunday, s.Extra), time.c_str());
    default:
      return "";
  }
}

std::string last_run_text(int64_t when) {
  if (when == 0) return "";
  const std::time_t t = std::time_t(when);
  struct tm local {};
  localtime_r(&t, &local);
  const std::string time = task_time_text(local.tm_hour, local.tm_min, local.tm_sec);
  if (TavLangIsChinese()) {
    return format("%d-%d-%d(%s) ", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  svc_text(SvcText::kSunday, local.tm_wday)) +
           time;
  }
  char date[128];
  std::strftime(date, sizeof date, " %A, %B %d, %Y", &local);
  return time + date;
}

SCHEDULER_TASK build_task(const _BACKUP_SETTING_& setting, const SCHEDULER_TIME& schedule) {
  SCHEDULER_TASK t;
  t.name = svc_text(SvcText::kNewTask);
  t.CreateTime = service_now();
  t.Status = 1;
  t.Path = setting.Path;
  t.Basename = setting.Basename;
  t.bValidImage = setting.bValidImage;
  t.BackType = setting.BackType;
  t.CompressLevel = setting.CompressLevel;
  t.Comment = setting.Comment;
  t.OverWrite = setting.OverWrite;
  t.MaxFileSize = setting.MaxFileSize;
  t.Reserved = setting.Reserved;
  t.FileSizeAuto = setting.FileSizeAuto;
  t.schedule = schedule;
  for (_DISK_INFOMATION* d = setting.Disks; d != nullptr; d = d->next) {
    SCHEDULER_DISK sd;
    sd.Device = d->path;
    sd.Model = d->model;
    sd.DiskNumber = int32_t(d->index);
    sd.Cylinders = int32_t(d->cylinders);
    sd.Heads = int32_t(d->heads);
    sd.Sectors = int32_t(d->sectors_per_track);
    sd.Length = int64_t(d->total_sectors);
    sd.DiskId = stable_disk_id(*d);
    for (const auto& p : d->parts) {
      if (!tav_partition_is_backup(p.get()) || (d->whole_disk == 0 && p->selected == 0)) continue;
      SCHEDULER_PART sp;
      sp.Bootable = disk::part_is_bootable(*p) ? 1 : 0;
      sp.Start = int64_t(p->sector_count);
      sp.Length = int64_t(p->first_sector);
      sp.Used = int64_t(disk::part_used_sectors(*p));
      sp.DriveLetter = disk::part_drive_letter(*p);
      sd.parts.push_back(sp);
    }
    if (!sd.parts.empty()) t.disks.push_back(std::move(sd));
  }
  return t;
}

int service_unreachable() {
  set_last_error(ENOTCONN);
  return 0;
}

}  // namespace

std::string task_time_text(int hour, int minute, int second) {
  const char* word;
  int shown = hour;
  if (hour == 0 && minute == 0) {
    word = svc_text(SvcText::kMidNight);
    shown = 12;
  } else if (hour == 0) {
    word = svc_text(SvcText::kAm);
    shown = 12;
  } else if (hour < 12) {
    word = svc_text(SvcText::kAm);
  } else if (hour == 12) {
    word = svc_text(minute == 0 ? SvcText::kNoon : SvcText::kPm);
  } else if (hour < 24) {
    word = svc_text(SvcText::kPm);
    shown = hour - 12;
  } else {
    return "";
  }
  char text[128];
  if (TavLangIsChinese()) {
    std::snprintf(text, sizeof text, "%s%d:%02d", word, shown, minute);
  } else {
    std::snprintf(text, sizeof text, "%d:%02d:%02d %s", shown, minute, second, word);
  }
  return text;
}

TAVTASK task_summary(const SCHEDULER_TASK& task, int32_t state) {
  TAVTASK out;
  out.name = task.name;
  out.TaskType = task.schedule.TaskType;
  out.state = state;
  out.id = task.id;
  out.description = description(task.schedule);
  out.last_run = last_run_text(task.LastTime);
  return out;
}

}  // namespace tav::services

using namespace tav;
using namespace tav::services;

long TavCreateTask(const _BACKUP_SETTING_& setting, const SCHEDULER_TIME& schedule) {
  if (!schedule_is_valid(schedule)) {
    set_last_error(EINVAL);
    return 0;
  }
  if (scheduler().Initialize() != 1) return 0;
  SCHEDULER_TASK task = build_task(setting, schedule);
  long id = 0;
  const int ok = scheduler().Modify([&](std::vector<SCHEDULER_TASK>& tasks) {
    task.id = next_task_id(tasks);
    id = task.id;
    tasks.push_back(task);
    return true;
  });
  return ok == 1 ? id : 0;
}

int TavDeleteTask(long id) {
  if (scheduler().Initialize() != 1) return 0;
  return scheduler().Modify([&](std::vector<SCHEDULER_TASK>& tasks) {
    for (auto it = tasks.begin(); it != tasks.end(); ++it) {
      if (it->id == id) {
        tasks.erase(it);
        return true;
      }
    }
    set_last_error(kErrTaskNotFound);
    return false;
  });
}

int TavRenameTask(long id, const char* name) {
  if (name == nullptr) {
    set_last_error(EINVAL);
    return 0;
  }
  if (scheduler().Initialize() != 1) return 0;
  return scheduler().Modify([&](std::vector<SCHEDULER_TASK>& tasks) {
    for (SCHEDULER_TASK& t : tasks) {
      if (t.id == id) {
        t.name = name;
        return true;
      }
    }
    set_last_error(kErrTaskNotFound);
    return false;
  });
}

int TavGetTask(TAVTASK& task) {
  for (const SCHEDULER_TASK& t : scheduler().Tasks()) {
    if (t.id == task.id) {
      task = task_summary(t, t.Status);
      return 1;
    }
  }
  set_last_error(kErrTaskNotFound);
  return 0;
}

long TavGetRunningTask() {
  service_unreachable();
  return -1;
}

int TavGetAllTasks(std::vector<TAVTASK>& tasks) {
  tasks.clear();
  const long running = TavGetRunningTask();
  if (running < 0) return 0;
  for (const SCHEDULER_TASK& t : scheduler().Tasks()) tasks.push_back(task_summary(t, t.id == running ? 0 : 1));
  return 1;
}

int TavStartTask(long) { return service_unreachable(); }
int TavPauseTask() { return service_unreachable(); }
int TavStopTask() { return service_unreachable(); }
int TavResumeTask(long) { return service_unreachable(); }
