// Compress units of EGO volumes: zlib streams through libdeflate, framed per format version
// (framings in ego_format.h).
#include "format/compress_unit.h"

#include <libdeflate.h>

#include <cstring>
#include <string>

#include "core/byte_order.h"
#include "core/crc32.h"

namespace tav::img {
namespace {

// Framed units: start magic, stream, end magic, CRC of the data, then (from 3.4) the CRC of the
// stream. Everything after the stream is a fixed 8 or 12 bytes.
constexpr size_t kStartMagicBytes = kUnitMagicSize;

// Telling incompressible units. Each 4 KiB block (a file system block: where one file's data
// ends and another's begins) gives a sample of its first kSampleBytes; a sample looks random
// when the sum of its squared byte counts stays near what uniform random bytes give,
// n + n(n-1)/256 = 1533.5 for 512 bytes (standard deviation about 120). Text, code, records,
// zeros and the padding of small files lie far above. The limit sits about four deviations
// above the mean.
constexpr size_t kSampleBlockBytes = 4096;
constexpr size_t kSampleBytes = 512;
constexpr uint32_t kRandomSampleLimit = 2048;
// Then a fast compression of the unit's first kTrialBytes must save at least 1/32 of them, or
// the unit is stored. It catches uniform bytes that still repeat (the same random block twice).
constexpr int kZlibLevelTrial = 1;
constexpr size_t kTrialBytes = 8192;
constexpr size_t kTrialLimit = kTrialBytes - kTrialBytes / 32;

std::string unit_error(const std::string& what) { return "compress unit: " + what; }

bool sample_looks_random(const uint8_t* p) {
  uint32_t counts[256] = {};
  for (size_t i = 0; i < kSampleBytes; ++i) ++counts[p[i]];
  uint32_t sum = 0;
  for (uint32_t c : counts) sum += c * c;
  return sum <= kRandomSampleLimit;
}

int compressor_index(int level) {
  switch (level) {
    case kZlibLevelNone:
      return 0;
    case kZlibLevelTrial:
      return 1;
    case kZlibLevelNormal:
      return 2;
    default:
      return 3;
  }
}

}  // namespace

UnitCodec::UnitCodec() = default;

UnitCodec::~UnitCodec() {
  for (auto*& c : compressors_) {
    libdeflate_free_compressor(c);
    c = nullptr;
  }
  libdeflate_free_decompressor(decompressor_);
}

libdeflate_compressor* UnitCodec::compressor_for(int level) {
  libdeflate_compressor*& c = compressors_[compressor_index(level)];
  if (c == nullptr) c = libdeflate_alloc_compressor(level);
  return c;
}

bool UnitCodec::worth_compressing(std::span<const uint8_t> data) {
  for (size_t at = 0; at + kSampleBytes <= data.size(); at += kSampleBlockBytes) {
    if (!sample_looks_random(data.data() + at)) return true;
  }
  if (data.size() < kTrialBytes) return true;
  libdeflate_compressor* c = compressor_for(kZlibLevelTrial);
  if (c == nullptr) return true;
  uint8_t trial[kTrialLimit];
  // 0: the stream does not fit below the limit.
  return libdeflate_zlib_compress(c, data.data(), kTrialBytes, trial, sizeof trial) != 0;
}

Status UnitCodec::compress(std::span<const uint8_t> data, CompressMode mode, FormatVersion v,
                           std::vector<uint8_t>* out, const UnitCompressOptions& options, UnitStream* made) {
  if (data.size() != kUnitBytes) {
    return Status::invalid_argument(unit_error("data of " + std::to_string(data.size()) + " bytes, not " +
                                               std::to_string(kUnitBytes)));
  }
  if (mode != kCompressNone && mode != kCompressNormal && mode != kCompressHigh) {
    return Status::invalid_argument(unit_error("unknown compress mode " + std::to_string(uint32_t(mode))));
  }
  const bool store = mode != kCompressNone && options.store_incompressible && !worth_compressing(data);
  libdeflate_compressor* c = compressor_for(store ? kZlibLevelNone : zlib_level_of(mode));
  if (c == nullptr) return Status::out_of_memory(unit_error("cannot allocate a compressor"));

  const size_t framing = v.unit_framing_bytes();
  const size_t prefix = framing == 0 ? 0 : kStartMagicBytes;
  out->resize(framing + kMaxCompressedBytes);
  // libdeflate gives 0 when the stream does not fit the space offered, which is exactly the
  // writer's limit on the stream.
  const size_t n = libdeflate_zlib_compress(c, data.data(), data.size(), out->data() + prefix, kMaxCompressedBytes);
  if (n == 0) {
    out->clear();
    return Status::invalid_argument(unit_error("zlib stream exceeds " + std::to_string(kMaxCompressedBytes) + " bytes"));
  }
  if (made != nullptr) *made = store || mode == kCompressNone ? UnitStream::kStored : UnitStream::kCompressed;
  if (framing == 0) {
    out->resize(n);
    return Status::ok();
  }
  uint8_t* p = out->data();
  std::memcpy(p, kUnitStartMagic, kUnitMagicSize);
  uint8_t* tail = p + prefix + n;
  std::memcpy(tail, kUnitEndMagic, kUnitMagicSize);
  put_le32(tail + 4, options.data_crc != nullptr ? *options.data_crc : libtavpub_crc32_calc(data.data(), data.size()));
  if (framing == 16) put_le32(tail + 8, options.record_stream_crc ? libtavpub_crc32_calc(p + prefix, n) : 0);
  out->resize(framing + n);
  return Status::ok();
}

Status UnitCodec::inflate(std::span<const uint8_t> stored, FormatVersion v, std::span<uint8_t> out) {
  if (out.size() != kUnitBytes) {
    return Status::invalid_argument(unit_error("output of " + std::to_string(out.size()) + " bytes, not " +
                                               std::to_string(kUnitBytes)));
  }
  const size_t framing = v.unit_framing_bytes();
  if (stored.size() <= framing || stored.size() > kMaxStoredUnitBytes) {
    return Status::corruption(unit_error("stored length " + std::to_string(stored.size()) + " out of range " +
                                         std::to_string(framing + 1) + ".." + std::to_string(kMaxStoredUnitBytes)));
  }
  // From here on every offset lies inside `stored`: size > framing and the trailer after the
  // stream is framing - 4 bytes long.
  std::span<const uint8_t> stream = stored;
  uint32_t data_crc = 0;
  if (framing != 0) {
    const size_t n = stored.size() - framing;
    stream = stored.subspan(kStartMagicBytes, n);
    const uint8_t* tail = stored.data() + kStartMagicBytes + n;
    if (std::memcmp(stored.data(), kUnitStartMagic, kUnitMagicSize) != 0) {
      return Status::corruption(unit_error("bad start magic"));
    }
    if (std::memcmp(tail, kUnitEndMagic, kUnitMagicSize) != 0) return Status::corruption(unit_error("bad end magic"));
    data_crc = get_le32(tail + 4);
    if (framing == 16) {
      const uint32_t stream_crc = get_le32(tail + 8);  // 0: not recorded
      if (stream_crc != 0 && stream_crc != libtavpub_crc32_calc(stream.data(), stream.size())) {
        return Status::corruption(unit_error("CRC of the compressed bytes mismatch"));
      }
    }
  }

  if (decompressor_ == nullptr) decompressor_ = libdeflate_alloc_decompressor();
  if (decompressor_ == nullptr) return Status::out_of_memory(unit_error("cannot allocate a decompressor"));
  // Decompression stops at the end of the zlib stream; bytes after it are ignored, as zlib's
  // uncompress does. A null actual size makes a short result an error of its own.
  switch (libdeflate_zlib_decompress(decompressor_, stream.data(), stream.size(), out.data(), out.size(), nullptr)) {
    case LIBDEFLATE_SUCCESS:
      break;
    case LIBDEFLATE_SHORT_OUTPUT:
      return Status::corruption(unit_error("stream inflates to fewer than " + std::to_string(kUnitBytes) + " bytes"));
    case LIBDEFLATE_INSUFFICIENT_SPACE:
      return Status::corruption(unit_error("stream inflates to more than " + std::to_string(kUnitBytes) + " bytes"));
    default:
      return Status::corruption(unit_error("bad zlib stream"));
  }
  if (framing != 0 && v.verifies_data_crc() && data_crc != libtavpub_crc32_calc(out.data(), out.size())) {
    return Status::corruption(unit_error("CRC of the data mismatch"));
  }
  return Status::ok();
}

}  // namespace tav::img
