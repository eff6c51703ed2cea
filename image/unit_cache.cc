// The unit cache of the snapshot sector reader: 32 slots of one inflated compress unit each,
// keyed by (chain member partition, unit number), filled from the volume files with the unit's
// framing and CRCs checked. Inflate and data CRC failures are retried and then put to the user
// (Abort / Retry / Ignore); nothing unchecked ever reaches a slot.
#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "core/trace.h"
#include "image/image_catalogue.h"
#include "image/image_channel.h"
#include "image/reader_internal.h"

namespace tav::img {
namespace {

// Failed attempts of one kind (inflate, data CRC) made before the user is asked; after that the
// user is asked after every further failure.
constexpr uint32_t kAttemptsBeforeAsking = 11;

// What the user chose for a unit that keeps failing.
enum class Choice { kRetry, kAbort, kIgnore };

// True when a question would not reach anyone: no face and no prompter, a worker without a
// face, or a silent record. Then the question is not asked and damaged data fails the read
// (the channel's answers there, Abort or nothing, would hide why).
bool nobody_to_ask() {
  THREAD_GUI_DATA* record = image_report().record;
  if (record == nullptr) return default_prompter() == nullptr;
  if (record->silent.load() != 0) return true;
  if (record->owner_wnd.load() != nullptr) return false;
  return record->worker_mode.load() != 0 || default_prompter() == nullptr;
}

Choice ask_about_unit(const char* what, const std::string& detail) {
  const uint32_t answer =
      libtavpub_throw_dlg(image_report().record, kIconError, kButtonsAbortRetryIgnore, "%s(%d)-%s: %s. %s",
                          source_file_name(__FILE__), __LINE__, "load_cache_unit", what, detail.c_str());
  // Nobody to ask gives the safe answer, Abort: damaged data is never taken silently.
  if (answer == kAnswerRetry) return Choice::kRetry;
  if (answer == kAnswerAbort) return Choice::kAbort;
  return Choice::kIgnore;
}

CacheSlot* find_slot(STORAGE_DATA* storage, const BACKUP_PARTITION_INFO* member, uint64_t unit) {
  for (CacheSlot& slot : storage->cache) {
    if (slot.unit >= 0 && uint64_t(slot.unit) == unit && slot.member == member) return &slot;
  }
  return nullptr;
}

// The slot a new unit goes to: the last empty one, else the one loaded longest ago (hits do
// not renew a slot).
CacheSlot* victim_slot(STORAGE_DATA* storage) {
  CacheSlot* empty = nullptr;
  CacheSlot* oldest = &storage->cache[0];
  for (CacheSlot& slot : storage->cache) {
    if (slot.unit < 0) empty = &slot;
    if (slot.stamp < oldest->stamp) oldest = &slot;
  }
  return empty != nullptr ? empty : oldest;
}

}  // namespace

Status ensure_reader_buffers(STORAGE_DATA* storage) {
  try {
    if (!storage->codec) storage->codec = std::make_unique<UnitCodec>();
    for (CacheSlot& slot : storage->cache) {
      if (!slot.data) {
        slot.data = std::make_unique<uint8_t[]>(kUnitBytes);
        slot.unit = -1;
        slot.member = nullptr;
        slot.stamp = 0;
      }
    }
    if (storage->stored_unit.size() < kMaxStoredUnitBytes) storage->stored_unit.resize(kMaxStoredUnitBytes);
  } catch (const std::bad_alloc&) {
    return TAV_READER_FAIL(kOutOfMemory, "out of memory, !buff (unit cache)");
  }
  return Status::ok();
}

void empty_unit_cache(STORAGE_DATA* storage) {
  for (CacheSlot& slot : storage->cache) {
    slot.unit = -1;
    slot.member = nullptr;
    slot.stamp = 0;
  }
}

Status load_cache_unit(STORAGE_DATA* storage, const BACKUP_PARTITION_INFO* member, const UNIT_LOCATION& loc,
                       uint64_t unit, const uint8_t** data) {
  Status s = ensure_reader_buffers(storage);
  if (!s) return s;
  if (CacheSlot* hit = find_slot(storage, member, unit)) {
    *data = hit->data.get();
    return Status::ok();
  }
  const IMAGE_PART_DATA* pd = image_part_data(member);
  if (pd == nullptr || pd->psnap == nullptr) return TAV_READER_FAIL(kInvalidArgument, "!part_data");
  if (unit < loc.first_unit || unit - loc.first_unit >= loc.entries.size()) {
    return TAV_READER_FAIL(kInvalidArgument,
                           "unit_num >= pLoc->loc_count-1: unit_num: %llu pLoc->loc_count: %zu",
                           static_cast<unsigned long long>(unit), loc.entries.size());
  }
  const FormatVersion version = pd->psnap->version();
  const uint32_t framing = version.unit_framing_bytes();
  const size_t k = size_t(unit - loc.first_unit);
  const uint64_t begin = loc.entries[k];
  const uint64_t end = k + 1 < loc.entries.size() ? loc.entries[k + 1] : loc.seg_end;

  IMAGE_FILE_DATA* file = nullptr;
  s = open_volume(storage, loc.vol, "load_cache_unit", &file);
  if (!s) return s;
  const uint64_t length = end > begin ? end - begin : 0;
  if (length > kMaxStoredUnitBytes || length <= framing || end > file->location_offset) {
    return TAV_READER_FAIL(kCorruption,
                           "compress_unit_len > Z_BUFSIZE: loc_count = %zu, unit_begin = %llu, compress_unit_len = "
                           "%llu, file_left = %llu, %s",
                           loc.entries.size(), static_cast<unsigned long long>(begin),
                           static_cast<unsigned long long>(length),
                           static_cast<unsigned long long>(file->location_offset > begin ? file->location_offset - begin : 0),
                           file->name.c_str());
  }

  CacheSlot* slot = victim_slot(storage);
  slot->unit = -1;  // empty until it holds checked data
  slot->member = nullptr;
  const std::span<uint8_t> out(slot->data.get(), kUnitBytes);
  const std::span<const uint8_t> stored(storage->stored_unit.data(), size_t(length));
  const size_t stream_bytes = size_t(length) - framing;
  const size_t stream_offset = framing != 0 ? kUnitMagicSize : 0;
  const uint8_t* tail = stored.data() + stream_offset + stream_bytes;  // end magic and CRCs
  const std::string detail = reader_text("volume %s, unit %llu (of %zu in this volume), compress_unit_len %llu",
                                         file->name.c_str(), static_cast<unsigned long long>(unit),
                                         loc.entries.size(), static_cast<unsigned long long>(length));
  uint32_t inflate_failures = 0;
  uint32_t crc_failures = 0;
  for (;;) {
    // Every attempt reads the stored unit again: a retry may succeed where a transient read
    // delivered bad bytes.
    s = read_volume_bytes(*file, begin, storage->stored_unit.data(), size_t(length));
    if (!s) return TAV_READER_FAIL(kIoError, "nlen != compress_unit_len, %s: %s", file->name.c_str(), s.message().c_str());
    if (framing != 0) {
      if (std::memcmp(stored.data(), kUnitStartMagic, kUnitMagicSize) != 0) {
        return TAV_READER_FAIL(kCorruption, "COMPRESS_UNIT_START_MAGIC error, %s", detail.c_str());
      }
      if (std::memcmp(tail, kUnitEndMagic, kUnitMagicSize) != 0) {
        return TAV_READER_FAIL(kCorruption, "COMPRESS_UNIT_END_MAGIC error, %s", detail.c_str());
      }
      if (framing == 16) {
        const uint32_t stream_crc = get_le32(tail + 8);  // 0: not recorded
        if (stream_crc != 0 && stream_crc != libtavpub_crc32_calc(stored.data() + stream_offset, stream_bytes)) {
          return TAV_READER_FAIL(kCorruption, "CRC32 error, %s", detail.c_str());
        }
      }
    }
    // The framing is checked above; the codec inflates the bare stream (version 3.0 framing).
    s = storage->codec->inflate(stored.subspan(stream_offset, stream_bytes), FormatVersion{3, 0}, out);
    if (!s) {
      if (s.code() != StatusCode::kCorruption) return TAV_READER_FAIL(kOutOfMemory, "inflateInit failed!!! %s", s.message().c_str());
      if (++inflate_failures < kAttemptsBeforeAsking) continue;
      TAV_TRACE(kTraceError, 0, "inflate error, attempt %u: %s, %s", inflate_failures, s.message().c_str(), detail.c_str());
      if (nobody_to_ask()) {
        return TAV_READER_FAIL(kCorruption, "inflate error or data corrupt, nobody to ask. %s, %s", detail.c_str(),
                               s.message().c_str());
      }
      const Choice choice = ask_about_unit("inflate error or data corrupt", detail + ", " + s.message());
      if (choice == Choice::kRetry) continue;
      if (choice == Choice::kAbort) return Status::cancelled("inflate error or data corrupt: aborted, " + detail);
      std::memset(out.data(), 0, out.size());
      TAV_TRACE(kTraceWarn, 0, "inflate error ignored, unit read as zeros: %s", detail.c_str());
      break;
    }
    if (framing != 0 && version.verifies_data_crc() && get_le32(tail + 4) != libtavpub_crc32_calc(out.data(), out.size())) {
      if (++crc_failures < kAttemptsBeforeAsking) continue;
      TAV_TRACE(kTraceError, 0, "Original CRC32 error, attempt %u: %s", crc_failures, detail.c_str());
      if (nobody_to_ask()) {
        return TAV_READER_FAIL(kCorruption, "Original CRC32 error, nobody to ask. %s", detail.c_str());
      }
      const Choice choice = ask_about_unit("Original CRC32 error", detail);
      if (choice == Choice::kRetry) continue;
      if (choice == Choice::kAbort) return Status::cancelled("Original CRC32 error: aborted, " + detail);
      std::memset(out.data(), 0, out.size());
      TAV_TRACE(kTraceWarn, 0, "CRC error ignored, unit read as zeros: %s", detail.c_str());
      break;
    }
    break;
  }
  slot->member = member;
  slot->unit = int64_t(unit);
  slot->stamp = ++storage->cache_counter;
  *data = slot->data.get();
  return Status::ok();
}

}  // namespace tav::img
