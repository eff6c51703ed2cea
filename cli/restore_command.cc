// `tav restore`: loads the storage, finds the snapshot's partition and the destination partition,
// and hands both to the restore engine after the user confirmed.
#include "cli/restore_command.h"

#include <unistd.h>

#include <algorithm>
#include <optional>

#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "cli/image_session.h"
#include "cli/partition_target.h"
#include "cli/partition_write.h"
#include "cli/storage_args.h"
#include "disk/disk_list.h"
#include "engine/restore.h"

namespace tav::cli {

namespace {

const char kRestoreUsage[] =
    "usage: tav restore DIR [--name BASE] --snapshot N --partition K --to DEVICE-OR-IMAGE[:P]\n"
    "                   [--sector-by-sector] [--restore-mbr] [--make-active] [--yes]\n"
    "\n"
    "Writes partition K of snapshot N of the storage in DIR (volume files BASE0.ego, ...; BASE\n"
    "is \"imbackup\" unless --name says otherwise) onto partition P of a block device or a disk\n"
    "image file, as `tav disks` numbers it (a partition's own device needs no :P, and neither\n"
    "does a disk with one partition). N and K are the numbers `tav list` shows. The partition\n"
    "table is kept; the destination must not be mounted, must not hold the storage and must be\n"
    "at least as large as the source. Only the used data is written, and a larger destination's\n"
    "file system is grown to fill it. What will be overwritten is shown and asked about first.\n"
    "\n"
    "  --name BASE         base name of the volume files\n"
    "  --snapshot N        snapshot number, from 1\n"
    "  --partition K       partition number within the snapshot, from 1\n"
    "  --to DEST           the destination partition\n"
    "  --sector-by-sector  write every stored sector, not only the file system's used data\n"
    "  --restore-mbr       also write the boot code saved with the snapshot's disk\n"
    "  --make-active       make the destination the active (bootable) partition\n"
    "  --yes               overwrite without asking\n"
    "\n"
    "Ctrl-C cancels; the destination then holds no valid file system.\n"
    "Exit status: 0 when the partition was restored, 1 when it was refused (nothing written) or\n"
    "failed, 2 on wrong use, 130 when cancelled.\n";

struct RestoreArgs {
  StorageArgs storage;  // --snapshot and --partition required, checked as they are read
  uint32_t snapshot = 0;
  uint32_t partition = 0;
  std::string to;
  bool sector_by_sector = false;
  bool restore_mbr = false;
  bool make_active = false;
  bool yes = false;
};

// Largest snapshot or partition number taken.
constexpr uint32_t kNumberMax = 0x7FFFFFFFu;

bool parse_restore_args(const std::vector<std::string>& args, RestoreArgs* out, std::string* error) {
  const OwnOptions own = [out](const std::string& option, const ValueReader& value, std::string*) {
    if (option == "--to") return value(&out->to) ? OwnOption::kTaken : OwnOption::kFailed;
    bool* flag = option == "--sector-by-sector" ? &out->sector_by_sector
                 : option == "--restore-mbr"    ? &out->restore_mbr
                 : option == "--make-active"    ? &out->make_active
                 : option == "--yes"            ? &out->yes
                                                : nullptr;
    if (flag == nullptr) return OwnOption::kNotOurs;
    *flag = true;
    return OwnOption::kTaken;
  };
  StorageArgRules rules;
  rules.number_max = kNumberMax;
  rules.plain_base_name = true;
  std::vector<std::string> operands;
  if (!parse_storage_args(args, rules, own, &out->storage, &operands, error)) return false;
  if (out->storage.help) return true;
  if (operands.size() != 1 || operands[0].empty()) {
    *error = "give the storage directory";
    return false;
  }
  if (out->storage.snapshot.empty() || out->storage.partition.empty() || out->to.empty()) {
    *error = "--snapshot, --partition and --to are required";
    return false;
  }
  out->storage.directory = operands[0];
  // Both were checked as they were read.
  (void)parse_index(out->storage.snapshot, kNumberMax, &out->snapshot);
  (void)parse_index(out->storage.partition, kNumberMax, &out->partition);
  return true;
}

}  // namespace

int run_restore_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
  const CommandOpening command("restore", kRestoreUsage, out, err);
  RestoreArgs a;
  if (const std::optional<int> exit = command.parse(parse_restore_args, args, &a, a.storage.help)) return *exit;

  ImageSessionOptions session_options;
  session_options.answer_mode = a.yes ? AnswerMode::kYes : options.answer_mode;
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);
  SNAP_DATA* snap = nullptr;
  if (Status st = load_snapshot(&session, a.storage, &a.snapshot, &snap); !st.is_ok()) {
    return command.fail(st.message());
  }
  NumberedPartition source;
  if (Status st = find_partition(*snap, a.snapshot, a.partition, &source); !st.is_ok()) {
    return command.fail(st.message());
  }

  MachineDisks machine;
  NamedPartition dest;
  if (Status st = find_named_partition(a.to, machine.head, &dest); !st.is_ok()) return command.fail(st.message());

  RESTORE_REQUEST request;
  request.image_dir = a.storage.directory;
  request.image_name = a.storage.base_name;
  request.snapshot = a.snapshot;
  request.source_disk = source.disk;
  request.image_part = source.part;
  request.dest_disk = dest.disk;
  request.dest_part = dest.part;
  request.sector_by_sector = a.sector_by_sector ? 1 : 0;
  request.restore_mbr = a.restore_mbr ? 1 : 0;
  request.make_active = a.make_active ? 1 : 0;

  PartitionWriteText text;
  text.command = "restore";
  text.source = "snapshot " + std::to_string(a.snapshot) + " (" + backup_kind_name(snap->backup_type) + ", " +
                systime_text(snap->create_systime) + "), partition " + std::to_string(a.partition) + ": " +
                describe_contents(*source.part);
  return confirm_and_run_partition_write(text, &request, &session, out, err);
}

}  // namespace tav::cli
