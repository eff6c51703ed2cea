// `tav task list|show|create|rename|delete|due`: the task list in "scheduler.xml".
#include "cli/task_command.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "core/language.h"
#include "disk/disk.h"
#include "disk/disk_list.h"
#include "services/scheduler.h"
#include "services/scheduler_due.h"
#include "services/scheduler_file.h"
#include "services/service_clock.h"
#include "services/task_ops.h"

namespace tav::cli {

namespace {

const char kTaskUsage[] =
    "usage: tav task list\n"
    "       tav task show ID\n"
    "       tav task create --dir DIR --disk DISK SCHEDULE [--name BASE] [--kind full|incremental|differential]\n"
    "                       [--run-missed] [--title TEXT]\n"
    "       tav task rename ID TEXT\n"
    "       tav task delete ID\n"
    "       tav task due [--at \"YYYY-MM-DD hh:mm\"]\n"
    "\n"
    "The scheduled backups of this installation (scheduler.xml in the program directory). A task\n"
    "backs up every partition of DISK into the storage DIR. SCHEDULE is one of:\n"
    "  --manual                          only when started by hand\n"
    "  --once \"YYYY-MM-DD hh:mm\"         once\n"
    "  --every N hours|minutes           N units after the previous run\n"
    "  --daily hh:mm | --workdays hh:mm  every day / Monday to Friday\n"
    "  --every-days N hh:mm              every N days\n"
    "  --weekly DAYS hh:mm [--weeks N]   on DAYS (e.g. mon,wed) of every N-th week\n"
    "  --monthly D hh:mm                 on day D (the last day in shorter months)\n"
    "  --monthly-on first|second|third|fourth|last DAY hh:mm\n"
    "--run-missed makes up a run the machine missed. `due` prints the tasks due at a time (now\n"
    "when not given).\n"
    "\n"
    "Exit status: 0; 1 when the task file cannot be read or written or no task has the id;\n"
    "2 on wrong use.\n";

struct TaskArgs {
  bool help = false;
  std::vector<std::string> words;  // the subcommand and its operands
  std::string dir, disk, base = "imbackup", title, at;
  int kind = 1;
  bool run_missed = false;
  int weeks = 1;
  bool has_schedule = false;
  SCHEDULER_TIME schedule;
};

bool parse_hhmm(const std::string& text, SCHEDULER_TIME* s) {
  int h = -1, m = -1;
  char extra;
  if (std::sscanf(text.c_str(), "%d:%d%c", &h, &m, &extra) != 2 || h < 0 || h > 23 || m < 0 || m > 59) return false;
  s->Hour = h;
  s->Minute = m;
  return true;
}

bool parse_count(const std::string& text, int* n) {
  char extra;
  return std::sscanf(text.c_str(), "%d%c", n, &extra) == 1 && *n > 0;
}

int weekday_index(const std::string& word) {
  static const char* const kShort[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
  for (int i = 0; i < 7; ++i) {
    if (strncasecmp(word.c_str(), kShort[i], 3) == 0) return i;
  }
  return -1;
}

[[gnu::noinline]] bool parse_task_args(const std::vector<std::string>& args, TaskArgs* out, std::string* error) {
  auto need = [&](size_t i, size_t n) {
    if (i + n < args.size()) return true;
    *error = args[i] + " needs " + std::to_string(n) + " value(s)";
    return false;
  };
  auto bad = [&](const std::string& what) {
    *error = what;
    return false;
  };
  SCHEDULER_TIME& s = out->schedule;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out->help = true;
    } else if (a == "--dir" || a == "--disk" || a == "--name" || a == "--title" || a == "--at" || a == "--kind" ||
               a == "--weeks") {
      if (!need(i, 1)) return false;
      const std::string& v = args[++i];
      if (a == "--dir") out->dir = v;
      if (a == "--disk") out->disk = v;
      if (a == "--name") out->base = v;
      if (a == "--title") out->title = v;
      if (a == "--at") out->at = v;
      if (a == "--weeks" && !parse_count(v, &out->weeks)) return bad("--weeks takes a count of 1 or more");
      if (a == "--kind") {
        out->kind = v == "full" ? 1 : v == "incremental" ? 2 : v == "differential" ? 3 : 0;
        if (out->kind == 0) return bad("--kind takes full, incremental or differential");
      }
    } else if (a == "--run-missed") {
      out->run_missed = true;
    } else if (a.rfind("--", 0) == 0) {
      if (out->has_schedule) return bad("one schedule only");
      out->has_schedule = true;
      if (a == "--manual") {
        s.TaskType = kTaskManually;
      } else if (a == "--once") {
        if (!need(i, 1)) return false;
        int y, mo, d, h, mi;
        char extra;
        if (std::sscanf(args[++i].c_str(), "%d-%d-%d %d:%d%c", &y, &mo, &d, &h, &mi, &extra) != 5) {
          return bad("--once takes \"YYYY-MM-DD hh:mm\"");
        }
        s.TaskType = kTaskOneTime;
        s.Extra = y, s.Minor = mo, s.Count = d, s.Hour = h, s.Minute = mi;
      } else if (a == "--every") {
        if (!need(i, 2) || !parse_count(args[i + 1], &s.Count)) return bad("--every takes N hours|minutes, N >= 1");
        s.TaskType = kTaskPeriod;
        const std::string unit = args[i + 2];
        i += 2;
        if (unit != "hours" && unit != "minutes") return bad("--every takes hours or minutes");
        s.Minor = unit == "hours" ? kPeriodHour : kPeriodMinute;
      } else if (a == "--daily" || a == "--workdays") {
        if (!need(i, 1) || !parse_hhmm(args[++i], &s)) return bad(a + " takes hh:mm");
        s.TaskType = kTaskDaily;
        s.Minor = a == "--daily" ? kDailyEvery : kDailyWeekday;
      } else if (a == "--every-days") {
        if (!need(i, 2) || !parse_count(args[i + 1], &s.Count) || !parse_hhmm(args[i + 2], &s)) {
          return bad("--every-days takes N hh:mm, N >= 1");
        }
        i += 2;
        s.TaskType = kTaskDaily;
        s.Minor = kDailyCount;
      } else if (a == "--weekly") {
        if (!need(i, 2) || !parse_hhmm(args[i + 2], &s)) return bad("--weekly takes DAYS hh:mm");
        s.TaskType = kTaskWeekly;
        s.Minor = 0;
        std::string days = args[i + 1] + ",";
        for (size_t p = 0, q; (q = days.find(',', p)) != std::string::npos; p = q + 1) {
          const int w = weekday_index(days.substr(p, q - p));
          if (w < 0) return bad("unknown weekday in '" + args[i + 1] + "'");
          s.Minor |= 1 << w;
        }
        i += 2;
      } else if (a == "--monthly") {
        if (!need(i, 2) || !parse_count(args[i + 1], &s.Count) || s.Count > 31 || !parse_hhmm(args[i + 2], &s)) {
          return bad("--monthly takes D hh:mm, D from 1 to 31");
        }
        i += 2;
        s.TaskType = kTaskMonthly;
        s.MonthlyKind = kMonthlyDay;
      } else if (a == "--monthly-on") {
        static const char* const kSeq[] = {"first", "second", "third", "fourth", "last"};
        if (!need(i, 3) || !parse_hhmm(args[i + 3], &s)) return bad("--monthly-on takes WHICH DAY hh:mm");
        s.TaskType = kTaskMonthly;
        s.MonthlyKind = kMonthlyWeekDay;
        s.Minor = -1;
        for (int k = 0; k < 5; ++k) {
          if (args[i + 1] == kSeq[k]) s.Minor = k;
        }
        s.Extra = weekday_index(args[i + 2]);
        if (s.Minor < 0 || s.Extra < 0) return bad("--monthly-on takes first..fourth or last and a weekday");
        i += 3;
      } else {
        return bad("unknown option '" + a + "'");
      }
    } else {
      out->words.push_back(a);
    }
  }
  if (out->help) return true;
  if (out->words.empty()) return bad("no task command given (list, show, create, rename, delete, due)");
  return true;
}

bool parse_id(const std::string& text, long* id) {
  char extra;
  return std::sscanf(text.c_str(), "%ld%c", id, &extra) == 1;
}

void print_task(const SCHEDULER_TASK& t, std::ostream& out) {
  const TAVTASK s = services::task_summary(t, t.Status);
  out << t.id << "  " << t.name << "  " << s.description;
  if (!s.last_run.empty()) out << "  (last run " << s.last_run << ")";
  out << '\n';
}

int64_t parse_at(const std::string& text, bool* ok) {
  int y, mo, d, h, mi;
  char extra;
  *ok = std::sscanf(text.c_str(), "%d-%d-%d %d:%d%c", &y, &mo, &d, &h, &mi, &extra) == 5;
  struct tm t {};
  t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_isdst = -1;
  return *ok ? int64_t(std::mktime(&t)) : 0;
}

}  // namespace

