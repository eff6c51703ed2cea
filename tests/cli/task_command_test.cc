// `tav task` through the built binary, in a program directory of the test's own (TAV_HOME) with
// the English texts and a pinned time zone: tasks of every schedule kind are created, listed and
// shown; rename and delete change only their task; `due --at` names exactly the tasks due at
// chosen times; wrong use exits 2 with the usage.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "tests/cli/tav_home_fixture.h"

namespace tav::cli_test {
namespace {

using TaskCommandTest = TavHomeTest;

TEST_F(TaskCommandTest, EachScheduleKindIsListedAndShown) {
  struct Case {
    std::vector<std::string> schedule;
    const char* description;
  };
  const Case cases[] = {
      {{"--manual"}, "Run manually"},
      {{"--once", "2027-03-05 07:08"}, "Once on 2027-3-5 (Friday) at 7:08:00 AM"},
      {{"--every", "3", "hours"}, "Every 3 hours"},
      {{"--every", "45", "minutes"}, "Every 45 minutes"},
      {{"--daily", "00:00"}, "Every day at 12:00:00 midnight"},
      {{"--workdays", "12:00"}, "Every workday at 12:00:00 noon"},
      {{"--every-days", "2", "23:59"}, "Every 2 days at 11:59:00 PM"},
      {{"--weekly", "mon,wed", "06:30", "--weeks", "2"}, "Every 2 week(s) on Monday Wednesday at 6:30:00 AM"},
      {{"--monthly", "31", "01:05"}, "Monthly on day 31 at 1:05:00 AM"},
      {{"--monthly-on", "last", "fri", "18:00", "--run-missed"}, "Monthly on the last Friday at 6:00:00 PM"},
  };
  std::map<long, std::string> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const long id = create(c.schedule);
    ASSERT_NE(id, 0);
    EXPECT_EQ(expected.count(id), 0u) << "id given twice";
    expected[id] = c.description;
  }
  const std::map<long, std::string> listed = list();
  ASSERT_EQ(listed.size(), expected.size());
  for (const auto& [id, description] : expected) {
    SCOPED_TRACE(description);
    ASSERT_EQ(listed.count(id), 1u);
    EXPECT_EQ(listed.at(id), std::to_string(id) + "  New task  " + description);
    const RunResult shown = tav({"task", "show", std::to_string(id)});
    ASSERT_TRUE(shown.exited && shown.exit_status == 0) << describe(shown);
    EXPECT_EQ(shown.out.rfind(listed.at(id) + "\n", 0), 0u) << shown.out;
    EXPECT_NE(shown.out.find("storage " + scratch_.file("store") + "/imbackup\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("2 partition(s)"), std::string::npos) << shown.out;
  }
  // The file is what the programs read: the tasks are in it, written as UTF-16.
  const std::string xml = read_text(home_.file("scheduler.xml"));
  ASSERT_GE(xml.size(), 2u);
  EXPECT_EQ(uint8_t(xml[0]), 0xFF);
  EXPECT_EQ(uint8_t(xml[1]), 0xFE);
}

TEST_F(TaskCommandTest, RenameAndDeleteChangeOnlyTheirTask) {
  const long a = create({"--daily", "02:30"});
  const long b = create({"--manual"});
  ASSERT_TRUE(a != 0 && b != 0);

  const RunResult renamed = tav({"task", "rename", std::to_string(a), "Nightly system"});
  ASSERT_TRUE(renamed.exited && renamed.exit_status == 0) << describe(renamed);
  std::map<long, std::string> tasks = list();
  EXPECT_EQ(tasks[a], std::to_string(a) + "  Nightly system  Every day at 2:30:00 AM");
  EXPECT_EQ(tasks[b], std::to_string(b) + "  New task  Run manually");

  const RunResult deleted = tav({"task", "delete", std::to_string(b)});
  ASSERT_TRUE(deleted.exited && deleted.exit_status == 0) << describe(deleted);
  tasks = list();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks.count(a), 1u);

  // The deleted id is gone for every command.
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::string gone = std::to_string(b);
  const Case cases[] = {
      {{"task", "show", gone}, "no task has the id"},
      {{"task", "delete", gone}, "not deleted"},
      {{"task", "rename", gone, "x"}, "not renamed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    const RunResult r = tav(c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 1) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(list().size(), 1u);
}

TEST_F(TaskCommandTest, DueAtNamesExactlyTheDueTasks) {
  const long daily = create({"--daily", "02:30"});
  const long catch_up = create({"--daily", "02:30", "--run-missed"});
  const long weekly = create({"--weekly", "mon,wed", "06:00"});
  const long day31 = create({"--monthly", "31", "21:00"});
  const long last_friday = create({"--monthly-on", "last", "fri", "18:00"});
  const long once = create({"--once", "2027-03-05 07:08"});
  const long manual = create({"--manual"});
  ASSERT_TRUE(daily && catch_up && weekly && day31 && last_friday && once && manual);

  struct Case {
    const char* at;
    std::set<long> due;
  };
  // The made-up daily run is due whenever its last occurrence has passed without a run.
  const Case cases[] = {
      {"2027-03-01 02:30", {daily, catch_up}},
      {"2027-03-01 02:44", {daily, catch_up}},
      {"2027-03-01 02:45", {catch_up}},  // the window is 15 minutes
      {"2027-03-01 06:00", {weekly, catch_up}},  // Monday
      {"2027-03-02 06:00", {catch_up}},          // Tuesday
      {"2027-03-03 06:14", {weekly, catch_up}},  // Wednesday
      {"2027-03-05 07:10", {once, catch_up}},
      {"2027-03-06 07:10", {catch_up}},
      {"2027-02-26 18:05", {last_friday, catch_up}},  // the last Friday of February
      {"2027-03-19 18:05", {catch_up}},               // a Friday, not the last
      {"2027-03-26 18:05", {last_friday, catch_up}},
      {"2027-02-28 21:00", {day31, catch_up}},  // day 31 falls on the last day of shorter months
      {"2027-03-31 21:10", {day31, catch_up}},
      {"2027-04-30 21:00", {day31, catch_up}},
      // 02:30 does not exist on the day the clock moves forward: the daily run comes at 03:00.
      {"2027-03-28 03:00", {daily, catch_up}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    const RunResult r = tav({"task", "due", "--at", c.at});
    ASSERT_TRUE(r.exited && r.exit_status == 0) << describe(r);
    std::set<long> due;
    for (const auto& [id, line] : lines_by_id(r.out)) due.insert(id);
    EXPECT_EQ(due, c.due) << r.out;
  }
}

TEST_F(TaskCommandTest, WrongUseExitsTwoWithTheUsage) {
  const std::vector<std::string> create = {"task", "create", "--dir", scratch_.file("store"), "--disk", disk_};
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = create;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const Case cases[] = {
      {{"task"}, "no task command given"},
      {{"task", "frobnicate"}, "unknown task command"},
      {{"task", "list", "extra"}, "wrong operands"},
      {{"task", "show", "abc"}, "'abc' is not a task id"},
      {{"task", "rename", "1"}, "wrong operands"},
      {{"task", "due", "--at", "tomorrow"}, "--at takes"},
      {{"task", "create", "--daily", "01:00"}, "create needs --dir, --disk and a schedule"},
      {create, "create needs --dir, --disk and a schedule"},
      {with({"--daily", "24:00"}), "--daily takes hh:mm"},
      {with({"--every", "0", "hours"}), "N >= 1"},
      {with({"--every", "2", "days"}), "hours or minutes"},
      {with({"--every-days", "0", "01:00"}), "N >= 1"},
      {with({"--weekly", "mon,funday", "01:00"}), "unknown weekday"},
      {with({"--weekly", "mon", "01:00", "--weeks", "0"}), "--weeks takes a count of 1 or more"},
      {with({"--monthly", "32", "01:00"}), "D from 1 to 31"},
      {with({"--monthly-on", "fifth", "mon", "01:00"}), "first..fourth or last"},
      {with({"--once", "2027-03-05"}), "--once takes"},
      {with({"--daily", "01:00", "--weekly", "mon", "01:00"}), "one schedule only"},
      {with({"--daily", "01:00", "--kind", "mirror"}), "--kind takes"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const RunResult r = tav(c.args);
    ASSERT_TRUE(r.exited) << describe(r);
    EXPECT_EQ(r.exit_status, 2) << describe(r);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("usage: tav task list"), std::string::npos) << r.err;
  }
  // None of them made a task file.
  EXPECT_FALSE(std::filesystem::exists(home_.file("scheduler.xml")));
}

}  // namespace
}  // namespace tav::cli_test
