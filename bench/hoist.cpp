// Per-frame render time with the source-cone hoist against the same director served whole, on a
// forged bundle with crop 512, source indices played in order (0, 1, ..., NT - 1, 0, ...).
//
//   whole:0  (hoisted) the forge's batch-1 director: the cone runs in the prep session on the
//            prefetch thread, one source frame ahead
//   whole:1  the same director with one dead reader of a cone value, which keeps the cone in the
//            graph: every frame computes it
// Both renderers get the same intra-op thread count (threads: 1 or 2). The figure is wall time per
// render call, waiting for the ring included.
//
//   ka_bench_hoist --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "render/renderer.h"

namespace {

struct Bundle {
  std::string dir, b;
  std::vector<float> ks, kd;

  Bundle() {
    char tmpl[] = "/tmp/ka_bench_hoist_XXXXXX";
    dir = mkdtemp(tmpl);
    b = dir + "/b";
    const std::string forge = std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tools/forge/forge.py ";
    if (std::system((forge + "bundle " + b + " --size large --nt 8 --frames 16 --background none").c_str()) != 0 ||
        std::system((forge + "director-into " + b + " --batch 1 > /dev/null").c_str()) != 0 ||
        std::system((forge + "cone-near-miss " + b + "/model_b1_whole.onnx escape --crop 512").c_str()) != 0) {
      std::fprintf(stderr, "bench: forging the bundle failed\n");
      std::exit(1);
    }
    ks = floats(b + "/drive/xs.f32");
    kd = floats(b + "/drive/xd.f32");
  }
  ~Bundle() { std::system(("rm -rf " + dir).c_str()); }

  static std::vector<float> floats(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
  }
};

Bundle& bundle() {
  static Bundle b;
  return b;
}

void render(benchmark::State& state, const char* model) {
  Bundle& b = bundle();
  ka::Manifest m = ka::loadManifest(b.b);
  ka::Identity id(m);
  ka::Renderer r(m, id, model, int(state.range(1)), "");
  const int nt = id.NT();
  const size_t rows = b.kd.size() / 63;
  int v = 0;
  size_t row = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(r.render(&v, b.ks.data() + 63 * row, b.kd.data() + 63 * row, 1));
    v = (v + 1) % nt;
    row = (row + 1) % rows;
  }
}

// range(0): 0 hoisted ("b1"), 1 whole ("b1_whole"); range(1): intra-op threads.
void BM_Render(benchmark::State& state) {
  render(state, state.range(0) == 0 ? "b1" : "b1_whole");
  state.SetLabel(state.range(0) == 0 ? "hoisted" : "whole");
}
BENCHMARK(BM_Render)
    ->ArgNames({"whole", "threads"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
BENCHMARK_MAIN();
