// Throughput of the EGO format's hot paths: CRC-32 of unit-sized buffers (zlib's crc32 beside it
// for reference) and compress units at each compress mode, on data shaped like a used disk.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/byte_order.h"
#include "core/crc32.h"
#include "format/compress_unit.h"
#include "format/ego_format.h"

namespace {

using tav::img::kUnitBytes;

// Deterministic disk-like data, one unit after another: text (40%), zeros (25%), random bytes
// (20%) and small binary records (15%), in a different order per unit.
std::vector<uint8_t> disk_like_data(size_t units) {
  std::vector<uint8_t> d(units * kUnitBytes, 0);
  std::mt19937 gen(12345);
  static const char* const kWords[] = {"the ",   "sector ", "volume ", "backup ", "image ",   "file ",
                                       "data\n", "of ",     "config ", "=1\n",    "system32 ", "log "};
  for (size_t u = 0; u < units; ++u) {
    uint8_t* unit = d.data() + u * kUnitBytes;
    const size_t text = kUnitBytes * 40 / 100, zeros = kUnitBytes * 25 / 100, random = kUnitBytes * 20 / 100;
    const size_t records = kUnitBytes - text - zeros - random;
    // Rotate the part order so that units differ in layout as well as content.
    const size_t sizes[4] = {text, zeros, random, records};
    size_t at = 0;
    for (size_t k = 0; k < 4; ++k) {
      const size_t part = (k + u) % 4;
      const size_t end = at + sizes[part];
      switch (part) {
        case 0:
          while (at < end) {
            for (const char* w = kWords[gen() % 12]; *w != '\0' && at < end; ++w) unit[at++] = uint8_t(*w);
          }
          break;
        case 1:
          at = end;
          break;
        case 2:
          for (; at < end; ++at) unit[at] = uint8_t(gen());
          break;
        default:
          for (uint32_t n = uint32_t(gen() % 1000); at + 16 <= end; at += 16, ++n) {
            tav::put_le32(unit + at, n);
            tav::put_le32(unit + at + 4, n * 8 + 0x100000);
            tav::put_le32(unit + at + 8, 0x20 | (n & 3));
            tav::put_le32(unit + at + 12, 0);
          }
          at = end;
          break;
      }
    }
  }
  return d;
}

const std::vector<uint8_t>& bench_data() {
  static const std::vector<uint8_t> data = disk_like_data(8);  // 1 MiB
  return data;
}

void BM_Crc32Tavpub(benchmark::State& state) {
  const auto& data = bench_data();
  const size_t n = size_t(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(libtavpub_crc32_calc(data.data(), n));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_Crc32Tavpub)->Arg(128 << 10)->Arg(1 << 20);

void BM_Crc32Zlib(benchmark::State& state) {
  const auto& data = bench_data();
  const size_t n = size_t(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(crc32(0, data.data(), uInt(n)));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
BENCHMARK(BM_Crc32Zlib)->Arg(128 << 10)->Arg(1 << 20);

// Compresses the eight units in turn (current format version) and reports the stored size
// (framing included) against the uncompressed size as `ratio`.
void BM_UnitCompress(benchmark::State& state) {
  const auto mode = tav::img::CompressMode(state.range(0));
  const auto& data = bench_data();
  const size_t units = data.size() / kUnitBytes;
  tav::img::UnitCodec codec;
  std::vector<uint8_t> stored;
  size_t u = 0, stored_total = 0, units_done = 0;
  for (auto _ : state) {
    const std::span<const uint8_t> unit(data.data() + (u % units) * kUnitBytes, kUnitBytes);
    if (!codec.compress(unit, mode, tav::img::FormatVersion{}, &stored)) state.SkipWithError("compress failed");
    stored_total += stored.size();
    ++units_done;
    ++u;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnitBytes);
  state.counters["ratio"] = units_done ? double(stored_total) / double(units_done * kUnitBytes) : 0.0;
}
BENCHMARK(BM_UnitCompress)->Arg(tav::img::kCompressNone)->Arg(tav::img::kCompressNormal)->Arg(tav::img::kCompressHigh);

// Checks and inflates stored units of each mode (both CRCs verified).
void BM_UnitInflate(benchmark::State& state) {
  const auto mode = tav::img::CompressMode(state.range(0));
  const auto& data = bench_data();
  const size_t units = data.size() / kUnitBytes;
  tav::img::UnitCodec codec;
  std::vector<std::vector<uint8_t>> stored(units);
  for (size_t u = 0; u < units; ++u) {
    const std::span<const uint8_t> unit(data.data() + u * kUnitBytes, kUnitBytes);
    if (!codec.compress(unit, mode, tav::img::FormatVersion{}, &stored[u])) state.SkipWithError("compress failed");
  }
  std::vector<uint8_t> out(kUnitBytes);
  size_t u = 0;
  for (auto _ : state) {
    if (!codec.inflate(stored[u % units], tav::img::FormatVersion{}, out)) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
    ++u;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnitBytes);
}
BENCHMARK(BM_UnitInflate)->Arg(tav::img::kCompressNone)->Arg(tav::img::kCompressNormal)->Arg(tav::img::kCompressHigh);

// zlib's compress2 at the same levels, for reference against the libdeflate compressor.
void BM_ZlibCompress2(benchmark::State& state) {
  const int level = int(state.range(0));
  const auto& data = bench_data();
  const size_t units = data.size() / kUnitBytes;
  std::vector<uint8_t> out(compressBound(kUnitBytes));
  size_t u = 0, stored_total = 0, units_done = 0;
  for (auto _ : state) {
    uLongf n = uLongf(out.size());
    compress2(out.data(), &n, data.data() + (u % units) * kUnitBytes, kUnitBytes, level);
    stored_total += n;
    ++units_done;
    ++u;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnitBytes);
  state.counters["ratio"] = units_done ? double(stored_total) / double(units_done * kUnitBytes) : 0.0;
}
BENCHMARK(BM_ZlibCompress2)->Arg(0)->Arg(2)->Arg(6);

}  // namespace

BENCHMARK_MAIN();
