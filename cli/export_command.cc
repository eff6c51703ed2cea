// `tav export`: one partition of a snapshot into a sparse raw image file, read through the
// snapshot sector reader with progress and questions on the terminal.
#include "cli/export_command.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "cli/cancel_signals.h"
#include "cli/command_line.h"
#include "cli/command_opening.h"
#include "cli/image_session.h"
#include "cli/storage_args.h"
#include "image/image_reader.h"
#include "core/file_utils.h"
#include "disk/disk.h"

namespace tav::cli {

namespace {

const char kExportUsage[] =
    "usage: tav export DIR [--name BASE] --snapshot N --partition K [--force] OUTFILE\n"
    "\n"
    "Writes partition K of snapshot N of the storage in DIR (volume files BASE0.ego, ...; BASE\n"
    "is \"imbackup\" unless --name says otherwise) as a raw partition image: OUTFILE gets the\n"
    "partition's full size, with what its snapshot and the snapshots it depends on stored, and\n"
    "holes where nothing was stored. N and K are the numbers `tav list` shows. The file is\n"
    "written under a temporary name beside OUTFILE, readable by its owner only, and renamed\n"
    "when complete; on failure nothing is left. Damaged data asks Abort/Retry/Ignore on the\n"
    "terminal (--no answers Abort; without a terminal the export stops).\n"
    "\n"
    "  --name BASE      base name of the volume files\n"
    "  --snapshot N     snapshot number, from 1\n"
    "  --partition K    partition number within the snapshot, from 1\n"
    "  --force          replace an existing OUTFILE (only a regular file)\n"
    "\n"
    "Exit status: 0 when every stored sector was read and OUTFILE is complete; 1 when it could\n"
    "not be (the file is kept only when damaged data was let go on with Ignore); 2 on wrong use.\n";

// Sectors read and written at a time (4 MiB).
constexpr uint32_t kChunkSectors = 8192;

struct SectorRange {
  uint64_t begin = 0;
  uint64_t end = 0;
};

// The stored sectors of an opened partition: the data runs of its combined vector inside the
// partition, sorted and merged.
std::vector<SectorRange> stored_ranges(const IMAGE_RUN_VECTOR* runs, uint64_t sector_count) {
  std::vector<SectorRange> ranges;
  if (runs == nullptr || runs->runs == nullptr) return ranges;
  for (uint32_t i = 0; i < runs->run_count; ++i) {
    const IMAGE_RUN* r = runs->runs[i];
    if (r == nullptr || r->type == RUN_TYPE_MINUS) continue;
    const uint64_t begin = r->value.Begin;
    const uint64_t end = std::min(run_end(*r), sector_count);
    if (begin < end) ranges.push_back({begin, end});
  }
  std::sort(ranges.begin(), ranges.end(), [](const SectorRange& a, const SectorRange& b) { return a.begin < b.begin; });
  std::vector<SectorRange> merged;
  for (const SectorRange& r : ranges) {
    if (!merged.empty() && r.begin <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, r.end);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

bool all_zero(const uint8_t* data, size_t size) {
  static const uint8_t kZeros[4096] = {};
  while (size > 0) {
    const size_t n = std::min(size, sizeof kZeros);
    if (std::memcmp(data, kZeros, n) != 0) return false;
    data += n;
    size -= n;
  }
  return true;
}

// errno, or EIO when a call failed without setting it.
int errno_or_eio() { return errno != 0 ? errno : EIO; }

Status write_all_at(int fd, const uint8_t* data, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Status::io_error(std::strerror(n < 0 ? errno : ENOSPC));
    data += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return Status::ok();
}

// The output file under its temporary name; removed when it goes unless it was put in place.
class TempOutput {
 public:
  ~TempOutput() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  Status create(const std::string& final_path) {
    const size_t slash = final_path.rfind('/');
    dir_ = slash == std::string::npos ? "." : (slash == 0 ? "/" : final_path.substr(0, slash));
    const std::string name = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
    std::string pattern = (slash == std::string::npos ? std::string() : final_path.substr(0, slash + 1)) + "." +
                          name + ".tav-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return Status::io_error("cannot create a file in " + dir_ + ": " + std::strerror(errno));
    fd_.reset(fd);
    path_ = pattern;
    return Status::ok();
  }
  int fd() const { return fd_.get(); }

  // Sets the size, syncs the data, and moves the file to `final_path` (replacing a file there only
  // when `replace`), then syncs the directory.
  Status commit(const std::string& final_path, uint64_t size_bytes, bool replace) {
    if (::ftruncate(fd_.get(), static_cast<off_t>(size_bytes)) != 0) {
      return Status::io_error(std::string("cannot set the file size: ") + std::strerror(errno));
    }
    if (::fsync(fd_.get()) != 0) return Status::io_error(std::string("cannot write the file: ") + std::strerror(errno));
    const int fd = fd_.release();
    if (::close(fd) != 0) return Status::io_error(std::string("cannot write the file: ") + std::strerror(errno));
    if (replace) {
      if (::rename(path_.c_str(), final_path.c_str()) != 0) {
        return Status::io_error("cannot rename " + path_ + ": " + std::strerror(errno));
      }
    } else if (::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE) != 0) {
      // A file system without the no-replace rename: a hard link refuses an existing name too.
      const int e = errno;
      if (e == EEXIST) return Status::io_error(final_path + ": exists (use --force to replace it)");
      if ((e != EINVAL && e != ENOSYS) || ::link(path_.c_str(), final_path.c_str()) != 0) {
        return Status::io_error("cannot rename " + path_ + ": " + std::strerror(e == EINVAL || e == ENOSYS ? errno : e));
      }
      ::unlink(path_.c_str());
    }
    path_.clear();
    UniqueFd dir(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) (void)::fsync(dir.get());  // the data is in place; a refused sync changes nothing
    return Status::ok();
  }

 private:
  std::string dir_;
  std::string path_;
  UniqueFd fd_;
};

// OUTFILE must be a new name, or with --force an existing regular file: never a device, a
// directory or anything else this command would not fully replace.
Status check_outfile(const std::string& path, bool force) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) {
      struct stat lst {};
      // A dangling symbolic link: renaming over it would drop the link silently.
      if (::lstat(path.c_str(), &lst) == 0 && !force) return Status::invalid_argument(path + ": exists (use --force to replace it)");
      return Status::ok();
    }
    return Status::io_error(path + ": " + std::strerror(errno));
  }
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
    return Status::invalid_argument(path + ": is a device; tav export writes files only");
  }
  if (S_ISDIR(st.st_mode)) return Status::invalid_argument(path + ": is a directory");
  if (!S_ISREG(st.st_mode)) return Status::invalid_argument(path + ": is not a regular file");
  if (!force) return Status::invalid_argument(path + ": exists (use --force to replace it)");
  return Status::ok();
}

