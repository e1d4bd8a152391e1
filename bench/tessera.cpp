// The teeth pass per frame at the forged bank sizes (default serving configuration, the forge's
// 32 x 16 window on a 64 canvas), and its exact retrieval score over a whole bank: the vectorised
// terms against the plain scalar loop over the difference table.
//
//   KA_CORE_THREADS=1 ka_bench_tessera --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "ops/simd.h"
#include "tessera/teeth_pass.h"

namespace {

using namespace ka::tessera;

constexpr int kStamp[12] = {64, 64, 16, 32, 32, 16, 4, 2, 12, 4, 28, 2};

struct Fixture {
  BankData bank;
  HeadWeights head;
  std::vector<uint8_t> frame, mask;

  explicit Fixture(int n) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> byte(0, 255);
    bank.stamp = GeometryStamp::fromInts(kStamp);
    bank.n = n;
    const int sh = 10 + 4, sw = 24 + 4;
    bank.patches.resize(static_cast<size_t>(n) * sh * sw * 3);
    for (auto& b : bank.patches) b = static_cast<uint8_t>(byte(rng));
    std::uniform_real_distribution<double> off(-3, 3), ap(0.02, 0.05);
    for (int d = 0; d < n; ++d) {
      bank.cent.push_back(32 + off(rng));
      bank.cent.push_back(40 + off(rng));
      bank.aperture.push_back(ap(rng));
    }
    bank.c_canon = {32.0, 40.0};
    std::normal_distribution<float> g(0.0f, 0.25f);
    for (auto* v : {&head.cand0_w, &head.cand0_b, &head.cand2_w, &head.cand2_b, &head.cand4_w, &head.cand4_b}) {
      const size_t k = v == &head.cand0_w   ? 1008
                       : v == &head.cand2_w ? 2304
                       : v == &head.cand4_w ? 144
                       : v == &head.cand4_b ? 1
                                            : 16;
      for (size_t i = 0; i < k; ++i) v->push_back(g(rng));
    }
    frame.resize(64 * 64 * 3);
    for (auto& b : frame) b = static_cast<uint8_t>(100 + byte(rng) / 2);
    mask.assign(64 * 64, 0);
    for (int y = 0; y < 64; ++y)
      for (int x = 0; x < 64; ++x) {
        const double r = std::pow((x - 32) / 13.0, 2) + std::pow((y - 40) / 6.0, 2);
        mask[y * 64 + x] = static_cast<uint8_t>(std::clamp((1.6 - r) * 200, 0.0, 255.0));
      }
  }
};

void BM_TeethPassPerFrame(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)));
  TeethPass pass(f.bank, f.head, ServeConfig());
  FrameResult r;
  int k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(pass.push(k++, f.frame.data(), f.mask.data(), nullptr, &r));
  state.SetLabel(ka::simd::target());
}
BENCHMARK(BM_TeethPassPerFrame)->Arg(8)->Arg(256)->Arg(1024)->Unit(benchmark::kMillisecond);

void exactScores(benchmark::State& state, bool vectorised) {
  Fixture f(static_cast<int>(state.range(0)));
  TeethPass pass(f.bank, f.head, ServeConfig());
  pass.retrieve(f.frame.data(), f.mask.data(), 0, 0);
  for (auto _ : state) benchmark::DoNotOptimize(vectorised ? pass.exactScoresVector() : pass.exactScoresScalar());
  state.SetLabel(ka::simd::target());
}
void BM_ExactRetrievalVector(benchmark::State& s) { exactScores(s, true); }
void BM_ExactRetrievalScalarLoop(benchmark::State& s) { exactScores(s, false); }
BENCHMARK(BM_ExactRetrievalVector)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExactRetrievalScalarLoop)->Arg(256)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
