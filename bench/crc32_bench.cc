// CRC-32 throughput: the format polynomial (libdeflate) against the table path used for any other
// polynomial, and zlib for reference.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "core/crc32.h"

namespace {

std::vector<unsigned char> make_data(size_t n) {
  std::vector<unsigned char> data(n);
  uint32_t x = 12345;
  for (auto& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<unsigned char>(x >> 16);
  }
  return data;
}

void BM_Crc32Format(benchmark::State& state) {
  const auto data = make_data(static_cast<size_t>(state.range(0)));
  libtavpub_crc32_reset(tav::kCrc32Polynomial);
  for (auto _ : state) benchmark::DoNotOptimize(libtavpub_crc32_calc(data.data(), data.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32OtherPolynomialTable(benchmark::State& state) {
  const auto data = make_data(static_cast<size_t>(state.range(0)));
  libtavpub_crc32_reset(0x82F63B78u);
  for (auto _ : state) benchmark::DoNotOptimize(libtavpub_crc32_calc(data.data(), data.size()));
  libtavpub_crc32_reset(tav::kCrc32Polynomial);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc32Zlib(benchmark::State& state) {
  const auto data = make_data(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(crc32(0, data.data(), static_cast<uInt>(data.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Crc32Format)->Arg(512)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Crc32OtherPolynomialTable)->Arg(512)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_Crc32Zlib)->Arg(512)->Arg(64 << 10)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
