// `tav backup`: checks the source and the destination, loads the storage the snapshot extends,
// and runs the imaging engine's backup on the progress channel's worker while the terminal face
// draws its progress; SIGINT and SIGTERM cancel the run.
#include "cli/backup_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <optional>

#include "cli/backup_args.h"
#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "cli/engine_run.h"
#include "cli/image_session.h"
#include "cli/progress_format.h"
#include "format/image_name.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"
#include "engine/backup.h"
#include "services/backup_location.h"

namespace tav::cli {

namespace {

const char kBackupUsage[] =
    "usage: tav backup SOURCE DIR [--name BASE] [--partition K]... [--type KIND]\n"
    "                  [--compress MODE] [--volume-size SIZE] [--comment TEXT] [--no-snapshot]\n"
    "\n"
    "Adds a snapshot of SOURCE (a block device or a disk image file) to the storage in DIR:\n"
    "volume files BASE0.ego, BASE1.ego, ... (BASE is \"imbackup\" unless --name says\n"
    "otherwise). DIR is created, readable by its owner only, when missing. Without --partition\n"
    "every partition of the disk that can be backed up is; K is the number `tav disks` shows.\n"
    "Only the sectors the file systems use are stored, without pagefile.sys and hiberfil.sys.\n"
    "A partition mounted read-write is read from a snapshot of its logical volume, or refused.\n"
    "\n"
    "  --name BASE         base name of the volume files\n"
    "  --partition K       back up partition K (repeatable)\n"
    "  --type KIND         full, incremental or differential; default: full when DIR holds no\n"
    "                      snapshot of BASE, else incremental\n"
    "  --compress MODE     none, normal (default) or high\n"
    "  --volume-size SIZE  largest volume file, in bytes with K, M, G or T (at least 1M);\n"
    "                      default: no limit, 4G - 1 on a FAT file system\n"
    "  --comment TEXT      comment of the snapshot (UTF-8, at most 512 characters kept)\n"
    "  --no-snapshot       read the partitions directly, without a snapshot of a mounted one\n"
    "\n"
    "Ctrl-C cancels: the volume files of the run are deleted and earlier snapshots stay.\n"
    "Exit status: 0 when the snapshot was added, 1 when it could not be (nothing of it is\n"
    "left), 2 on wrong use, 130 when cancelled.\n";

// ---- The source ----

// The partitions of `disk` to back up: with no numbers, every backup-capable one (the disk's
// whole-disk flag); else the numbered ones, each of which must exist and be backup-capable.
// false with *error naming the first number that does not.
bool select_partitions(_DISK_INFOMATION* disk, const std::vector<uint32_t>& numbers,
                       std::vector<BACKUP_PARTITION_INFO*>* selected, std::string* error) {
  if (numbers.empty()) {
    disk->whole_disk = 1;
    for (const auto& p : disk->parts) {
      if (tav_partition_is_backup(p.get()) != 0) selected->push_back(p.get());
    }
    return true;
  }
  for (uint32_t k : numbers) {
    BACKUP_PARTITION_INFO* found = nullptr;
    for (const auto& p : disk->parts) {
      if (disk::part_number(*p) == int32_t(k)) found = p.get();
    }
    if (found == nullptr) {
      *error = "partition " + std::to_string(k) + " does not exist on " + disk->path;
      return false;
    }
    found->selected = 1;
    if (tav_partition_is_backup(found) == 0) {
      found->selected = 0;
      *error = "partition " + std::to_string(k) + " of " + disk->path +
               " cannot be backed up (an extended partition or an empty slot)";
      return false;
    }
  }
  // The engine takes them in the disk's order.
  for (const auto& p : disk->parts) {
    if (tav_partition_is_backup(p.get()) != 0) selected->push_back(p.get());
  }
  return true;
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

int run_backup_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                       std::ostream& err) {
  const CommandOpening command("backup", kBackupUsage, out, err);
  BackupArgs a;
  if (const std::optional<int> exit = command.parse(parse_backup_args, args, &a, a.help)) return *exit;

  // The source: only a whole disk, as a block device or an image file, is read.
  struct stat source_st {};
  if (::stat(a.source.c_str(), &source_st) != 0) return command.fail(a.source + ": " + std::strerror(errno));
  if (!S_ISBLK(source_st.st_mode) && !S_ISREG(source_st.st_mode)) {
    return command.fail(a.source + ": not a block device or a disk image file");
  }
  std::unique_ptr<_DISK_INFOMATION> disk;
  if (Status st = disk::open_disk(a.source, &disk); !st.is_ok()) return command.fail(st.message());
  std::vector<BACKUP_PARTITION_INFO*> selected;
  std::string error;
  if (!select_partitions(disk.get(), a.partitions, &selected, &error)) {
    err << "tav backup: " << error << '\n';
    return kExitUsage;
  }
  if (selected.empty()) return command.fail(a.source + " has no partition that can be backed up");
  // A smaller limit than the disk's descriptor areas and a unit could not be kept.
  if (a.volume_size_bytes != 0) {
    const uint64_t least = services::smallest_volume_bytes(*disk);
    if (a.volume_size_bytes < least) {
      err << "tav backup: --volume-size " << a.volume_size_bytes << " is too small for " << a.source
          << ": each volume holds its " << disk->mbr.size() << " bytes of boot sectors twice; give at least "
          << (least >> 20) << "M\n";
      return kExitUsage;
    }
  }

  // The destination, as far as it exists.
  std::string ancestor;
  struct stat dir_st {};
  if (Status st = services::existing_ancestor(a.directory, &ancestor, &dir_st); !st.is_ok()) {
    return command.fail(st.message());
  }
  if (!a.no_snapshot) {
    std::string mount_point;
    if (const BACKUP_PARTITION_INFO* p = services::partition_holding(selected, dir_st.st_dev, &mount_point)) {
      return command.fail(a.directory + " lies on " + tav_get_partition_dev_name(p) + " (mounted on " +
                          mount_point +
                          "), which is being backed up: the image would be read while it is written. Choose a "
                          "directory on another file system (or give --no-snapshot to do it anyway)");
    }
  }
  const uint64_t volume_limit = services::volume_limit_bytes(a.volume_size_bytes, ancestor);
  const std::string dir = services::without_trailing_slashes(a.directory);
  struct stat st_dir {};
  const bool dir_exists = ::stat(dir.c_str(), &st_dir) == 0;

  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  // Progress only on a terminal; a log or pipe gets the result lines and the errors.
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);

