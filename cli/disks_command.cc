// `tav disks`: argument parsing and the rendering of disks and partitions as text or JSON.
#include "cli/disks_command.h"

#include <memory>

#include "cli/json_writer.h"
#include "cli/partition_columns.h"
#include "cli/progress_format.h"
#include "disk/disk_list.h"
#include "disk/part_record.h"

namespace tav::cli {

namespace {

using namespace tav::disk;

const char kDisksUsage[] =
    "usage: tav disks [--json] [DISK...]\n"
    "\n"
    "Lists the disks of this machine, or the named block devices and disk image files, with\n"
    "their partitions: device, kind, first sector, size, type, file system, used size and\n"
    "mount point. Reading devices needs root; a disk that cannot be read is listed without\n"
    "partitions.\n"
    "\n"
    "  --json    print the list as one JSON object\n"
    "\n"
    "Exit status: 0 when every disk was read, 1 when a named disk could not be, 2 on wrong use.\n";

const char* table_name(TableKind kind) {
  switch (kind) {
    case TableKind::kMbr: return "MBR";
    case TableKind::kGpt: return "GPT";
    case TableKind::kNone: break;
  }
  return "none";
}

const char* part_kind(const BACKUP_PARTITION_INFO& p) {
  if (part_is_extended(p)) return "extended";
  if (part_is_logical(p)) return "logical";
  return "primary";
}

// What to show as the file system: its name, or "-" when none was recognised.
std::string fs_text(const BACKUP_PARTITION_INFO& p) {
  std::string name = file_system_text(p);
  return name.empty() ? "-" : name;
}


}  // namespace

std::string disks_text(const std::vector<const _DISK_INFOMATION*>& disks) {
  std::string out;
  for (const _DISK_INFOMATION* d : disks) {
    out += d->path + "  " + format_size(d->total_sectors * kSectorSize) + "  " +
           std::to_string(d->total_sectors) + " sectors  table " + table_name(d->table_kind);
    if (!d->model.empty()) out += "  " + d->model;
    if (d->is_file) out += "  (image file)";
    if (d->removable) out += "  (removable)";
    if (d->excluded) out += "  (holds this program)";
    out += '\n';
    if (d->parts.empty()) {
      out += "  no partitions\n";
      continue;
    }
    out += "  " + pad_column("#", 4) + pad_column("DEVICE", 24) + pad_column("KIND", 10) + pad_column("START", 12) + pad_column("SIZE", 11) +
           pad_column("TYPE", 6) + pad_column("FS", 8) + pad_column("USED", 11) + "MOUNTED ON\n";
    for (const auto& up : d->parts) {
      const BACKUP_PARTITION_INFO& p = *up;
      std::string used = part_is_extended(p) ? "-" : format_size(part_used_sectors(p) * kSectorSize);
      std::string line = "  " + pad_column(std::to_string(part_number(p)), 4) + pad_column(tav_get_partition_dev_name(&p), 24) +
                         pad_column(part_kind(p), 10) + pad_column(std::to_string(p.first_sector), 12) +
                         pad_column(format_size(p.sector_count * kSectorSize), 11) + pad_column(partition_type_text(part_type(p)), 6) +
                         pad_column(fs_text(p), 8) + pad_column(used, 11) + (p.mount_point.empty() ? "-" : p.mount_point);
      out += line + '\n';
    }
  }
  return out;
}

std::string disks_json(const std::vector<const _DISK_INFOMATION*>& disks) {
  JsonWriter w;
  w.begin_object();
  w.key("disks");
  w.begin_array();
  for (const _DISK_INFOMATION* d : disks) {
    w.begin_object();
    w.key("path"), w.string_value(d->path);
    w.key("name"), w.string_value(d->name);
    w.key("sectors"), w.uint_value(d->total_sectors);
    w.key("size_bytes"), w.uint_value(d->total_sectors * kSectorSize);
    w.key("table"), w.string_value(table_name(d->table_kind));
    w.key("model"), w.string_value(d->model);
    w.key("image_file"), w.bool_value(d->is_file != 0);
    w.key("removable"), w.bool_value(d->removable != 0);
    w.key("excluded"), w.bool_value(d->excluded != 0);
    w.key("heads"), w.uint_value(d->heads);
    w.key("sectors_per_track"), w.uint_value(d->sectors_per_track);
    w.key("cylinders"), w.uint_value(d->cylinders);
    w.key("partitions");
    w.begin_array();
    for (const auto& up : d->parts) {
      const BACKUP_PARTITION_INFO& p = *up;
      w.begin_object();
      w.key("number"), w.int_value(part_number(p));
      w.key("device"), w.string_value(tav_get_partition_dev_name(&p));
      w.key("kind"), w.string_value(part_kind(p));
      w.key("start"), w.uint_value(p.first_sector);
      w.key("sectors"), w.uint_value(p.sector_count);
      w.key("size_bytes"), w.uint_value(p.sector_count * kSectorSize);
      w.key("type"), w.uint_value(part_type(p));
      w.key("bootable"), w.bool_value(part_is_bootable(p));
      w.key("file_system");
      if (p.fs == nullptr) {
        w.null_value();
      } else {
        w.string_value(fs_text(p));
      }
      w.key("label"), w.string_value(part_fs_label(p));
      w.key("used_sectors"), w.uint_value(part_used_sectors(p));
      w.key("used_bytes"), w.uint_value(part_used_sectors(p) * kSectorSize);
      w.key("mount_point");
      if (p.mount_point.empty()) {
        w.null_value();
      } else {
        w.string_value(p.mount_point);
      }
      w.end_object();
    }
    w.end_array();
    w.end_object();
  }
  w.end_array();
  w.end_object();
  return w.text() + "\n";
}

int run_disks_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  std::vector<std::string> names;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--help" || a == "-h") {
      out << kDisksUsage;
      return 0;
    } else if (!a.empty() && a[0] == '-') {
      err << "tav disks: unknown option '" << a << "'\n" << kDisksUsage;
      return 2;
    } else {
      names.push_back(a);
    }
  }

  int status = 0;
  std::vector<std::unique_ptr<_DISK_INFOMATION>> named;
  _DISK_INFOMATION* machine = nullptr;
  std::vector<const _DISK_INFOMATION*> shown;
  if (names.empty()) {
    machine = libtavdisk_get_disk_list();
    for (const _DISK_INFOMATION* d = machine; d != nullptr; d = d->next) shown.push_back(d);
  } else {
    for (const std::string& name : names) {
      std::unique_ptr<_DISK_INFOMATION> disk;
      Status st = open_disk(name, &disk);
      if (!st.is_ok()) {
        err << "tav disks: " << st.message() << '\n';
        status = 1;
        if (disk == nullptr) continue;  // a damaged table still shows the disk itself
      }
      shown.push_back(disk.get());
      named.push_back(std::move(disk));
    }
  }
  out << (json ? disks_json(shown) : disks_text(shown));
  if (machine != nullptr) tav_destroy_all_disks(machine);
  return status;
}

}  // namespace tav::cli
