// Writing a backup package: the unit must be the next one in order; in debug mode its framing
// CRCs and its data are checked once more; then the image writer appends it to the segment.
#include <span>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "engine/engine_channel.h"
#include "engine/backup_worker_internal.h"
#include "engine/image_writer.h"

namespace tav::engine {

namespace {

bool verify_before_write(WorkerShared& w, const BACKUP_PACKAGE* walk) {
  const UnitFraming f = unit_framing(w.version, walk->len);
  if (f.data_crc_offset != 0 && get_le32(walk->buff + f.data_crc_offset) != walk->crc32) {
    TAV_WORKER_FAIL(w, "original CRC32 error before write to disk!");
    return false;
  }
  if (f.stream_crc_offset != 0 &&
      get_le32(walk->buff + f.stream_crc_offset) != libtavpub_crc32_calc(walk->buff + f.stream_offset, f.stream_bytes)) {
    TAV_WORKER_FAIL(w, "CRC32 error (after compression) before write to disk!");
    return false;
  }
  Status st = w.write_codec.inflate(std::span<const uint8_t>(walk->buff, walk->len), w.version,
                                    std::span<uint8_t>(w.write_check.get(), img::kUnitBytes));
  if (!st) {
    w.count_error();
    TAV_ENGINE_REPORT(bak_report(), false, kIconWarning,
                      "Check: Uncompression error=%d before write to disk!.ANYWAY,TRY AGAIN!", int(st.code()));
    return false;
  }
  if (libtavpub_crc32_calc(w.write_check.get(), img::kUnitBytes) != walk->crc32) {
    TAV_WORKER_FAIL(w, "walk->crc32 error(%ld) before write to disk!, WHY!", long(walk->unit));
    return false;
  }
  return true;
}

}  // namespace

bool write_handle_func(WorkerShared& w, BACKUP_PACKAGE* walk) {
  if (walk->unit != w.next_write_unit) {
    TAV_WORKER_FAIL(w, "next_write_unit != walk->unit, next_write_unit=%ld\n", long(w.next_write_unit));
    return false;
  }
  ++w.next_write_unit;
  if (w.sizing.debug && !verify_before_write(w, walk)) return false;
  const int32_t errors_before = w.error_count->load();
  Status st = w.writer->write_unit(std::span<const uint8_t>(walk->buff, walk->len));
  if (!st) {
    // The writer counts its own I/O failures on its channel; count the others here.
    if (w.error_count->load() == errors_before) w.count_error();
    TAV_ENGINE_REPORT(bak_report(), false, kIconError, "writing unit %ld failed: %s", long(walk->unit),
                      st.message().c_str());
    return false;
  }
  return true;
}

}  // namespace tav::engine