struct ExportArgs {
  StorageArgs storage;  // --partition required
  std::string outfile;
  bool force = false;
};

// Parses the arguments; false with the message in *error on wrong use.
bool parse_export_args(const std::vector<std::string>& args, ExportArgs* out, std::string* error) {
  const OwnOptions own = [out](const std::string& option, const ValueReader&, std::string*) {
    if (option != "--force") return OwnOption::kNotOurs;
    out->force = true;
    return OwnOption::kTaken;
  };
  std::vector<std::string> positional;
  if (!parse_storage_args(args, StorageArgRules{}, own, &out->storage, &positional, error)) return false;
  if (out->storage.help) return true;
  return take_partition_operands(positional, "output file", &out->storage, &out->outfile, error);
}

// Reads the stored ranges of the opened `part` into `fd`, with progress and Ctrl-C through the
// record. Runs with the record in worker mode so that the reader's questions go to the face.
Status copy_partition(BACKUP_PARTITION_INFO* part, const std::vector<SectorRange>& ranges, int fd,
                      THREAD_GUI_DATA* record, const std::string& what) {
  uint64_t total = 0;
  for (const SectorRange& r : ranges) total += r.end - r.begin;
  GUI_OPS* ops = record->ops;
  ops->set_prompt_message(record, what.c_str());
  ops->set_progress_total(record, total);
  ops->set_sub_progress_total(record, int64_t(total), 1.0);
  ops->update_percentage(record);

  std::vector<uint8_t> buffer(size_t{kChunkSectors} * kSectorSize);
  for (const SectorRange& r : ranges) {
    for (uint64_t sector = r.begin; sector < r.end;) {
      if (record->cancel.load() != 0) return Status::cancelled("cancelled");
      const uint32_t count = uint32_t(std::min<uint64_t>(kChunkSectors, r.end - sector));
      errno = 0;
      const int64_t got = part->ops->read_sectors(part, sector, count, buffer.data());
      if (got != int64_t(count)) {
        const int e = errno_or_eio();
        if (record->cancel.load() != 0) return Status::cancelled("cancelled");
        return Status::io_error("reading sectors " + std::to_string(sector) + "-" + std::to_string(sector + count - 1) +
                                " failed: " + std::strerror(e));
      }
      const size_t bytes = size_t{count} * kSectorSize;
      if (!all_zero(buffer.data(), bytes)) {
        Status st = write_all_at(fd, buffer.data(), bytes, sector * kSectorSize);
        if (!st.is_ok()) return st.with_prefix("writing the file failed: ");
      }
      ops->sub_progress_update(record, count);
      sector += count;
    }
  }
  ops->update_percentage(record);
  return Status::ok();
}

}  // namespace

