// The file-system-aware copy of a partition: the used sectors of the source, written into the
// destination in pieces, with the first sectors held back until everything else is on disk.
#include "disk/fs_copy.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/extent_vector.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "core/ui_sink.h"
#include "disk/disk_channel.h"
#include "disk/fs_registry.h"
#include "disk/mount_table.h"
#include "disk/part_open.h"

namespace tav::disk {
namespace {

// Sectors read and written at a time (4 MiB).
constexpr uint32_t kPieceSectors = 8192;
// Unused gaps up to this many sectors between two runs of a live source are copied along, so
// that many small runs become fewer, larger transfers. Image sources copy only what they hold.
constexpr uint64_t kCoalesceGapSectors = 64;
// Sectors at the end of a larger destination that are zeroed before the copy: an earlier NTFS
// keeps its backup boot sector in the last sector of its partition, which would otherwise stay
// behind beyond the copied file system and could be taken for a volume.
constexpr uint64_t kStaleTailSectors = 8;

struct Span {
  uint64_t first;
  uint64_t count;
};

// How a transfer ended, or what the user chose after it failed (kRetry: try it again).
enum class IoOutcome { kDone, kRetry, kSkip, kAbort };

std::string part_name(const BACKUP_PARTITION_INFO* part) {
  if (!part->dev_name.empty()) return part->dev_name;
  if (part->disk != nullptr) return part->disk->path + "@" + std::to_string(part->first_sector);
  return "partition";
}

std::string sizes(uint64_t sectors) {
  return std::to_string(sectors) + " sectors, " + std::to_string(sectors / 2048) + " MiB";
}

struct RunVectorRelease {
  void operator()(IMAGE_RUN_VECTOR* v) const { libtavpub_release_image_run_vector(v); }
};
using OwnedRuns = std::unique_ptr<IMAGE_RUN_VECTOR, RunVectorRelease>;

// Opens a partition in `mode` unless it is open in it already, and closes it again at the end
// of the scope when it opened it.
class OpenScope {
 public:
  OpenScope(BACKUP_PARTITION_INFO* part, int mode) : part_(part) {
    const bool open_enough = mode == kOpenRead ? partition_is_open(part) : part->open_mode == kOpenWrite;
    if (open_enough) return;
    if (part->ops->open(part, mode) < 0) {
      error_ = errno;
      return;
    }
    opened_ = true;
  }
  ~OpenScope() { close(); }
  OpenScope(const OpenScope&) = delete;
  OpenScope& operator=(const OpenScope&) = delete;

  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  void close() {
    if (opened_ && part_->ops->close != nullptr) part_->ops->close(part_);
    opened_ = false;
  }

 private:
  BACKUP_PARTITION_INFO* part_;
  bool opened_ = false;
  int error_ = 0;
};

class CopyJob {
 public:
  explicit CopyJob(COPY_CONTEXT* context) : c_(context), src_(context->source), dst_(context->dest) {}

  int run();

 private:
  int fail(const std::string& text) {
    TAV_ENGINE_REPORT(disk_report(), false, kIconError, "%s", text.c_str());
    if (c_->error_count != nullptr) c_->error_count->fetch_add(1);
    return -1;
  }
  bool cancelled() const { return c_->cancel != nullptr && c_->cancel->load() != 0; }
  void progress(uint64_t sectors) {
    THREAD_GUI_DATA* channel = c_->channel;
    if (channel != nullptr && channel->ops != nullptr && channel->ops->sub_progress_update != nullptr) {
      channel->ops->sub_progress_update(channel, uint32_t(sectors));
    }
  }
  // Abort/Retry/Ignore after a failed transfer; Abort when there is no question to ask.
  IoOutcome ask(const char* text) {
    THREAD_GUI_DATA* channel = c_->channel;
    if (text == nullptr || channel == nullptr || channel->ops == nullptr || channel->ops->throw_dlg == nullptr) {
      return IoOutcome::kAbort;
    }
    const uint32_t answer = channel->ops->throw_dlg(channel, kIconError, kButtonsAbortRetryIgnore, "%s", text);
    if (answer == kAnswerRetry) return IoOutcome::kRetry;
    if (answer == kAnswerIgnore) return IoOutcome::kSkip;
    return IoOutcome::kAbort;
  }
  IoOutcome read(uint64_t first, uint32_t count, void* buffer);
  IoOutcome write(uint64_t first, uint32_t count, const void* buffer);
  bool collect_spans();
  std::vector<Span> transfers() const;
  uint64_t used_within(uint64_t first, uint64_t count, size_t* cursor) const;
  bool zero_destination_edges();
  void fix_boot_sectors(uint32_t type_code);

