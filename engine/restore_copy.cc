// Sector copies of restore and clone, with the first sectors of the destination written last.
#include "engine/restore_copy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/extent_vector.h"
#include "core/os_info.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "image/image_reader.h"
#include "disk/disk_list.h"
#include "disk/mount_table.h"
#include "disk/part_record.h"
#include "engine/backup_plan.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/read_ahead.h"
#include "engine/restore_checks.h"

namespace tav::engine {

namespace {

// Reports a failed step and counts it on the copy's channel.
#define COPY_FAIL(context, ...)                                                \
  do {                                                                         \
    TAV_ENGINE_REPORT(bak_report(), false, ::tav::kIconError, __VA_ARGS__); \
    if ((context)->error_count != nullptr) ++*(context)->error_count;         \
  } while (0)

enum class Answer { kRetry, kIgnore, kAbort };

// The Abort/Retry/Ignore question; without a channel, or unanswered, the copy stops.
Answer ask(COPY_CONTEXT* context, BakText text) {
  THREAD_GUI_DATA* channel = context->channel;
  if (channel == nullptr) return Answer::kAbort;
  const uint32_t answer = channel->ops->throw_dlg(channel, kIconError, kButtonsAbortRetryIgnore, "%s", bak_text(text));
  if (answer == kAnswerRetry) return Answer::kRetry;
  if (answer == kAnswerIgnore) return Answer::kIgnore;
  return Answer::kAbort;
}

bool cancelled(const COPY_CONTEXT* context) { return context->cancel != nullptr && context->cancel->load() != 0; }
int32_t errors(const COPY_CONTEXT* context) { return context->error_count != nullptr ? context->error_count->load() : 0; }

// Runs `attempt` until it succeeds, or asks what to do after each failure. Errors that readers
// counted for the piece (the read-ahead and the image reader count their own, the read-ahead
// possibly ahead of the copy) are taken back to `accepted` when the user goes on.
// True when the piece is done or was skipped (*skipped set), false on Abort.
template <typename Attempt>
bool with_retry(COPY_CONTEXT* context, BakText question, int32_t accepted, bool* skipped, Attempt attempt) {
  *skipped = false;
  for (;;) {
    if (attempt()) return true;
    const Answer answer = ask(context, question);
    if (answer == Answer::kAbort) return false;
    if (context->error_count != nullptr) context->error_count->store(accepted);
    if (answer == Answer::kIgnore) {
      *skipped = true;
      return true;
    }
  }
}

// The destination side of a sector copy: the first sectors are zeroed at once, kept aside while
// copying and written by finish() only.
class HeldBackWriter {
 public:
  explicit HeldBackWriter(COPY_CONTEXT* context)
      : context_(context),
        accepted_(errors(context)),
        dest_(context->dest),
        held_count_(uint32_t(std::min<uint64_t>(disk::kHeldBackSectors, context->dest->sector_count))),
        held_(size_t(held_count_) * kSectorSize, 0) {}

  // Zeroes the first sectors of the destination.
  bool begin() { return write_direct(0, held_count_, held_.data()); }

  // Writes `count` sectors at `first` (partition-relative); the part below the held-back range is
  // kept for finish(). False when the user chose Abort.
  bool write(uint64_t first, uint32_t count, const uint8_t* data) {
    if (first < held_count_) {
      const uint32_t kept = uint32_t(std::min<uint64_t>(held_count_ - first, count));
      std::memcpy(held_.data() + first * kSectorSize, data, size_t(kept) * kSectorSize);
      first += kept;
      count -= kept;
      data += size_t(kept) * kSectorSize;
    }
    return count == 0 || write_direct(first, count, data);
  }

  // Fits the kept boot sectors to the destination's place (by the source's file system: the
  // buffer holds the source's boot sector), then NTFS's backup boot sector past the volume, and
  // writes the first sectors.
  bool finish(const BACKUP_PARTITION_INFO* source) {
    if (held_count_ == 0) return true;
    const FILE_SYSTEM_TYPE* fs = source->ops_fs != nullptr ? source->ops_fs : source->fs;
    const uint32_t type_code = fs != nullptr ? fs->type_code : disk::FS_UNKNOWN;
    const disk::BootPlace place = disk::boot_place_of(dest_);
    if (disk::fit_held_boot_sectors(held_.data(), held_count_, type_code, place) && type_code == disk::FS_NTFS &&
        !disk::fit_ntfs_backup_boot_sector(dest_, held_.data(), held_count_, place)) {
      TAV_TRACE(kTraceWarn, 0, "the NTFS backup boot sector of the destination could not be rewritten");
    }
    return write_direct(0, held_count_, held_.data());
  }

