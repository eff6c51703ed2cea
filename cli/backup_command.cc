// `tav backup`: checks the source and the destination, loads the storage the snapshot extends,
// and runs the imaging engine's backup on the progress channel's worker while the terminal face
// draws its progress; SIGINT and SIGTERM cancel the run.
#include "cli/backup_command.h"

#include <dirent.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cctype>
#include <memory>
#include <mutex>
#include <optional>

#include "cli/command_line.h"
#include "cli/image_session.h"
#include "cli/progress_format.h"
#include "core/driver_code/image_name.h"
#include "core/text_convert.h"
#include "disk/disk_gui.h"
#include "disk/disk_list.h"
#include "disk/mount_table.h"
#include "disk/part_record.h"
#include "engine/backup.h"
#include "engine/bak_gui.h"

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

// ---- Arguments ----

bool valid_utf8(const std::string& text) {
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t length = 0;
    if (decode_utf8_char(rest, &length) < 0) return false;
    rest.remove_prefix(length);
  }
  return true;
}

// ---- The engine's report buffers ----

// What the engine and the disk library keep pointers to: they must live as long as the process.
struct BackupChannel {
  char bak_message[kMessageBufferBytes] = {};
  int32_t bak_flag = 0;
  char disk_message[kMessageBufferBytes] = {};
  int32_t disk_flag = 0;
};

BackupChannel& backup_channel() {
  static BackupChannel* channel = new BackupChannel;  // never freed, see above
  return *channel;
}

// Binds the engine and the disk library to `record` with empty buffers, so that the first report
// of this run is shown and the buffers hold only this run's reports.
void bind_reports(THREAD_GUI_DATA* record) {
  BackupChannel& c = backup_channel();
  store_message(c.bak_message, "");
  store_message(c.disk_message, "");
  libtavbak_set_thread_gui(record, c.bak_message, &c.bak_flag);
  libtavdisk_set_thread_gui(record, c.disk_message, &c.disk_flag);
}

// The face of a backup run: the session's terminal sink, remembering the texts of the message
// boxes it showed so that the closing line of a failed run does not repeat them.
class BackupFace : public UiSink {
 public:
  explicit BackupFace(TerminalSink* sink) : sink_(sink) {}
  bool post(UiMessage message, THREAD_GUI_DATA* record, int64_t param) override {
    return sink_->post(message, record, param);
  }
  void draw_progress(const ProgressView& view) override { sink_->draw_progress(view); }
  uint32_t ask(uint32_t icon, uint32_t buttons, const std::string& caption, const std::string& text) override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      shown_.push_back(text);
    }
    return sink_->ask(icon, buttons, caption, text);
  }
  bool was_shown(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(shown_.begin(), shown_.end(), text) != shown_.end();
  }

 private:
  TerminalSink* sink_;
  std::mutex mu_;
  std::vector<std::string> shown_;
};

// For the closing line of a failed run: ": " and the latest report (the engine's, else the disk
// library's) unless the face has shown that text already. Read once the worker has ended.
std::string unshown_report(BackupFace* face) {
  const BackupChannel& c = backup_channel();
  const std::string report = c.bak_message[0] != '\0' ? c.bak_message : c.disk_message;
  if (report.empty() || face->was_shown(report)) return "";
  return ": " + report;
}

// ---- Signals ----

std::atomic<std::atomic<uint32_t>*> g_cancel{nullptr};
std::atomic<TerminalSink*> g_sink{nullptr};
std::atomic<int> g_signal{0};

extern "C" void on_cancel_signal(int signal_number) {
  const int saved_errno = errno;
  g_signal.store(signal_number);
  if (std::atomic<uint32_t>* cancel = g_cancel.load()) cancel->store(1);
  if (TerminalSink* sink = g_sink.load()) sink->interrupt();
  errno = saved_errno;
}

