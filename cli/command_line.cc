// Command dispatch for `tav`: global options, the command table, usage errors.
#include "cli/command_line.h"

#include <algorithm>
#include <cstring>

#include "cli/backup_command.h"
#include "cli/cli_options.h"
#include "cli/clone_command.h"
#include "cli/disks_command.h"
#include "cli/export_command.h"
#include "cli/inspect_command.h"
#include "cli/list_command.h"
#include "cli/log_command.h"
#include "cli/mount_command.h"
#include "cli/operation_record.h"
#include "cli/restore_command.h"
#include "cli/task_command.h"
#include "cli/validate_command.h"

#ifndef TAV_VERSION_STRING
#define TAV_VERSION_STRING "unknown"
#endif

namespace tav::cli {

namespace {

// A command gets the global options (the answer mode for the questions of its operation) and
// its own arguments.
struct Command {
  const char* name;
  const char* summary;
  int (*run)(const GlobalOptions& options, const std::vector<std::string>& args,
             std::ostream& out, std::ostream& err);
};

constexpr Command kCommands[] = {
    // Listing disks reads tables and file systems and asks nothing.
    {"disks", "list disks and disk image files with their partitions",
     [](const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err) { return run_disks_command(args, out, err); }},
    // Inspecting reads a volume file and asks nothing.
    {"inspect", "show and check the records of one volume file",
     [](const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
        std::ostream& err) { return run_inspect_command(args, out, err); }},
    // Listing a storage loads its catalogue and asks nothing.
    {"list", "list the snapshots of a storage with their disks and partitions", run_list_command},
    // Exporting reads through the snapshot sector reader, whose questions follow --yes / --no.
    {"export", "write a partition of a snapshot as a raw partition image file", run_export_command},
    // Backing up runs the imaging engine, whose questions follow --yes / --no.
    {"backup", "add a snapshot of a disk or of some of its partitions to a storage", run_backup_command},
    // Mounting reads the catalogue to name the partition and asks nothing.
    {"mount", "mount a partition of a snapshot read-only at a directory", run_mount_command},
    {"umount", "unmount a snapshot mounted by `tav mount`", run_umount_command},
    {"mounts", "show the mounted snapshot", run_mounts_command},
    // Restoring and cloning say what they overwrite and ask first, unless --yes.
    {"restore", "write a partition of a snapshot onto a partition of a disk", run_restore_command},
    {"clone", "copy a partition onto another partition", run_clone_command},
    // Validating reads through the snapshot sector reader, whose questions follow --yes / --no.
    {"validate", "read back and check every stored unit of a snapshot", run_validate_command},
    // The operation log and the scheduled tasks are files of the program directory.
    {"log", "show the operation log", run_log_command},
    {"task", "list, show, create, rename and delete scheduled backup tasks", run_task_command},
};

}  // namespace

std::string usage_text() {
  std::string text =
      "usage: tav COMMAND [ARGS...]\n"
      "       tav --yes | --no COMMAND [ARGS...]\n"
      "       tav --help | --version\n"
      "\n"
      "commands:\n";
  size_t width = 0;
  for (const Command& c : kCommands) width = std::max(width, std::strlen(c.name));
  for (const Command& c : kCommands) {
    text += "  " + std::string(c.name) + std::string(width - std::strlen(c.name) + 2, ' ') + c.summary + "\n";
  }
  text += "\n" + global_options_usage();
  text += "\nRun 'tav COMMAND --help' for the options of a command.\n";
  return text;
}

int run_command_line(const std::vector<std::string>& all_args, std::ostream& out,
                     std::ostream& err) {
  GlobalOptions options;
  size_t consumed = 0;
  std::string error;
  if (!parse_global_options(all_args, &options, &consumed, &error)) {
    err << "tav: " << error << '\n' << usage_text();
    return kExitUsage;
  }
  const std::vector<std::string> args(all_args.begin() + static_cast<std::ptrdiff_t>(consumed),
                                      all_args.end());
  if (args.empty()) {
    err << "tav: no command given\n" << usage_text();
    return kExitUsage;
  }
  const std::string& first = args[0];
  if (first == "--help" || first == "-h" || first == "help") {
    out << usage_text();
    return kExitOk;
  }
  if (first == "--version") {
    out << "tav " << TAV_VERSION_STRING << '\n';
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (first == c.name) {
      const std::vector<std::string> command_args(args.begin() + 1, args.end());
      if (!is_recorded_command(first)) return c.run(options, command_args, out, err);
      return run_recorded(first, command_args, out, err, [&](std::ostream& o, std::ostream& e) {
        return c.run(options, command_args, o, e);
      });
    }
  }
  if (!first.empty() && first[0] == '-') {
    err << "tav: unknown option '" << first << "'\n" << usage_text();
  } else {
    err << "tav: unknown command '" << first << "'\n" << usage_text();
  }
  return kExitUsage;
}

}  // namespace tav::cli