 private:
  bool write_direct(uint64_t first, uint32_t count, const uint8_t* data) {
    bool skipped = false;
    return with_retry(context_, BakText::kDiskWriteFailed, accepted_, &skipped, [&] {
      return dest_->ops->write_sectors(dest_, first, count, data) == int64_t(count);
    });
  }

  COPY_CONTEXT* context_;
  int32_t accepted_;  // errors counted before the copy
  BACKUP_PARTITION_INFO* dest_;
  uint32_t held_count_;
  std::vector<uint8_t> held_;
};

// Opens the destination for writing and closes it (after finishing it) when the copy ends.
class DestinationScope {
 public:
  explicit DestinationScope(BACKUP_PARTITION_INFO* dest) : dest_(dest) {}
  ~DestinationScope() { close(); }
  DestinationScope(const DestinationScope&) = delete;
  DestinationScope& operator=(const DestinationScope&) = delete;

  bool open() {
    opened_ = dest_->ops != nullptr && dest_->ops->open != nullptr && dest_->ops->write_sectors != nullptr &&
              dest_->ops->open(dest_, disk::kOpenWrite) >= 0;
    return opened_;
  }
  // Flushes what was written; false when that failed.
  bool finish() { return !opened_ || dest_->ops->finish == nullptr || dest_->ops->finish(dest_) == 0; }
  void close() {
    if (opened_ && dest_->ops->close != nullptr) dest_->ops->close(dest_);
    opened_ = false;
  }

 private:
  BACKUP_PARTITION_INFO* dest_;
  bool opened_ = false;
};

// Opens a source partition for reading and closes it when the copy ends.
class SourceScope {
 public:
  explicit SourceScope(BACKUP_PARTITION_INFO* part) : part_(part) {}
  ~SourceScope() {
    if (opened_ && part_->ops->close != nullptr) part_->ops->close(part_);
  }
  SourceScope(const SourceScope&) = delete;
  SourceScope& operator=(const SourceScope&) = delete;
  bool open() {
    opened_ = part_->ops != nullptr && part_->ops->open != nullptr && part_->ops->read_sectors != nullptr &&
              part_->ops->open(part_, disk::kOpenRead) >= 0;
    return opened_;
  }

 private:
  BACKUP_PARTITION_INFO* part_;
  bool opened_ = false;
};

// The non-minus runs of `v`, as a new vector (null when memory runs out).
RunVectorPtr copy_runs(const IMAGE_RUN_VECTOR* v) {
  RunVectorPtr out(libtavpub_create_empty_image_run_vector());
  if (!out) return out;
  for (uint32_t i = 0; i < v->run_count; ++i) {
    if (v->runs[i]->type == RUN_TYPE_MINUS || v->runs[i]->value.Number == 0) continue;
    if (libtavpub_append_image_run(out.get(), v->runs[i]) != 1) return nullptr;
  }
  return out;
}

// Reads an image partition through the read-ahead; after the read-ahead failed once (its data
// ended early), straight through the partition, so that Retry can read again. The errors the
// read-ahead counted then are taken back to `accepted`: the pieces it did not deliver are read
// again directly, and those reads count (and ask about) their own failures.
class ImageSectorSource {
 public:
  ImageSectorSource(BACKUP_PARTITION_INFO* part, COPY_CONTEXT* context, int32_t accepted)
      : part_(part), context_(context), accepted_(accepted) {}
  ~ImageSectorSource() { stop(); }
  ImageSectorSource(const ImageSectorSource&) = delete;
  ImageSectorSource& operator=(const ImageSectorSource&) = delete;

  // The read-ahead reports its errors (the report counts them): a failed piece is the user's
  // question first.
  bool start(RunVectorPtr runs, int32_t buffers, int32_t cache_mode) {
    active_ = imagefile_read_init(buffers, runs.release(), nullptr, part_, cache_mode) == 0;
    return active_;
  }
  bool read(uint64_t first, uint32_t count, uint8_t* out) {
    if (active_) {
      if (imagefile_read_sectors(out, count, nullptr, part_, int64_t(first)) == int64_t(count)) return true;
      stop();  // its data has ended: the rest is read directly
      if (context_->error_count != nullptr) context_->error_count->store(accepted_);
      TAV_TRACE(kTraceWarn, 0, "the read-ahead of the image ended at sector %llu; reading directly",
                (unsigned long long)first);
    }
    return part_->ops->read_sectors(part_, first, count, out) == int64_t(count);
  }
  void stop() {
    if (active_) imagefile_read_uninit();
    active_ = false;
  }
  bool active() const { return active_; }

