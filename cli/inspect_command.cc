// `tav inspect`: argument parsing and the rendering of a VolumeReport as text or JSON.
#include "cli/inspect_command.h"

#include <cstdio>

#include "format/ego_records.h"
#include "core/time_word.h"

namespace tav::cli {

namespace {

using namespace tav::img;

const char kInspectUsage[] =
    "usage: tav inspect FILE.ego [--json] [--units]\n"
    "\n"
    "Shows the header, tailer, comment, disk and partition records, unit-info records, location\n"
    "table and run tables of one volume file and checks each of them.\n"
    "\n"
    "  --json    print the report as one JSON object\n"
    "  --units   also inflate every compress unit and check its CRCs\n"
    "\n"
    "Exit status: 0 when every check passes, 1 when one fails or the file cannot be read,\n"
    "2 on wrong use.\n";

std::string two(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v % 100);
  return buf;
}

// Time word as "YYYY-MM-DD HH:MM" (the word keeps no seconds).
std::string time_word_text(uint32_t word) {
  SYSTIME t{};
  libtavimg_dword_convert_systime(word, &t);
  return std::to_string(t.century * 100u + t.year) + "-" + two(t.month) + "-" + two(t.day) + " " + two(t.hour) + ":" +
         two(t.minute);
}

std::string systime_text(const SYSTIME& t) {
  return std::to_string(t.century * 100u + t.year) + "-" + two(t.month) + "-" + two(t.day) + " " + two(t.hour) + ":" +
         two(t.minute) + ":" + two(t.second);
}

const char* compress_name(CompressMode mode) {
  switch (mode) {
    case kCompressNone:
      return "none";
    case kCompressNormal:
      return "normal";
    case kCompressHigh:
      return "high";
  }
  return "normal";
}

const char* backup_type_name(uint32_t type) {
  switch (type) {
    case kBackupFull:
      return "full";
    case kBackupIncremental:
      return "incremental";
    case kBackupDifferential:
      return "differential";
    default:
      return "unknown";
  }
}

std::string name_text(const std::array<uint8_t, kNameFieldSize>& field) { return name_field_text(field); }

ReportNode header_node(const EGO_IMAGE_HEADER& h) {
  ReportNode n = ReportNode::object();
  n.add("header_size", ReportNode::number(h.header_size));
  n.add("sum", ReportNode::hex(h.sum));
  n.add("version", ReportNode::text(std::to_string(h.major) + "." + std::to_string(h.minor)));
  n.add("reserved1", ReportNode::number(h.reserved1));
  n.add("signature", ReportNode::hex(h.signature));
  n.add("create_time", ReportNode::hex(h.create_time));
  n.add("create_time_date", ReportNode::text(time_word_text(h.create_time)));
  n.add("create_systime", ReportNode::text(systime_text(h.create_systime)));
  n.add("has_name", ReportNode::number(h.has_name));
  n.add("name", ReportNode::text(name_text(h.name)));
  n.add("compress_mode", ReportNode::number(h.compress_mode));
  n.add("compress", ReportNode::text(compress_name(compress_mode_of(h.version(), h.compress_mode))));
  n.add("unit_bytes", ReportNode::number(h.unit_bytes));
  n.add("comment_offset", ReportNode::number(h.comment_offset));
  n.add("comment_length", ReportNode::number(h.comment_length));
  n.add("total_vol", ReportNode::number(h.total_vol));
  n.add("num_disks", ReportNode::number(h.num_disks));
  n.add("disk_table_offset", ReportNode::number(h.disk_table_offset));
  n.add("vol", ReportNode::number(h.vol));
  n.add("backup_type", ReportNode::number(h.backup_type));
  n.add("backup", ReportNode::text(backup_type_name(h.backup_type)));
  n.add("first_vol", ReportNode::number(h.first_vol));
  n.add("first_vol2", ReportNode::number(h.first_vol2));
  n.add("snap_seq", ReportNode::number(h.snap_seq));
  return n;
}

ReportNode tailer_node(const EGO_IMAGE_TAILER& t, uint64_t offset) {
  ReportNode n = ReportNode::object();
  n.add("offset", ReportNode::number(offset));
  n.add("unit_info_count", ReportNode::number(t.unit_info_count));
  n.add("unit_info_offset", ReportNode::number(t.unit_info_offset));
  n.add("reserved1", ReportNode::number(t.reserved1));
  n.add("total_vol", ReportNode::number(t.total_vol));
  n.add("num_disks", ReportNode::number(t.num_disks));
  n.add("disk_table_offset", ReportNode::number(t.disk_table_offset));
  n.add("comment_offset", ReportNode::number(t.comment_offset));
  n.add("comment_length", ReportNode::number(t.comment_length));
  n.add("complete", ReportNode::number(t.complete));
  n.add("data_start", ReportNode::number(t.data_start));
  n.add("location_offset", ReportNode::number(t.location_offset));
  n.add("version", ReportNode::text(std::to_string(t.major) + "." + std::to_string(t.minor)));
  n.add("sum", ReportNode::hex(t.sum));
  n.add("tailer_size", ReportNode::number(t.tailer_size));
  return n;
}

ReportNode disk_node(const DiskReport& d) {
  const EGO_DISK_RECORD& r = d.record;
  ReportNode n = ReportNode::object();
  n.add("offset", ReportNode::number(d.offset));
  n.add("valid", ReportNode::boolean(d.valid));
  n.add("sum", ReportNode::hex(r.sum));
  n.add("cylinders", ReportNode::number(r.cylinders));
  n.add("heads", ReportNode::number(r.heads));
  n.add("sectors_per_track", ReportNode::number(r.sectors_per_track));
  n.add("sectors_per_cylinder", ReportNode::number(r.sectors_per_cylinder));
  n.add("total_sectors", ReportNode::number(r.total_sectors));
  n.add("disk_name", ReportNode::text(name_text(r.disk_name)));
  n.add("disk_kind", ReportNode::number(r.disk_kind));
  n.add("whole_disk", ReportNode::number(r.whole_disk));
  n.add("ext_length", ReportNode::number(r.ext_length));
  n.add("ext_start", ReportNode::number(r.ext_start));
  n.add("ext_end", ReportNode::number(r.ext_end));
  n.add("mbr_sectors", ReportNode::number(r.mbr_sectors));
  n.add("mbr_offset", ReportNode::number(r.mbr_offset));
  n.add("num_parts", ReportNode::number(r.num_parts));
  n.add("parts_offset", ReportNode::number(r.parts_offset));
  n.add("boot_kind", ReportNode::number(r.boot_kind));
  n.add("disk_signature", ReportNode::hex(r.disk_signature));
  n.add("boot_part_start", ReportNode::number(r.boot_part_start));
  if (d.valid) {
    ReportNode& boot = n.add("boot_sectors", ReportNode::object());
    boot.add("count", ReportNode::number(d.boot_sectors.count));
    boot.add("offset", ReportNode::number(d.boot_sectors.offset));
    if (d.boot_sectors.inside_file) {
      boot.add("boot_signature_55aa", ReportNode::boolean(d.boot_sectors.boot_signature));
      boot.add("mbr_disk_signature", ReportNode::hex(d.boot_sectors.mbr_disk_signature));
    }
  }
  return n;
}

ReportNode run_table_node(const RunTableReport& rt) {
  ReportNode n = ReportNode::object();
  n.add("offset", ReportNode::number(rt.offset));
  n.add("bytes_here", ReportNode::number(rt.bytes_here));
  n.add("continues_in_next_volume", ReportNode::boolean(rt.continues));
  n.add("checked", ReportNode::boolean(rt.checked));
  n.add("runs", ReportNode::number(rt.runs));
  n.add("minus_runs", ReportNode::number(rt.minus_runs));
  n.add("sectors", ReportNode::number(rt.sectors));
  n.add("data_sectors", ReportNode::number(rt.data_sectors));
  return n;
}

ReportNode partition_node(const PartitionReport& p) {
  const EGO_PART_RECORD& r = p.record;
  ReportNode n = ReportNode::object();
  n.add("offset", ReportNode::number(p.offset));
  n.add("valid", ReportNode::boolean(p.valid));
  n.add("sum", ReportNode::hex(r.sum));
  n.add("boot_flag", ReportNode::hex(r.boot_flag, 2));
  n.add("start_sector", ReportNode::number(r.start_sector));
  n.add("part_type", ReportNode::hex(r.part_type, 2));
  n.add("sector_count", ReportNode::number(r.sector_count));
  n.add("drive_letter", ReportNode::number(r.drive_letter));
  n.add("part_number", ReportNode::signed_number(r.part_number));
  n.add("part_flags", ReportNode::hex(r.part_flags));
  n.add("used_sectors", ReportNode::number(r.used_sectors));
  n.add("orig_bytes", ReportNode::number(r.orig_bytes));
  n.add("stored_bytes", ReportNode::number(r.stored_bytes));
  n.add("run_vol", ReportNode::number(r.run_vol));
  n.add("run_offset", ReportNode::number(r.run_offset));
  n.add("run_bytes", ReportNode::number(r.run_bytes));
  n.add("start_vol", ReportNode::number(r.start_vol));
  n.add("end_vol", ReportNode::number(r.end_vol));
  n.add("unit_info_index", ReportNode::number(r.unit_info_index));
  n.add("full", ReportNode::number(r.full));
  n.add("signature", ReportNode::hex(r.signature));
  ReportNode& parent = n.add("parent", ReportNode::object());
  parent.add("parent_seq", ReportNode::number(r.parent_seq));
  parent.add("parent_time", ReportNode::hex(r.parent_time));
  if (r.parent_time != 0) parent.add("parent_time_date", ReportNode::text(time_word_text(r.parent_time)));
  parent.add("parent_vol", ReportNode::number(r.parent_vol));
  parent.add("parent_vol2", ReportNode::number(r.parent_vol2));
  n.add("excluded_sectors", ReportNode::number(r.excluded_sectors));
  ReportNode& boot = n.add("boot_entries", ReportNode::object());
  boot.add("flag", ReportNode::number(r.boot_entries.flag));
  ReportNode& numbers = boot.add("entry_numbers", ReportNode::array());
  for (uint32_t v : r.boot_entries.entry_numbers) numbers.push(ReportNode::number(v));
  ReportNode& starts = boot.add("system_starts", ReportNode::array());
  for (uint64_t v : r.boot_entries.system_starts) starts.push(ReportNode::number(v));
  if (p.run_table.in_this_volume) {
    n.add("run_table", run_table_node(p.run_table));
  } else {
    n.add("run_table", ReportNode::null());
  }
  return n;
}

ReportNode unit_info_node(const UnitInfoReport& u) {
  ReportNode n = ReportNode::object();
  n.add("offset", ReportNode::number(u.offset));
  n.add("seg_start", ReportNode::number(u.record.seg_start));
  n.add("loc_offset", ReportNode::number(u.record.loc_offset));
  n.add("seg_end", ReportNode::number(u.record.seg_end));
  n.add("loc_bytes", ReportNode::number(u.record.loc_bytes));
  n.add("units", ReportNode::number(u.units));
  n.add("consistent", ReportNode::boolean(u.consistent));
  return n;
}

}  // namespace

