// Worker pool dispatch: an empty job split over every thread of the pool, against starting and
// joining the same number of threads for each job.
//
//   ka_bench_pool --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "ops/pool.h"

namespace {

void BM_PoolEmptyJob(benchmark::State& state) {
  const int n = ka::pool::threads();
  const ka::pool::RangeFn empty = [](uint64_t b, uint64_t e) { benchmark::DoNotOptimize(b + e); };
  ka::pool::parallelRange(uint64_t(n), 1, empty);  // build this thread's workers first
  for (auto _ : state) ka::pool::parallelRange(uint64_t(n), 1, empty);
  state.counters["parts"] = ka::pool::parts(uint64_t(n), 1);
}
BENCHMARK(BM_PoolEmptyJob)->UseRealTime();

void BM_SpawnThreadsEmptyJob(benchmark::State& state) {
  const int n = ka::pool::threads();
  std::vector<std::thread> workers;
  for (auto _ : state) {
    for (int k = 1; k < n; ++k) workers.emplace_back([k] { benchmark::DoNotOptimize(k); });
    benchmark::DoNotOptimize(n);
    for (auto& t : workers) t.join();
    workers.clear();
  }
  state.counters["parts"] = n;
}
BENCHMARK(BM_SpawnThreadsEmptyJob)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