 private:
  BACKUP_PARTITION_INFO* part_;
  COPY_CONTEXT* context_;
  int32_t accepted_;
  bool active_ = false;
};

void add_step(COPY_CONTEXT* context, uint32_t sectors) {
  if (context->channel != nullptr) context->channel->ops->sub_progress_update(context->channel, sectors);
}

// How a piece loop ended: ok false after a failure or an Abort, stopped after a cancel.
struct PieceLoopEnd {
  bool ok = true;
  bool stopped = false;
};

// Copies `runs` (minus runs too unless `skip_minus`) in pieces of at most `piece` sectors to the
// same partition-relative sectors through `writer`. Before each piece: `failed_since()` true
// reports `break_text` and ends the loop as failed; a cancel ends it as stopped. A failed read
// asks the read question; every piece done or let go is added to the step.
template <typename Read, typename FailedSince>
PieceLoopEnd copy_pieces(COPY_CONTEXT* context, const IMAGE_RUN_VECTOR& runs, bool skip_minus, uint32_t piece,
                         uint8_t* buffer, int32_t accepted, HeldBackWriter* writer, const char* break_text,
                         FailedSince failed_since, Read read) {
  PieceLoopEnd end;
  end.ok = writer->begin();
  for (uint32_t r = 0; end.ok && !end.stopped && r < runs.run_count; ++r) {
    const IMAGE_RUN& run = *runs.runs[r];
    if (skip_minus && run.type == RUN_TYPE_MINUS) continue;
    for (uint64_t pos = run.value.Begin; end.ok && pos < run_end(run);) {
      if (failed_since()) {
        TAV_ENGINE_REPORT(bak_report(), false, kIconError, "%s", break_text);
        end.ok = false;
        break;
      }
      if (cancelled(context)) {
        end.stopped = true;
        break;
      }
      const uint32_t count = uint32_t(std::min<uint64_t>(piece, run_end(run) - pos));
      bool skipped = false;
      end.ok = with_retry(context, BakText::kDiskReadFailed, accepted, &skipped, [&] { return read(pos, count); });
      if (end.ok && !skipped) end.ok = writer->write(pos, count, buffer);
      if (end.ok) add_step(context, count);
      pos += count;
    }
  }
  return end;
}

// The end of a sector copy: the first sectors written after a complete copy (never after a
// cancel), the destination flushed and closed; 0, or -1 with the failure reported and counted.
int end_sector_copy(COPY_CONTEXT* context, const BACKUP_PARTITION_INFO* source, HeldBackWriter* writer,
                    DestinationScope* dest_scope, PieceLoopEnd end) {
  bool ok = end.ok;
  if (ok && !end.stopped && !cancelled(context)) ok = writer->finish(source);
  if (!dest_scope->finish()) {
    TAV_TRACE(kTraceError, kTraceLastError, "cannot flush %s", tav_get_partition_dev_name(context->dest));
    ok = false;
  }
  dest_scope->close();
  if (!ok) {
    COPY_FAIL(context, "copy_partition: error happens!!!!");
    return -1;
  }
  return 0;
}

}  // namespace

int32_t read_ahead_buffer_count(uint64_t free_mib) {
  if (free_mib < 256) return 100;
  if (free_mib < 512) return 200;
  return 400;
}

int copy_part_by_sector_from_image(COPY_CONTEXT* context, const std::string& image_dir) {
  BACKUP_PARTITION_INFO* source = context->source;
  BACKUP_PARTITION_INFO* dest = context->dest;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size_t(kImagePieceSectors) * kSectorSize]);
  if (!buffer) {
    COPY_FAIL(context, "out of momery when allocating buffer");
    return -1;
  }
  SourceScope source_scope(source);
  if (!source_scope.open()) {
    COPY_FAIL(context, "copy_partition 22222222222");
    TAV_TRACE(kTraceError, kTraceLastError, "cannot open the image partition %s", tav_get_partition_dev_name(source));
    return -1;
  }
  DestinationScope dest_scope(dest);
  if (!dest_scope.open()) {
    COPY_FAIL(context, "copy_partition 333333333");
    TAV_TRACE(kTraceError, kTraceLastError, "cannot open %s for writing", tav_get_partition_dev_name(dest));
    return -1;
  }
  const IMAGE_RUN_VECTOR* stored = libtavimg_get_part_run_vector(source);
  if (stored == nullptr || stored->run_count == 0) {
    COPY_FAIL(context, "copy_partition 4444444444");
    return -1;
  }
  RunVectorPtr runs = copy_runs(stored);
  RunVectorPtr ahead = runs ? copy_runs(runs.get()) : nullptr;
  if (!runs || !ahead) {
    COPY_FAIL(context, "copy_partition: libtavpub run flat to image failed!");
    return -1;
  }

  // Reads of the image and writes of the destination alternate in long stretches when both lie
  // on one disk.
  const BACKUP_PARTITION_INFO* image_home = image_dir.empty() ? nullptr : tav_path_to_part(image_dir.c_str());
  const int32_t cache_mode = image_home != nullptr && same_disk(image_home->disk, dest->disk) ? 1 : 0;
  // Errors counted before the reader starts; it may count its own ahead of the copy.
  HeldBackWriter writer(context);
  const int32_t accepted = errors(context);
  ImageSectorSource reader(source, context, accepted);
  if (!reader.start(std::move(ahead), read_ahead_buffer_count(TavGetFreePhyMem()), cache_mode)) {
    COPY_FAIL(context, "copy_partition: error happens!!!!");
    return -1;
  }
  // The read-ahead counts a failure before the copy reaches the piece; the piece's read then
  // fails and asks. Once it has stopped, a failure counted since the start ends the copy.
  PieceLoopEnd end = copy_pieces(
      context, *runs, false, kImagePieceSectors, buffer.get(), accepted, &writer, "copy_partition 55555555555",
      [&] { return !reader.active() && errors(context) > accepted; },
      [&](uint64_t pos, uint32_t count) { return reader.read(pos, count, buffer.get()); });
  reader.stop();
  // A failure the read-ahead met beyond the point of a cancel belongs to no piece copied.
  if (end.ok && end.stopped && context->error_count != nullptr) context->error_count->store(accepted);
  return end_sector_copy(context, source, &writer, &dest_scope, end);
}

