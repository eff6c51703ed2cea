// Writing and strict reading of "scheduler.xml".
#include "services/scheduler_file.h"

#include <cstring>
#include <string_view>

namespace tav::services {

const char* const kWeekdayWords[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thirsday", "Friday", "Saturday"};

namespace {

const char* const kBackTypeWords[] = {"Full", "Incremental", "Differential"};  // 1..3
const char* const kCompressWords[] = {"No", "Normal", "High"};                  // 0..2
const char* const kTaskTypeWords[] = {"Manually", "OneTime", "Period", "Daily", "Weekly", "Monthly"};
const char* const kPeriodWords[] = {"hour", "minute"};
const char* const kDailyWords[] = {"DailyEvery", "DailyWeekday", "DailyCount"};
const char* const kMonthlyWords[] = {"MonthlyDay", "MonthlyWeekDay"};
const char* const kSeqWords[] = {"First", "Second", "Third", "Fourth", "Last"};

template <size_t N>
const char* word_of(const char* const (&words)[N], int32_t value, int32_t first = 0) {
  const int32_t i = value - first;
  return i >= 0 && i < int32_t(N) ? words[i] : "";
}

// Index of `text` in `words` plus `first`; false when it is not one of them (exact case).
template <size_t N>
bool value_of(const char* const (&words)[N], const char* text, int32_t* value, int32_t first = 0) {
  if (text == nullptr) return false;
  for (size_t i = 0; i < N; ++i) {
    if (std::strcmp(words[i], text) == 0) {
      *value = int32_t(i) + first;
      return true;
    }
  }
  return false;
}

void add_flag(CTavXml* doc, const char* name, int32_t value) { doc->AddElement(name, value != 0 ? "true" : "false"); }

void write_schedule(const SCHEDULER_TIME& s, CTavXml* doc) {
  doc->AddElement("TaskType", word_of(kTaskTypeWords, s.TaskType));
  auto time_of_day = [&] {
    doc->AddElement("Hour", s.Hour);
    doc->AddElement("Minute", s.Minute);
    add_flag(doc, "RunMissedTask", s.RunMissedTask);
  };
  switch (s.TaskType) {
    case kTaskOneTime:
      time_of_day();
      doc->AddElement("Day", s.Count);
      doc->AddElement("Month", s.Minor);
      doc->AddElement("Year", s.Extra);
      break;
    case kTaskPeriod:
      doc->AddElement("Count", s.Count);
      doc->AddElement("MinorType", word_of(kPeriodWords, s.Minor));
      add_flag(doc, "RunMissedTask", s.RunMissedTask);
      break;
    case kTaskDaily:
      time_of_day();
      doc->AddElement("MinorType", word_of(kDailyWords, s.Minor));
      if (s.Minor == kDailyCount) doc->AddElement("DayCount", s.Count);
      break;
    case kTaskWeekly:
      time_of_day();
      doc->AddElement("WeeklyCount", s.Count);
      doc->AddElement("WeeklyDayMask", s.Minor);
      break;
    case kTaskMonthly:
      time_of_day();
      doc->AddElement("MinorType", word_of(kMonthlyWords, s.MonthlyKind));
      if (s.MonthlyKind == kMonthlyDay) {
        doc->AddElement("MonthCount", s.Count);
      } else {
        doc->AddElement("WeekdaySeq", word_of(kSeqWords, s.Minor));
        doc->AddElement("Weekday", word_of(kWeekdayWords, s.Extra));
      }
      break;
    default:
      break;
  }
}

void write_task(const SCHEDULER_TASK& t, int index, CTavXml* doc) {
  doc->AddElement(("SchedulerBackData" + std::to_string(index)).c_str(), "", 1);
  doc->AddAttr("name", t.name.c_str());
  doc->AddElement("GeneralInfo", "", 1);
  doc->AddElement("CreateTime", t.CreateTime);
  doc->AddElement("LastTime", t.LastTime);
  doc->AddElement("CancelTime", t.CancelTime);
  doc->AddElement("Status", t.Status);
  doc->AddElement("Signature", t.id);
  doc->LeaveElement();
  doc->AddElement("BackupSettings", "", 1);
  doc->AddElement("Path", t.Path.c_str());
  doc->AddElement("Basename", t.Basename.c_str());
  add_flag(doc, "bValidImage", t.bValidImage);
  doc->AddElement("BackType", word_of(kBackTypeWords, t.BackType, 1));
  doc->AddElement("CompressLevel", word_of(kCompressWords, t.CompressLevel));
  doc->AddElement("Comment", t.Comment.c_str());
  add_flag(doc, "OverWrite", t.OverWrite);
  doc->AddElement("MaxFileSize", t.MaxFileSize);
  add_flag(doc, "FileSizeAuto", t.FileSizeAuto);
  doc->AddElement("Disks", "", 1);
  doc->AddAttr("count", int(t.disks.size()));
  for (size_t d = 0; d < t.disks.size(); ++d) {
    const SCHEDULER_DISK& disk = t.disks[d];
    doc->AddElement(("Disk" + std::to_string(d)).c_str(), "", 1);
    doc->AddElement("Device", disk.Device.c_str());
    doc->AddElement("Model", disk.Model.c_str());
    doc->AddElement("DiskNumber", disk.DiskNumber);
    doc->AddElement("Cylinders", disk.Cylinders);
    doc->AddElement("Heads", disk.Heads);
    doc->AddElement("Sectors", disk.Sectors);
    doc->AddElement("Length", disk.Length);
    if (!disk.DiskId.empty()) doc->AddElement("DiskId", disk.DiskId.c_str());
    doc->AddElement("Partitions", "", 1);
    doc->AddAttr("count", int(disk.parts.size()));
    for (size_t p = 0; p < disk.parts.size(); ++p) {
      const SCHEDULER_PART& part = disk.parts[p];
      doc->AddElement(("Partition" + std::to_string(p)).c_str(), "", 1);
      add_flag(doc, "Bootable", part.Bootable);
      doc->AddElement("Start", part.Start);
      doc->AddElement("Length", part.Length);
      doc->AddElement("Used", part.Used);
      doc->AddElement("DriveLetter", part.DriveLetter != 0 ? std::string(1, part.DriveLetter).c_str() : "");
      doc->LeaveElement();
    }
    doc->LeaveElement();  // Partitions
    doc->LeaveElement();  // Disk%d
  }
  doc->LeaveElement();  // Disks
  doc->LeaveElement();  // BackupSettings
  doc->AddElement("Scheduler", "", 1);
  write_schedule(t.schedule, doc);
  doc->LeaveElement();
  doc->LeaveElement();  // SchedulerBackData%d
}

// Reads one task with the cursor on its element; the cursor is back there afterwards. False
// with *why when the task is to be dropped.
class TaskReader {
 public:
  explicit TaskReader(CTavXml& doc) : doc_(doc) {}

  bool read(SCHEDULER_TASK* t, std::string* why) {
    const char* name = doc_.GetAttrValue("name");
    t->name = name != nullptr ? name : "";
    if (doc_.EnterElement("GeneralInfo")) {
      doc_.GetElementData("CreateTime", t->CreateTime);
      doc_.GetElementData("LastTime", t->LastTime);
      doc_.GetElementData("CancelTime", t->CancelTime);
      doc_.GetElementData("Status", t->Status);
      doc_.GetElementData("Signature", t->id);
      doc_.LeaveElement();
    }
    if (!doc_.EnterElement("BackupSettings")) return fail("no BackupSettings", why);
    bool ok = read_settings(t, why);
    doc_.LeaveElement();
    if (!ok) return false;
    if (!doc_.EnterElement("Scheduler")) return fail("no Scheduler", why);
    ok = read_schedule(&t->schedule, why);
    doc_.LeaveElement();
    return ok;
  }

 private:
  static bool fail(std::string text, std::string* why) {
    *why = std::move(text);
    return false;
  }
  bool flag(const char* name, int32_t* value, std::string* why) {
    const char* text = doc_.GetElementData(name);
    if (text == nullptr) return true;  // missing: 0
    if (std::strcmp(text, "true") == 0) {
      *value = 1;
    } else if (std::strcmp(text, "false") == 0) {
      *value = 0;
    } else {
      return fail(std::string("bad ") + name + " \"" + text + "\"", why);
    }
    return true;
  }
  template <size_t N>
  bool word(const char* name, const char* const (&words)[N], int32_t* value, std::string* why, int32_t first = 0) {
    const char* text = doc_.GetElementData(name);
    if (value_of(words, text, value, first)) return true;
    return fail(std::string("bad ") + name + (text != nullptr ? std::string(" \"") + text + "\"" : std::string()),
                why);
  }
  bool read_settings(SCHEDULER_TASK* t, std::string* why) {
    const char* text = doc_.GetElementData("Path");
    t->Path = text != nullptr ? text : "";
    text = doc_.GetElementData("Basename");
    t->Basename = text != nullptr ? text : "";
    text = doc_.GetElementData("Comment");
    t->Comment = text != nullptr ? text : "";
    if (!flag("bValidImage", &t->bValidImage, why) || !word("BackType", kBackTypeWords, &t->BackType, why, 1) ||
        !word("CompressLevel", kCompressWords, &t->CompressLevel, why) || !flag("OverWrite", &t->OverWrite, why) ||
        !flag("FileSizeAuto", &t->FileSizeAuto, why)) {
      return false;
    }
    doc_.GetElementData("MaxFileSize", t->MaxFileSize);
    if (!doc_.EnterElement("Disks")) return fail("no Disks", why);
    bool ok = read_disks(t, why);
    doc_.LeaveElement();
    return ok;
  }
  bool read_disks(SCHEDULER_TASK* t, std::string* why) {
    int count = 0;
    doc_.GetAttrValue("count", count);
    for (int d = 0; d < count; ++d) {
      const std::string element = "Disk" + std::to_string(d);
      if (!doc_.EnterElement(element.c_str())) return fail("no " + element, why);
      SCHEDULER_DISK disk;
      const char* text = doc_.GetElementData("Device");
      disk.Device = text != nullptr ? text : "";
      text = doc_.GetElementData("Model");
      disk.Model = text != nullptr ? text : "";
      text = doc_.GetElementData("DiskId");
      disk.DiskId = text != nullptr ? text : "";
      doc_.GetElementData("DiskNumber", disk.DiskNumber);
      doc_.GetElementData("Cylinders", disk.Cylinders);
      doc_.GetElementData("Heads", disk.Heads);
      doc_.GetElementData("Sectors", disk.Sectors);
      doc_.GetElementData("Length", disk.Length);
      bool ok = doc_.EnterElement("Partitions");
      if (!ok) {
        doc_.LeaveElement();
        return fail("no Partitions in " + element, why);
      }
      ok = read_parts(&disk, why);
      doc_.LeaveElement();  // Partitions
      doc_.LeaveElement();  // Disk%d
      if (!ok) return false;
      t->disks.push_back(std::move(disk));
    }
    return true;
  }
  bool read_parts(SCHEDULER_DISK* disk, std::string* why) {
    int count = 0;
    doc_.GetAttrValue("count", count);
    for (int p = 0; p < count; ++p) {
      const std::string element = "Partition" + std::to_string(p);
      if (!doc_.EnterElement(element.c_str())) return fail("no " + element, why);
      SCHEDULER_PART part;
      bool ok = flag("Bootable", &part.Bootable, why);
      doc_.GetElementData("Start", part.Start);
      doc_.GetElementData("Length", part.Length);
      doc_.GetElementData("Used", part.Used);
      const char* letter = doc_.GetElementData("DriveLetter");
      part.DriveLetter = letter != nullptr ? letter[0] : 0;
      doc_.LeaveElement();
      if (!ok) return false;
      disk->parts.push_back(part);
    }
    return true;
  }
  bool read_schedule(SCHEDULER_TIME* s, std::string* why) {
    if (!word("TaskType", kTaskTypeWords, &s->TaskType, why)) return false;
    if (s->TaskType != kTaskPeriod && s->TaskType != kTaskManually) {
      doc_.GetElementData("Hour", s->Hour);
      doc_.GetElementData("Minute", s->Minute);
    }
    if (s->TaskType != kTaskManually && !flag("RunMissedTask", &s->RunMissedTask, why)) return false;
    switch (s->TaskType) {
      case kTaskOneTime:
        doc_.GetElementData("Day", s->Count);
        doc_.GetElementData("Month", s->Minor);
        doc_.GetElementData("Year", s->Extra);
        return true;
      case kTaskPeriod:
        doc_.GetElementData("Count", s->Count);
        return word("MinorType", kPeriodWords, &s->Minor, why);
      case kTaskDaily:
        if (!word("MinorType", kDailyWords, &s->Minor, why)) return false;
        if (s->Minor == kDailyCount) doc_.GetElementData("DayCount", s->Count);
        return true;
      case kTaskWeekly:
        doc_.GetElementData("WeeklyCount", s->Count);
        doc_.GetElementData("WeeklyDayMask", s->Minor);
        return true;
      case kTaskMonthly:
        if (!word("MinorType", kMonthlyWords, &s->MonthlyKind, why)) return false;
        if (s->MonthlyKind == kMonthlyDay) {
          doc_.GetElementData("MonthCount", s->Count);
          return true;
        }
        return word("WeekdaySeq", kSeqWords, &s->Minor, why) && word("Weekday", kWeekdayWords, &s->Extra, why);
      default:
        return true;
    }
  }

  CTavXml& doc_;
};

}  // namespace

void write_scheduler_document(const std::vector<SCHEDULER_TASK>& tasks, CTavXml* doc) {
  *doc = CTavXml();
  doc->AddElement("Meadowgold", "", 1);
  doc->AddElement("SchedulerBackDatas", "", 1);
  doc->AddAttr("count", int(tasks.size()));
  for (size_t i = 0; i < tasks.size(); ++i) write_task(tasks[i], int(i), doc);
  doc->LeaveElement();
  doc->LeaveElement();
}

SchedulerRead read_scheduler_document(CTavXml& doc, int load_result) {
  SchedulerRead out;
  if (load_result == kXmlMismatch) out.problems.push_back("the file breaks off or its elements do not nest");
  if (!doc.EnterElement("Meadowgold") || !doc.EnterElement("SchedulerBackDatas")) {
    out.problems.push_back("no Meadowgold/SchedulerBackDatas element");
    return out;
  }
  int count = 0;
  if (!doc.GetAttrValue("count", count)) out.problems.push_back("SchedulerBackDatas has no count");
  for (int i = 0; i < count; ++i) {
    const std::string element = "SchedulerBackData" + std::to_string(i);
    if (!doc.EnterElement(element.c_str())) {
      out.problems.push_back("task " + std::to_string(i) + " of " + std::to_string(count) + " is missing");
      break;
    }
    SCHEDULER_TASK task;
    std::string why;
    if (TaskReader(doc).read(&task, &why)) {
      out.tasks.push_back(std::move(task));
    } else {
      const char* name = doc.GetAttrValue("name");
      out.problems.push_back("task " + std::to_string(i) + " (\"" + (name != nullptr ? name : "") +
                             "\") dropped: " + why);
    }
    doc.LeaveElement();
  }
  if (doc.GeElementCount() > count) out.problems.push_back("more tasks than the count says");
  return out;
}

}  // namespace tav::services
