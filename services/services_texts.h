// TavPub2's user-visible texts: its table with built-in Chinese texts, filled from the language
// file's "TavPub2.dll" section on first use. Application services (TavPub2).
#pragma once

#include <span>

#include "core/language.h"

namespace tav::services {

enum class SvcText : int {
  kNewTask,
  kJanuary,  // .. kJanuary + 11 December
  kFirst = kJanuary + 12,  // .. kFirst + 4 last
  kSunday = kFirst + 5,    // .. kSunday + 6 Saturday
  kAm = kSunday + 7,
  kPm,
  kMidNight,
  kNoon,
  kHours,
  kMinutes,
  kSeconds,
  kTimeRemaining,
  kTaskManually,
  kTaskOneTime,
  kTaskPeriod,
  kTaskDaily1,
  kTaskDaily2,
  kTaskDaily3,
  kTaskWeekly,
  kTaskMonthly1,
  kTaskMonthly2,
  kCount,
};

inline constexpr char kServicesLanguageModule[] = "TavPub2.dll";

const char* svc_text(SvcText id);
inline const char* svc_text(SvcText first, int offset) { return svc_text(SvcText(int(first) + offset)); }

std::span<const LanguageTable> services_language_tables();

}  // namespace tav::services