static_assert(std::atomic<std::atomic<uint32_t>*>::is_always_lock_free);
static_assert(std::atomic<TerminalSink*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// While it lives, SIGINT and SIGTERM set the record's `cancel`, end a pending question and are
// remembered (signalled()). After the first one the default action is back, so a second signal
// ends a run that does not stop.
class CancelOnSignals {
 public:
  CancelOnSignals(std::atomic<uint32_t>* cancel, TerminalSink* sink) {
    g_signal.store(0);
    g_cancel.store(cancel);
    g_sink.store(sink);
    struct sigaction action {};
    action.sa_handler = on_cancel_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    installed_int_ = ::sigaction(SIGINT, &action, &previous_int_) == 0;
    installed_term_ = ::sigaction(SIGTERM, &action, &previous_term_) == 0;
  }
  ~CancelOnSignals() {
    if (installed_int_) ::sigaction(SIGINT, &previous_int_, nullptr);
    if (installed_term_) ::sigaction(SIGTERM, &previous_term_, nullptr);
    g_cancel.store(nullptr);
    g_sink.store(nullptr);
  }
  CancelOnSignals(const CancelOnSignals&) = delete;
  CancelOnSignals& operator=(const CancelOnSignals&) = delete;

  bool signalled() const { return g_signal.load() != 0; }

 private:
  bool installed_int_ = false;
  bool installed_term_ = false;
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// ---- Source and destination ----

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

// The least volume size that holds the descriptor areas of `disk` and a unit, in whole MiB:
// two areas of its saved boot sectors plus room for the records and tables, and two of the
// largest compressed units.
uint64_t smallest_volume_bytes(const _DISK_INFOMATION& disk) {
  constexpr uint64_t kRecordsRoomBytes = 64 * 1024;
  const uint64_t bytes = 2 * (disk.mbr.size() + kRecordsRoomBytes) + 2 * uint64_t{img::kMaxStoredUnitBytes};
  const uint64_t mib = uint64_t{1} << 20;
  return std::max(kMinVolumeSizeBytes, (bytes + mib - 1) / mib * mib);
}

// `path` without trailing slashes ("/" stays).
std::string without_trailing_slashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The nearest existing directory at or above `dir` (which may not exist yet). not_found with a
// message when a part of the path exists and is not a directory.
Status existing_ancestor(const std::string& dir, std::string* ancestor, struct stat* st) {
  std::string path = without_trailing_slashes(dir);
  for (;;) {
    if (::stat(path.c_str(), st) == 0) {
      if (!S_ISDIR(st->st_mode)) return Status::invalid_argument(path + ": not a directory");
      *ancestor = path;
      return Status::ok();
    }
    // ENOTDIR: a part of the path is a file, which the walk up names.
    if (errno != ENOENT && errno != ENOTDIR) return Status::io_error(path + ": " + std::strerror(errno));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      path = ".";
    } else {
      path = slash == 0 ? "/" : path.substr(0, slash);
    }
  }
}

// Creates `dir` and its missing parents with mode 0700; *created lists the ones made, parents
// first.
Status make_directories(const std::string& dir, std::vector<std::string>* created) {
  const std::string path = without_trailing_slashes(dir);
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) == 0) {
      created->push_back(part);
    } else if (errno != EEXIST) {
      return Status::io_error("cannot create " + part + ": " + std::strerror(errno));
    }
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Status::io_error(path + ": not a directory");
  return Status::ok();
}

// The partition of `selected` whose mounted file system holds the directory with device
// `dir_dev`, or null.
const BACKUP_PARTITION_INFO* partition_holding(const std::vector<BACKUP_PARTITION_INFO*>& selected, dev_t dir_dev,
                                              std::string* mount_point) {
  const std::vector<disk::MountEntry> mounts = disk::read_mounts();
  for (const BACKUP_PARTITION_INFO* p : selected) {
    for (const disk::MountEntry& m : disk::partition_mounts(p, mounts)) {
      if (makedev(m.major, m.minor) == dir_dev) {
        *mount_point = m.mount_point;
        return p;
      }
    }
  }
  return nullptr;
}