int copy_real_part_by_sector(COPY_CONTEXT* context) {
  BACKUP_PARTITION_INFO* source = context->source;
  BACKUP_PARTITION_INFO* dest = context->dest;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size_t(kLivePieceSectors) * kSectorSize]);
  if (!buffer) {
    COPY_FAIL(context, "out of momery when allocating buffer");
    return -1;
  }
  SourceScope source_scope(source);
  if (!source_scope.open()) {
    COPY_FAIL(context, "Opening source partition failed!");
    TAV_TRACE(kTraceError, kTraceLastError, "cannot open %s", tav_get_partition_dev_name(source));
    return -1;
  }
  DestinationScope dest_scope(dest);
  if (!dest_scope.open()) {
    COPY_FAIL(context, "Opening destination partition failed!");
    TAV_TRACE(kTraceError, kTraceLastError, "cannot open %s for writing", tav_get_partition_dev_name(dest));
    return -1;
  }
  RunVectorPtr runs;
  uint64_t excluded = 0;
  const Status st = used_runs_to_store(context->channel, source, &runs, &excluded);
  if (!st) {
    COPY_FAIL(context, "%s", st.message().c_str());
    return -1;
  }
  const uint64_t used = disk::part_used_sectors(*source);
  if (context->channel != nullptr) {
    context->channel->ops->set_sub_progress_total(context->channel, int64_t(std::min<uint64_t>(used, INT64_MAX)),
                                              progress_ratio(used, runs.get()));
  }

  HeldBackWriter writer(context);
  const int32_t accepted = errors(context);
  const PieceLoopEnd end = copy_pieces(
      context, *runs, true, kLivePieceSectors, buffer.get(), accepted, &writer, "Some errors occurs, break loop!",
      [&] { return errors(context) > accepted; },
      [&](uint64_t pos, uint32_t count) {
        return source->ops->read_sectors(source, pos, count, buffer.get()) == int64_t(count);
      });
  return end_sector_copy(context, source, &writer, &dest_scope, end);
}

}  // namespace tav::engine
