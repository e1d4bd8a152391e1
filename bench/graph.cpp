// Load-time graph surgery on a 50 MB model (large initializers, a few hundred nodes, two
// qualifying GridSamples and the student blend MatMul), forged into a scratch directory at start.
// The peer is a plain copy of the model bytes: every rebuild has to write that many bytes anyway.
//
//   ka_bench_graph --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "../tests/graph/forge_bytes.h"
#include "graph/gridsample_rewrite.h"
#include "graph/onnx_wire.h"

namespace {

const std::vector<uint8_t>& model() {
  static const std::vector<uint8_t> m = ka::test::forgeBytes("big-model", "--mb 50");
  return m;
}

void setBytes(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(model().size()));
  state.counters["model_MB"] = double(model().size()) / 1e6;
}

// The peer: a fresh vector holding a copy of the bytes.
void BM_CopyModel(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<uint8_t> copy(model());
    benchmark::DoNotOptimize(copy.data());
  }
  setBytes(state);
}
BENCHMARK(BM_CopyModel)->Unit(benchmark::kMillisecond)->UseRealTime();

// Read and rebuild into a fresh vector: the empty edit (the graph is found unchanged and copied
// whole) and an edit that walks and re-emits the graph (outputs dropped, a value info added).
void rebuild(benchmark::State& state, const ka::GsGraphEdit& edit) {
  for (auto _ : state) {
    std::vector<uint8_t> out;
    ka::gsRebuild(ka::GsSlice(model()), edit, out);
    benchmark::DoNotOptimize(out.data());
  }
  setBytes(state);
}
void BM_RebuildEmptyEdit(benchmark::State& state) { rebuild(state, ka::GsGraphEdit{}); }
void BM_RebuildWithEdit(benchmark::State& state) {
  ka::GsGraphEdit e;
  e.dropOutputs = true;
  e.addName = "g0";
  e.addDims = {1, 3, 32, 32};
  e.addFieldNo = 12;
  e.dropNodes = {0, 1};
  rebuild(state, e);
}
BENCHMARK(BM_RebuildEmptyEdit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RebuildWithEdit)->Unit(benchmark::kMillisecond)->UseRealTime();

// The rewrites as the renderer runs them: on its own copy of the bytes, replaced in place. The
// copy is made outside the timed region.
void rewrite(benchmark::State& state, size_t (*fn)(std::vector<uint8_t>&, std::string*), size_t want) {
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<uint8_t> bytes(model());
    state.ResumeTiming();
    if (fn(bytes, nullptr) != want) state.SkipWithError("unexpected rewrite count");
    benchmark::DoNotOptimize(bytes.data());
  }
  setBytes(state);
}
void BM_RewriteGridSampleToFast(benchmark::State& state) { rewrite(state, ka::rewriteGridSampleToFast, 2); }
void BM_NormaliseStudentBlend(benchmark::State& state) { rewrite(state, ka::normaliseStudentBlend, 1); }
BENCHMARK(BM_RewriteGridSampleToFast)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NormaliseStudentBlend)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ProbeBakedGridSampleFast(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ka::graphHasBakedGridSampleFast(ka::GsSlice(model())));
  setBytes(state);
}
BENCHMARK(BM_ProbeBakedGridSampleFast)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  model();  // forge before anything is timed
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