std::string describe_error(const InspectError& error) { return error.where + ": " + error.check; }

ReportNode inspect_report_tree(const VolumeReport& r) {
  ReportNode root = ReportNode::object();
  root.add("file", ReportNode::text(r.path));
  root.add("size", ReportNode::number(r.file_size));
  root.add("header", r.header_decoded ? header_node(r.header) : ReportNode::null());
  if (r.has_comment) {
    root.add("comment", ReportNode::text(r.comment));
    root.add("comment_encoding", ReportNode::text(r.comment_utf16 ? "UTF-16LE" : "ANSI"));
  } else {
    root.add("comment", ReportNode::null());
  }
  root.add("tailer", r.tailer_decoded ? tailer_node(r.tailer, r.tailer_offset) : ReportNode::null());

  ReportNode& disks = root.add("disks", ReportNode::array());
  for (size_t i = 0; i < r.disks.size(); ++i) {
    ReportNode disk = disk_node(r.disks[i]);
    ReportNode& parts = disk.add("partitions", ReportNode::array());
    for (size_t j = 0; j < r.disks[i].partitions.size(); ++j)
      parts.push(partition_node(r.disks[i].partitions[j]), "partition " + std::to_string(j));
    disks.push(std::move(disk), "disk " + std::to_string(i));
  }

  ReportNode& infos = root.add("unit_infos", ReportNode::array());
  for (size_t i = 0; i < r.unit_infos.size(); ++i)
    infos.push(unit_info_node(r.unit_infos[i]), "unit-info " + std::to_string(i));

  if (r.data_area_valid) {
    ReportNode& loc = root.add("location_table", ReportNode::object());
    loc.add("offset", ReportNode::number(r.tailer.location_offset));
    loc.add("entries", ReportNode::number(r.location_entries));
  } else {
    root.add("location_table", ReportNode::null());
  }
  if (r.units_inflated) root.add("units_verified", ReportNode::number(r.units_verified));
  root.add("ok", ReportNode::boolean(r.ok()));
  ReportNode& errors = root.add("errors", ReportNode::array());
  for (const InspectError& e : r.errors) {
    ReportNode item = ReportNode::object();
    item.add("record", ReportNode::text(e.record));
    item.add("where", ReportNode::text(e.where));
    item.add("offset", ReportNode::number(e.offset));
    item.add("check", ReportNode::text(e.check));
    item.add("message", ReportNode::text(describe_error(e)));
    errors.push(std::move(item));
  }
  if (r.errors_not_reported > 0) root.add("errors_not_reported", ReportNode::number(r.errors_not_reported));

  return root;
}