// True when `name` is BASE, a decimal volume number and ".ego".
bool is_volume_name(const std::string& name, const std::string& base) {
  static const std::string kExt = ".ego";
  if (name.size() <= base.size() + kExt.size() || name.compare(0, base.size(), base) != 0 ||
      name.compare(name.size() - kExt.size(), kExt.size(), kExt) != 0) {
    return false;
  }
  for (size_t i = base.size(); i < name.size() - kExt.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

// Whether `dir` holds a volume file of `base`.
Status has_volumes(const std::string& dir, const std::string& base, bool* found) {
  *found = false;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
  if (d == nullptr) return Status::io_error("cannot read " + dir + ": " + std::strerror(errno));
  while (const dirent* e = ::readdir(d.get())) {
    if (is_volume_name(e->d_name, base)) {
      *found = true;
      break;
    }
  }
  return Status::ok();
}

uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

std::string elapsed_text(std::chrono::steady_clock::duration d) {
  const int64_t total = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
  return buf;
}

}  // namespace

bool parse_size_bytes(const std::string& text, uint64_t* bytes) {
  size_t at = 0;
  uint64_t value = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
    const uint64_t digit = uint64_t(text[at] - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
    ++at;
  }
  if (at == 0) return false;
  std::string suffix = text.substr(at);
  for (char& c : suffix) c = char(std::toupper(static_cast<unsigned char>(c)));
  unsigned shift = 0;
  if (!suffix.empty()) {
    static const char kUnits[] = "KMGT";
    const char* unit = std::strchr(kUnits, suffix[0]);
    if (unit == nullptr || suffix[0] == '\0') return false;
    shift = 10 * unsigned(unit - kUnits + 1);
    const std::string rest = suffix.substr(1);
    if (!rest.empty() && rest != "B" && rest != "IB") return false;
  }
  if (value == 0 || value > (UINT64_MAX >> shift)) return false;
  *bytes = value << shift;
  return true;
}

bool parse_backup_args(const std::vector<std::string>& args, BackupArgs* out, std::string* error) {
  *out = BackupArgs{};
  out->base_name = kDefaultBaseName;
  std::vector<std::string> operands;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      operands.push_back(a);
      continue;
    }
    auto value = [&](std::string* into, bool may_be_empty) {
      if (i + 1 >= args.size() || (!may_be_empty && args[i + 1].empty())) {
        *error = a + " needs a value";
        return false;
      }
      *into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--") {
      options_done = true;
    } else if (a == "--help" || a == "-h") {
      out->help = true;
      return true;
    } else if (a == "--name") {
      if (!value(&out->base_name, false)) return false;
      if (out->base_name.find('/') != std::string::npos) {
        *error = "--name takes a base name, not a path";
        return false;
      }
    } else if (a == "--partition") {
      if (!value(&v, false)) return false;
      uint32_t k = 0;
      if (!parse_index(v, 0xFFFFFFFFu, &k)) {
        *error = "--partition takes a partition number from 1, not '" + v + "'";
        return false;
      }
      if (std::find(out->partitions.begin(), out->partitions.end(), k) == out->partitions.end()) {
        out->partitions.push_back(k);
      }
    } else if (a == "--type") {
      if (!value(&v, false)) return false;
      if (v == "full") {
        out->backup_type = img::kBackupFull;
      } else if (v == "incremental") {
        out->backup_type = img::kBackupIncremental;
      } else if (v == "differential") {
        out->backup_type = img::kBackupDifferential;
      } else {
        *error = "--type takes full, incremental or differential, not '" + v + "'";
        return false;
      }
    } else if (a == "--compress") {
      if (!value(&v, false)) return false;
      if (v == "none") {
        out->compress_mode = img::kCompressNone;
      } else if (v == "normal") {
        out->compress_mode = img::kCompressNormal;
      } else if (v == "high") {
        out->compress_mode = img::kCompressHigh;
      } else {
        *error = "--compress takes none, normal or high, not '" + v + "'";
        return false;
      }
    } else if (a == "--volume-size") {
      if (!value(&v, false)) return false;
      if (!parse_size_bytes(v, &out->volume_size_bytes) || out->volume_size_bytes < kMinVolumeSizeBytes) {
        *error = "--volume-size takes a size of at least 1M (bytes, or with K, M, G or T), not '" + v + "'";
        return false;
      }
    } else if (a == "--comment") {
      if (!value(&out->comment, true)) return false;
      if (!valid_utf8(out->comment)) {
        *error = "--comment is not UTF-8 text";
        return false;
      }
    } else if (a == "--no-snapshot") {
      out->no_snapshot = true;
    } else {
      *error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (operands.size() != 2) {
    *error = "give the source disk and the storage directory";
    return false;
  }
  if (operands[0].empty() || operands[1].empty()) {
    *error = "the source disk and the storage directory must not be empty";
    return false;
  }
  out->source = operands[0];
  out->directory = operands[1];
  return true;
}

int run_backup_command(const GlobalOptions& options, const std::vector<std::string>& args, std::ostream& out,
                       std::ostream& err) {
  BackupArgs a;
  std::string error;
  if (!parse_backup_args(args, &a, &error)) {
    err << "tav backup: " << error << '\n' << kBackupUsage;
    return kExitUsage;
  }
  if (a.help) {
    out << kBackupUsage;
    return kExitOk;
  }
  auto fail = [&err](const std::string& message) {
    err << "tav backup: " << message << '\n';
    return kExitFailure;
  };

  // The source: only a whole disk, as a block device or an image file, is read.
  struct stat source_st {};
  if (::stat(a.source.c_str(), &source_st) != 0) return fail(a.source + ": " + std::strerror(errno));
  if (!S_ISBLK(source_st.st_mode) && !S_ISREG(source_st.st_mode)) {
    return fail(a.source + ": not a block device or a disk image file");
  }
  std::unique_ptr<_DISK_INFOMATION> disk;
  if (Status st = disk::open_disk(a.source, &disk); !st.is_ok()) return fail(st.message());
  std::vector<BACKUP_PARTITION_INFO*> selected;
  if (!select_partitions(disk.get(), a.partitions, &selected, &error)) {
    err << "tav backup: " << error << '\n';
    return kExitUsage;
  }
  if (selected.empty()) return fail(a.source + " has no partition that can be backed up");
  // Every volume carries the disk's saved boot sectors and records twice (in its descriptor
  // areas at both ends), then at least one compress unit: a smaller limit could not be kept.
  if (a.volume_size_bytes != 0) {
    const uint64_t least = smallest_volume_bytes(*disk);
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
  if (Status st = existing_ancestor(a.directory, &ancestor, &dir_st); !st.is_ok()) return fail(st.message());
  if (!a.no_snapshot) {
    std::string mount_point;
    if (const BACKUP_PARTITION_INFO* p = partition_holding(selected, dir_st.st_dev, &mount_point)) {
      return fail(a.directory + " lies on " + tav_get_partition_dev_name(p) + " (mounted on " + mount_point +
                  "), which is being backed up: the image would be read while it is written. Choose a "
                  "directory on another file system (or give --no-snapshot to do it anyway)");
    }
  }
  uint64_t volume_limit = a.volume_size_bytes;
  if (volume_limit == 0) {
    struct statfs fs {};
    if (::statfs(ancestor.c_str(), &fs) == 0 && fs.f_type == MSDOS_SUPER_MAGIC) volume_limit = kFatVolumeLimitBytes;
  }
  const std::string dir = without_trailing_slashes(a.directory);
  struct stat st_dir {};
  const bool dir_exists = ::stat(dir.c_str(), &st_dir) == 0;

  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  // Progress only on a terminal; a log or pipe gets the result lines and the errors.
  session_options.output_fd = ::isatty(STDOUT_FILENO) == 1 ? STDOUT_FILENO : -1;
  ImageSession session(session_options);
  THREAD_GUI_DATA* record = session.record();

  // The storage the snapshot extends: never write beside volume files we cannot read.
  bool storage_exists = false;
  if (dir_exists) {
    if (Status st = has_volumes(dir, a.base_name, &storage_exists); !st.is_ok()) return fail(st.message());
  }
  if (storage_exists) {
    if (Status st = session.load(dir, a.base_name); !st.is_ok()) {
      return fail(dir + " holds volume files of \"" + a.base_name +
                  "\" that do not load as a storage; refusing to add a snapshot beside them");
    }
  }
  uint32_t kind = a.backup_type;
  if (kind == 0) kind = storage_exists ? img::kBackupIncremental : img::kBackupFull;
  if (kind != img::kBackupFull && !storage_exists) {
    return fail(std::string("an incremental or differential snapshot extends a storage, and ") + dir +
                " holds no snapshot of \"" + a.base_name + "\"");
  }
  // Directories this run made are removed again when it adds nothing (and they stayed empty).
  std::vector<std::string> created;
  struct RemoveCreated {
    std::vector<std::string>* dirs;
    bool keep = false;
    ~RemoveCreated() {
      if (keep) return;
      for (auto it = dirs->rbegin(); it != dirs->rend(); ++it) ::rmdir(it->c_str());
    }
  } remove_created{&created};
  if (!dir_exists) {
    if (Status st = make_directories(dir, &created); !st.is_ok()) return fail(st.message());
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
  BackupFace face(session.sink());
  struct FaceGuard {
    THREAD_GUI_DATA* record;
    ~FaceGuard() { libtavpub_set_window_handle(record, nullptr); }
  } face_guard{record};
  libtavpub_set_window_handle(record, &face);
  bind_reports(record);
  session.reset_reports();
  const auto started = std::chrono::steady_clock::now();
  std::optional<int64_t> result;
  bool cancelled = false;
  {
    CancelOnSignals guard(&record->cancel, session.sink());
    if (TavStartBackup(&request, disk.get()) == 0) {
      return fail("the backup could not be started" + unshown_report(&face));
    }
    // A signal before the start was cleared with the record's cancel: pass it on.
    if (guard.signalled()) record->cancel.store(1);
    result = session.sink()->wait_work_done();
    cancelled = guard.signalled();
  }
  // The worker posts its result just before it returns: let it end before the process does.
  (void)libtavpub_stop_thread(record, 50);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  if (!result.has_value() || *result < 0) {
    if (cancelled) {
      err << "tav backup: cancelled; the volume files of this run were deleted";
      err << (storage_exists ? ", the earlier snapshots are intact\n" : "\n");
      return kExitCancelled;
    }
    return fail("the backup failed" + unshown_report(&face) + "; the volume files of this run were deleted");
  }

  remove_created.keep = true;
  // The summary, from the storage as it now loads.
  const uint32_t first_vol = uint32_t(*result);
  const std::string first_name = img::image_volume_name(dir, a.base_name, int(first_vol)).value_or("?");
  if (Status st = session.load(dir, a.base_name); !st.is_ok()) {
    return fail("the snapshot was written (first volume " + first_name + ") but the storage does not load");
  }
  const STORAGE_DATA* storage = session.storage();
  size_t number = 0;
  for (size_t i = 0; i < storage->snaps.size(); ++i) {
    const SNAP_DATA& s = *storage->snaps[i];
    if (s.first_vol == first_vol && s.from_first_vol != 0) number = i + 1;
  }
  if (number == 0) return fail("the snapshot was written (first volume " + first_name + ") but does not load");
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
      << "  bytes stored:    " << file_bytes << " (" << format_size(file_bytes) << "), from "
      << original_bytes << " bytes of data read\n"
      << "  elapsed:         " << elapsed_text(elapsed) << '\n';
  return kExitOk;
}

}  // namespace tav::cli
