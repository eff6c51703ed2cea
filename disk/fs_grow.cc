// Growing a copied file system to the size of its (larger) partition with the file system's own
// resizing tool, run on the partition's device or on a loop device attached over it.
#include <cerrno>
#include <cinttypes>
#include <string>
#include <vector>

#include "core/trace.h"
#include "disk/fat_grow.h"
#include "disk/fs_copy.h"
#include "disk/tool_run.h"

namespace tav::disk {
namespace {

// Lines of a failing tool's output quoted in its message.
constexpr size_t kQuotedLines = 3;

uint64_t mib(uint64_t sectors) { return sectors / 2048; }

void trace_output(const ToolRun& run) {
  for (const std::string& line : run.lines()) TAV_TRACE(kTraceInfo, 0, "  %s", line.c_str());
}

// A loop device over a partition of a disk, attached for the lifetime of the object.
class PartitionLoop {
 public:
  ~PartitionLoop() { detach(); }

  Status attach(const BACKUP_PARTITION_INFO& part) {
    const std::vector<std::string> argv = {
        "losetup", "--find", "--show", "-o", std::to_string(part.first_sector * kSectorSize),
        "--sizelimit", std::to_string(part.sector_count * kSectorSize), part.disk->path};
    ToolRun run;
    if (!run.run(argv) || run.lines().empty() || run.lines().back().rfind("/dev/", 0) != 0) {
      return Status::io_error("cannot attach a loop device over " + part.disk->path + " (\"" +
                              describe_command(argv) + "\"): " + run.output());
    }
    device_ = run.lines().back();
    TAV_TRACE(kTraceInfo, 0, "%s attached over %s at sector %" PRIu64, device_.c_str(), part.disk->path.c_str(),
              part.first_sector);
    return Status::ok();
  }

  const std::string& device() const { return device_; }

 private:
  void detach() {
    if (device_.empty()) return;
    ToolRun run;
    if (!run.run({"losetup", "-d", device_})) {
      TAV_TRACE(kTraceWarn, 0, "cannot detach %s: %s", device_.c_str(), run.output().c_str());
    }
    device_.clear();
  }

  std::string device_;
};

// The resizing tool of a file system; empty for file systems that are not grown.
std::vector<std::string> grow_command(uint32_t type_code, const std::string& device) {
  switch (type_code) {
    case FS_EXT:
      return {"resize2fs", "-f", device};  // -f: the copy was not checked by e2fsck first
    case FS_NTFS:
      return {"ntfsresize", "-f", "-P", device};  // -f: no question, no check of the dirty flag
    default:
      return {};
  }
}

}  // namespace

Status grow_file_system(BACKUP_PARTITION_INFO* dest, uint32_t type_code) {
  if (dest == nullptr || dest->disk == nullptr) return Status::invalid_argument("no partition to grow");
  const std::string name = dest->dev_name.empty() ? dest->disk->path : dest->dev_name;
  if (type_code == FS_FAT16 || type_code == FS_FAT32) {
    // No tool grows FAT dependably on a partition alone: our own code does it in place.
    TAV_TRACE(kTraceInfo, 0, "growing the file system on %s to %" PRIu64 " MiB: FAT, in place", name.c_str(),
              mib(dest->sector_count));
    return grow_fat(dest);
  }
  if (type_code == FS_UNKNOWN) return Status::ok();
  if (grow_command(type_code, "-").empty()) {
    return Status::not_supported("no resizing tool for the file system on " + name);
  }
  const std::string tool = grow_command(type_code, "-").front();
  if (find_program(tool).empty()) {
    return Status::not_supported("The file system on " + name + " keeps its size: " + tool + " is not installed.");
  }

  PartitionLoop loop;
  std::string device = dest->dev_path;
  if (device.empty()) {
    // Nothing was changed yet: the copy stays sound at its old size.
    if (Status st = loop.attach(*dest); !st.is_ok()) {
      return Status::not_supported("The file system on " + name + " keeps its size: " + st.message());
    }
    device = loop.device();
  }
  const std::vector<std::string> argv = grow_command(type_code, device);
  TAV_TRACE(kTraceInfo, 0, "growing the file system on %s: %s", name.c_str(), describe_command(argv).c_str());
  ToolRun run;
  const bool ok = run.run(argv);
  trace_output(run);
  if (!ok) {
    const int status = run.ExitStatus();
    return Status::io_error("\"" + describe_command(argv) + "\" failed (exit status " + std::to_string(status) +
                            "): " + run.last_lines(kQuotedLines));
  }
  return Status::ok();
}

}  // namespace tav::disk
