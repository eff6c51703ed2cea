// `tav mount`, `tav umount`, `tav mounts`: argument parsing, the choice of snapshot and partition
// from the storage's catalogue, and the mount client's calls.
#include "cli/mount_command.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>

#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "cli/image_session.h"
#include "cli/storage_args.h"
#include "cli/text_escape.h"
#include "image/image_catalogue.h"
#include "daemons/tavmount/protocol/mount_info.h"
#include "disk/mount_table.h"
#include "services/mount_client.h"

namespace tav::cli {

namespace {

using tav::mount::MountInformation;

const char kMountUsage[] =
    "usage: tav mount DIR [--name BASE] --snapshot N --partition K [--exec] MOUNTPOINT\n"
    "\n"
    "Mounts partition K of snapshot N of the storage in DIR (numbered as `tav list` shows them)\n"
    "read-only at MOUNTPOINT, an existing empty directory. The mount daemon (tavmount) serves the\n"
    "partition as a file; a read-only loop device over it is mounted. It is started when it does\n"
    "not run. One snapshot is mounted at a time. Set-user-ID bits and device nodes in the\n"
    "snapshot are ignored, and its programs do not run unless --exec is given. Needs root.\n"
    "\n"
    "  --name BASE      base name of the volume files (\"imbackup\" unless given)\n"
    "  --snapshot N     snapshot number, from 1\n"
    "  --partition K    partition number within the snapshot, from 1\n"
    "  --exec           let programs on the snapshot run (still without set-user-ID)\n"
    "\n"
    "Exit status: 0 when mounted, 1 when it failed (nothing is left set up), 2 on wrong use.\n";

const char kUmountUsage[] =
    "usage: tav umount MOUNTPOINT\n"
    "\n"
    "Unmounts the snapshot mounted at MOUNTPOINT by `tav mount`, detaches its loop device and\n"
    "closes it in the mount daemon. A file system with open files stays mounted. Needs root.\n"
    "\n"
    "Exit status: 0 when unmounted, 1 when nothing of ours is mounted there or it is busy, 2 on\n"
    "wrong use.\n";

const char kMountsUsage[] =
    "usage: tav mounts\n"
    "\n"
    "Shows the snapshot the mount daemon has open and where it is mounted. Needs root.\n"
    "\n"
    "Exit status: 0, or 1 when the daemon could not be asked; 2 on wrong use.\n";

struct MountArgs {
  StorageArgs storage;  // --partition required
  std::string mount_point;
  services::MountOptions options;
};

// False with *error on wrong use; a.storage.help for --help.
bool parse_mount_args(const std::vector<std::string>& args, MountArgs* out, std::string* error) {
  std::vector<std::string> positional;
  const OwnOptions own = [out](const std::string& option, const ValueReader&, std::string*) {
    if (option != "--exec") return OwnOption::kNotOurs;
    out->options.allow_exec = true;
    return OwnOption::kTaken;
  };
  if (!parse_storage_args(args, StorageArgRules{}, own, &out->storage, &positional, error)) return false;
  if (out->storage.help) return true;
  return take_partition_operands(positional, "mount point", &out->storage, &out->mount_point, error);
}

// A partition the mount daemon can serve: one read through the storage's image records.
bool has_image_data(const BACKUP_PARTITION_INFO* part) { return tav::img::image_part_data(part) != nullptr; }

std::string absolute_path(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

// The record naming partition `part_number` of snapshot `snap_number`, from the storage's
// catalogue. The catalogue is unloaded again before the daemon opens the volume files.
Status build_record(const GlobalOptions& options, const StorageArgs& a, uint32_t snap_number, uint32_t part_number,
                    MountInformation* info) {
  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  session_options.can_ask = false;
  session_options.output_fd = STDERR_FILENO;
  ImageSession session(session_options);
  SNAP_DATA* snap = nullptr;
  if (Status st = load_snapshot(&session, a, &snap_number, &snap); !st.is_ok()) return st;
  if (snap->from_first_vol == 0) {
    return Status::not_found("snapshot " + std::to_string(snap_number) +
                             " cannot be read: its first volume is missing or unfinished");
  }
  NumberedPartition part;
  if (Status st = find_partition(*snap, snap_number, part_number, &part, has_image_data); !st.is_ok()) return st;
  const IMAGE_PART_DATA* data = tav::img::image_part_data(part.part);
  if (data->signature == 0) return Status::corruption("the partition's record carries no signature");
  int min_vol = 0;
  int max_vol = 0;
  if (libtavimg_get_imagefile_range(session.storage(), &max_vol, &min_vol) != 0) {
    return Status::not_found("the storage's volume range is unknown");
  }
  info->error = 0;
  info->snap_seq = snap->snap_seq;
  info->snap_time = snap->create_time;
  info->signature = data->signature;
  info->min_seq = uint32_t(min_vol);
  info->max_seq = uint32_t(max_vol);
  const std::string folder = absolute_path(a.directory) + "/";
  if (!tav::mount::set_mount_path(info, folder, a.base_name)) {
    return Status::invalid_argument("the storage's path is too long for the mount daemon");
  }
  return Status::ok();
}

// The exit status of a command run without root; nothing under root.
std::optional<int> require_root(const CommandOpening& command) {
  if (::geteuid() == 0) return std::nullopt;
  return command.fail("needs root (it talks to the mount daemon, attaches loop devices and mounts)");
}

// The arguments of a command that takes only a mount point (`want` 1) or nothing (0), into
// *positional. The exit status when the command ends here (--help, wrong use).
std::optional<int> simple_args(const CommandOpening& command, const std::vector<std::string>& args, size_t want,
                               std::vector<std::string>* positional) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") return command.help();
    if (!a.empty() && a[0] == '-') return command.usage_error("unknown option '" + a + "'");
    positional->push_back(a);
  }
  if (positional->size() != want) return command.usage_error(want == 0 ? "takes no arguments" : "give the mount point");
  return std::nullopt;
}

}  // namespace