  COPY_CONTEXT* c_;
  BACKUP_PARTITION_INFO* src_;
  BACKUP_PARTITION_INFO* dst_;
  // Used sectors, sorted and merged; a transfer reads and writes the sectors from the start of
  // one span to the end of another when the gaps between them are small (see transfers()).
  std::vector<Span> spans_;
  std::vector<uint8_t> held_;  // the first held_count_ sectors of the source
  uint32_t held_count_ = 0;
  int last_errno_ = 0;
  uint64_t failed_at_ = 0;
  bool failed_writing_ = false;
};

IoOutcome CopyJob::read(uint64_t first, uint32_t count, void* buffer) {
  for (;;) {
    if (src_->ops->read_sectors(src_, first, count, buffer) == int64_t(count)) return IoOutcome::kDone;
    last_errno_ = errno;
    failed_at_ = first;
    failed_writing_ = false;
    TAV_TRACE(kTraceError, 0, "reading %u sectors at %" PRIu64 " of %s failed: %s", count, first,
              part_name(src_).c_str(), std::strerror(last_errno_));
    const IoOutcome answer = ask(c_->read_failed_text);
    if (answer != IoOutcome::kRetry) return answer;
  }
}

IoOutcome CopyJob::write(uint64_t first, uint32_t count, const void* buffer) {
  for (;;) {
    if (dst_->ops->write_sectors(dst_, first, count, buffer) == int64_t(count)) return IoOutcome::kDone;
    last_errno_ = errno;
    failed_at_ = first;
    failed_writing_ = true;
    TAV_TRACE(kTraceError, 0, "writing %u sectors at %" PRIu64 " of %s failed: %s", count, first,
              part_name(dst_).c_str(), std::strerror(last_errno_));
    const IoOutcome answer = ask(c_->write_failed_text);
    if (answer != IoOutcome::kRetry) return answer;
  }
}

// The source's sectors to copy, sorted and merged, within the source's size.
bool CopyJob::collect_spans() {
  OwnedRuns own;
  const IMAGE_RUN_VECTOR* runs = c_->source_runs;
  if (runs == nullptr) {
    if (src_->ops_fs == nullptr || src_->ops_fs->get_used_runs == nullptr) return false;
    own.reset(src_->ops_fs->get_used_runs(c_->channel, src_));
    if (own == nullptr) return false;
    runs = own.get();
  }
  std::vector<Span> spans;
  spans.reserve(runs->run_count);
  for (uint32_t i = 0; i < runs->run_count; ++i) {
    const IMAGE_RUN* run = runs->runs[i];
    if (run == nullptr || run->type == RUN_TYPE_MINUS || (run->value.Number & kFlatRunMinusFlag) != 0) continue;
    const uint64_t first = run->value.Begin;
    if (first >= src_->sector_count || run->value.Number == 0) continue;
    spans.push_back({first, std::min<uint64_t>(run->value.Number, src_->sector_count - first)});
  }
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
  for (const Span& s : spans) {
    if (!spans_.empty() && s.first <= spans_.back().first + spans_.back().count) {
      Span& last = spans_.back();
      last.count = std::max(last.first + last.count, s.first + s.count) - last.first;
    } else {
      spans_.push_back(s);
    }
  }
  return true;
}

// The ranges read and written: the used spans, with small gaps of a live source taken along.
std::vector<Span> CopyJob::transfers() const {
  const uint64_t gap = src_->is_image ? 0 : kCoalesceGapSectors;
  std::vector<Span> out;
  for (const Span& s : spans_) {
    if (!out.empty() && s.first <= out.back().first + out.back().count + gap) {
      out.back().count = s.first + s.count - out.back().first;
    } else {
      out.push_back(s);
    }
  }
  return out;
}

// Used sectors in [first, first + count); `cursor` walks spans_ forward across calls made in
// ascending order.
uint64_t CopyJob::used_within(uint64_t first, uint64_t count, size_t* cursor) const {
  const uint64_t end = first + count;
  uint64_t used = 0;
  while (*cursor < spans_.size() && spans_[*cursor].first + spans_[*cursor].count <= first) ++*cursor;
  for (size_t i = *cursor; i < spans_.size() && spans_[i].first < end; ++i) {
    const uint64_t a = std::max(first, spans_[i].first);
    const uint64_t b = std::min(end, spans_[i].first + spans_[i].count);
    if (b > a) used += b - a;
  }
  return used;
}

// Zeroes the destination's first sectors (no boot sector until the copy is complete) and, on a
// larger destination, its last sectors beyond the copied file system.
bool CopyJob::zero_destination_edges() {
  std::vector<uint8_t> zeros(size_t(std::max<uint64_t>(kHeldBackSectors, kStaleTailSectors)) * kSectorSize, 0);
  if (held_count_ > 0 && write(0, held_count_, zeros.data()) == IoOutcome::kAbort) return false;
  if (dst_->sector_count > src_->sector_count) {
    const uint64_t tail = std::min<uint64_t>(kStaleTailSectors, dst_->sector_count - src_->sector_count);
    if (write(dst_->sector_count - tail, uint32_t(tail), zeros.data()) == IoOutcome::kAbort) return false;
  }
  return true;
}

// Fits the held-back boot sector (and the backup boot sectors) to the destination's place.
void CopyJob::fix_boot_sectors(uint32_t type_code) {
  if (held_count_ == 0) return;
  const BootPlace place = boot_place_of(dst_);
  if (!fit_held_boot_sectors(held_.data(), held_count_, type_code, place)) {
    TAV_TRACE(kTraceWarn, 0, "%s: no boot sector of the source's file system to fit", part_name(dst_).c_str());
    return;
  }
  if (type_code == FS_NTFS && !fit_ntfs_backup_boot_sector(dst_, held_.data(), held_count_, place)) {
    TAV_TRACE(kTraceWarn, 0, "%s: the NTFS backup boot sector could not be rewritten", part_name(dst_).c_str());
  }
}

int CopyJob::run() {
  if (src_ == nullptr || dst_ == nullptr || src_->ops == nullptr || dst_->ops == nullptr ||
      src_->ops->open == nullptr || src_->ops->read_sectors == nullptr || dst_->ops->open == nullptr ||
      dst_->ops->write_sectors == nullptr || dst_->ops->read_sectors == nullptr) {
    return fail("Cannot copy the partition: source or destination missing.");
  }
  if (dst_->sector_count < src_->sector_count) {
    return fail("The destination " + part_name(dst_) + " (" + sizes(dst_->sector_count) +
                ") is smaller than the source " + part_name(src_) + " (" + sizes(src_->sector_count) + ").");
  }
  if (!dst_->is_image) {
    const std::vector<MountEntry> mounts = partition_mounts(dst_);
    if (!mounts.empty()) {
      return fail("The destination " + part_name(dst_) + " is mounted at " + mounts.front().mount_point +
                  "; unmount it before it is overwritten.");
    }
  }
  // A live source (clone) on the destination's disk must not share sectors with it. Image
  // partitions name the disk they were saved from, which may well be the destination's.
  if (!src_->is_image && src_->disk != nullptr && src_->disk->disk_type != DEVICE_IMAGE && dst_->disk != nullptr &&
      src_->disk->path == dst_->disk->path &&
      src_->first_sector < dst_->first_sector + dst_->sector_count &&
      dst_->first_sector < src_->first_sector + src_->sector_count) {
    return fail("The destination " + part_name(dst_) + " overlaps the source " + part_name(src_) + ".");
  }
  const uint32_t type_code = src_->ops_fs != nullptr ? src_->ops_fs->type_code : FS_UNKNOWN;

  OpenScope source(src_, kOpenRead);
  if (!source.ok()) return fail("Cannot open the source " + part_name(src_) + ": " + std::strerror(source.error()));
  if (!collect_spans()) {
    return fail("Cannot read which sectors of " + part_name(src_) + " are used: " + std::strerror(errno));
  }
  OpenScope dest(dst_, kOpenWrite);
  if (!dest.ok()) {
    return fail("Cannot open the destination " + part_name(dst_) + " for writing: " + std::strerror(dest.error()));
  }

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(size_t(kPieceSectors) * kSectorSize);
    held_.assign(size_t(kHeldBackSectors) * kSectorSize, 0);
  } catch (const std::bad_alloc&) {
    return fail("Out of memory while copying " + part_name(src_) + ".");
  }
  held_count_ = uint32_t(std::min<uint64_t>(kHeldBackSectors, src_->sector_count));

