// Tests of compress units: round trips in every framing and mode, interchange with plain zlib in
// both directions, and refusal of damaged or ill-sized units without reading outside them.
#include "format/compress_unit.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "tests/format/zlib_stream_check.h"

namespace tav::img {
namespace {

// One unit of data that looks like a disk: text, a run of zeros, random bytes, small records.
std::vector<uint8_t> unit_data(uint32_t seed) {
  std::vector<uint8_t> d(kUnitBytes, 0);
  std::mt19937 gen(seed);
  static const char* const kWords[] = {"sector ", "volume ", "the ", "image ", "backup ", "data\n", "file ", "of "};
  size_t i = 0;
  while (i < 48 * 1024) {
    const char* w = kWords[gen() % 8];
    for (; *w != '\0' && i < 48 * 1024; ++w) d[i++] = uint8_t(*w);
  }
  i += 32 * 1024;  // zeros
  for (const size_t end = i + 16 * 1024; i < end; ++i) d[i] = uint8_t(gen());
  for (uint32_t n = 0; i + 16 <= d.size(); i += 16, ++n) {
    put_le32(&d[i], n);
    put_le32(&d[i + 4], n * 512);
    put_le32(&d[i + 8], 0x1000 + (n & 7));
  }
  return d;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> d(n);
  std::mt19937 gen(seed);
  for (uint8_t& b : d) b = uint8_t(gen());
  return d;
}

uint32_t zlib_crc(const uint8_t* p, size_t n) { return uint32_t(crc32(0, p, uInt(n))); }

// A stored unit framed by hand around a zlib stream (framing bytes: 0, 12 or 16).
std::vector<uint8_t> frame(const std::vector<uint8_t>& stream, const std::vector<uint8_t>& data, size_t framing,
                           bool with_stream_crc = true) {
  if (framing == 0) return stream;
  std::vector<uint8_t> out(framing + stream.size());
  std::memcpy(out.data(), "HOLE", 4);
  std::memcpy(out.data() + 4, stream.data(), stream.size());
  uint8_t* tail = out.data() + 4 + stream.size();
  std::memcpy(tail, "IOLF", 4);
  put_le32(tail + 4, zlib_crc(data.data(), data.size()));
  if (framing == 16) put_le32(tail + 8, with_stream_crc ? zlib_crc(stream.data(), stream.size()) : 0);
  return out;
}

std::vector<uint8_t> zlib_compress(const std::vector<uint8_t>& data, int level) {
  uLongf n = compressBound(uLong(data.size()));
  std::vector<uint8_t> out(n);
  EXPECT_EQ(compress2(out.data(), &n, data.data(), uLong(data.size()), level), Z_OK);
  out.resize(n);
  return out;
}

struct VersionCase {
  const char* name;
  FormatVersion v;
  size_t framing;
};
const VersionCase kVersions[] = {
    {"2.0", {2, 0}, 0}, {"3.0", {3, 0}, 0}, {"3.1", {3, 1}, 12}, {"3.2", {3, 2}, 12},
    {"3.3", {3, 3}, 12}, {"3.4", {3, 4}, 16},
};

class UnitCodecTest : public ::testing::Test {
 protected:
  Status inflate(const std::vector<uint8_t>& stored, FormatVersion v) {
    out_.assign(kUnitBytes, 0xCC);
    return codec_.inflate(stored, v, out_);
  }
  void expect_refused(const std::vector<uint8_t>& stored, FormatVersion v, const std::string& why) {
    const Status s = inflate(stored, v);
    EXPECT_EQ(s.code(), StatusCode::kCorruption);
    EXPECT_NE(s.message().find(why), std::string::npos) << s.message();
  }
  std::vector<uint8_t> compressed(const std::vector<uint8_t>& data, CompressMode mode, FormatVersion v) {
    std::vector<uint8_t> stored;
    const Status s = codec_.compress(data, mode, v, &stored);
    EXPECT_TRUE(s) << s.message();
    return stored;
  }

