// Cache mode of the read-ahead: when a request is not in memory, as many of the next runs as
// fit are read into one large cache in one go, so that a disk holding both the image and the
// other side of the copy sees long reads and long writes in turn. Runs only on the consumer's
// thread.
#include <algorithm>
#include <cstring>

#include "engine/read_ahead_internal.h"

namespace tav::engine::read_ahead {
namespace {

// Largest single read while filling: the channel's cancel is polled between reads.
constexpr uint32_t kFillChunkSectors = 8 * COMPRESS_UNIT_SECTORS;

// What read_into_cache did.
enum class CacheFill { kKept, kFilled, kFailed };

uint8_t* cache_at(uint64_t sector) { return s_read_data.cache_buf.get() + sector * kSectorSize; }

// Appends [begin, begin + count) stored at cache offset `offset`; a stretch that continues the
// last cached run both on the partition and in the cache extends that run, so a request that
// spans the two is served from one run.
bool append_cached(uint32_t begin, uint32_t count, uint32_t offset) {
  IMAGE_RUN_VECTOR* vec = s_read_data.cached_vec;
  if (vec->run_count > 0) {
    IMAGE_RUN* last = vec->runs[vec->run_count - 1];
    if (tav::run_end(*last) == begin && uint64_t{last->snapshot} + last->value.Number == offset) {
      last->value.Number += count;
      return true;
    }
  }
  const IMAGE_RUN run{{begin, count}, 0, offset};
  return libtavpub_append_image_run(vec, &run) != 0;
}

// Starts a new, empty cached_vec; false after a report.
bool new_cached_vec(THREAD_GUI_DATA* channel) {
  libtavpub_release_image_run_vector(s_read_data.cached_vec);
  s_read_data.cached_vec = libtavpub_create_empty_image_run_vector();
  if (s_read_data.cached_vec == nullptr) {
    TAV_READ_AHEAD_ERROR(channel, "read into cache: libtavpub_create_empty_image_run_vector failed");
    return false;
  }
  return true;
}

// Reads the next runs into the cache from sector offset `fill` until it is full, the runs are
// exhausted or the channel asks to stop.
bool fill_cache(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* img_part, uint32_t fill) {
  ReadData& d = s_read_data;
  IMAGE_RUN_VECTOR* vec = d.poverlap_vec;
  while (fill < d.cache_sectors && d.run_index < vec->run_count) {
    IMAGE_RUN* run = vec->runs[d.run_index];
    if (run == nullptr || run->value.Number == 0) {
      ++d.run_index;
      continue;
    }
    if (channel_stopped(channel)) break;
    const uint32_t k = std::min({run->value.Number, d.cache_sectors - fill, kFillChunkSectors});
    const int64_t got = img_part->ops->read_sectors(img_part, uint64_t{run->value.Begin}, k, cache_at(fill));
    if (got != int64_t{k}) {
      TAV_READ_AHEAD_ERROR(channel, "read into cache: read image disk failed!");
      return false;
    }
    if (!append_cached(run->value.Begin, k, fill)) {
      TAV_READ_AHEAD_ERROR(channel, "append image run failed!");
      return false;
    }
    run->value.Begin += k;
    run->value.Number -= k;
    fill += k;
  }
  return true;
}

// Makes [begin, begin + count) available in the cache when the runs still hold it.
CacheFill read_into_cache(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* img_part, int64_t begin, uint32_t count) {
  ReadData& d = s_read_data;
  IMAGE_RUN_VECTOR* cached = d.cached_vec;
  if (cached != nullptr && cached->run_count > 0) {
    const IMAGE_RUN& first = *cached->runs[0];
    if (begin < int64_t{first.value.Begin}) {
      TAV_READ_AHEAD_ERROR(channel, "read into cache: llBegin < pimg_run->value.Begin");
      return CacheFill::kFailed;
    }
    const IMAGE_RUN& last = *cached->runs[cached->run_count - 1];
    const int64_t last_end = int64_t(tav::run_end(last));
    if (begin < last_end) {
      if (begin < int64_t{last.value.Begin} || last_end - begin >= int64_t{count}) return CacheFill::kKept;
      // The request runs past the cache: keep its first part at the front and fill behind it.
      const uint32_t kept = uint32_t(last_end - begin);
      const uint32_t from = last.snapshot + uint32_t(begin - last.value.Begin);
      std::memmove(cache_at(0), cache_at(from), size_t(kept) * kSectorSize);
      if (!new_cached_vec(channel)) return CacheFill::kFailed;
      if (!append_cached(uint32_t(begin), kept, 0)) {
        TAV_READ_AHEAD_ERROR(channel, "append image run failed!");
        return CacheFill::kFailed;
      }
      return fill_cache(channel, img_part, kept) ? CacheFill::kFilled : CacheFill::kFailed;
    }
  }
  if (!new_cached_vec(channel)) return CacheFill::kFailed;
  return fill_cache(channel, img_part, 0) ? CacheFill::kFilled : CacheFill::kFailed;
}

// True when no more data can come into the cache: the runs are exhausted or the channel asks
// to stop. A request that is not (fully) cached then gets a short count, as in thread mode.
bool cache_input_ended(THREAD_GUI_DATA* channel) {
  const IMAGE_RUN_VECTOR* vec = s_read_data.poverlap_vec;
  if (channel_stopped(channel)) return true;
  for (uint32_t i = s_read_data.run_index; i < vec->run_count; ++i) {
    if (vec->runs[i] != nullptr && vec->runs[i]->value.Number != 0) return false;
  }
  return true;
}

}  // namespace

int64_t cache_read(THREAD_GUI_DATA* channel, BACKUP_PARTITION_INFO* img_part, int64_t begin, uint32_t count,
                   uint8_t* out) {
  ReadData& d = s_read_data;
  if (count > COMPRESS_UNIT_SECTORS) {
    TAV_READ_AHEAD_ERROR(channel, "cache read: lCount > COMPRESS_UNIT_SECTORS!");
    return -1;
  }
  const CacheFill fill = read_into_cache(channel, img_part, begin, count);
  if (fill == CacheFill::kFailed) return -1;
  if (fill == CacheFill::kFilled) d.cache_hint = 0;
  const IMAGE_RUN_VECTOR* cached = d.cached_vec;
  if (cached == nullptr || cached->run_count == 0) {
    if (cache_input_ended(channel)) return 0;
    TAV_READ_AHEAD_ERROR(channel, "cache read: !(*pvec) || (run_count=(*pvec)->count) <= 0!");
    return -1;
  }
  if (d.cache_hint >= cached->run_count) d.cache_hint = 0;
  // Requests move forward, so the search starts at the last hit.
  for (uint32_t i = d.cache_hint; i < cached->run_count; ++i) {
    const IMAGE_RUN& run = *cached->runs[i];
    const int64_t run_end = int64_t(tav::run_end(run));
    if (run_end <= begin) continue;
    if (begin < int64_t{run.value.Begin}) {
      TAV_READ_AHEAD_ERROR(channel,
                           "cache read: llBegin < pimg_run->value.Begin include while\n index=%ld, llBegin=%lld, "
                           "value.Begin=%ld",
                           long(i), static_cast<long long>(begin), long(run.value.Begin));
      return -1;
    }
    uint32_t n = count;
    if (run_end - begin < int64_t{count}) {
      const bool last = i + 1 == cached->run_count;
      if (!last || !cache_input_ended(channel)) {
        TAV_READ_AHEAD_ERROR(channel, "cache read: lCount > (pimg_run->value.Begin+pimg_run->value.Number-llBegin)");
        return -1;
      }
      n = uint32_t(run_end - begin);  // the data ends here: a short count
    }
    std::memcpy(out, cache_at(uint64_t{run.snapshot} + uint64_t(begin - run.value.Begin)), size_t(n) * kSectorSize);
    d.cache_hint = i;
    return n;
  }
  if (cache_input_ended(channel)) return 0;
  TAV_READ_AHEAD_ERROR(channel, "cache read failed!");
  return -1;
}

}  // namespace tav::engine::read_ahead
