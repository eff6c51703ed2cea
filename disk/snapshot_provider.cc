// Snapshots of live partitions for backup reads: the decision, LVM snapshots through lvm2's
// tools, and the exported init / uninit pair.
#include "disk/snapshot_provider.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "core/last_error.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/tool_run.h"

namespace tav::disk {
namespace {

constexpr uint64_t kMinSnapshotKib = 64 * 1024;
constexpr const char* kSnapshotPrefix = "tav-snap-";

// First line of a small sysfs file, without its newline; empty when unreadable.
std::string read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return {};
  return line;
}

// Splits a device-mapper name of an LVM volume ("vg-lv", '-' inside a name doubled) into its
// parts. LVM's internal layers add a third part ("vg-lv-real").
std::vector<std::string> split_dm_name(const std::string& name) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '-') {
      parts.back() += name[i];
    } else if (i + 1 < name.size() && name[i + 1] == '-') {
      parts.back() += '-';
      ++i;
    } else {
      parts.emplace_back();
    }
  }
  return parts;
}

struct LogicalVolume {
  std::string volume_group;
  std::string name;
};

// The logical volume the partition's own block device is, or an empty volume group with the
// reason it is none.
LogicalVolume logical_volume_of(const BACKUP_PARTITION_INFO& part, const LinuxSnapshotConfig& config,
                                std::string* why_not) {
  if (part.dev_path.empty()) {
    *why_not = "it is read through its disk and has no device of its own";
    return {};
  }
  char resolved[PATH_MAX];
  if (::realpath(part.dev_path.c_str(), resolved) == nullptr) {
    *why_not = "its device cannot be found";
    return {};
  }
  const std::string node = resolved;
  const std::string kernel_name = node.substr(node.find_last_of('/') + 1);
  const std::string dm_dir = config.sys_dir + "/block/" + kernel_name + "/dm/";
  const std::string uuid = read_first_line(dm_dir + "uuid");
  if (kernel_name.rfind("dm-", 0) != 0 || uuid.rfind("LVM-", 0) != 0) {
    *why_not = "it is not an LVM logical volume";
    return {};
  }
  const std::vector<std::string> parts = split_dm_name(read_first_line(dm_dir + "name"));
  if (parts.size() != 2 || parts[0].empty() || parts[1].empty()) {
    *why_not = "it is an internal LVM device";
    return {};
  }
  return {parts[0], parts[1]};
}

// Snapshots this process made and has not removed yet, as "vg/name".
std::mutex g_created_mu;
std::set<std::string> g_created;  // guarded by g_created_mu
std::atomic<uint32_t> g_next_snapshot{1};

std::string own_name_prefix() { return kSnapshotPrefix + std::to_string(::getpid()) + "-"; }

// Free bytes of a volume group from vgs: the line that is a number followed by "B".
bool parse_vg_free(const std::vector<std::string>& lines, uint64_t* bytes) {
  for (const std::string& line : lines) {
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    const size_t last = line.find_last_not_of(" \t");
    const std::string field = line.substr(first, last - first + 1);
    if (field.size() < 2 || field.back() != 'B') continue;
    const std::string digits = field.substr(0, field.size() - 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 19) continue;
    *bytes = std::stoull(digits);
    return true;
  }
  return false;
}

LinuxSnapshotProvider& default_provider() {
  static LinuxSnapshotProvider provider;
  return provider;
}

std::atomic<SnapshotProvider*> g_provider{nullptr};

}  // namespace

uint64_t snapshot_size_kib(uint64_t origin_sectors, uint64_t vg_free_bytes) {
  const uint64_t origin_kib = origin_sectors / 2 + origin_sectors % 2;
  uint64_t kib = origin_kib / 10 + (origin_kib % 10 != 0);
  if (kib < kMinSnapshotKib) kib = kMinSnapshotKib;
  const uint64_t free_kib = vg_free_bytes / 1024;
  return kib < free_kib ? kib : free_kib;
}