int run_mount_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                      std::ostream& err) {
  const CommandOpening command("mount", kMountUsage, out, err);
  MountArgs a;
  if (const std::optional<int> exit = command.parse(parse_mount_args, args, &a, a.storage.help)) return *exit;
  if (const std::optional<int> exit = require_root(command)) return *exit;

  const uint32_t snap_number = a.storage.snapshot_number;
  const uint32_t part_number = a.storage.partition_number;
  MountInformation info;
  if (Status st = build_record(options, a.storage, snap_number, part_number, &info); !st.is_ok()) {
    return command.fail(st.message());
  }
  const std::string mount_point = absolute_path(a.mount_point);
  info.drive_letter = static_cast<char16_t>(disk::volume_table().letter_of(mount_point));
  if (Status st = services::start_daemon(); !st.is_ok()) {
    return command.fail("the mount daemon is not available: " + st.message());
  }
  if (Status st = services::mount_snapshot(&info, mount_point, services::kDiskDevice, a.options); !st.is_ok()) {
    return command.fail(st.message());
  }
  services::MountState state;
  std::string device;
  if (services::mount_state(services::kDiskDevice, &state).is_ok()) {
    for (const services::Presentation& p : state.presented) {
      if (p.mount_point == mount_point) device = " (" + p.loop_device + ", " + p.fs_type + ")";
    }
  }
  out << "snapshot " << snap_number << " partition " << part_number << " mounted read-only at "
      << quote_for_terminal(mount_point) << device << '\n';
  return kExitOk;
}

int run_umount_command(const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
                       std::ostream& err) {
  const CommandOpening command("umount", kUmountUsage, out, err);
  std::vector<std::string> positional;
  if (const std::optional<int> exit = simple_args(command, args, 1, &positional)) return *exit;
  if (const std::optional<int> exit = require_root(command)) return *exit;
  const std::string mount_point = absolute_path(positional[0]);
  MountInformation reply;
  std::string note;
  const Status st = services::unmount_snapshot(mount_point, services::kDiskDevice, &reply, &note);
  if (!note.empty()) err << "tav umount: " << note << '\n';
  if (!st.is_ok()) return command.fail(st.message());
  if (reply.error != 0) {
    // The file system is gone; the daemon only reports what its close found.
    err << "tav umount: the mount daemon reported error " << reply.error << " on close: "
        << tav::mount::reply_message(reply) << '\n';
  }
  out << "unmounted " << quote_for_terminal(mount_point) << '\n';
  return kExitOk;
}

int run_mounts_command(const GlobalOptions&, const std::vector<std::string>& args, std::ostream& out,
                       std::ostream& err) {
  const CommandOpening command("mounts", kMountsUsage, out, err);
  std::vector<std::string> positional;
  if (const std::optional<int> exit = simple_args(command, args, 0, &positional)) return *exit;
  if (const std::optional<int> exit = require_root(command)) return *exit;
  services::MountState state;
  const Status st = services::mount_state(services::kDiskDevice, &state);
  if (!st.is_ok()) return command.fail(st.message());
  switch (state.status) {
    case kMountStatusNoDaemon:
      out << "the mount daemon is not running\n";
      break;
    case kMountStatusNone:
      out << "no snapshot is open\n";
      break;
    default: {
      std::string folder, base;
      if (tav::mount::get_mount_path(state.info, &folder, &base)) {
        out << "open: " << quote_for_terminal(folder + base) << '\n';
      } else {
        out << "open: a snapshot\n";
      }
    }
  }
  for (const services::Presentation& p : state.presented) {
    if (p.mount_point.empty()) {
      out << "  " << p.loop_device << " not mounted\n";
    } else {
      out << "  mounted at " << quote_for_terminal(p.mount_point) << "  " << p.loop_device << "  " << p.fs_type
          << (p.read_only ? "  read-only" : "  read-write") << '\n';
    }
  }
  return kExitOk;
}

}  // namespace tav::cli
