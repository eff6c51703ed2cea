// The check of one partition of the validated snapshot: every stored sector read in pieces of
// one compress unit, the units checked ahead of the reads on worker threads.
#include <algorithm>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "image/image_reader.h"
#include "core/progress_channel.h"
#include "core/trace.h"
#include "disk/disk.h"
#include "engine/backup_plan.h"
#include "engine/backup_texts.h"
#include "engine/engine_channel.h"
#include "engine/validate_internal.h"
#include "engine/validate_precheck.h"

namespace tav::engine {

namespace {

constexpr size_t kBufferBytes = 1 << 20;

// Pieces whose units are queued ahead of the one being read, per worker.
constexpr size_t kPiecesAheadPerWorker = 8;

struct Piece {
  uint64_t sector = 0;
  uint32_t count = 0;
  std::shared_ptr<PieceCheck> check;  // null: read through the reader
};

// The pieces of the runs in order: at most kValidatePieceSectors sectors each, from each run's
// first sector.
class PieceCursor {
 public:
  explicit PieceCursor(const std::vector<FLAT_RUN>& runs) : runs_(runs) {}
  bool next(Piece* piece) {
    for (; run_ < runs_.size(); ++run_, offset_ = 0) {
      const FLAT_RUN& r = runs_[run_];
      if (flat_run_is_minus(r)) continue;  // nothing stored there
      const uint64_t sectors = flat_run_sectors(r);
      if (offset_ >= sectors) continue;
      piece->sector = uint64_t(r.Begin) + offset_;
      piece->count = uint32_t(std::min<uint64_t>(kValidatePieceSectors, sectors - offset_));
      piece->check = nullptr;
      offset_ += piece->count;
      return true;
    }
    return false;
  }

 private:
  const std::vector<FLAT_RUN>& runs_;
  size_t run_ = 0;
  uint64_t offset_ = 0;
};

// Closes the image partition when the check ends.
struct OpenPartition {
  BACKUP_PARTITION_INFO* part = nullptr;
  ~OpenPartition() {
    if (part != nullptr && part->ops != nullptr && part->ops->close != nullptr) part->ops->close(part);
  }
};

bool stopped(const THREAD_GUI_DATA* channel) { return channel->error_count >= 1 || channel->cancel.load() != 0; }

}  // namespace

unsigned default_validate_workers() {
  const unsigned n = std::thread::hardware_concurrency();
  return std::clamp(n, 1u, 8u);
}

int validate_copy(BACKUP_PARTITION_INFO* part, THREAD_GUI_DATA* channel, unsigned workers) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kBufferBytes]);
  if (!buffer) {
    ++channel->error_count;
    TAV_ENGINE_REPORT(bak_report(), false, kIconError, "validate partition: out of momery when allocating buffer");
    return -1;
  }
  const std::string shown = partition_text(bak_text(BakText::kValidPartPrompt), *part);
  channel->ops->set_prompt_message(channel, shown.c_str());
  channel->ops->append_message_to_info_box(channel, shown.c_str());
  channel->ops->update_percentage(channel);
  TAV_TRACE(kTraceInfo, 0, "%s", shown.c_str());

  // The reader reports why an open fails.
  if (part->ops == nullptr || part->ops->open == nullptr || part->ops->open(part, disk::kOpenRead) < 0) {
    ++channel->error_count;
    return -1;
  }
  OpenPartition opened{part};
  std::vector<FLAT_RUN> runs;
  const IMAGE_RUN_VECTOR* vector = libtavimg_get_part_run_vector(part);
  if (vector == nullptr) {
    ++channel->error_count;
    return -1;
  }
  if (!flat_runs_of(vector, &runs)) {
    ++channel->error_count;
    TAV_ENGINE_REPORT(bak_report(), false, kIconError, "validate partition: out of memory for the run table");
    return -1;
  }

  // Without workers the precheck only checks what the reader returned, on this thread.
  const auto precheck = std::make_unique<UnitPrecheck>(workers);
  workers = precheck->workers();
  const size_t ahead = kPiecesAheadPerWorker * workers;
  PieceCursor cursor(runs);
  std::deque<Piece> window;
  bool more = true;
  while (!stopped(channel)) {
    // Queue the checks of the pieces ahead; a piece that cannot be mapped yet waits for the
    // reader to load what it needs, so nothing after it is queued before it is read.
    while (more && window.size() <= ahead && (window.empty() || window.back().check != nullptr)) {
      Piece piece;
      more = cursor.next(&piece);
      if (!more) break;
      if (workers > 0) piece.check = precheck->submit(part, piece.sector, piece.count);
      window.push_back(std::move(piece));
    }
    if (window.empty()) break;
    const Piece piece = std::move(window.front());
    window.pop_front();
    if (piece.check != nullptr && precheck->wait(*piece.check)) {
      channel->ops->sub_progress_update(channel, piece.count);
      continue;
    }
    const int64_t got = part->ops->read_sectors(part, piece.sector, piece.count, buffer.get());
    if (got != int64_t(piece.count)) {
      ++channel->error_count;
      break;
    }
    // The reader returned the piece: a unit of it that fails its check was let go on as zeros
    // (the user answered Ignore), and the snapshot does not validate.
    if (const std::shared_ptr<const UnitJob> bad = precheck->check_now(part, piece.sector, piece.count)) {
      ++channel->error_count;
      TAV_ENGINE_REPORT(bak_report(), false, kIconError,
                        "validate partition: unit %llu in %s is damaged (read as zeros)",
                        static_cast<unsigned long long>(bad->unit), bad->file_name.c_str());
      break;
    }
    channel->ops->sub_progress_update(channel, piece.count);
  }
  return channel->error_count > 0 ? -1 : 0;
}

}  // namespace tav::engine