SnapshotPlan LinuxSnapshotProvider::decide(const BACKUP_PARTITION_INFO& part) {
  SnapshotPlan plan;
  plan.device = !part.dev_name.empty() ? part.dev_name : part.dev_path;
  if (plan.device.empty() && part.disk != nullptr) {
    plan.device = part.disk->path + "@" + std::to_string(part.first_sector);
  }
  if (part.is_image) {
    plan.reason = "a partition of a snapshot does not change";
    return plan;
  }
  const std::vector<MountEntry> mounts = config_.mounts ? config_.mounts(part) : partition_mounts(&part);
  const MountEntry* writable = nullptr;
  for (const MountEntry& entry : mounts) {
    if (!entry.read_only) {
      writable = &entry;
      break;
    }
  }
  if (writable == nullptr) {
    plan.reason = mounts.empty() ? "not mounted" : "mounted read-only";
    return plan;
  }
  plan.mount_point = writable->mount_point;

  std::string why_not;
  const LogicalVolume lv = logical_volume_of(part, config_, &why_not);
  if (lv.volume_group.empty()) {
    // why_not says why.
  } else if (find_program("lvcreate").empty() || find_program("lvremove").empty() || find_program("vgs").empty()) {
    why_not = "lvm2's lvcreate, lvremove and vgs are not all installed";
  } else {
    plan.action = SnapshotPlan::Action::kSnapshot;
    plan.volume_group = lv.volume_group;
    plan.logical_volume = lv.name;
    plan.reason = "LVM snapshot of " + lv.volume_group + "/" + lv.name;
    return plan;
  }
  plan.action = SnapshotPlan::Action::kRefuse;
  plan.reason = plan.device + " is mounted read-write at " + plan.mount_point +
                " and no snapshot of it can be made (" + why_not +
                "). Back it up without a snapshot (--no-snapshot), or unmount the file system or "
                "remount it read-only first.";
  return plan;
}

Status LinuxSnapshotProvider::create(const BACKUP_PARTITION_INFO& part, const SnapshotPlan& plan,
                                     SnapshotState* state) {
  if (plan.action != SnapshotPlan::Action::kSnapshot || plan.volume_group.empty() || plan.logical_volume.empty()) {
    return Status::invalid_argument("no logical volume to take a snapshot of");
  }
  const std::string origin = plan.volume_group + "/" + plan.logical_volume;

  ToolRun vgs;
  const std::vector<std::string> vgs_argv = {"vgs", "--noheadings", "--units", "b", "-o", "vg_free",
                                             plan.volume_group};
  uint64_t free_bytes = 0;
  if (!vgs.run(vgs_argv) || !parse_vg_free(vgs.lines(), &free_bytes)) {
    return Status::io_error("\"" + describe_command(vgs_argv) + "\" failed: " + vgs.output());
  }
  const uint64_t size_kib = snapshot_size_kib(part.sector_count, free_bytes);
  if (size_kib == 0) {
    return Status::io_error("volume group " + plan.volume_group + " has no free space for a snapshot of " + origin);
  }

  const std::string name = own_name_prefix() + std::to_string(g_next_snapshot.fetch_add(1));
  const std::vector<std::string> argv = {"lvcreate", "--snapshot", "--name", name, "--size",
                                         std::to_string(size_kib) + "k", origin};
  ToolRun lvcreate;
  if (!lvcreate.run(argv)) {
    return Status::io_error("\"" + describe_command(argv) + "\" failed: " + lvcreate.output());
  }
  {
    std::lock_guard<std::mutex> lock(g_created_mu);
    g_created.insert(plan.volume_group + "/" + name);
  }
  state->volume_group = plan.volume_group;
  state->name = name;
  state->read_path = config_.dev_dir + "/" + plan.volume_group + "/" + name;
  return Status::ok();
}

