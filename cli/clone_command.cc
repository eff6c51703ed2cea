// `tav clone`: finds the source and the destination partitions and hands both to the restore
// engine (as a clone) after the user confirmed.
#include "cli/clone_command.h"

#include <unistd.h>

#include "cli/command_line.h"
#include "cli/image_session.h"
#include "cli/partition_target.h"
#include "cli/partition_write.h"
#include "disk/disk_list.h"
#include "engine/restore.h"

namespace tav::cli {

namespace {

const char kCloneUsage[] =
    "usage: tav clone SOURCE DEST [--sector-by-sector] [--yes]\n"
    "\n"
    "Copies the partition SOURCE onto the partition DEST. Each is named DEVICE-OR-IMAGE:K: a\n"
    "block device or a disk image file and the partition number `tav disks` shows (a\n"
    "partition's own device needs no :K, and neither does a disk with one partition). The\n"
    "partition tables are kept; DEST must not be mounted, must not overlap SOURCE and must be\n"
    "at least as large. A mounted SOURCE is read from a snapshot of its logical volume. Only the\n"
    "used data is copied, and a larger DEST's file system is grown to fill it. What will be\n"
    "overwritten is shown and asked about first.\n"
    "\n"
    "  --sector-by-sector  copy every used sector as it is, not through the file system\n"
    "  --yes               overwrite without asking\n"
    "\n"
    "Ctrl-C cancels; DEST then holds no valid file system.\n"
    "Exit status: 0 when DEST holds the copy, 1 when it was refused (nothing written) or failed,\n"
    "2 on wrong use, 130 when cancelled.\n";

}  // namespace

int run_clone_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                      std::ostream& err) {
  std::vector<std::string> operands;
  bool sector_by_sector = false;
  bool yes = false;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      out << kCloneUsage;
      return kExitOk;
    } else if (a == "--sector-by-sector") {
      sector_by_sector = true;
    } else if (a == "--yes") {
      yes = true;
    } else if (!a.empty() && a[0] == '-') {
      err << "tav clone: unknown option '" << a << "'\n" << kCloneUsage;
      return kExitUsage;
    } else {
      operands.push_back(a);
    }
  }
  if (operands.size() != 2 || operands[0].empty() || operands[1].empty()) {
    err << "tav clone: give the source and the destination partition\n" << kCloneUsage;
    return kExitUsage;
  }
  auto fail = [&err](const std::string& message) {
    err << "tav clone: " << message << '\n';
    return kExitFailure;
  };

  MachineDisks machine;
  NamedPartition source;
  if (Status st = find_named_partition(operands[0], machine.head, &source); !st.is_ok()) return fail(st.message());
  NamedPartition dest;
  if (Status st = find_named_partition(operands[1], machine.head, &dest); !st.is_ok()) return fail(st.message());
  // Two names of one disk image file give two disk objects: compare the places on the disk.
  if (same_file(source.disk->path, dest.disk->path) &&
      source.part->first_sector <= dest.part->last_sector && dest.part->first_sector <= source.part->last_sector) {
    return fail(std::string(tav_get_partition_dev_name(dest.part)) + " overlaps the source " +
                tav_get_partition_dev_name(source.part) + "; nothing was written");
  }

  ImageSessionOptions session_options;
  session_options.answer_mode = yes ? AnswerMode::kYes : options.answer_mode;
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);

  RESTORE_REQUEST request;
  request.is_clone = 1;
  request.source_disk = source.disk;
  request.image_part = source.part;
  request.dest_disk = dest.disk;
  request.dest_part = dest.part;
  request.sector_by_sector = sector_by_sector ? 1 : 0;

  PartitionWriteText text;
  text.command = "clone";
  text.source = describe_partition(*source.part);
  return confirm_and_run_partition_write(text, &request, &session, out, err);
}

}  // namespace tav::cli
