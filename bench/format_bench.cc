// Throughput of the EGO format's hot paths: CRC-32 of unit-sized buffers (zlib's crc32 beside it
// for reference) and compress units at each compress mode, on data shaped like a used disk.
//
// usage: format_bench [--data=FILE] [benchmark options]
//   --data=FILE  take the units from FILE (a partition's bytes; the units that are all zeros,
//                the free space of a freshly made file system, are left out) instead of the
//                built-in disk-like megabyte, and first print how the test that stores
//                incompressible units decided on them, against compressing every unit.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
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

std::vector<uint8_t> g_file_data;  // the units of --data, when given

const std::vector<uint8_t>& bench_data() {
  static const std::vector<uint8_t> data = disk_like_data(8);  // 1 MiB
  return g_file_data.empty() ? data : g_file_data;
}

// Reads the units of `path` that are not all zeros into g_file_data; false when it holds none.
bool load_file_units(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> unit(kUnitBytes);
  while (in.read(reinterpret_cast<char*>(unit.data()), std::streamsize(unit.size()))) {
    if (std::any_of(unit.begin(), unit.end(), [](uint8_t b) { return b != 0; })) {
      g_file_data.insert(g_file_data.end(), unit.begin(), unit.end());
    }
  }
  return !g_file_data.empty();
}

// How the test that stores incompressible units decided on the data, per compressing mode:
// every unit is compressed at the mode's level as well, so that the test's misses show. A miss
// is a unit stored although compressing it saved more than 1% (its cost: the bytes it would
// have saved), or a unit compressed although that saved less than 1% (its cost: the time of
// a compression that was not worth it).
// Times are the thread's CPU time, which other work on a busy machine changes little.
double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

void report_store_test(const std::vector<uint8_t>& data) {
  const size_t units = data.size() / kUnitBytes;
  tav::img::UnitCodec codec;
  std::vector<uint8_t> out;
  std::printf("store test on %zu units (%.1f MiB) of non-zero data\n", units, double(data.size()) / 1048576.0);
  for (const auto mode : {tav::img::kCompressNormal, tav::img::kCompressHigh}) {
    size_t stored = 0, false_stores = 0, wasted = 0;
    uint64_t bytes_with = 0, bytes_without = 0, lost = 0;
    double test_s = 0, wasted_s = 0, compress_s = 0, with_s = 0;
    tav::img::UnitCompressOptions always;
    always.store_incompressible = false;
    for (size_t u = 0; u < units; ++u) {
      const std::span<const uint8_t> unit(data.data() + u * kUnitBytes, kUnitBytes);
      const double t0 = thread_seconds();
      const bool worth = codec.worth_compressing(unit);
      const double t1 = thread_seconds();
      codec.compress(unit, mode, tav::img::FormatVersion{}, &out, always);
      const double t2 = thread_seconds();
      const size_t compressed = out.size();
      tav::img::UnitStream made = tav::img::UnitStream::kCompressed;
      codec.compress(unit, mode, tav::img::FormatVersion{}, &out, {}, &made);
      const double t3 = thread_seconds();
      const size_t with = out.size();
      const double test = t1 - t0;
      const double full = t2 - t1;
      test_s += test;
      compress_s += full;
      with_s += t3 - t2;
      bytes_with += with;
      bytes_without += compressed;
      const bool saves = compressed * 100 < size_t(kUnitBytes) * 99;
      if (!worth) {
        ++stored;
        if (saves) {
          ++false_stores;
          lost += with - compressed;
        }
      } else if (!saves) {
        ++wasted;
        wasted_s += full;
      }
    }
    std::printf(
        "  %-6s stored %zu (%.1f%%); false stores %zu, %.1f KiB lost; compressed without saving 1%%: %zu "
        "(%.1f%% of the units), %.3f s\n"
        "         output %.2f MiB with the test, %.2f MiB compressing every unit (%+.3f%%); the test took "
        "%.3f s, compressing with it %.3f s, compressing every unit %.3f s (%.1f vs %.1f MB/s; CPU time)\n",
        mode == tav::img::kCompressHigh ? "high" : "normal", stored, 100.0 * double(stored) / double(units),
        false_stores, double(lost) / 1024.0, wasted, 100.0 * double(wasted) / double(units), wasted_s,
        double(bytes_with) / 1048576.0, double(bytes_without) / 1048576.0,
        100.0 * (double(bytes_with) - double(bytes_without)) / double(bytes_without), test_s, with_s, compress_s,
        double(data.size()) / 1e6 / with_s, double(data.size()) / 1e6 / compress_s);
    // For scripts: the single-core rate of the backup's compress step on this data.
    std::printf("single-core rate %s %.1f MB/s\n", mode == tav::img::kCompressHigh ? "high" : "normal",
                double(data.size()) / 1e6 / with_s);
  }
  std::fflush(stdout);
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

// Compresses the units in turn (current format version) and reports the stored size (framing
// included) against the uncompressed size as `ratio`. The second argument turns the test that
// stores incompressible units on (1) or off (0).
void BM_UnitCompress(benchmark::State& state) {
  const auto mode = tav::img::CompressMode(state.range(0));
  tav::img::UnitCompressOptions options;
  options.store_incompressible = state.range(1) != 0;
  const auto& data = bench_data();
  const size_t units = data.size() / kUnitBytes;
  tav::img::UnitCodec codec;
  std::vector<uint8_t> stored;
  size_t u = 0, stored_total = 0, units_done = 0;
  for (auto _ : state) {
    const std::span<const uint8_t> unit(data.data() + (u % units) * kUnitBytes, kUnitBytes);
    if (!codec.compress(unit, mode, tav::img::FormatVersion{}, &stored, options)) {
      state.SkipWithError("compress failed");
    }
    stored_total += stored.size();
    ++units_done;
    ++u;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kUnitBytes);
  state.counters["ratio"] = units_done ? double(stored_total) / double(units_done * kUnitBytes) : 0.0;
}
BENCHMARK(BM_UnitCompress)
    ->ArgNames({"mode", "store_test"})
    ->Args({tav::img::kCompressNone, 1})
    ->Args({tav::img::kCompressNormal, 0})
    ->Args({tav::img::kCompressNormal, 1})
    ->Args({tav::img::kCompressHigh, 0})
    ->Args({tav::img::kCompressHigh, 1});

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

int main(int argc, char** argv) {
  // Takes --data=FILE out of the arguments before the benchmark library sees them.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--data=", 7) == 0) {
      if (!load_file_units(argv[i] + 7)) {
        std::fprintf(stderr, "format_bench: no non-zero units in %s\n", argv[i] + 7);
        return 2;
      }
      report_store_test(g_file_data);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