Status LinuxSnapshotProvider::remove(const SnapshotState& state) {
  const std::string volume = state.volume_group + "/" + state.name;
  {
    std::lock_guard<std::mutex> lock(g_created_mu);
    if (state.name.rfind(own_name_prefix(), 0) != 0 || g_created.count(volume) == 0) {
      return Status::invalid_argument(volume + " was not made by this process; it is left alone");
    }
  }
  const std::vector<std::string> argv = {"lvremove", "-f", volume};
  ToolRun lvremove;
  if (!lvremove.run(argv)) {
    return Status::io_error("\"" + describe_command(argv) + "\" failed: " + lvremove.output());
  }
  std::lock_guard<std::mutex> lock(g_created_mu);
  g_created.erase(volume);
  return Status::ok();
}

SnapshotProvider& snapshot_provider() {
  SnapshotProvider* provider = g_provider.load();
  return provider != nullptr ? *provider : default_provider();
}

SnapshotProvider* set_snapshot_provider(SnapshotProvider* provider) { return g_provider.exchange(provider); }

}  // namespace tav::disk

int tav_vss_part_init(BACKUP_PARTITION_INFO* part) {
  using tav::disk::SnapshotPlan;
  if (part == nullptr) {
    tav::set_last_error(EINVAL);
    return -1;
  }
  if (part->snapshot != nullptr) return 0;
  try {
    tav::disk::SnapshotProvider& provider = tav::disk::snapshot_provider();
    const SnapshotPlan plan = provider.decide(*part);
    switch (plan.action) {
      case SnapshotPlan::Action::kNone:
        TAV_TRACE(tav::kTraceInfo, 0, "%s: no snapshot needed (%s)", plan.device.c_str(), plan.reason.c_str());
        return 0;
      case SnapshotPlan::Action::kRefuse:
        TAV_ENGINE_REPORT(tav::disk::disk_report(), true, tav::kIconError, "%s", plan.reason.c_str());
        tav::set_last_error(EBUSY);
        return -1;
      case SnapshotPlan::Action::kSnapshot:
        break;
    }
    auto state = std::make_unique<tav::disk::SnapshotState>();
    const tav::Status status = provider.create(*part, plan, state.get());
    if (!status) {
      TAV_ENGINE_REPORT(tav::disk::disk_report(), true, tav::kIconError,
                        "Making a snapshot of %s (mounted at %s) failed: %s", plan.device.c_str(),
                        plan.mount_point.c_str(), status.message().c_str());
      tav::set_last_error(EIO);
      return -1;
    }
    TAV_TRACE(tav::kTraceInfo, 0, "%s: reading snapshot %s", plan.device.c_str(), state->read_path.c_str());
    // A descriptor opened before reads the live device; the next open reads the snapshot.
    if (part->fd >= 0 && part->ops != nullptr && part->ops->close != nullptr) part->ops->close(part);
    part->read_path = state->read_path;
    part->snapshot = state.release();
    return 0;
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return -1;
  }
}

int tav_vss_part_uninit(BACKUP_PARTITION_INFO* part) {
  if (part == nullptr || part->snapshot == nullptr) return 0;
  std::unique_ptr<tav::disk::SnapshotState> state(static_cast<tav::disk::SnapshotState*>(part->snapshot));
  part->snapshot = nullptr;
  // A descriptor on the snapshot would keep it busy, and it is about to go away.
  if (part->fd >= 0 && part->open_mode == tav::disk::kOpenRead && part->ops != nullptr &&
      part->ops->close != nullptr) {
    part->ops->close(part);
  }
  part->read_path.clear();
  try {
    const tav::Status status = tav::disk::snapshot_provider().remove(*state);
    if (!status) {
      TAV_ENGINE_REPORT(tav::disk::disk_report(), false, tav::kIconWarning, "Removing snapshot %s/%s failed: %s",
                        state->volume_group.c_str(), state->name.c_str(), status.message().c_str());
      tav::set_last_error(EIO);
      return -1;
    }
  } catch (const std::bad_alloc&) {
    tav::set_last_error(ENOMEM);
    return -1;
  }
  return 0;
}