  uint64_t total = 0;
  for (const Span& s : spans_) total += s.count;
  TAV_TRACE(kTraceInfo, 0, "copying %" PRIu64 " used sectors in %zu runs from %s to %s", total, spans_.size(),
            part_name(src_).c_str(), part_name(dst_).c_str());

  const std::vector<Span> ranges = transfers();
  size_t cursor = 0;
  bool failed = !zero_destination_edges();
  bool stopped = false;
  for (size_t i = 0; i < ranges.size() && !failed && !stopped; ++i) {
    const uint64_t end = ranges[i].first + ranges[i].count;
    for (uint64_t pos = ranges[i].first; pos < end;) {
      if (cancelled()) {
        stopped = true;
        break;
      }
      const uint32_t count = uint32_t(std::min<uint64_t>(kPieceSectors, end - pos));
      IoOutcome outcome = read(pos, count, buffer.data());
      if (outcome == IoOutcome::kDone && pos < held_count_) {
        const uint64_t kept = std::min<uint64_t>(held_count_ - pos, count);
        std::memcpy(held_.data() + pos * kSectorSize, buffer.data(), size_t(kept) * kSectorSize);
        std::memset(buffer.data(), 0, size_t(kept) * kSectorSize);
      }
      if (outcome == IoOutcome::kDone) outcome = write(pos, count, buffer.data());
      if (outcome == IoOutcome::kAbort) {
        failed = true;
        break;
      }
      progress(used_within(pos, count, &cursor));  // the step counts used sectors
      pos += count;
    }
  }

