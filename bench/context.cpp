// The core C interface at production size: a forged bundle with crop 512 and 1920x1080 frames.
//
//   BM_RenderDriveCrop  ms per frame of ka_render_drive_crop (the forge's director, batch 1), with
//                       the renderer's own work outside Session::Run reported as a share of the run
//                       (counter overhead_pct: (wall - run) / run * 100).
//   BM_PasteLast        ms per frame of ka_paste_last: background frame out of the cursor plus the
//                       paste of a 512 crop into 1080p.
// Threads: the pool's size unless KA_BENCH_THREADS says otherwise (1 and 2 are the usual runs).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/handles.h"
#include "render/renderer.h"
#include "ka/ka.h"

namespace {

struct Fixture {
  std::string dir;
  ka_ctx* ctx = nullptr;

  Fixture() {
    char tmpl[] = "/tmp/ka_bench_ctx_XXXXXX";
    dir = mkdtemp(tmpl);
    const std::string forge = std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tools/forge/forge.py ";
    const std::string b = dir + "/b";
    if (std::system((forge + "bundle " + b + " --size large --nt 8 --frames 16 --background jpeg").c_str()) != 0 ||
        std::system((forge + "director-into " + b + " --batch 1 > /dev/null").c_str()) != 0) {
      std::fprintf(stderr, "bench: forging the bundle failed\n");
      std::exit(1);
    }
    const char* t = std::getenv("KA_BENCH_THREADS");
    ctx = ka_create(b.c_str(), "b1", t ? std::atoi(t) : 0, nullptr);
    if (!ctx) {
      std::fprintf(stderr, "bench: %s\n", ka_last_error());
      std::exit(1);
    }
  }
  ~Fixture() {
    ka_destroy(ctx);
    std::system(("rm -rf " + dir).c_str());
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_RenderDriveCrop(benchmark::State& state) {
  ka_ctx* ctx = fixture().ctx;
  if (!ka_render_drive_crop(ctx, 0)) state.SkipWithError(ka_last_error());  // builds the renderer
  const double run0 = ctx->context->renderer().runMilliseconds();
  double wall = 0;
  int i = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(ka_render_drive_crop(ctx, i++ % ka_drive_frames(ctx)));
    wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  const double run = ctx->context->renderer().runMilliseconds() - run0;
  state.counters["ms_per_frame"] = wall / static_cast<double>(state.iterations());
  state.counters["overhead_pct"] = run > 0 ? (wall - run) / run * 100.0 : 0.0;
}
BENCHMARK(BM_RenderDriveCrop)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_PasteLast(benchmark::State& state) {
  ka_ctx* ctx = fixture().ctx;
  if (!ka_render_drive_crop(ctx, 0)) state.SkipWithError(ka_last_error());
  int si = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ka_paste_last(ctx, si++ % ka_nt(ctx)));
}
BENCHMARK(BM_PasteLast)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
