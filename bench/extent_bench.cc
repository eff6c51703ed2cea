// Extent vector benchmarks: building large vectors by append, and minus, diff and overlay of
// large fragmented sets (the sizes a badly fragmented multi-terabyte partition produces).
#include <benchmark/benchmark.h>

#include "core/extent_set_ops.h"
#include "core/extent_vector.h"

namespace {

// `n` runs of 8 sectors with gaps of 8, shifted by `offset`: two such vectors with different
// offsets overlap partly at every run, the worst case for diff and overlay.
IMAGE_RUN_VECTOR* fragmented(uint32_t n, uint32_t offset, uint32_t snapshot) {
  IMAGE_RUN_VECTOR* v = libtavpub_create_empty_image_run_vector();
  for (uint32_t i = 0; i < n; ++i) {
    IMAGE_RUN run{{i * 16 + offset, 8}, RUN_TYPE_DATA, snapshot};
    libtavpub_append_image_run(v, &run);
  }
  return v;
}

void BM_AppendRuns(benchmark::State& state) {
  const auto n = uint32_t(state.range(0));
  for (auto _ : state) {
    IMAGE_RUN_VECTOR* v = fragmented(n, 0, 0);
    benchmark::DoNotOptimize(v->run_count);
    libtavpub_release_image_run_vector(v);
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(BM_AppendRuns)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Times one operation that builds a new vector from two fragmented inputs offset by 4 sectors
// (b's runs carry snapshot `b_snapshot`).
template <IMAGE_RUN_VECTOR* (*Op)(IMAGE_RUN_VECTOR*, IMAGE_RUN_VECTOR*), uint32_t b_snapshot>
void BM_NewVectorOp(benchmark::State& state) {
  const auto n = uint32_t(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    IMAGE_RUN_VECTOR* a = fragmented(n, 0, 0);
    IMAGE_RUN_VECTOR* b = fragmented(n, 4, b_snapshot);
    state.ResumeTiming();
    IMAGE_RUN_VECTOR* result = Op(a, b);
    benchmark::DoNotOptimize(result);
    state.PauseTiming();
    libtavpub_release_image_run_vector(result);
    libtavpub_release_image_run_vector(a);
    libtavpub_release_image_run_vector(b);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(BM_NewVectorOp<libtavpub_diff_vector, 0>)
    ->Name("BM_Diff")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NewVectorOp<libtavpub_overlap_vector, 1>)
    ->Name("BM_Overlay")->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Minus changes both inputs in place: every run of a loses its back half to b, every run of b
// its front half to a.
void BM_Minus(benchmark::State& state) {
  const auto n = uint32_t(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    IMAGE_RUN_VECTOR* a = fragmented(n, 0, 0);
    IMAGE_RUN_VECTOR* b = fragmented(n, 4, 1);
    state.ResumeTiming();
    benchmark::DoNotOptimize(libtavpub_minus_vector(a, b));
    state.PauseTiming();
    libtavpub_release_image_run_vector(a);
    libtavpub_release_image_run_vector(b);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * n);
}
BENCHMARK(BM_Minus)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
