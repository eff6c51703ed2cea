// The scheduler data: the due rules over a pinned clock and time zone, the file's exact layout,
// strict and damaged files (never saved over), ids, and processes adding tasks at once.
#include "services/scheduler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstring>
#include <set>
#include <string>

#include "core/text_convert.h"
#include "services/scheduler_due.h"
#include "services/scheduler_file.h"
#include "services/service_clock.h"
#include "services/services_texts.h"
#include "tests/core/language_test_support.h"
#include "tests/services/services_home.h"

namespace tav::services {
namespace {

using services_test::ScopedTimeZone;
using sysutil_test::Child;

// Local time in the pinned zone, as seconds since 1970.
int64_t at(int y, int mo, int d, int h, int mi) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_isdst = -1;
  return int64_t(mktime(&t));
}

SCHEDULER_TIME daily(int h, int m, int minor = kDailyEvery, int count = 0, int missed = 0) {
  SCHEDULER_TIME s;
  s.TaskType = kTaskDaily;
  s.Hour = h;
  s.Minute = m;
  s.Minor = minor;
  s.Count = count;
  s.RunMissedTask = missed;
  return s;
}
SCHEDULER_TIME weekly(int h, int m, int mask, int weeks, int missed = 0) {
  SCHEDULER_TIME s = daily(h, m);
  s.TaskType = kTaskWeekly;
  s.Minor = mask;
  s.Count = weeks;
  s.RunMissedTask = missed;
  return s;
}
SCHEDULER_TIME monthly_day(int h, int m, int day, int missed = 0) {
  SCHEDULER_TIME s = daily(h, m);
  s.TaskType = kTaskMonthly;
  s.MonthlyKind = kMonthlyDay;
  s.Count = day;
  s.RunMissedTask = missed;
  return s;
}
SCHEDULER_TIME monthly_weekday(int h, int m, int seq, int weekday, int missed = 0) {
  SCHEDULER_TIME s = daily(h, m);
  s.TaskType = kTaskMonthly;
  s.MonthlyKind = kMonthlyWeekDay;
  s.Minor = seq;
  s.Extra = weekday;
  s.RunMissedTask = missed;
  return s;
}
SCHEDULER_TIME one_time(int y, int mo, int d, int h, int m, int missed = 0) {
  SCHEDULER_TIME s = daily(h, m);
  s.TaskType = kTaskOneTime;
  s.Count = d;
  s.Minor = mo;
  s.Extra = y;
  s.RunMissedTask = missed;
  return s;
}
SCHEDULER_TIME period(int count, int unit) {
  SCHEDULER_TIME s;
  s.TaskType = kTaskPeriod;
  s.Count = count;
  s.Minor = unit;
  return s;
}

TEST(SchedulerDue, RulesOverAPinnedClock) {
  ScopedTimeZone tz("CET-1CEST,M3.5.0,M10.5.0/3");
  struct Case {
    const char* name;
    SCHEDULER_TIME schedule;
    int64_t created;
    int64_t last;
    int64_t cancelled;
    int64_t now;
    bool due;
  };
  const int64_t jan1 = at(2024, 1, 1, 0, 0);
  const Case cases[] = {
      // Daily.
      {"daily in the window", daily(2, 0), jan1, 0, 0, at(2024, 3, 5, 2, 10), true},
      {"daily after the window", daily(2, 0), jan1, 0, 0, at(2024, 3, 5, 2, 20), false},
      {"daily after the window, missed run made up", daily(2, 0, kDailyEvery, 0, 1), jan1, 0, 0,
       at(2024, 3, 5, 2, 20), true},
      {"daily made after today's window", daily(2, 0, kDailyEvery, 0, 1), at(2024, 3, 5, 2, 20), 0, 0,
       at(2024, 3, 5, 2, 30), false},
      {"daily made in the window", daily(2, 0), at(2024, 3, 5, 2, 5), 0, 0, at(2024, 3, 5, 2, 6), true},
      {"daily already ran today", daily(2, 0), jan1, at(2024, 3, 5, 2, 3), 0, at(2024, 3, 5, 2, 10), false},
      {"daily failed today", daily(2, 0, kDailyEvery, 0, 1), jan1, 0, at(2024, 3, 5, 2, 3),
       at(2024, 3, 5, 2, 10), false},
      {"daily before its time, yesterday missed", daily(2, 0, kDailyEvery, 0, 1), jan1, at(2024, 3, 3, 2, 5), 0,
       at(2024, 3, 5, 1, 0), true},
      {"daily before its time, yesterday ran", daily(2, 0, kDailyEvery, 0, 1), jan1, at(2024, 3, 4, 2, 5), 0,
       at(2024, 3, 5, 1, 0), false},
      {"workday on Saturday", daily(9, 0, kDailyWeekday), jan1, 0, 0, at(2024, 3, 9, 9, 5), false},
      {"workday on Monday", daily(9, 0, kDailyWeekday), jan1, 0, 0, at(2024, 3, 11, 9, 5), true},
      {"workday Friday missed, made up on Sunday", daily(9, 0, kDailyWeekday, 0, 1), jan1, at(2024, 3, 7, 9, 5), 0,
       at(2024, 3, 10, 12, 0), true},
      {"every 3 days from the creation: day 3", daily(8, 0, kDailyCount, 3), at(2024, 3, 1, 7, 0), 0, 0,
       at(2024, 3, 4, 8, 1), true},
      {"every 3 days from the creation: day 2", daily(8, 0, kDailyCount, 3), at(2024, 3, 1, 7, 0), 0, 0,
       at(2024, 3, 3, 8, 1), false},
      {"every 0 days is refused", daily(8, 0, kDailyCount, 0), jan1, 0, 0, at(2024, 3, 3, 8, 1), false},
      {"every -1 days is refused", daily(8, 0, kDailyCount, -1, 1), jan1, 0, 0, at(2024, 3, 3, 8, 1), false},
      // Weekly: Monday (bit 1) and Wednesday (bit 3).
      {"weekly Monday", weekly(9, 0, 0x0a, 1), jan1, 0, 0, at(2024, 3, 4, 9, 5), true},
      {"weekly Wednesday after a Monday run", weekly(9, 0, 0x0a, 1), jan1, at(2024, 3, 4, 9, 5), 0,
       at(2024, 3, 6, 9, 5), true},
      {"weekly Tuesday", weekly(9, 0, 0x0a, 1), jan1, 0, 0, at(2024, 3, 5, 9, 5), false},
      {"every second week: off week", weekly(9, 0, 0x02, 2), at(2024, 3, 3, 12, 0), 0, 0, at(2024, 3, 11, 9, 5),
       false},
      {"every second week: on week", weekly(9, 0, 0x02, 2), at(2024, 3, 3, 12, 0), 0, 0, at(2024, 3, 4, 9, 5),
       true},
      {"weekly count 0 is refused", weekly(9, 0, 0x02, 0), jan1, 0, 0, at(2024, 3, 4, 9, 5), false},
      {"weekly Monday missed, made up Tuesday", weekly(9, 0, 0x02, 1, 1), jan1, at(2024, 2, 26, 9, 5), 0,
       at(2024, 3, 5, 10, 0), true},
      // Monthly.
      {"monthly 31st on a 31st", monthly_day(6, 0, 31), jan1, 0, 0, at(2024, 3, 31, 6, 5), true},
      {"monthly 31st on the 30th of a 30-day month", monthly_day(6, 0, 31), jan1, 0, 0, at(2024, 4, 30, 6, 5),
       true},
      {"monthly 31st on the 30th of a 31-day month", monthly_day(6, 0, 31), jan1, 0, 0, at(2024, 3, 30, 6, 5),
       false},
      {"monthly 31st missed in April, made up on 1 May", monthly_day(6, 0, 31, 1), jan1, at(2024, 3, 31, 6, 5), 0,
       at(2024, 5, 1, 5, 0), true},
      {"monthly 30th on 29 February (leap year)", monthly_day(6, 0, 30), jan1, 0, 0, at(2024, 2, 29, 6, 5), true},
      {"monthly 29th on 28 February (common year)", monthly_day(6, 0, 29), at(2023, 1, 1, 0, 0), 0, 0,
       at(2023, 2, 28, 6, 5), true},
      {"monthly 29th on 28 February (leap year)", monthly_day(6, 0, 29), jan1, 0, 0, at(2024, 2, 28, 6, 5), false},
      {"last Friday of March 2024 (29th)", monthly_weekday(6, 0, kWeekdayLast, 5), jan1, 0, 0,
       at(2024, 3, 29, 6, 5), true},
      {"last Friday of March 2024 is not the 22nd", monthly_weekday(6, 0, kWeekdayLast, 5), jan1, 0, 0,
       at(2024, 3, 22, 6, 5), false},
      {"last Thursday of February 2024 (29th)", monthly_weekday(6, 0, kWeekdayLast, 4), jan1, 0, 0,
       at(2024, 2, 29, 6, 5), true},
      {"first Monday of April 2024 (1st)", monthly_weekday(6, 0, kWeekdayFirst, 1), jan1, 0, 0,
       at(2024, 4, 1, 6, 5), true},
      // Last month's calendar: the second Sunday of February 2024 was the 11th, not the 10th.
      {"second Sunday of last month, made up", monthly_weekday(6, 0, 1, 0, 1), jan1, at(2024, 2, 10, 12, 0), 0,
       at(2024, 3, 1, 12, 0), true},
      {"second Sunday of last month ran", monthly_weekday(6, 0, 1, 0, 1), jan1, at(2024, 2, 11, 6, 5), 0,
       at(2024, 3, 1, 12, 0), false},
      // Daylight saving: 31 March 2024 02:30 does not exist in this zone; the run happens when
      // the clock jumps (03:00 local = 01:00 UTC). 09:00 stays 09:00 local on both sides.
      {"skipped local time runs at the jump", daily(2, 30), jan1, 0, 0, at(2024, 3, 31, 3, 0), true},
      {"skipped local time: the window counts from the jump", daily(2, 30), jan1, 0, 0, at(2024, 3, 31, 3, 15),
       false},
      {"09:00 after the change", daily(9, 0), jan1, 0, 0, at(2024, 3, 31, 9, 5), true},
      {"08:00 UTC+1 is not 09:00 after the change", daily(9, 0), jan1, 0, 0, at(2024, 3, 31, 8, 5), false},
      // OneTime and Period.
      {"one time in its window", one_time(2024, 3, 5, 14, 0), jan1, 0, 0, at(2024, 3, 5, 14, 1), true},
      {"one time missed", one_time(2024, 3, 5, 14, 0), jan1, 0, 0, at(2024, 3, 6, 14, 1), false},
      {"one time missed, made up", one_time(2024, 3, 5, 14, 0, 1), jan1, 0, 0, at(2024, 3, 6, 14, 1), true},
      {"one time made after its time", one_time(2024, 3, 5, 14, 0, 1), at(2024, 3, 5, 14, 5), 0, 0,
       at(2024, 3, 5, 14, 6), false},
      {"one time on 29 February", one_time(2024, 2, 29, 14, 0), jan1, 0, 0, at(2024, 2, 29, 14, 1), true},
      {"one time on 29 February of a common year", one_time(2023, 2, 29, 14, 0, 1), at(2023, 1, 1, 0, 0), 0, 0,
       at(2023, 3, 1, 14, 1), false},
      {"period 2 hours elapsed", period(2, kPeriodHour), at(2024, 3, 5, 10, 0), 0, 0, at(2024, 3, 5, 12, 1), true},
      {"period 2 hours not yet", period(2, kPeriodHour), at(2024, 3, 5, 10, 0), 0, 0, at(2024, 3, 5, 11, 59), false},
      {"period from the last failure", period(30, kPeriodMinute), jan1, 0, at(2024, 3, 5, 11, 45),
       at(2024, 3, 5, 12, 1), false},
      {"period of 0 is refused", period(0, kPeriodMinute), jan1, 0, 0, at(2024, 3, 5, 12, 1), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SCHEDULER_TASK t;
    t.schedule = c.schedule;
    t.CreateTime = c.created;
    t.LastTime = c.last;
    t.CancelTime = c.cancelled;
    EXPECT_EQ(task_is_due(t, c.now), c.due);
  }
}

SCHEDULER_TASK sample_task() {
  SCHEDULER_TASK t;
  t.name = "Nightly <system> & \"data\"";
  t.CreateTime = 1700000000;
  t.Status = 1;
  t.id = 124;
  t.Path = "/srv/backup";
  t.Basename = "imbackup";
  t.BackType = 2;
  t.CompressLevel = 2;
  t.Comment = "";
  t.MaxFileSize = 4294967295;
  SCHEDULER_DISK d;
  d.Device = "/dev/sdb";
  d.Model = "QEMU HARDDISK";
  d.DiskNumber = 1;
  d.Cylinders = 1024;
  d.Heads = 255;
  d.Sectors = 63;
  d.Length = 20971520;
  d.DiskId = "by-id:ata-QEMU_HARDDISK_QM00002";
  SCHEDULER_PART p;
  p.Bootable = 1;
  p.Start = 204800;
  p.Length = 2048;
  p.Used = 1000;
  p.DriveLetter = 'C';
  d.parts.push_back(p);
  t.disks.push_back(d);
  t.schedule = monthly_weekday(23, 30, kWeekdayLast, 4, 1);
  return t;
}

std::string utf8_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() < 2) return "";
  return utf16le_bytes_to_utf8(std::span(reinterpret_cast<const unsigned char*>(bytes.data()) + 2, bytes.size() - 2));
}

