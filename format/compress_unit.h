// Compress units: 131072 bytes of partition data as a zlib stream inside the framing of the
// volume's format version (bare, 12 or 16 bytes; see ego_format.h).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/status.h"
#include "format/ego_format.h"

struct libdeflate_compressor;
struct libdeflate_decompressor;

namespace tav::img {

// What the caller of UnitCodec::compress may hand over and ask for.
struct UnitCompressOptions {
  // In the compressing modes, a unit that looks incompressible (worth_compressing() says no) is
  // stored as a zlib stream of stored blocks instead of being compressed.
  bool store_incompressible = true;
  // The CRC-32 of the data when the caller already has it; null makes the codec compute it.
  const uint32_t* data_crc = nullptr;
  // From 3.4: record the CRC of the stream (else the field is 0, "not recorded").
  bool record_stream_crc = true;
};

// How compress() made a unit.
enum class UnitStream { kCompressed, kStored };

// Compresses and inflates units. Holds libdeflate state, so one codec per thread: a codec is not
// safe for concurrent use, distinct codecs are. The stream format (zlib, RFC 1950) is the
// contract; units made by any zlib-compatible writer are read.
class UnitCodec {
 public:
  UnitCodec();
  ~UnitCodec();
  UnitCodec(const UnitCodec&) = delete;
  UnitCodec& operator=(const UnitCodec&) = delete;

  // Frames `data` (exactly kUnitBytes) for version `v` at the zlib level of `mode` into *out
  // (replaced). Fails when the stream would exceed kMaxCompressedBytes. `made` (may be null)
  // says whether the unit was stored (mode none, or it looked incompressible) or compressed.
  Status compress(std::span<const uint8_t> data, CompressMode mode, FormatVersion v, std::vector<uint8_t>* out,
                  const UnitCompressOptions& options = {}, UnitStream* made = nullptr);

  // The cheap test compress() uses to store rather than compress: false when every 4 KiB block
  // of the unit begins with bytes spread as evenly as random bytes are (a byte histogram of a
  // sample), and a fast trial compression of the unit's first part saves nothing either. Data
  // with any skew, any run of zeros or text in one block is worth compressing.
  bool worth_compressing(std::span<const uint8_t> data);

  // Checks a stored unit of version `v` and inflates it into `out` (kUnitBytes). The checks, in
  // order: stored length more than the framing and at most kMaxStoredUnitBytes; start and end
  // magics; a nonzero compressed CRC matches; the stream inflates to exactly kUnitBytes; the CRC
  // of the inflated bytes matches (from 3.3). Bytes between the end of the zlib stream and the
  // framing are ignored, as zlib's uncompress does. Failures of these checks are corruption
  // results whose message names the check; wrong buffer sizes are invalid arguments. `out` may
  // hold partial data after a failure and must not be used then. Never reads outside `stored`.
  Status inflate(std::span<const uint8_t> stored, FormatVersion v, std::span<uint8_t> out);

 private:
  libdeflate_compressor* compressor_for(int level);

  // By level: none (stored blocks), the trial's, normal, high.
  libdeflate_compressor* compressors_[4] = {nullptr, nullptr, nullptr, nullptr};
  libdeflate_decompressor* decompressor_ = nullptr;
};

}  // namespace tav::img
