// Vectorised kernels, per compiled target (dispatch pinned), against the plain scalar reference,
// and against the named peers: the processor's own F16C conversion for f32ToF16, libswscale's
// yuv420p -> rgb24 for the YUV row converter. Also the operators' kernels: WarpDirector's two passes
// (reference: the one-pass scalar form) and Int8ConvVNNI (reference: its plain-loop path; per
// target the path the processor's best choice takes under that target). Each pinned run is
// labelled with the target that ran. One pool thread (KA_CORE_THREADS=1): the kernels alone.
//
//   ka_bench_simd --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <immintrin.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "../tests/ops/simd_reference.h"
#include "ops/int8_conv.h"
#include "ops/simd.h"
#include "ops/warp_director.h"

namespace {

using namespace ka::simdref;
namespace simd = ka::simd;

constexpr size_t kElems = 16384;  // in cache: measures the kernel, not memory
constexpr int kFrameW = 1920, kFrameH = 1080;
constexpr int kWarpSide = 256;            // a director-sized warp, 3 channels
constexpr int kConvC = 32, kConvHW = 64;  // Int8ConvVNNI: 32 -> 32 channels, 3 x 3, pads 1

struct Data {
  std::vector<float> f, g, outF;
  std::vector<uint16_t> h, a, b, w16, outH;
  std::vector<float> w;
  std::vector<uint8_t> rgb;
  std::vector<float> convIn, convW, convB, convOut;
  std::vector<uint8_t> y, u, v, frame;
  std::vector<float> warpSrc, warpGrid, warpPlanes, warpOut;
  std::vector<float> i8x, i8y, i8scale, i8bias;
  std::vector<int8_t> i8w;