class SchedulerFileTest : public services_test::ServicesHome {
 protected:
  void TearDown() override {
    scheduler().Uninitialize();
    ServicesHome::TearDown();
  }
  void write_xml(const std::string& utf8) {
    const std::u16string text = utf8_to_utf16(utf8);
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
      bytes += char(c & 0xff);
      bytes += char(c >> 8);
    }
    ASSERT_TRUE(sysutil_test::make_file(home_file(kSchedulerFileName), bytes));
  }
};

TEST_F(SchedulerFileTest, SavedTaskHasTheExactLayout) {
  ASSERT_EQ(scheduler().Initialize(), 1);
  ASSERT_EQ(scheduler().Modify([](std::vector<SCHEDULER_TASK>& tasks) {
    tasks.push_back(sample_task());
    return true;
  }),
            1);
  const char* expected =
      "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"yes\"?>\r\n"
      "<Meadowgold>\r\n"
      "\t<SchedulerBackDatas count=\"1\">\r\n"
      "\t\t<SchedulerBackData0 name=\"Nightly &lt;system&gt; &amp; &quot;data&quot;\">\r\n"
      "\t\t\t<GeneralInfo>\r\n"
      "\t\t\t\t<CreateTime>1700000000</CreateTime>\r\n"
      "\t\t\t\t<LastTime>0</LastTime>\r\n"
      "\t\t\t\t<CancelTime>0</CancelTime>\r\n"
      "\t\t\t\t<Status>1</Status>\r\n"
      "\t\t\t\t<Signature>124</Signature>\r\n"
      "\t\t\t</GeneralInfo>\r\n"
      "\t\t\t<BackupSettings>\r\n"
      "\t\t\t\t<Path>/srv/backup</Path>\r\n"
      "\t\t\t\t<Basename>imbackup</Basename>\r\n"
      "\t\t\t\t<bValidImage>false</bValidImage>\r\n"
      "\t\t\t\t<BackType>Incremental</BackType>\r\n"
      "\t\t\t\t<CompressLevel>High</CompressLevel>\r\n"
      "\t\t\t\t<Comment></Comment>\r\n"
      "\t\t\t\t<OverWrite>false</OverWrite>\r\n"
      "\t\t\t\t<MaxFileSize>4294967295</MaxFileSize>\r\n"
      "\t\t\t\t<FileSizeAuto>false</FileSizeAuto>\r\n"
      "\t\t\t\t<Disks count=\"1\">\r\n"
      "\t\t\t\t\t<Disk0>\r\n"
      "\t\t\t\t\t\t<Device>/dev/sdb</Device>\r\n"
      "\t\t\t\t\t\t<Model>QEMU HARDDISK</Model>\r\n"
      "\t\t\t\t\t\t<DiskNumber>1</DiskNumber>\r\n"
      "\t\t\t\t\t\t<Cylinders>1024</Cylinders>\r\n"
      "\t\t\t\t\t\t<Heads>255</Heads>\r\n"
      "\t\t\t\t\t\t<Sectors>63</Sectors>\r\n"
      "\t\t\t\t\t\t<Length>20971520</Length>\r\n"
      "\t\t\t\t\t\t<DiskId>by-id:ata-QEMU_HARDDISK_QM00002</DiskId>\r\n"
      "\t\t\t\t\t\t<Partitions count=\"1\">\r\n"
      "\t\t\t\t\t\t\t<Partition0>\r\n"
      "\t\t\t\t\t\t\t\t<Bootable>true</Bootable>\r\n"
      "\t\t\t\t\t\t\t\t<Start>204800</Start>\r\n"
      "\t\t\t\t\t\t\t\t<Length>2048</Length>\r\n"
      "\t\t\t\t\t\t\t\t<Used>1000</Used>\r\n"
      "\t\t\t\t\t\t\t\t<DriveLetter>C</DriveLetter>\r\n"
      "\t\t\t\t\t\t\t</Partition0>\r\n"
      "\t\t\t\t\t\t</Partitions>\r\n"
      "\t\t\t\t\t</Disk0>\r\n"
      "\t\t\t\t</Disks>\r\n"
      "\t\t\t</BackupSettings>\r\n"
      "\t\t\t<Scheduler>\r\n"
      "\t\t\t\t<TaskType>Monthly</TaskType>\r\n"
      "\t\t\t\t<Hour>23</Hour>\r\n"
      "\t\t\t\t<Minute>30</Minute>\r\n"
      "\t\t\t\t<RunMissedTask>true</RunMissedTask>\r\n"
      "\t\t\t\t<MinorType>MonthlyWeekDay</MinorType>\r\n"
      "\t\t\t\t<WeekdaySeq>Last</WeekdaySeq>\r\n"
      "\t\t\t\t<Weekday>Thirsday</Weekday>\r\n"
      "\t\t\t</Scheduler>\r\n"
      "\t\t</SchedulerBackData0>\r\n"
      "\t</SchedulerBackDatas>\r\n"
      "</Meadowgold>\r\n";
  EXPECT_EQ(utf8_file(home_file(kSchedulerFileName)), expected);
  // And it reads back field for field.
  ASSERT_EQ(scheduler().Load(), 1);
  const std::vector<SCHEDULER_TASK> tasks = scheduler().Tasks();
  ASSERT_EQ(tasks.size(), 1u);
  const SCHEDULER_TASK want = sample_task();
  EXPECT_EQ(tasks[0].name, want.name);
  EXPECT_EQ(tasks[0].disks[0].DiskId, want.disks[0].DiskId);
  EXPECT_EQ(tasks[0].disks[0].parts[0].Start, 204800);
  EXPECT_EQ(tasks[0].disks[0].parts[0].DriveLetter, 'C');
  EXPECT_EQ(std::memcmp(&tasks[0].schedule, &want.schedule, sizeof(SCHEDULER_TIME)), 0);
}

