// `tav list`: argument parsing and the rendering of a storage's snapshots as text or JSON.
#include "cli/list_command.h"

#include <unistd.h>

#include <cstdio>

#include "cli/command_line.h"
#include "cli/image_session.h"
#include "cli/json_writer.h"
#include "cli/partition_columns.h"
#include "cli/progress_format.h"
#include "cli/text_escape.h"
#include "disk/part_record.h"

namespace tav::cli {

namespace {

using namespace tav::disk;

const char kListUsage[] =
    "usage: tav list DIR [--name BASE] [--json]\n"
    "\n"
    "Lists the snapshots stored in DIR as volume files BASE0.ego, BASE1.ego, ... (BASE is\n"
    "\"imbackup\" unless --name says otherwise), oldest first. Each snapshot shows its number\n"
    "(what `tav export --snapshot` takes), creation time, kind, sequence number, volumes and\n"
    "comment, then its disks and their partitions, numbered from 1 across the snapshot's disks\n"
    "(what `tav export --partition` takes; the extended partition holding logical ones has no\n"
    "number): first sector, size, type, file system, used size and the size of its stored data.\n"
    "\n"
    "  --name BASE  base name of the volume files\n"
    "  --json       print the list as one JSON object\n"
    "\n"
    "Exit status: 0 when a snapshot was found, 1 when DIR is missing or holds none, 2 on wrong\n"
    "use.\n";



bool has_volume_range(const SNAP_DATA& s) { return s.total_vol > 0; }
uint64_t last_volume(const SNAP_DATA& s) { return uint64_t{s.first_vol} + s.total_vol - 1; }

std::string volumes_text(const SNAP_DATA& s) {
  if (!has_volume_range(s)) return std::to_string(s.first_vol2) + "..?";
  return std::to_string(s.first_vol) + ".." + std::to_string(last_volume(s));
}

uint64_t stored_bytes(const BACKUP_PARTITION_INFO& p) { return rec_u64(p, img::part_layout::kStoredBytes); }
uint64_t original_bytes(const BACKUP_PARTITION_INFO& p) { return rec_u64(p, img::part_layout::kOrigBytes); }

}  // namespace

std::string storage_text(const STORAGE_DATA& storage) {
  std::string out;
  for (size_t i = 0; i < storage.snaps.size(); ++i) {
    const SNAP_DATA& s = *storage.snaps[i];
    out += "snapshot " + std::to_string(i + 1) + "  " + systime_text(s.create_systime) + "  " +
           backup_kind_name(s.backup_type) + "  seq " + std::to_string(s.snap_seq) + "  volumes " +
           volumes_text(s);
    if (s.has_comment && !s.comment.empty()) out += "  comment " + quote_for_terminal(s.comment);
    out += '\n';
    if (s.from_first_vol == 0) {
      out += "  cannot be read: its first volume (" + std::to_string(s.first_vol2) +
             ") is missing or unfinished; shown from volume " + std::to_string(s.meta_vol) + "\n";
    }
    const std::vector<NumberedPartition> parts = numbered_partitions(s);
    uint32_t disk_index = 0;
    for (const _DISK_INFOMATION* d = s.disks; d != nullptr; d = d->next, ++disk_index) {
      out += "  disk " + std::to_string(disk_index + 1) + "  " + quote_for_terminal(d->name) + "  " +
             format_size(d->total_sectors * kSectorSize) + "  " + std::to_string(d->total_sectors) + " sectors\n";
      if (d->parts.empty()) {
        out += "    no partitions\n";
        continue;
      }
      out += "    " + pad_column("#", 4) + pad_column("START", 12) + pad_column("SIZE", 11) + pad_column("TYPE", 6) + pad_column("FS", 10) +
             pad_column("USED", 11) + "STORED\n";
      for (const NumberedPartition& np : parts) {
        if (np.disk != d) continue;
        const BACKUP_PARTITION_INFO& p = *np.part;
        const bool extended = part_is_extended(p);
        const std::string fs = file_system_text(p);
        out += "    " + pad_column(extended ? "-" : std::to_string(np.number), 4) + pad_column(std::to_string(p.first_sector), 12) +
               pad_column(format_size(p.sector_count * kSectorSize), 11) + pad_column(partition_type_text(part_type(p)), 6) +
               pad_column(extended ? "extended" : (fs.empty() ? "-" : sanitize_text(fs, false)), 10) +
               pad_column(extended ? "-" : format_size(part_used_sectors(p) * kSectorSize), 11) +
               (extended ? "-" : format_size(stored_bytes(p))) + '\n';
      }
    }
  }
  return out;
}

std::string storage_json(const STORAGE_DATA& storage) {
  JsonWriter w;
  w.begin_object();
  w.key("directory"), w.string_value(storage.directory);
  w.key("base_name"), w.string_value(storage.base_name);
  w.key("snapshots");
  w.begin_array();
  for (size_t i = 0; i < storage.snaps.size(); ++i) {
    const SNAP_DATA& s = *storage.snaps[i];
    w.begin_object();
    w.key("index"), w.uint_value(i + 1);
    w.key("created"), w.string_value(systime_text(s.create_systime));
    w.key("kind"), w.string_value(backup_kind_name(s.backup_type));
    w.key("backup_type"), w.uint_value(s.backup_type);
    w.key("snap_seq"), w.uint_value(s.snap_seq);
    w.key("signature"), w.uint_value(s.signature);
    w.key("version"), w.string_value(std::to_string(s.major) + "." + std::to_string(s.minor));
    // False when the first volume is missing or unfinished: the snapshot is listed from a later
    // volume and cannot be read.
    w.key("readable"), w.bool_value(s.from_first_vol != 0);
    w.key("first_volume"), w.uint_value(has_volume_range(s) ? s.first_vol : s.first_vol2);
    w.key("last_volume");
    if (has_volume_range(s)) {
      w.uint_value(last_volume(s));
    } else {
      w.null_value();
    }
    w.key("comment");
    if (s.has_comment && !s.comment.empty()) {
      w.string_value(s.comment);
    } else {
      w.null_value();
    }
    w.key("disks");
    w.begin_array();
    const std::vector<NumberedPartition> parts = numbered_partitions(s);
    for (const _DISK_INFOMATION* d = s.disks; d != nullptr; d = d->next) {
      w.begin_object();
      w.key("name"), w.string_value(d->name);
      w.key("sectors"), w.uint_value(d->total_sectors);
      w.key("size_bytes"), w.uint_value(d->total_sectors * kSectorSize);
      w.key("partitions");
      w.begin_array();
      for (const NumberedPartition& np : parts) {
        if (np.disk != d) continue;
        const BACKUP_PARTITION_INFO& p = *np.part;
        w.begin_object();
        w.key("number");
        if (np.number == 0) {
          w.null_value();
        } else {
          w.uint_value(np.number);
        }
        w.key("kind"), w.string_value(part_is_extended(p) ? "extended" : part_is_logical(p) ? "logical" : "primary");
        w.key("start"), w.uint_value(p.first_sector);
        w.key("sectors"), w.uint_value(p.sector_count);
        w.key("size_bytes"), w.uint_value(p.sector_count * kSectorSize);
        w.key("type"), w.uint_value(part_type(p));
        w.key("file_system");
        const std::string fs = file_system_text(p);
        if (fs.empty()) {
          w.null_value();
        } else {
          w.string_value(fs);
        }
        w.key("used_sectors"), w.uint_value(part_used_sectors(p));
        w.key("used_bytes"), w.uint_value(part_used_sectors(p) * kSectorSize);
        w.key("stored_bytes"), w.uint_value(stored_bytes(p));
        w.key("original_bytes"), w.uint_value(original_bytes(p));
        w.end_object();
      }
      w.end_array();
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return w.text() + "\n";
}

int run_list_command(const GlobalOptions& options, const std::vector<std::string>& args,
                     std::ostream& out, std::ostream& err) {
  bool json = false;
  std::string base_name = kDefaultBaseName;
  std::vector<std::string> dirs;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") {
      json = true;
    } else if (a == "--name") {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        err << "tav list: --name needs a base name\n" << kListUsage;
        return kExitUsage;
      }
      base_name = args[++i];
    } else if (a == "--help" || a == "-h") {
      out << kListUsage;
      return kExitOk;
    } else if (!a.empty() && a[0] == '-') {
      err << "tav list: unknown option '" << a << "'\n" << kListUsage;
      return kExitUsage;
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.size() != 1) {
    err << "tav list: " << (dirs.empty() ? "no directory given" : "one directory only") << '\n' << kListUsage;
    return kExitUsage;
  }

  // Listing asks nothing: the catalogue's reports are printed on stderr, stdout stays the list.
  ImageSessionOptions session_options;
  session_options.answer_mode = options.answer_mode;
  session_options.can_ask = false;
  session_options.output_fd = STDERR_FILENO;
  ImageSession session(session_options);
  const Status st = session.load(dirs[0], base_name);
  if (!st.is_ok()) {
    err << "tav list: " << st.message() << '\n';
    return kExitFailure;
  }
  out << (json ? storage_json(*session.storage()) : storage_text(*session.storage()));
  return kExitOk;
}

}  // namespace tav::cli