  UnitCodec codec_;
  std::vector<uint8_t> out_;
  const std::vector<uint8_t> data_ = unit_data(1);
};

TEST_F(UnitCodecTest, RoundTripInEveryFramingAndMode) {
  // The zlib header's FLEVEL shows the level each mode compressed with: 0 -> 0, 2 -> 1, 6 -> 2.
  const struct {
    CompressMode mode;
    int flevel;
  } modes[] = {{kCompressNone, 0}, {kCompressNormal, 1}, {kCompressHigh, 2}};
  for (const VersionCase& vc : kVersions) {
    for (const auto& m : modes) {
      SCOPED_TRACE(std::string(vc.name) + " mode " + std::to_string(m.mode));
      const auto stored = compressed(data_, m.mode, vc.v);
      ASSERT_GT(stored.size(), vc.framing + 2);
      const size_t prefix = vc.framing == 0 ? 0 : 4;
      const size_t n = stored.size() - vc.framing;
      EXPECT_LE(n, kMaxCompressedBytes);
      EXPECT_EQ(stored[prefix], 0x78);
      EXPECT_EQ(stored[prefix + 1] >> 6, m.flevel);
      if (m.mode == kCompressNone) {
        EXPECT_GT(n, kUnitBytes);  // stored blocks only
      } else {
        EXPECT_LT(n, kUnitBytes / 2);
      }
      if (vc.framing != 0) {
        EXPECT_EQ(std::memcmp(stored.data(), "HOLE", 4), 0);
        EXPECT_EQ(std::memcmp(stored.data() + 4 + n, "IOLF", 4), 0);
        EXPECT_EQ(get_le32(stored.data() + 8 + n), zlib_crc(data_.data(), data_.size()));
      }
      if (vc.framing == 16) {
        EXPECT_EQ(get_le32(stored.data() + 12 + n), zlib_crc(stored.data() + 4, n));
      }
      ASSERT_TRUE(inflate(stored, vc.v));
      EXPECT_EQ(out_, data_);
    }
  }
}

TEST_F(UnitCodecTest, CurrentUnitsInflateWithPlainZlib) {
  for (CompressMode mode : {kCompressNone, kCompressNormal, kCompressHigh}) {
    SCOPED_TRACE(mode);
    const auto stored = compressed(data_, mode, FormatVersion{});
    std::vector<uint8_t> back(kUnitBytes + 16);
    uLongf back_len = uLongf(back.size());
    ASSERT_EQ(uncompress(back.data(), &back_len, stored.data() + 4, uLong(stored.size() - 16)), Z_OK);
    back.resize(back_len);
    EXPECT_EQ(back, data_);
  }
}

TEST_F(UnitCodecTest, AcceptsUnitsMadeByZlib) {
  for (int level : {0, 2, 6, 9}) {
    const auto stream = zlib_compress(data_, level);
    for (const VersionCase& vc : kVersions) {
      SCOPED_TRACE(std::string(vc.name) + " level " + std::to_string(level));
      ASSERT_TRUE(inflate(frame(stream, data_, vc.framing), vc.v));
      EXPECT_EQ(out_, data_);
    }
  }
}

TEST_F(UnitCodecTest, ZeroCompressedCrcIsNotChecked) {
  auto stored = compressed(data_, kCompressNormal, FormatVersion{});
  put_le32(stored.data() + stored.size() - 4, 0);
  ASSERT_TRUE(inflate(stored, FormatVersion{}));
  EXPECT_EQ(out_, data_);
}

TEST_F(UnitCodecTest, DamageInEachFieldIsDetected) {
  const auto good = compressed(data_, kCompressNormal, FormatVersion{});
  const size_t n = good.size() - 16;
  const struct {
    const char* field;
    size_t offset;
    const char* why;
  } cases[] = {
      {"start magic", 0, "start magic"},
      {"start magic, last byte", 3, "start magic"},
      {"end magic", 4 + n, "end magic"},
      {"end magic, last byte", 7 + n, "end magic"},
      {"data CRC", 8 + n, "CRC of the data"},
      {"data CRC, last byte", 11 + n, "CRC of the data"},
      {"compressed CRC", 12 + n, "CRC of the compressed bytes"},
      {"stream header", 4, "CRC of the compressed bytes"},
      {"stream middle", 4 + n / 2, "CRC of the compressed bytes"},
      {"stream Adler-32", 3 + n, "CRC of the compressed bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.field);
    auto bad = good;
    bad[c.offset] ^= 0x10;
    expect_refused(bad, FormatVersion{}, c.why);
  }
}

TEST_F(UnitCodecTest, StreamDamageWithoutCompressedCrcIsStillCaught) {
  // With the compressed CRC not recorded (and in 3.3, which has none), zlib's own checks and the
  // data CRC have to find a damaged stream.
  const auto stream = zlib_compress(data_, 6);
  for (size_t at : {size_t{0}, size_t{1}, size_t{2}, stream.size() / 3, stream.size() - 1}) {
    for (const VersionCase& vc : kVersions) {
      SCOPED_TRACE(std::string(vc.name) + " byte " + std::to_string(at));
      auto bad_stream = stream;
      bad_stream[at] ^= 0x04;
      const Status s = inflate(frame(bad_stream, data_, vc.framing, false), vc.v);
      EXPECT_EQ(s.code(), StatusCode::kCorruption);
    }
  }
}

TEST_F(UnitCodecTest, StoredLengthOutOfRangeIsRefused) {
  for (const VersionCase& vc : kVersions) {
    SCOPED_TRACE(vc.name);
    for (size_t size : {size_t{0}, vc.framing, size_t{kMaxStoredUnitBytes + 1}}) {
      SCOPED_TRACE(size);
      expect_refused(std::vector<uint8_t>(size, 0x78), vc.v, "stored length");
    }
  }
  // The largest accepted length reaches the later checks.
  std::vector<uint8_t> big(kMaxStoredUnitBytes, 0);
  std::memcpy(big.data(), "HOLE", 4);
  expect_refused(big, FormatVersion{}, "end magic");
}

TEST_F(UnitCodecTest, DataCrcIsVerifiedFrom33) {
  auto stored = compressed(data_, kCompressHigh, FormatVersion{3, 1});
  stored[stored.size() - 1] ^= 0x01;  // the data CRC is the last field of a 12-byte framing
  for (FormatVersion v : {FormatVersion{3, 1}, FormatVersion{3, 2}}) {
    SCOPED_TRACE(v.minor);
    ASSERT_TRUE(inflate(stored, v));
    EXPECT_EQ(out_, data_);
  }
  expect_refused(stored, FormatVersion{3, 3}, "CRC of the data");
}

TEST_F(UnitCodecTest, TruncatedStreamIsRefused) {
  const auto stream = zlib_compress(data_, 2);
  for (size_t keep : {size_t{1}, size_t{2}, stream.size() / 2, stream.size() - 4, stream.size() - 1}) {
    for (const VersionCase& vc : kVersions) {
      SCOPED_TRACE(std::string(vc.name) + " keep " + std::to_string(keep));
      const std::vector<uint8_t> cut(stream.begin(), stream.begin() + long(keep));
      EXPECT_EQ(inflate(frame(cut, data_, vc.framing, false), vc.v).code(), StatusCode::kCorruption);
    }
  }
}

TEST_F(UnitCodecTest, StreamOfTheWrongDataSizeIsRefused) {
  for (size_t size : {size_t{0}, size_t{kUnitBytes - 1}, size_t{kUnitBytes + 1}, size_t{2 * kUnitBytes}}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> data = unit_data(2);
    data.resize(size, 0x5A);
    const auto stored = frame(zlib_compress(data, 6), data, 16);
    expect_refused(stored, FormatVersion{}, size < kUnitBytes ? "fewer than 131072" : "more than 131072");
  }
}

TEST_F(UnitCodecTest, WrongBufferSizesAreInvalidArguments) {
  std::vector<uint8_t> stored;
  EXPECT_EQ(codec_.compress(std::vector<uint8_t>(kUnitBytes - 1), kCompressNormal, FormatVersion{}, &stored).code(),
            StatusCode::kInvalidArgument);
  EXPECT_EQ(codec_.compress(data_, CompressMode(7), FormatVersion{}, &stored).code(), StatusCode::kInvalidArgument);
  const auto good = compressed(data_, kCompressNormal, FormatVersion{});
  std::vector<uint8_t> small(kUnitBytes - 1);
  EXPECT_EQ(codec_.inflate(good, FormatVersion{}, small).code(), StatusCode::kInvalidArgument);
}

TEST_F(UnitCodecTest, RandomDamageNeverCrashesOrPasses) {
  // Under the sanitizer build this shows that no stored bytes make the reader step outside the
  // unit; every damaged unit with both CRCs recorded must be refused.
  std::mt19937 gen(7);
  const auto good = compressed(data_, kCompressNormal, FormatVersion{});
  for (int round = 0; round < 300; ++round) {
    auto bad = good;
    const int flips = 1 + int(gen() % 4);
    for (int f = 0; f < flips; ++f) bad[gen() % bad.size()] ^= uint8_t(1 + gen() % 255);
    if (round % 3 == 0) bad.resize(1 + gen() % bad.size());
    const FormatVersion v = kVersions[gen() % std::size(kVersions)].v;
    const Status s = inflate(bad, v);
    if (v.unit_framing_bytes() == 16 && bad != good) {
      EXPECT_FALSE(s) << "round " << round;
    }
  }
}

// Units that look incompressible are stored (a zlib stream of stored blocks that any inflater
// reads), the rest are compressed; both carry the same framing and CRCs.
TEST_F(UnitCodecTest, IncompressibleUnitsAreStoredAndTheRestCompressed) {
  const auto random = random_bytes(kUnitBytes, 21);
  auto text_at_end = random;  // the last 4 KiB block holds text
  std::copy(data_.begin(), data_.begin() + 4096, text_at_end.end() - 4096);
  auto zeros_inside = random;  // one block of zeros in the middle
  std::fill(zeros_inside.begin() + 60 * 1024, zeros_inside.begin() + 64 * 1024, 0);
  auto seven_bits = random;  // every byte random but below 128: spread, yet one bit per byte to save
  for (uint8_t& b : seven_bits) b &= 0x7F;
  auto repeated = random;  // uniform bytes that repeat: the second 4 KiB block is the first again
  std::copy(repeated.begin(), repeated.begin() + 4096, repeated.begin() + 4096);
  const struct {
    const char* name;
    const std::vector<uint8_t>& data;
    bool stored;
  } cases[] = {
      {"random", random, true},         {"text in the last block", text_at_end, false},
      {"zeros inside", zeros_inside, false}, {"seven random bits", seven_bits, false},
      {"a repeated block", repeated, false}, {"disk-like", data_, false},
  };
  // The stream of stored blocks: zlib header, 65535 + 65535 + 2 bytes in three blocks of 5-byte
  // headers, Adler-32.
  const size_t stored_stream = 2 + 3 * 5 + kUnitBytes + 4;
  for (const auto& c : cases) {
    EXPECT_EQ(codec_.worth_compressing(c.data), !c.stored) << c.name;
    for (CompressMode mode : {kCompressNormal, kCompressHigh}) {
      for (const VersionCase& vc : {kVersions[0], kVersions[3], kVersions[5]}) {
        SCOPED_TRACE(std::string(c.name) + ", " + vc.name + ", mode " + std::to_string(mode));
        std::vector<uint8_t> stored;
        UnitStream made = UnitStream::kStored;
        ASSERT_TRUE(codec_.compress(c.data, mode, vc.v, &stored, {}, &made));
        EXPECT_EQ(made, c.stored ? UnitStream::kStored : UnitStream::kCompressed);
        const size_t prefix = vc.framing == 0 ? 0 : 4;
        const size_t n = stored.size() - vc.framing;
        const std::span<const uint8_t> stream(stored.data() + prefix, n);
        std::vector<uint8_t> blocks;
        std::string why;
        if (c.stored) {
          ASSERT_TRUE(test::read_stored_stream(stream, &blocks, &why)) << why;
          EXPECT_EQ(blocks, c.data);
          EXPECT_EQ(n, stored_stream);
        } else {
          EXPECT_FALSE(test::read_stored_stream(stream, &blocks, &why));
          EXPECT_LT(n, stored_stream);
        }
        if (vc.framing != 0) {
          EXPECT_EQ(get_le32(stored.data() + 8 + n), zlib_crc(c.data.data(), c.data.size()));
        }
        if (vc.framing == 16) {
          EXPECT_EQ(get_le32(stored.data() + 12 + n), zlib_crc(stream.data(), n));
        }
        ASSERT_TRUE(inflate(stored, vc.v));
        EXPECT_TRUE(out_ == c.data);
        std::vector<uint8_t> back(kUnitBytes + 16);
        uLongf back_len = uLongf(back.size());
        ASSERT_EQ(uncompress(back.data(), &back_len, stream.data(), uLong(n)), Z_OK);
        back.resize(back_len);
        EXPECT_TRUE(back == c.data);
      }
    }
  }
}

TEST_F(UnitCodecTest, OptionsTurnTheTestOffAndTakeTheCrcsGiven) {
  const auto random = random_bytes(kUnitBytes, 22);
  std::vector<uint8_t> stored;
  UnitStream made = UnitStream::kStored;
  UnitCompressOptions options;
  options.store_incompressible = false;
  ASSERT_TRUE(codec_.compress(random, kCompressNormal, FormatVersion{}, &stored, options, &made));
  EXPECT_EQ(made, UnitStream::kCompressed);
  // A data CRC handed over is framed as it is (the caller vouches for it); the stream's is left 0.
  const uint32_t given = 0x12345678;
  options = {};
  options.data_crc = &given;
  options.record_stream_crc = false;
  ASSERT_TRUE(codec_.compress(random, kCompressHigh, FormatVersion{}, &stored, options, &made));
  EXPECT_EQ(made, UnitStream::kStored);
  EXPECT_EQ(get_le32(stored.data() + stored.size() - 8), given);
  EXPECT_EQ(get_le32(stored.data() + stored.size() - 4), 0u);
  // In mode none every unit is stored.
  ASSERT_TRUE(codec_.compress(data_, kCompressNone, FormatVersion{}, &stored, {}, &made));
  EXPECT_EQ(made, UnitStream::kStored);
}

TEST_F(UnitCodecTest, CodecsAreReusable) {
  // One codec compresses and inflates many units in a row, switching modes and versions.
  for (uint32_t seed = 10; seed < 14; ++seed) {
    const auto data = unit_data(seed);
    const auto mode = CompressMode(seed % 3);
    const FormatVersion v = kVersions[seed % std::size(kVersions)].v;
    ASSERT_TRUE(inflate(compressed(data, mode, v), v));
    EXPECT_EQ(out_, data);
  }
}

}  // namespace
}  // namespace tav::img
