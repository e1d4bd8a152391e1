// GridSampleFast inside ONNX Runtime against ONNX Runtime's own GridSample, on the director's
// largest sampling: a 1 x 12 x 512 x 512 input and a 512 x 512 grid, at 1 and 2 intra-op threads.
// Both sessions run the same forged graph (one bilinear, border, align_corners 0 GridSample), the
// second after the load-time rewrite, with inputs and output bound once.
//
// The kernel alone is also timed per compiled Highway target against the scalar reference.
//
//   ka_bench_gridsample --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "../tests/graph/forge_bytes.h"
#include "../tests/ops/simd_reference.h"
#include "graph/gridsample_rewrite.h"
#include "ops/domain.h"
#include "ops/gridsample_fast.h"
#include "runtime/ort_env.h"

namespace {

constexpr int kC = 12, kH = 512, kW = 512;

// Inputs like a director's warp: the identity grid displaced smoothly by a few pixels.
struct Inputs {
  std::vector<float> x = std::vector<float>(size_t(kC) * kH * kW);
  std::vector<float> grid = std::vector<float>(size_t(kH) * kW * 2);
  std::vector<float> y = std::vector<float>(size_t(kC) * kH * kW);
  Inputs() {
    for (size_t k = 0; k < x.size(); ++k) x[k] = std::sin(0.001f * float(k % 100003));
    for (int i = 0; i < kH; ++i)
      for (int j = 0; j < kW; ++j) {
        float* g = &grid[(size_t(i) * kW + j) * 2];
        g[0] = (2.f * j + 1.f) / kW - 1.f + 0.02f * std::sin(0.05f * i);
        g[1] = (2.f * i + 1.f) / kH - 1.f + 0.02f * std::cos(0.07f * j);
      }
  }
};

Inputs& inputs() {
  static Inputs in;
  return in;
}

struct Models {
  std::vector<uint8_t> standard, fast;
  Models()
      : standard(ka::test::forgeBytes("gridsample-model", "--n 1 --c " + std::to_string(kC) + " --h " +
                                                              std::to_string(kH) + " --w " + std::to_string(kW))),
        fast(standard) {
    if (ka::rewriteGridSampleToFast(fast) != 1) throw std::runtime_error("the rewrite did not apply");
  }
};

Models& models() {
  static Models m;
  return m;
}

Ort::Env& env() {
  static Ort::Env e = ka::makeOrtEnv("ka");
  return e;
}

// One session with X, grid and Y bound to the shared buffers.
struct BoundSession {
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  std::vector<Ort::Value> values;

  BoundSession(const std::vector<uint8_t>& model, bool zephrane, int threads) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(threads);
    opts.SetInterOpNumThreads(1);
    opts.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    opts.AddConfigEntry("session.intra_op.allow_spinning", "0");
    if (zephrane) ka::registerGridSampleFast(opts);
    session = std::make_unique<Ort::Session>(env(), model.data(), model.size(), opts);
    binding = std::make_unique<Ort::IoBinding>(*session);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Inputs& in = inputs();
    const int64_t xs[4] = {1, kC, kH, kW}, gs[4] = {1, kH, kW, 2};
    values.push_back(Ort::Value::CreateTensor<float>(mem, in.x.data(), in.x.size(), xs, 4));
    values.push_back(Ort::Value::CreateTensor<float>(mem, in.grid.data(), in.grid.size(), gs, 4));
    values.push_back(Ort::Value::CreateTensor<float>(mem, in.y.data(), in.y.size(), xs, 4));
    binding->BindInput("X", values[0]);
    binding->BindInput("grid", values[1]);
    binding->BindOutput("Y", values[2]);
  }
  void run() { session->Run(Ort::RunOptions{nullptr}, *binding); }
};

void runSession(benchmark::State& state, bool zephrane) {
  const int threads = int(state.range(0));
  BoundSession s(zephrane ? models().fast : models().standard, zephrane, threads);
  s.run();  // first run allocates ORT's internal buffers
  for (auto _ : state) s.run();
  state.SetItemsProcessed(int64_t(state.iterations()) * kC * kH * kW);
}

void BM_OrtGridSample(benchmark::State& state) { runSession(state, false); }
void BM_GridSampleFast(benchmark::State& state) { runSession(state, true); }
BENCHMARK(BM_OrtGridSample)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GridSampleFast)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);

// The kernel alone, one thread, outside ONNX Runtime: the dispatched path (labelled with the
// target it ran), each compiled target pinned, and the scalar reference.
void runKernel(benchmark::State& state, void (*band)(const float*, const float*, float*, int, int, int, int, int)) {
  Inputs& in = inputs();
  for (auto _ : state) {
    band(in.x.data(), in.grid.data(), in.y.data(), kC, kH, kW, 0, kH);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * kC * kH * kW);
}
void BM_KernelDispatched(benchmark::State& state) {
  state.SetLabel(ka::gridSampleFastTarget());
  runKernel(state, ka::gridsample_fast_band);
}
void BM_KernelScalar(benchmark::State& state) { runKernel(state, ka::GridSampleFastBandScalar); }
BENCHMARK(BM_KernelDispatched)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KernelScalar)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  for (int64_t t : ka::simdref::runnableTargets()) {
    benchmark::RegisterBenchmark(("BM_KernelTarget/" + ka::simdref::targetName(t)).c_str(),
                                 [t](benchmark::State& s) {
                                   ka::simdref::TargetPin pin(t);
                                   s.SetLabel(ka::gridSampleFastTarget());
                                   runKernel(s, ka::gridsample_fast_band);
                                 })
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