  // The storage the snapshot extends: never write beside volume files we cannot read.
  bool storage_exists = false;
  if (dir_exists) {
    if (Status st = services::has_volumes(dir, a.base_name, &storage_exists); !st.is_ok()) {
      return command.fail(st.message());
    }
  }
  if (storage_exists) {
    if (Status st = session.load(dir, a.base_name); !st.is_ok()) {
      return command.fail(dir + " holds volume files of \"" + a.base_name +
                          "\" that do not load as a storage; refusing to add a snapshot beside them");
    }
  }
  uint32_t kind = 0;
  if (Status st = services::choose_backup_kind(a.backup_type, storage_exists, dir, a.base_name, &kind); !st.is_ok()) {
    return command.fail(st.message());
  }
  // Directories this run made are removed again when it adds nothing (and they stayed empty).
  services::CreatedDirectories created;
  if (!dir_exists) {
    if (Status st = created.create(dir); !st.is_ok()) return command.fail(st.message());
  }

  BACKUP_REQUEST request;
  request.dest_dir = dir;
  request.base_name = a.base_name;
  request.storage_exists = storage_exists ? 1 : 0;
  request.backup_type = kind;
  request.compress_mode = a.compress_mode;
  request.comment = a.comment;
  request.volume_limit = volume_limit;
  request.no_vss = a.no_snapshot ? 1 : 0;

  disk->next = nullptr;
  const EngineRunOutcome outcome =
      run_engine_operation(&session, [&request, &disk] { return TavStartBackup(&request, disk.get()); });
  if (!outcome.started) return command.fail("the backup could not be started" + outcome.unshown_report);
  // A run that ended with its snapshot written stands, also when a signal came late.
  if (!outcome.result.has_value() || *outcome.result < 0) {
    if (outcome.cancelled) {
      return command.cancelled(std::string("cancelled; the volume files of this run were deleted") +
                               (storage_exists ? ", the earlier snapshots are intact" : ""));
    }
    return command.fail("the backup failed" + outcome.unshown_report + "; the volume files of this run were deleted");
  }

  created.keep();
  // The summary, from the storage as it now loads.
  const uint32_t first_vol = uint32_t(*outcome.result);
  const std::string first_name = img::image_volume_name(dir, a.base_name, int(first_vol)).value_or("?");
  if (Status st = session.load(dir, a.base_name); !st.is_ok()) {
    return command.fail("the snapshot was written (first volume " + first_name + ") but the storage does not load");
  }
  const STORAGE_DATA* storage = session.storage();
  size_t number = 0;
  for (size_t i = 0; i < storage->snaps.size(); ++i) {
    const SNAP_DATA& s = *storage->snaps[i];
    if (s.first_vol == first_vol && s.from_first_vol != 0) number = i + 1;
  }
  if (number == 0) return command.fail("the snapshot was written (first volume " + first_name + ") but does not load");
  const SNAP_DATA& snap = *storage->snaps[number - 1];
  uint64_t file_bytes = 0;
  for (uint32_t v = 0; v < snap.total_vol; ++v) {
    file_bytes += file_size(img::image_volume_name(dir, a.base_name, int(first_vol + v)).value_or(""));
  }
  uint64_t original_bytes = 0;
  uint32_t partitions = 0;
  for (const NumberedPartition& np : numbered_partitions(snap)) {
    if (np.number == 0) continue;
    original_bytes += disk::rec_u64(*np.part, img::part_layout::kOrigBytes);
    ++partitions;
  }
  out << "snapshot " << number << " (" << backup_kind_name(snap.backup_type) << ", " << partitions
      << (partitions == 1 ? " partition" : " partitions") << ") added to " << dir << '\n'
      << "  first volume:    " << first_name << '\n'
      << "  volumes written: " << snap.total_vol << '\n'
      << "  bytes stored:    " << file_bytes << " (" << format_size(file_bytes) << ") in volume files\n"
      << "  data stored:     " << original_bytes << " bytes (" << format_size(original_bytes)
      << ") before compression\n"
      << "  elapsed:         " << elapsed_text(outcome.elapsed) << '\n';
  return kExitOk;
}

}  // namespace tav::cli