int run_export_command(const GlobalOptions& options, const std::vector<std::string>& args,
                       std::ostream& out, std::ostream& err) {
  const CommandOpening command("export", kExportUsage, out, err);
  ExportArgs a;
  if (const std::optional<int> exit = command.parse(parse_export_args, args, &a, a.storage.help)) return *exit;
  if (Status st = check_outfile(a.outfile, a.force); !st.is_ok()) return command.fail(st.message());

  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  ImageSession session(session_options);
  SNAP_DATA* snap = nullptr;
  NumberedPartition numbered;
  uint32_t snap_number = a.storage.snapshot_number;
  const uint32_t part_number = a.storage.partition_number;
  Status found = load_snapshot(&session, a.storage, &snap_number, &snap);
  if (found.is_ok()) found = find_partition(*snap, snap_number, part_number, &numbered);
  if (!found.is_ok()) return command.fail(found.message());
  BACKUP_PARTITION_INFO* part = numbered.part;
  const uint64_t size_bytes = part->sector_count * kSectorSize;

  TempOutput output;
  if (Status st = output.create(a.outfile); !st.is_ok()) return command.fail(st.message());

  THREAD_GUI_DATA* record = session.record();
  session.reset_reports();
  const std::string what = "Exporting partition " + std::to_string(part_number) + " of snapshot " +
                           std::to_string(snap_number);
  Status result;
  begin_operation(record);
  {
    CancelOnSignals guard(&record->cancel, session.sink());
    errno = 0;
    if (part->ops->open(part, disk::kOpenRead) < 0) {
      result = Status::io_error(std::string("cannot open the partition: ") + std::strerror(errno_or_eio()));
    } else {
      const std::vector<SectorRange> ranges = stored_ranges(libtavimg_get_part_run_vector(part), part->sector_count);
      result = copy_partition(part, ranges, output.fd(), record, what);
      part->ops->close(part);
    }
  }
  end_operation(record, result.is_ok() ? 0 : -1);
  (void)session.sink()->wait_work_done();

  if (!result.is_ok()) return command.fail(result.message() + "; " + a.outfile + " not written");
  if (Status st = output.commit(a.outfile, size_bytes, a.force); !st.is_ok()) return command.fail(st.message());
  if (session.ignored_answers() > 0) {
    return command.fail(a.outfile + " written, but " + std::to_string(session.ignored_answers()) +
                        " damaged piece(s) of data were let go on and hold zeros");
  }
  out << a.outfile << ": " << part->sector_count << " sectors written\n";
  return kExitOk;
}

}  // namespace tav::cli
