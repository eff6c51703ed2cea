// Compressing a backup package: checks that the package is intact, compresses its 131072 bytes
// with the unit codec at the run's level, verifies the unit in debug mode (with retries and,
// after repeated failures, the user's say), and frames the unit into the package's buffer.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "core/progress_channel.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"

namespace tav::engine {

namespace {

// Silent verification attempts of one compression before the user is asked.
constexpr int kSilentAttempts = 11;
// Compressions of one package before it fails.
constexpr int kMaxCompressions = 5;

std::atomic<bool> g_debug_info_written{false};

enum class Verdict { kOk, kInconsistent, kInflateError, kDataChanged };

uint32_t ask_retry(WorkerShared& w, const char* text) {
  if (w.channel != nullptr && w.channel->ops != nullptr && w.channel->ops->throw_dlg != nullptr) {
    return w.channel->ops->throw_dlg(w.channel, kIconError, kButtonsRetryCancel, "%s", text);
  }
  return libtavpub_throw_dlg_text(nullptr, kIconError, kButtonsRetryCancel, text);
}

// Decompresses the unit and compares it with what it was made from, kSilentAttempts times, then
// once more for every Retry the user answers.
Verdict verify(WorkerShared& w, CompressContext& ctx, const uint8_t* data, int64_t unit, int* error_code) {
  for (int failures = 0;;) {
    Status st = ctx.codec.inflate(ctx.framed, w.version, std::span<uint8_t>(ctx.check.get(), img::kUnitBytes));
    Verdict verdict = Verdict::kOk;
    if (!st) {
      verdict = Verdict::kInflateError;
      *error_code = int(st.code());
    } else if (std::memcmp(ctx.check.get(), data, img::kUnitBytes) != 0) {
      verdict = Verdict::kInconsistent;
    }
    if (verdict == Verdict::kOk) return verdict;
    if (++failures < kSilentAttempts) continue;
    char text[512];
    if (verdict == Verdict::kInconsistent) {
      std::snprintf(text, sizeof text, "%s(%d)-%s: data is inconsistent after uncompression(%ld-%ld).",
                    source_file_name(__FILE__), __LINE__, __func__, long(unit), long(failures));
    } else {
      std::snprintf(text, sizeof text, "%s(%d)-%s: Uncompression error=%d.", source_file_name(__FILE__), __LINE__,
                    __func__, *error_code);
    }
    if (ask_retry(w, text) != kAnswerRetry) return verdict;
  }
}

// The CRC-32 the codec framed for the data it compressed.
uint32_t framed_data_crc(const WorkerShared& w, const CompressContext& ctx, const uint8_t* data) {
  const UnitFraming f = unit_framing(w.version, ctx.framed.size());
  if (f.data_crc_offset == 0) return libtavpub_crc32_calc(data, img::kUnitBytes);
  return get_le32(ctx.framed.data() + f.data_crc_offset);
}

}  // namespace

void reset_compress_debug_info_once() { g_debug_info_written = false; }

bool compress_handle_func(WorkerShared& w, CompressContext& ctx, BACKUP_PACKAGE* walk) {
  if (walk->unit != walk->chk_unit) {
    TAV_WORKER_FAIL(w, "walk->unit != walk->chk_unit, WHY!");
    return false;
  }
  if (walk->chk_buff_p != walk->buff) {
    TAV_WORKER_FAIL(w, "walk->chk_buff_p != walk->buff, WHY!");
    return false;
  }
  if (walk->walk != walk) {
    TAV_WORKER_FAIL(w, "walk->chk_pkg_p != walk->walk, WHY!");
    return false;
  }
  const WorkerTestHooks* hooks = worker_test_hooks();
  if (hooks != nullptr && hooks->before_compress != nullptr) hooks->before_compress(hooks->context, walk->unit);

  const bool debug = w.sizing.debug;
  // In debug mode the unit is made from a working copy, so that a package buffer changed behind
  // the thread's back can be told apart from a bad compression.
  const uint8_t* data = walk->buff;
  if (debug) {
    std::memcpy(ctx.work.get(), walk->buff, img::kUnitBytes);
    data = ctx.work.get();
  }
  img::UnitStream made = img::UnitStream::kCompressed;
  for (int compression = 1;; ++compression) {
    // Only a verified unit carries the CRC of its compressed bytes; outside debug mode the field
    // stays 0 ("not recorded").
    img::UnitCompressOptions options;
    options.record_stream_crc = debug;
    Status st = ctx.codec.compress(std::span<const uint8_t>(data, img::kUnitBytes), w.mode, w.version, &ctx.framed,
                                   options, &made);
    if (!st) {
      TAV_WORKER_FAIL(w, "compress2 error: %d", int(st.code()));
      return false;
    }
    if (hooks != nullptr && hooks->after_compress != nullptr) {
      hooks->after_compress(hooks->context, walk->unit, ctx.framed.data(), ctx.framed.size());
    }
    // The codec framed the CRC of what it compressed; it must be the one taken when the package
    // was filled, or the data changed in between.
    if (framed_data_crc(w, ctx, data) != walk->crc32) {
      if (!debug || compression >= kMaxCompressions || libtavpub_crc32_calc(walk->buff, img::kUnitBytes) != walk->crc32) {
        TAV_WORKER_FAIL(w, "walk->crc32 error, WHY!");
        return false;
      }
      // The working copy went wrong but the package is right: take the copy again.
      std::memcpy(ctx.work.get(), walk->buff, img::kUnitBytes);
      continue;
    }
    if (!debug) break;
    if (libtavpub_crc32_calc(walk->buff, img::kUnitBytes) != walk->crc32) {
      TAV_WORKER_WARN("WARNING: crc32 need to be calculated again!");
    }
    int error_code = 0;
    const Verdict verdict = verify(w, ctx, data, walk->unit, &error_code);
    if (verdict == Verdict::kOk) break;
    if (!g_debug_info_written.exchange(true)) {
      const UnitFraming f = unit_framing(w.version, ctx.framed.size());
      write_compress_debug_info(walk->unit, data, img::kUnitBytes, ctx.framed.data() + f.stream_offset,
                                f.stream_bytes);
    }
    if (verdict == Verdict::kInconsistent) {
      TAV_WORKER_WARN("  Validation Error: Try to compress again!");
    } else {
      TAV_WORKER_WARN("  Uncompression Error: Try to compress again!");
    }
    if (compression >= kMaxCompressions) {
      TAV_WORKER_FAIL(w, "unit %lld still fails its check after %d compressions!", static_cast<long long>(walk->unit),
                      compression);
      return false;
    }
  }

  if (made == img::UnitStream::kStored) ++ctx.stored_units;
  std::memcpy(walk->buff, ctx.framed.data(), ctx.framed.size());
  walk->len = uint32_t(ctx.framed.size());
  return true;
}

}  // namespace tav::engine