TEST_F(SchedulerFileTest, EveryKindReadsBackAsWritten) {
  const SCHEDULER_TIME kinds[] = {daily(1, 2),           daily(3, 4, kDailyWeekday, 0, 1), daily(5, 6, kDailyCount, 9),
                                  weekly(7, 8, 0x7f, 3), monthly_day(9, 10, 17),           monthly_weekday(11, 12, 2, 6),
                                  one_time(2030, 12, 31, 13, 14), period(45, kPeriodMinute), SCHEDULER_TIME{}};
  ASSERT_EQ(scheduler().Initialize(), 1);
  ASSERT_EQ(scheduler().Modify([&](std::vector<SCHEDULER_TASK>& tasks) {
    for (const SCHEDULER_TIME& s : kinds) {
      SCHEDULER_TASK t = sample_task();
      t.id = next_task_id(tasks);
      t.schedule = s;
      t.disks.clear();  // a task without disks keeps its schedule too
      tasks.push_back(t);
    }
    return true;
  }),
            1);
  ASSERT_EQ(scheduler().Load(), 1);
  const std::vector<SCHEDULER_TASK> tasks = scheduler().Tasks();
  ASSERT_EQ(tasks.size(), std::size(kinds));
  for (size_t i = 0; i < tasks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(tasks[i].id, int32_t(kFirstTaskId + i));
    EXPECT_EQ(std::memcmp(&tasks[i].schedule, &kinds[i], sizeof(SCHEDULER_TIME)), 0);
  }
}