int run_task_command(const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
                     std::ostream& err) {
  const CommandOpening command("task", kTaskUsage, out, err);
  TaskArgs a;
  if (const std::optional<int> exit = command.parse(parse_task_args, args, &a, a.help)) return *exit;
  services::CScheduler& sch = services::scheduler();
  if (sch.Initialize() != 1) return command.fail("cannot open the task file's lock: " + TavFormatMessage(-1));
  const std::string& verb = a.words[0];
  const size_t operands = a.words.size() - 1;
  long id = 0;
  if (sch.Load() != 1) {
    for (const std::string& p : sch.Problems()) err << "tav task: scheduler.xml: " << p << '\n';
    if (verb != "list" && verb != "show" && verb != "due") {
      return command.fail("the task file is damaged; it is left as it is (repair or remove it first)");
    }
  }
  if (verb == "list" && operands == 0) {
    for (const SCHEDULER_TASK& t : sch.Tasks()) print_task(t, out);
    return kExitOk;
  }
  if (verb == "due" && operands == 0) {
    bool ok = true;
    const int64_t when = a.at.empty() ? services::service_now() : parse_at(a.at, &ok);
    if (!ok) return command.usage_error("--at takes \"YYYY-MM-DD hh:mm\"");
    for (const SCHEDULER_TASK& t : sch.Tasks()) {
      if (services::task_is_due(t, when)) print_task(t, out);
    }
    return kExitOk;
  }
  if ((verb == "show" || verb == "delete") && operands == 1) {
    if (!parse_id(a.words[1], &id)) return command.usage_error("'" + a.words[1] + "' is not a task id");
    if (verb == "delete") {
      if (TavDeleteTask(id) != 1) return command.fail("task " + a.words[1] + " not deleted: " + TavFormatMessage(-1));
      out << "task " << id << " deleted\n";
      return kExitOk;
    }
    for (const SCHEDULER_TASK& t : sch.Tasks()) {
      if (t.id != id) continue;
      print_task(t, out);
      out << "  storage " << t.Path << "/" << t.Basename << "\n";
      for (const SCHEDULER_DISK& d : t.disks) {
        out << "  disk " << d.Device << " (" << d.DiskId << "), " << d.parts.size() << " partition(s)\n";
      }
      return kExitOk;
    }
    return command.fail("no task has the id " + a.words[1]);
  }
  if (verb == "rename" && operands == 2) {
    if (!parse_id(a.words[1], &id)) return command.usage_error("'" + a.words[1] + "' is not a task id");
    if (TavRenameTask(id, a.words[2].c_str()) != 1) {
      return command.fail("task " + a.words[1] + " not renamed: " + TavFormatMessage(-1));
    }
    return kExitOk;
  }
  if (verb == "create" && operands == 0) {
    if (a.dir.empty() || a.disk.empty() || !a.has_schedule) {
      return command.usage_error("create needs --dir, --disk and a schedule");
    }
    a.schedule.RunMissedTask = a.run_missed ? 1 : 0;
    if (a.schedule.TaskType == kTaskWeekly) a.schedule.Count = a.weeks;
    std::unique_ptr<_DISK_INFOMATION> disk;
    if (Status st = disk::open_disk(a.disk, &disk); !st.is_ok()) return command.fail(st.message());
    disk->whole_disk = 1;
    _BACKUP_SETTING_ setting;
    setting.Path = a.dir;
    setting.Basename = a.base;
    setting.BackType = a.kind;
    setting.Disks = disk.get();
    const long new_id = TavCreateTask(setting, a.schedule);
    if (new_id == 0) return command.fail("task not created: " + TavFormatMessage(-1));
    if (!a.title.empty()) TavRenameTask(new_id, a.title.c_str());
    out << "task " << new_id << " created\n";
    return kExitOk;
  }
  return command.usage_error("unknown task command or wrong operands: " + verb);
}

}  // namespace tav::cli