int run_inspect_command(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  InspectOptions options;
  std::vector<std::string> files;
  bool options_done = false;
  for (const std::string& a : args) {
    if (!options_done && a == "--") {
      options_done = true;
    } else if (!options_done && (a == "--help" || a == "-h")) {
      out << kInspectUsage;
      return 0;
    } else if (!options_done && a == "--json") {
      json = true;
    } else if (!options_done && a == "--units") {
      options.inflate_units = true;
    } else if (!options_done && a.size() > 1 && a[0] == '-') {
      err << "tav inspect: unknown option '" << a << "'\n" << kInspectUsage;
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.size() != 1) {
    err << (files.empty() ? "tav inspect: no volume file given\n" : "tav inspect: give exactly one volume file\n")
        << kInspectUsage;
    return 2;
  }

  const std::string& path = files[0];
  VolumeReport report;
  if (const Status s = inspect_volume(path, options, &report); !s) {
    report.errors.push_back({"file", "file", 0, s.message()});
    if (json) {
      JsonWriter w;
      inspect_report_tree(report).write_json(&w);
      out << w.text() << '\n';
    }
    err << "tav: " << path << ": " << s.message() << '\n';
    return 1;
  }

  const ReportNode tree = inspect_report_tree(report);
  if (json) {
    JsonWriter w;
    tree.write_json(&w);
    out << w.text() << '\n';
  } else {
    tree.write_text(out);
  }
  for (const InspectError& e : report.errors) err << "tav: " << path << ": " << describe_error(e) << '\n';
  if (report.errors_not_reported > 0)
    err << "tav: " << path << ": " << report.errors_not_reported << " more failed checks not shown\n";
  return report.ok() ? 0 : 1;
}

}  // namespace tav::cli