// A file with three tasks: the middle one has "Thursday" (only "Thirsday" is a weekday word).
std::string three_tasks_file(const char* middle_weekday) {
  std::string text = "<?xml version=\"1.0\" encoding=\"utf-16\" standalone=\"yes\"?>\r\n<Meadowgold>\r\n"
                     "<SchedulerBackDatas count=\"3\">\r\n";
  for (int i = 0; i < 3; ++i) {
    text += "<SchedulerBackData" + std::to_string(i) + " name=\"t" + std::to_string(i) + "\">\r\n" +
            "<GeneralInfo><Signature>" + std::to_string(200 + i) + "</Signature></GeneralInfo>\r\n" +
            "<BackupSettings><BackType>Full</BackType><CompressLevel>No</CompressLevel>"
            "<Disks count=\"0\"></Disks></BackupSettings>\r\n"
            "<Scheduler><TaskType>Monthly</TaskType><Hour>1</Hour><Minute>0</Minute>"
            "<RunMissedTask>false</RunMissedTask><MinorType>MonthlyWeekDay</MinorType>"
            "<WeekdaySeq>First</WeekdaySeq><Weekday>" +
            (i == 1 ? middle_weekday : "Monday") + "</Weekday></Scheduler>\r\n</SchedulerBackData" +
            std::to_string(i) + ">\r\n";
  }
  return text + "</SchedulerBackDatas>\r\n</Meadowgold>\r\n";
}