  if (!failed && !stopped) {
    fix_boot_sectors(type_code);
    if (held_count_ > 0 && write(0, held_count_, held_.data()) == IoOutcome::kAbort) failed = true;
  }
  if (!failed && dst_->ops->finish != nullptr && dst_->ops->finish(dst_) != 0) {
    last_errno_ = errno;
    failed_writing_ = true;
    failed_at_ = 0;
    failed = true;
  }
  dest.close();
  source.close();
  if (failed) {
    return fail(std::string(failed_writing_ ? "Writing " : "Reading ") +
                part_name(failed_writing_ ? dst_ : src_) + " failed at sector " + std::to_string(failed_at_) +
                ": " + std::strerror(last_errno_) + ". The copy of " + part_name(src_) + " to " +
                part_name(dst_) + " is incomplete.");
  }
  if (stopped) {
    TAV_TRACE(kTraceInfo, 0, "copy to %s cancelled: its first sectors stay zero", part_name(dst_).c_str());
    return 0;
  }

  if (dst_->sector_count > src_->sector_count && type_code != FS_UNKNOWN) {
    const Status grown = grow_file_system(dst_, type_code);
    // A grow that was not attempted (no tool, a FAT layout we do not grow) leaves the copy sound,
    // merely smaller than its partition: a warning. Our FAT grow zeroes the boot sector first and
    // writes it last, so after a failure the volume is either as it was or gone. A resizing tool
    // that ran and failed may have left the file system half changed. Both of the latter fail
    // the copy, so nobody takes the result for a good restore.
    const bool fat = type_code == FS_FAT16 || type_code == FS_FAT32;
    const bool sound =
        grown.is_ok() || grown.code() == StatusCode::kNotSupported || (fat && probe_file_system(dst_) != nullptr);
    if (!sound) {
      return fail(grown.message() + " The copy of " + part_name(src_) + " to " + part_name(dst_) +
                  " may be damaged: check its file system.");
    }
    if (!grown.is_ok()) {
      TAV_ENGINE_REPORT(disk_report(), false, kIconWarning, "%s", grown.message().c_str());
    }
  }
  return 0;
}

}  // namespace

int tav_fs_copy_used(COPY_CONTEXT* context) {
  if (context == nullptr) return -1;
  try {
    return CopyJob(context).run();
  } catch (const std::bad_alloc&) {
    TAV_ENGINE_REPORT(disk_report(), false, kIconError, "Out of memory while copying a partition.");
    if (context->error_count != nullptr) context->error_count->fetch_add(1);
    return -1;
  }
}

}  // namespace tav::disk
