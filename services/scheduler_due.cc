// The due rules over local calendar dates.
#include "services/scheduler_due.h"

#include <algorithm>
#include <ctime>

namespace tav::services {

namespace {

struct Date {
  int year;
  int month;  // 1-12
  int day;    // 1-31
};

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t days_from_civil(int y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

Date civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = int(doy - (153 * mp + 2) / 5 + 1);
  const int m = int(mp < 10 ? mp + 3 : mp - 9);
  return {int(yoe + era * 400) + (m <= 2), m, d};
}

int weekday_of(int64_t days) { return int(((days % 7) + 11) % 7); }  // 1970-01-01 was a Thursday (4)

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int month_days(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}

// The local date of `when`, as days since 1970.
bool local_day(int64_t when, int64_t* days) {
  const std::time_t t = std::time_t(when);
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return false;
  *days = days_from_civil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return true;
}

// `days` at hour:minute local time; -1 when it cannot be converted.
int64_t local_time_of(int64_t days, int hour, int minute) {
  const Date date = civil_from_days(days);
  struct tm local {};
  local.tm_year = date.year - 1900;
  local.tm_mon = date.month - 1;
  local.tm_mday = date.day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;
  const std::time_t t = std::mktime(&local);
  if (t < 0) return -1;
  if (local.tm_hour == hour && local.tm_min == minute) return int64_t(t);
  // The clock jumps over hour:minute that day; mktime placed it after the jump by the length of
  // the gap. The occurrence is the jump itself: the first second whose local time is later than
  // hour:minute of that day (gaps are at most a few hours).
  const int64_t asked = days * 1440 + hour * 60 + minute;
  auto reached = [asked](int64_t when) {
    const std::time_t w = std::time_t(when);
    struct tm l {};
    if (localtime_r(&w, &l) == nullptr) return true;
    return days_from_civil(l.tm_year + 1900, l.tm_mon + 1, l.tm_mday) * 1440 + l.tm_hour * 60 + l.tm_min >= asked;
  };
  int64_t before = int64_t(t) - 4 * 3600, after = int64_t(t);
  if (reached(before)) return int64_t(t);
  while (after - before > 1) {
    const int64_t middle = before + (after - before) / 2;
    (reached(middle) ? after : before) = middle;
  }
  return after;
}

// The day of the month a Monthly task runs in year/month.
int monthly_day(const SCHEDULER_TIME& s, int year, int month) {
  const int length = month_days(year, month);
  if (s.MonthlyKind == kMonthlyDay) return std::min(s.Count, length);
  const int first_weekday = weekday_of(days_from_civil(year, month, 1));
  const int first = 1 + (s.Extra - first_weekday + 7) % 7;  // first such weekday
  if (s.Minor == kWeekdayLast) return first + 7 * ((length - first) / 7);
  return first + 7 * s.Minor;
}

// Whether local day `days` holds an occurrence of the task.
bool occurs_on(const SCHEDULER_TASK& task, int64_t days, int64_t create_days) {
  const SCHEDULER_TIME& s = task.schedule;
  switch (s.TaskType) {
    case kTaskDaily:
      if (s.Minor == kDailyEvery) return true;
      if (s.Minor == kDailyWeekday) return weekday_of(days) >= 1 && weekday_of(days) <= 5;
      return days >= create_days && (days - create_days) % s.Count == 0;
    case kTaskWeekly: {
      if ((s.Minor & (1 << weekday_of(days))) == 0) return false;
      const int64_t week = (days - weekday_of(days)) / 7;
      const int64_t create_week = (create_days - weekday_of(create_days)) / 7;
      return week >= create_week && (week - create_week) % s.Count == 0;
    }
    case kTaskMonthly: {
      const Date date = civil_from_days(days);
      return date.day == monthly_day(s, date.year, date.month);
    }
    default:
      return false;
  }
}

// How many days back an occurrence may lie.
int64_t search_days(const SCHEDULER_TIME& s) {
  switch (s.TaskType) {
    case kTaskDaily:
      return s.Minor == kDailyCount ? s.Count + 1 : 4;
    case kTaskWeekly:
      return 7 * int64_t(s.Count) + 7;
    default:
      return 63;
  }
}

// The latest occurrence not after `now`; -1 when there is none in reach.
int64_t previous_occurrence(const SCHEDULER_TASK& task, int64_t now) {
  const SCHEDULER_TIME& s = task.schedule;
  if (s.TaskType == kTaskOneTime) {
    if (s.Minor < 1 || s.Minor > 12 || s.Count < 1 || s.Count > month_days(s.Extra, s.Minor)) return -1;
    const int64_t when = local_time_of(days_from_civil(s.Extra, s.Minor, s.Count), s.Hour, s.Minute);
    return when >= 0 && when <= now ? when : -1;
  }
  int64_t today = 0;
  int64_t create_days = 0;
  if (!local_day(now, &today) || !local_day(task.CreateTime, &create_days)) return -1;
  const int64_t reach = search_days(s);
  for (int64_t back = 0; back <= reach; ++back) {
    const int64_t days = today - back;
    if (!occurs_on(task, days, create_days)) continue;
    const int64_t when = local_time_of(days, s.Hour, s.Minute);
    if (when >= 0 && when <= now) return when;
  }
  return -1;
}

}  // namespace

bool schedule_is_valid(const SCHEDULER_TIME& s) {
  const bool time_ok = s.Hour >= 0 && s.Hour <= 23 && s.Minute >= 0 && s.Minute <= 59;
  switch (s.TaskType) {
    case kTaskManually:
      return true;
    case kTaskOneTime:
      return time_ok && s.Minor >= 1 && s.Minor <= 12 && s.Extra >= 1970 && s.Count >= 1 &&
             s.Count <= month_days(s.Extra, s.Minor);
    case kTaskPeriod:
      return s.Count > 0 && (s.Minor == kPeriodHour || s.Minor == kPeriodMinute);
    case kTaskDaily:
      return time_ok && (s.Minor == kDailyEvery || s.Minor == kDailyWeekday || (s.Minor == kDailyCount && s.Count > 0));
    case kTaskWeekly:
      return time_ok && s.Count > 0 && (s.Minor & 0x7f) != 0 && (s.Minor & ~0x7f) == 0;
    case kTaskMonthly:
      if (s.MonthlyKind == kMonthlyDay) return time_ok && s.Count >= 1 && s.Count <= 31;
      return time_ok && s.MonthlyKind == kMonthlyWeekDay && s.Minor >= kWeekdayFirst && s.Minor <= kWeekdayLast &&
             s.Extra >= 0 && s.Extra <= 6;
    default:
      return false;
  }
}

bool task_is_due(const SCHEDULER_TASK& task, int64_t now) {
  const SCHEDULER_TIME& s = task.schedule;
  if (s.TaskType == kTaskManually || !schedule_is_valid(s)) return false;
  if (s.TaskType == kTaskPeriod) {
    const int64_t unit = s.Minor == kPeriodHour ? 3600 : 60;
    const int64_t r = std::max(task.LastTime != 0 ? task.LastTime : task.CreateTime, task.CancelTime);
    return now > r + int64_t(s.Count) * unit;
  }
  const int64_t occ = previous_occurrence(task, now);
  if (occ < 0) return false;
  if (task.LastTime >= occ || task.CancelTime >= occ) return false;
  if (s.TaskType == kTaskOneTime) {
    if (task.CreateTime >= occ) return false;  // its time had passed when it was made
  } else if (task.LastTime == 0 && task.CreateTime > occ + kDueWindowSeconds) {
    return false;  // made after that occurrence's window: it waits for the next one
  }
  return now < occ + kDueWindowSeconds || s.RunMissedTask != 0;
}

}  // namespace tav::services