  Data() {
    std::mt19937 rng(7);
    f.resize(kElems);
    g.resize(kElems);
    outF.resize(kElems);
    h.resize(kElems);
    outH.resize(3 * kElems);
    for (size_t i = 0; i < kElems; ++i) {
      f[i] = float(int(rng() % 200001) - 100000) / 1000.0f;
      g[i] = float(int(rng() % 2001) - 1000) / 100.0f;
      h[i] = toHalf(f[i]);
    }
    a.resize(3 * kElems);
    b.resize(3 * kElems);
    w16.resize(kElems);
    w.resize(kElems);
    for (size_t i = 0; i < 3 * kElems; ++i) {
      a[i] = toHalf(float(rng() % 1000) / 999.0f);
      b[i] = toHalf(float(rng() % 1000) / 999.0f);
    }
    for (size_t i = 0; i < kElems; ++i) {
      w[i] = float(rng() % 100) / 99.0f;
      w16[i] = toHalf(w[i]);
    }
    rgb.resize(3 * kElems);
    for (auto& c : rgb) c = uint8_t(rng());
    // A teeth-pass sized convolution: 16 -> 16 channels over 64 x 64.
    convIn.resize(16 * 64 * 64);
    convW.resize(16 * 16 * 9);
    convB.resize(16);
    convOut.resize(16 * 64 * 64);
    for (auto& x : convIn) x = float(int(rng() % 2001) - 1000) / 1000.0f;
    for (auto& x : convW) x = float(int(rng() % 2001) - 1000) / 10000.0f;
    for (auto& x : convB) x = float(rng() % 10) / 10.0f;
    y.resize(size_t(kFrameW) * kFrameH);
    u.resize(size_t(kFrameW / 2) * (kFrameH / 2));
    v.resize(u.size());
    for (auto& c : y) c = uint8_t(16 + rng() % 220);
    for (auto& c : u) c = uint8_t(rng());
    for (auto& c : v) c = uint8_t(rng());
    frame.resize(size_t(kFrameW) * kFrameH * 3);
    const size_t wp = size_t(kWarpSide) * kWarpSide;
    warpSrc.resize(3 * wp);
    for (auto& x : warpSrc) x = float(rng() % 1000) / 999.0f;
    warpGrid.resize(2 * wp);
    for (int i = 0; i < kWarpSide; ++i)
      for (int j = 0; j < kWarpSide; ++j) {
        float* g = &warpGrid[2 * (size_t(i) * kWarpSide + j)];
        g[0] = (2.f * j + 1.f) / kWarpSide - 1.f + 0.02f * std::sin(0.05f * i);
        g[1] = (2.f * i + 1.f) / kWarpSide - 1.f + 0.02f * std::cos(0.07f * j);
      }
    warpPlanes.resize(ka::warpPlanesFloats(kWarpSide, kWarpSide));
    warpOut.resize(3 * wp);
    i8x.resize(size_t(kConvC) * kConvHW * kConvHW);
    for (auto& x : i8x) x = float(int(rng() % 2001) - 1000) / 700.0f;
    i8y.resize(i8x.size());
    i8w.resize(size_t(kConvC) * kConvC * 9);
    for (auto& x : i8w) x = int8_t(int(rng() % 256) - 128);
    i8scale.assign(kConvC, 0.002f);
    i8bias.assign(kConvC, 0.1f);
  }
};

// One Int8ConvVNNI run on a fresh instance (the path is chosen at construction, under the pin).
std::string int8Conv(Data& d, ka::Int8Path path) {
  ka::Int8ConvAttrs a;
  a.pads[0] = a.pads[1] = a.pads[2] = a.pads[3] = 1;
  ka::Int8Conv conv(a, path);
  const int64_t xd[4] = {1, kConvC, kConvHW, kConvHW}, wd[4] = {kConvC, kConvC, 3, 3};
  conv.run(d.i8x.data(), xd, d.i8w.data(), wd, d.i8scale.data(), d.i8bias.data(), d.i8y.data());
  return ka::int8PathName(conv.path());
}

Data& data() {
  static Data d;
  return d;
}

// The kernels as they are called, each with its scalar reference.
struct Kernel {
  const char* name;
  double itemsPerRun;
  std::function<void()> run;
  std::function<void()> reference;
  std::function<std::string()> label = [] { return std::string(simd::target()); };
};

std::vector<Kernel> kernels() {
  Data& d = data();
  const size_t n = kElems;
  return {
      {"f32ToF16", double(n), [&d, n] { simd::f32ToF16(d.f.data(), d.outH.data(), n); },
       [&d, n] {
         for (size_t i = 0; i < n; ++i) d.outH[i] = toHalf(d.f[i]);
       }},
      {"f16ToF32", double(n), [&d, n] { simd::f16ToF32(d.h.data(), d.outF.data(), n); },
       [&d, n] {
         for (size_t i = 0; i < n; ++i) d.outF[i] = fromHalf(d.h[i]);
       }},
      {"roundF16Mul", double(n), [&d, n] { simd::roundF16Mul(d.f.data(), d.g.data(), d.outF.data(), n); },
       [&d, n] {
         for (size_t i = 0; i < n; ++i) d.outF[i] = roundHalf(d.f[i]) * d.g[i];
       }},
      {"rgb8ToPlanarF16", double(n), [&d, n] { simd::rgb8ToPlanarF16(d.rgb.data(), d.outH.data(), n, n); },
       [&d, n] {
         for (size_t i = 0; i < n; ++i)
           for (size_t c = 0; c < 3; ++c) d.outH[c * n + i] = toHalf(float(d.rgb[3 * i + c]) / 255.0f);
       }},
      {"retrieveTermPooled", double(n),
       [&d, n] { benchmark::DoNotOptimize(simd::retrieveTermPooled(d.a.data(), d.b.data(), d.w16.data(), n)); },
       [&d, n] { benchmark::DoNotOptimize(retrievePooled(d.a.data(), d.b.data(), d.w16.data(), n)); }},
      {"retrieveTermExact", double(n),
       [&d, n] { benchmark::DoNotOptimize(simd::retrieveTermExact(d.a.data(), d.b.data(), d.w.data(), n)); },
       [&d, n] { benchmark::DoNotOptimize(retrieveExactRange(d.a.data(), d.b.data(), d.w.data(), n, 0, n)); }},
      {"conv3x3Range_16x64x64", 16.0 * 64 * 64,
       [&d] {
         simd::conv3x3Range(d.convIn.data(), 1, 16, 64, 64, d.convW.data(), d.convB.data(), 16, d.convOut.data(), 0,
                            16);
       },
       [&d] { conv3x3(d.convIn.data(), 1, 16, 64, 64, d.convW.data(), d.convB.data(), 16, d.convOut.data()); }},
      {"yuv420RowToRgb24_1080p", double(kFrameW) * kFrameH,
       [&d] {
         for (int row = 0; row < kFrameH; ++row) {
           const size_t c = size_t(row / 2) * (kFrameW / 2);
           simd::yuv420RowToRgb24(d.y.data() + size_t(row) * kFrameW, d.u.data() + c, d.v.data() + c, kFrameW, 1,
                                  d.frame.data() + size_t(row) * kFrameW * 3);
         }
       },
       [&d] {
         for (int row = 0; row < kFrameH; ++row) {
           const size_t c = size_t(row / 2) * (kFrameW / 2);
           yuvRow(d.y.data() + size_t(row) * kFrameW, d.u.data() + c, d.v.data() + c, kFrameW, 1,
                  d.frame.data() + size_t(row) * kFrameW * 3);
         }
       }},
      {"warpDirector_3x256x256", double(kWarpSide) * kWarpSide,
       [&d] {
         ka::warpDirectorPlanesBand(d.warpSrc.data(), d.warpPlanes.data(), kWarpSide, kWarpSide, 0, kWarpSide);
         ka::warpDirectorGatherBand(d.warpPlanes.data(), d.warpGrid.data(), d.warpOut.data(), kWarpSide, kWarpSide, 0,
                                    kWarpSide);
       },
       [&d] { ka::warpDirector(d.warpSrc.data(), d.warpGrid.data(), d.warpOut.data(), kWarpSide, kWarpSide); },
       [] { return std::string(ka::warpBody()); }},
      {"int8Conv_32x64x64_3x3", double(kConvC) * kConvHW * kConvHW, [&d] { int8Conv(d, ka::Int8Path::kAuto); },
       [&d] { int8Conv(d, ka::Int8Path::kScalar); },
       [&d] { return std::string(simd::target()) + " " + int8Conv(d, ka::Int8Path::kAuto); }},
  };
}

void runTimed(benchmark::State& state, const std::function<void()>& fn, double items) {
  for (auto _ : state) {
    fn();
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(int64_t(double(state.iterations()) * items));
}

// The physical limit for f32ToF16: the conversion instruction alone over the same buffer.
__attribute__((target("avx2,f16c"))) void rawF16c(const float* in, uint16_t* out, size_t n) {
  for (size_t i = 0; i < n; i += 32) {
    const __m256 v0 = _mm256_loadu_ps(in + i), v1 = _mm256_loadu_ps(in + i + 8);
    const __m256 v2 = _mm256_loadu_ps(in + i + 16), v3 = _mm256_loadu_ps(in + i + 24);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm256_cvtps_ph(v0, _MM_FROUND_TO_NEAREST_INT));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm256_cvtps_ph(v1, _MM_FROUND_TO_NEAREST_INT));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), _mm256_cvtps_ph(v2, _MM_FROUND_TO_NEAREST_INT));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 24), _mm256_cvtps_ph(v3, _MM_FROUND_TO_NEAREST_INT));
  }
}
static_assert(kElems % 32 == 0, "rawF16c converts whole groups of 32");