TEST_F(SchedulerFileTest, DamagedFilesLoadWhatTheyCanAndAreNeverSavedOver) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<int32_t> ids;
  };
  const std::string sound = three_tasks_file("Thirsday");
  const Case cases[] = {
      {"a bad task in the middle", three_tasks_file("Thursday"), {200, 202}},
      {"truncated in the second task", sound.substr(0, sound.find("<SchedulerBackData1") + 60), {200}},
      {"a bad flag", [&] {
         std::string t = sound;
         t.replace(t.find("<RunMissedTask>false"), 20, "<RunMissedTask>False");
         return t;
       }(), {201, 202}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write_xml(c.text);
    const std::string before = utf8_file(home_file(kSchedulerFileName));
    ASSERT_EQ(scheduler().Initialize(), 1);
    EXPECT_EQ(scheduler().Load(), 0);
    std::vector<int32_t> ids;
    for (const SCHEDULER_TASK& t : scheduler().Tasks()) ids.push_back(t.id);
    EXPECT_EQ(ids, c.ids);
    EXPECT_FALSE(scheduler().Problems().empty());
    // Neither a plain save, a save of a change by the service, nor a task operation writes.
    EXPECT_EQ(scheduler().Save(), 0);
    EXPECT_EQ(TavUpdateTaskLastTime(c.ids[0], 0, 0), 1);
    EXPECT_EQ(TavSaveSchedulerIfDirty(), 0);
    EXPECT_EQ(scheduler().Modify([](std::vector<SCHEDULER_TASK>& tasks) {
      tasks.clear();
      return true;
    }),
              0);
    EXPECT_EQ(utf8_file(home_file(kSchedulerFileName)), before);
    scheduler().Uninitialize();
  }
  // The sound file reads whole, "Thirsday" included.
  write_xml(sound);
  ASSERT_EQ(scheduler().Initialize(), 1);
  EXPECT_EQ(scheduler().Load(), 1);
  ASSERT_EQ(scheduler().Tasks().size(), 3u);
  EXPECT_EQ(scheduler().Tasks()[1].schedule.Extra, 4);
}

