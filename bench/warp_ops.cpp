// The director's load-time operators against what ONNX Runtime runs without them, side by side:
// - the warp block (source cone, GridSample over 12 channels, recombination) at crop 512 against the
//   one WarpDirector node that replaces it, at 1 and 2 intra-op threads;
// - the head's cubic x2 Resize against its Pad + depthwise Conv + DepthToSpace rewrite;
// - Int8ConvVNNI (1 x 64 x 128 x 128 input, 64 x 64 x 3 x 3 weights, pads 1) against ONNX Runtime's
//   float Conv and its QuantizeLinear + QLinearConv + DequantizeLinear, at 1 and 2 threads. The
//   operator splits its work over ka::pool, whose size is fixed per process: run the binary once
//   with KA_CORE_THREADS=1 and once with KA_CORE_THREADS=2 and read the matching rows.
//
//   KA_CORE_THREADS=2 ka_bench_warp_ops --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>

#include "../tests/graph/forge_bytes.h"
#include "graph/head_cubic_rewrite.h"
#include "graph/warp_rewrite.h"
#include "ops/domain.h"
#include "ops/int8_conv.h"
#include "ops/pool.h"
#include "ops/warp_director.h"
#include "runtime/ort_env.h"

namespace {

Ort::Env& env() {
  static Ort::Env e = ka::makeOrtEnv("ka");
  return e;
}

// One session whose inputs and output are bound once; run() after binding them all.
struct BoundSession {
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  std::vector<Ort::Value> values;

  BoundSession(const std::vector<uint8_t>& model, int threads) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(threads);
    opts.SetInterOpNumThreads(1);
    opts.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    opts.AddConfigEntry("session.intra_op.allow_spinning", "0");
    opts.AddConfigEntry("mlas.disable_kleidiai", "1");
    ka::registerGridSampleFast(opts);
    ka::registerInt8ConvVNNI(opts);
    session = std::make_unique<Ort::Session>(env(), model.data(), model.size(), opts);
    binding = std::make_unique<Ort::IoBinding>(*session);
  }
  BoundSession& in(const char* name, Ort::Value v) {
    binding->BindInput(name, v);
    values.push_back(std::move(v));
    return *this;
  }
  BoundSession& out(const char* name, Ort::Value v) {
    binding->BindOutput(name, v);
    values.push_back(std::move(v));
    run();  // the first run allocates ORT's internal buffers
    return *this;
  }
  void run() { session->Run(Ort::RunOptions{nullptr}, *binding); }
};

Ort::Value tensor(std::vector<float>& v, std::vector<int64_t> shape) {
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape.data(), shape.size());
}

void loop(benchmark::State& state, BoundSession& s) {
  for (auto _ : state) s.run();
}

// ---- Warp block at crop 512 ----------------------------------------------------------------------

constexpr int kCrop = 512;

struct WarpData {
  std::vector<float> prior = std::vector<float>(size_t(3) * kCrop * kCrop);
  std::vector<float> grid = std::vector<float>(size_t(2) * kCrop * kCrop);
  std::vector<float> out = std::vector<float>(size_t(3) * kCrop * kCrop);
  std::vector<uint8_t> block, warp;
  WarpData() : block(ka::test::forgeBytes("warp-block", "--crop " + std::to_string(kCrop))), warp(block) {
    std::string reason;
    if (ka::rewriteWarpBlockToCustomOp(warp, reason) == 0) throw std::runtime_error("warp rewrite: " + reason);
    for (size_t k = 0; k < prior.size(); ++k) prior[k] = 0.5f + 0.4f * std::sin(0.001f * float(k % 100003));
    for (int i = 0; i < kCrop; ++i)
      for (int j = 0; j < kCrop; ++j) {
        float* g = &grid[(size_t(i) * kCrop + j) * 2];
        g[0] = (2.f * j + 1.f) / kCrop - 1.f + 0.02f * std::sin(0.05f * i);
        g[1] = (2.f * i + 1.f) / kCrop - 1.f + 0.02f * std::cos(0.07f * j);
      }
  }
};

WarpData& warpData() {
  static WarpData d;
  return d;
}

void warpSession(benchmark::State& state, bool director) {
  WarpData& d = warpData();
  BoundSession s(director ? d.warp : d.block, int(state.range(0)));
  s.in("P_rgb", tensor(d.prior, {1, 3, kCrop, kCrop}))
      .in("grid", tensor(d.grid, {1, kCrop, kCrop, 2}))
      .out("warped", tensor(d.out, {1, 3, kCrop, kCrop}));
  state.SetLabel(director ? ka::warpBody() : "ORT");
  loop(state, s);
}
void BM_WarpBlockOrt(benchmark::State& state) { warpSession(state, false); }
void BM_WarpDirector(benchmark::State& state) { warpSession(state, true); }
BENCHMARK(BM_WarpBlockOrt)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WarpDirector)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Head cubic x2 -------------------------------------------------------------------------------

