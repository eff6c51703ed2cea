// Tests of the CRC-32: check values, agreement with the table definition and with zlib over
// many lengths and alignments, other polynomials, and resets while other threads compute.
#include "core/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kCrc32cPolynomial = 0x82F63B78u;

// The definition, bit by bit, independent of any table.
uint32_t reference_crc(uint32_t polynomial, const unsigned char* p, size_t length) {
  if (length == 0) return 0;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ polynomial : crc >> 1;
  }
  return ~crc;
}

std::vector<unsigned char> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<unsigned char> bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(gen());
  return bytes;
}

// No reset has happened in this process yet (or every earlier test restored the default).
TEST(Crc32DefaultTest, WithoutResetUsesTheFormatPolynomial) {
  EXPECT_EQ(libtavpub_crc32_calc("123456789", 9), 0xCBF43926u);
}

// Leaves the process-wide table at the default for the tests that follow.
class Crc32Test : public ::testing::Test {
 protected:
  void SetUp() override { libtavpub_crc32_reset(tav::kCrc32Polynomial); }
  void TearDown() override { libtavpub_crc32_reset(tav::kCrc32Polynomial); }
};

TEST_F(Crc32Test, CheckValues) {
  struct Case {
    const char* name;
    uint32_t polynomial;
    const char* text;
    uint32_t crc;
  } const cases[] = {
      {"ISO-HDLC check", tav::kCrc32Polynomial, "123456789", 0xCBF43926u},
      {"ISO-HDLC one byte", tav::kCrc32Polynomial, "a", 0xE8B7BE43u},
      {"ISO-HDLC empty", tav::kCrc32Polynomial, "", 0},
      {"CRC-32C check", kCrc32cPolynomial, "123456789", 0xE3069283u},
      {"CRC-32C empty", kCrc32cPolynomial, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    libtavpub_crc32_reset(c.polynomial);
    EXPECT_EQ(libtavpub_crc32_calc(c.text, std::strlen(c.text)), c.crc);
  }
  EXPECT_EQ(libtavpub_crc32_calc(nullptr, 0), 0u);
}

TEST_F(Crc32Test, MatchesDefinitionAndZlibOverLengthsAndAlignments) {
  const std::vector<unsigned char> data = random_bytes((1 << 20) + 64, 12345);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (size_t n : {511, 512, 513, 1023, 4095, 4096, 4097, 65535, 65536, 65537, 1 << 20}) {
    lengths.push_back(n);
  }
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length : lengths) {
      const unsigned char* p = data.data() + offset;
      const uint32_t got = libtavpub_crc32_calc(p, length);
      ASSERT_EQ(got, reference_crc(tav::kCrc32Polynomial, p, length))
          << "offset " << offset << " length " << length;
      ASSERT_EQ(got, crc32(0, p, static_cast<uInt>(length)))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST_F(Crc32Test, OtherPolynomialAndBackToDefault) {
  const std::vector<unsigned char> data = random_bytes(5000, 777);
  for (uint32_t polynomial : {kCrc32cPolynomial, 0xEB31D82Eu /* CRC-32K */, kCrc32cPolynomial}) {
    SCOPED_TRACE(polynomial);
    libtavpub_crc32_reset(polynomial);
    for (size_t length : {size_t{1}, size_t{3}, size_t{64}, size_t{4999}}) {
      for (size_t offset : {size_t{0}, size_t{1}}) {
        EXPECT_EQ(libtavpub_crc32_calc(data.data() + offset, length),
                  reference_crc(polynomial, data.data() + offset, length));
      }
    }
  }
  libtavpub_crc32_reset(tav::kCrc32Polynomial);
  EXPECT_EQ(libtavpub_crc32_calc("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(libtavpub_crc32_calc(data.data(), data.size()), crc32(0, data.data(), static_cast<uInt>(data.size())));
}

TEST_F(Crc32Test, ResetWhileOtherThreadsComputeGivesWholeResults) {
  // A calculation racing a reset must use one complete table or the other, never a mixture.
  const std::vector<unsigned char> data = random_bytes(4096, 99);
  const uint32_t crc_default = reference_crc(tav::kCrc32Polynomial, data.data(), data.size());
  const uint32_t crc_c = reference_crc(kCrc32cPolynomial, data.data(), data.size());
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const uint32_t crc = libtavpub_crc32_calc(data.data(), data.size());
        if (crc != crc_default && crc != crc_c) bad.fetch_add(1);
      }
    });
  }
  for (int i = 0; i < 2000; ++i) {
    libtavpub_crc32_reset(i % 2 ? tav::kCrc32Polynomial : kCrc32cPolynomial);
  }
  stop.store(true);
  for (auto& th : readers) th.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