void BM_RawF16c(benchmark::State& state) {
  Data& d = data();
  runTimed(
      state, [&d] { rawF16c(d.f.data(), d.outH.data(), kElems); }, double(kElems));
}

// libswscale's own yuv420p -> rgb24 at the same size, one thread.
void BM_Swscale(benchmark::State& state) {
  Data& d = data();
  SwsContext* sws = sws_getContext(kFrameW, kFrameH, AV_PIX_FMT_YUV420P, kFrameW, kFrameH, AV_PIX_FMT_RGB24,
                                   int(state.range(0)), nullptr, nullptr, nullptr);
  if (!sws) {
    state.SkipWithError("sws_getContext failed");
    return;
  }
  const uint8_t* src[3] = {d.y.data(), d.u.data(), d.v.data()};
  const int srcStride[3] = {kFrameW, kFrameW / 2, kFrameW / 2};
  uint8_t* dst[1] = {d.frame.data()};
  const int dstStride[1] = {kFrameW * 3};
  runTimed(
      state, [&] { sws_scale(sws, src, srcStride, 0, kFrameH, dst, dstStride); }, double(kFrameW) * kFrameH);
  sws_freeContext(sws);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("KA_CORE_THREADS", "1", 1);  // before the pool's first use fixes its size
  for (const Kernel& k : kernels()) {
    benchmark::RegisterBenchmark((std::string(k.name) + "/reference").c_str(),
                                 [k](benchmark::State& s) { runTimed(s, k.reference, k.itemsPerRun); });
    for (int64_t t : runnableTargets()) {
      benchmark::RegisterBenchmark((std::string(k.name) + "/" + targetName(t)).c_str(), [k, t](benchmark::State& s) {
        TargetPin pin(t);
        s.SetLabel(k.label());
        runTimed(s, k.run, k.itemsPerRun);
      });
    }
    if (std::string(k.name) == "f32ToF16" && __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx2")) {
      benchmark::RegisterBenchmark("f32ToF16/raw_F16C", BM_RawF16c);
    }
    if (std::string(k.name) == "yuv420RowToRgb24_1080p") {
      benchmark::RegisterBenchmark("yuv420RowToRgb24_1080p/swscale_bilinear", BM_Swscale)->Arg(SWS_BILINEAR);
      benchmark::RegisterBenchmark("yuv420RowToRgb24_1080p/swscale_point", BM_Swscale)->Arg(SWS_POINT);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