void cubicSession(benchmark::State& state, bool rewritten) {
  const int c = int(state.range(0)), h = int(state.range(1));
  std::vector<uint8_t> model = ka::test::forgeBytes(
      "cubic-variant", "--c " + std::to_string(c) + " --h " + std::to_string(h) + " --w " + std::to_string(h));
  if (rewritten && ka::rewriteHeadCubicResize(model) != 1) throw std::runtime_error("cubic rewrite did not apply");
  std::vector<float> x(size_t(c) * h * h), y(size_t(3) * 4 * h * h);
  for (size_t k = 0; k < x.size(); ++k) x[k] = std::sin(0.01f * float(k));
  BoundSession s(model, 1);
  s.in("x", tensor(x, {1, c, h, h})).out("out", tensor(y, {1, 3, 2 * h, 2 * h}));
  loop(state, s);
}
void BM_HeadCubicResizeOrt(benchmark::State& state) { cubicSession(state, false); }
void BM_HeadCubicRewritten(benchmark::State& state) { cubicSession(state, true); }
BENCHMARK(BM_HeadCubicResizeOrt)
    ->Args({4, 32})
    ->Args({64, 64})
    ->ArgNames({"c", "hw"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HeadCubicRewritten)
    ->Args({4, 32})
    ->Args({64, 64})
    ->ArgNames({"c", "hw"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// ---- Int8ConvVNNI --------------------------------------------------------------------------------

constexpr int kC = 64, kHW = 128;
const std::string kShape = "--shape 1,64,128,128,64,3,3 --pads 1,1,1,1";

struct Int8Data {
  std::vector<float> x = std::vector<float>(size_t(kC) * kHW * kHW), y = x;
  std::vector<uint8_t> int8Model, convModel, qlinearModel;
  Int8Data() {
    for (size_t k = 0; k < x.size(); ++k) x[k] = 1.5f * std::sin(0.003f * float(k % 9973)) + 0.2f;
    char tmpl[] = "/tmp/ka_int8_XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    const std::string dir = tmpl;
    std::vector<int8_t> w(size_t(kC) * kC * 9);
    std::vector<float> scale(kC), bias(kC);
    for (size_t k = 0; k < w.size(); ++k) w[k] = int8_t(int((k * 2654435761u) >> 24) - 128);
    for (int k = 0; k < kC; ++k) scale[k] = 0.001f * float(1 + k % 7), bias[k] = 0.01f * float(k % 5);
    float lo = 0.f, hi = 0.f;
    for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
    const float xscale = (hi - lo) / 255.f;
    const int32_t zp = int32_t(std::nearbyint(-lo / xscale));
    auto put = [&](const char* name, const void* p, size_t n) {
      FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
      if (!f || std::fwrite(p, 1, n, f) != n) throw std::runtime_error("cannot write " + dir + "/" + name);
      std::fclose(f);
    };
    put("w.i8", w.data(), w.size());
    put("scale.f32", scale.data(), scale.size() * 4);
    put("bias.f32", bias.data(), bias.size() * 4);
    put("zp.i32", &zp, 4);
    put("xscale.f32", &xscale, 4);
    int8Model = ka::test::forgeBytes("int8-model", kShape + " --dir " + dir);
    convModel = ka::test::forgeBytes("conv-model", kShape);
    qlinearModel = ka::test::forgeBytes("qlinearconv-model", kShape + " --dir " + dir);
    for (const char* n : {"w.i8", "scale.f32", "bias.f32", "zp.i32", "xscale.f32"}) unlink((dir + "/" + n).c_str());
    rmdir(dir.c_str());
  }
};

Int8Data& int8Data() {
  static Int8Data d;
  return d;
}

void int8Session(benchmark::State& state, const std::vector<uint8_t>& model, const std::string& label) {
  Int8Data& d = int8Data();
  BoundSession s(model, int(state.range(0)));
  s.in("x", tensor(d.x, {1, kC, kHW, kHW})).out("y", tensor(d.y, {1, kC, kHW, kHW}));
  state.SetLabel(label);
  loop(state, s);
}
void BM_Int8ConvVNNI(benchmark::State& state) {
  ka::Int8Conv probe{ka::Int8ConvAttrs{}};
  int8Session(state, int8Data().int8Model,
              std::string(ka::int8PathName(probe.path())) + ", pool " + std::to_string(ka::pool::threads()));
}
void BM_OrtFloatConv(benchmark::State& state) { int8Session(state, int8Data().convModel, "ORT Conv"); }
void BM_OrtQLinearConv(benchmark::State& state) {
  int8Session(state, int8Data().qlinearModel, "ORT Quantize+QLinearConv+Dequantize");
}
BENCHMARK(BM_Int8ConvVNNI)->Arg(1)->ArgName("ort_threads")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrtFloatConv)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrtQLinearConv)->Arg(1)->Arg(2)->ArgName("threads")->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