TEST_F(SchedulerFileTest, DuplicateIdsGetNewOnesThatTheNextSaveWrites) {
  std::string text = three_tasks_file("Friday");
  text.replace(text.find("<Signature>202"), 14, "<Signature>200");
  write_xml(text);
  ASSERT_EQ(scheduler().Initialize(), 1);
  std::vector<int32_t> ids;
  for (const SCHEDULER_TASK& t : scheduler().Tasks()) ids.push_back(t.id);
  EXPECT_EQ(ids, (std::vector<int32_t>{200, 201, 202}));
  ASSERT_EQ(TavSaveSchedulerIfDirty(), 1);
  EXPECT_NE(utf8_file(home_file(kSchedulerFileName)).find("<Signature>202</Signature>"), std::string::npos);
}

TEST_F(SchedulerFileTest, FirstTaskOfAnEmptyFileGets124) {
  EXPECT_EQ(next_task_id({}), 124);
  std::vector<SCHEDULER_TASK> tasks(2);
  tasks[0].id = 7;
  tasks[1].id = 130;
  EXPECT_EQ(next_task_id(tasks), 131);
  tasks[1].id = 9;
  EXPECT_EQ(next_task_id(tasks), 124);
}

TEST_F(SchedulerFileTest, ProcessesAddingTasksAtOnceLoseNone) {
  constexpr int kPerProcess = 15;
  auto add_tasks = [](const char* who) {
    for (int i = 0; i < kPerProcess; ++i) {
      if (scheduler().Modify([&](std::vector<SCHEDULER_TASK>& tasks) {
            SCHEDULER_TASK t = sample_task();
            t.name = std::string(who) + std::to_string(i);
            t.id = next_task_id(tasks);
            tasks.push_back(t);
            return true;
          }) != 1) {
        return 1;
      }
    }
    return 0;
  };
  auto child_body = [&](const char* who) {
    return [&, who](int, int) {
      scheduler().Uninitialize();  // its own lock-file descriptions, as a new process has
      if (scheduler().Initialize() != 1) return 2;
      return add_tasks(who);
    };
  };
  ASSERT_EQ(scheduler().Initialize(), 1);
  Child a(child_body("a")), b(child_body("b"));
  EXPECT_EQ(add_tasks("p"), 0);
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  ASSERT_EQ(scheduler().Load(), 1);
  std::set<std::string> names;
  std::set<int32_t> ids;
  for (const SCHEDULER_TASK& t : scheduler().Tasks()) {
    names.insert(t.name);
    ids.insert(t.id);
  }
  EXPECT_EQ(names.size(), size_t(3 * kPerProcess));
  EXPECT_EQ(ids.size(), size_t(3 * kPerProcess));
}

}  // namespace
}  // namespace tav::services

namespace tav::services {
namespace {

// Every key of TavPub2's table has an English text with the same conversions.
TEST(ServicesTexts, ShippedEnglishCoversTheTable) {
  CTavXml doc(1);
  ASSERT_EQ(doc.Load(TAV_SOURCE_DIR "/lang/lang.en-us.xml"), kXmlOk);
  for (const LanguageTable& t : services_language_tables()) {
    ASSERT_NO_FATAL_FAILURE(test_support::expect_section_matches_table(doc, t));
  }
}

}  // namespace
}  // namespace tav::services
