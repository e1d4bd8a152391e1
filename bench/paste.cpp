// Pasting a 512 x 512 face crop into a 1920 x 1080 frame: ka::Paste against the same work done
// with OpenCV (GaussianBlur unsharp mask, warpAffine with INTER_LANCZOS4 for the crop and
// INTER_LINEAR for the mask over the covered rectangle, alpha blend), at 1 and 2 threads.
//
// lanczos_stage/rows and lanczos_stage/columns time the compositor's Lanczos-8 stage alone, on one
// thread, as it was (the crop interleaved row-major, simd::pasteLanczos8Row per frame row) and as
// it is (the crop column-major, simd::pasteLanczos8Columns over the box); both write the same
// bytes, and the paste's other stages are the same in both.
//
// In the one-thread child the compositor's kernels are also timed per compiled Highway target
// (dispatch pinned, labelled with the target): the Lanczos stage both ways and the unsharp mask's
// two passes over one padded crop plane; the SCALAR target is the plain loops' reference.
//
// The worker pool's size is fixed per process, so the binary runs itself once per thread count
// (KA_CORE_THREADS=1, then 2) and OpenCV is given the same count; each child prints its own table.
//
//   ka_bench_paste --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "../tests/ops/simd_reference.h"
#include "ops/pool.h"
#include "ops/simd.h"
#include "paste/paste.h"
#include "paste/paste_kernels.h"

#ifdef KA_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;
constexpr float kAmount = 1.3f, kSigma = 2.0f;
constexpr int kKsize = 13;

struct Scene {
  std::vector<float> crop;  // 3 planes, 0..1
  std::vector<uint8_t> mask, frame;
  float M[6];
  Scene() {
    std::mt19937 rng(11);
    crop.resize(3 * size_t(kSide) * kSide);
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
          crop[c * size_t(kSide) * kSide + size_t(y) * kSide + x] =
              0.5f + 0.35f * std::sin(0.05f * x + c) * std::cos(0.07f * y) + 0.1f * float(rng() % 100) / 100.0f;
    mask.resize(size_t(kSide) * kSide);
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x) {
        const int d = std::min(std::min(x, y), std::min(kSide - 1 - x, kSide - 1 - y));
        mask[size_t(y) * kSide + x] = uint8_t(std::min(255, d * 4));
      }
    frame.resize(size_t(kW) * kH * 3);
    for (auto& b : frame) b = uint8_t(rng());
    // A face a little smaller than the crop, slightly turned, in the upper middle of the frame.
    const float s = 0.93f, a = 0.06f;
    M[0] = s * std::cos(a);
    M[1] = -s * std::sin(a);
    M[2] = 720.3f;
    M[3] = s * std::sin(a);
    M[4] = s * std::cos(a);
    M[5] = 210.7f;
  }
};

const Scene& scene() {
  static Scene s;
  return s;
}

std::string label(const char* what) { return std::string(what) + "/threads:" + std::to_string(ka::pool::threads()); }

void BM_KaPaste(benchmark::State& st) {
  const Scene& s = scene();
  ka::Paste paste(s.mask, kSide, ka::Unsharp{kAmount, kSigma, kKsize});
  std::vector<uint8_t> frame = s.frame;
  for (auto _ : st) {
    paste.composite(s.crop.data(), 255.0f, s.M, frame.data(), kW, kH);
    benchmark::DoNotOptimize(frame.data());
  }
  st.SetItemsProcessed(st.iterations());
}

// The Lanczos stage's inputs for the scene: the crop as 0..255 planes in both layouts, the mask
// bordered, the phase tables and the fixed-point tables of the covered box, as ka::Paste makes them.
struct Stage {
  std::vector<float> rgba4, columns, lanczos, lanczosRows, linear;
  std::vector<uint8_t> maskBordered;
  std::vector<int64_t> colX, colY, rowX, rowY;
  int x0 = 0, y0 = 0, count = 0, rows = 0;
  Stage() {
    const Scene& s = scene();
    const size_t n = size_t(kSide) * kSide;
    std::vector<float> p[3];
    for (int c = 0; c < 3; ++c) {
      p[c].resize(n);
      for (size_t i = 0; i < n; ++i) p[c][i] = 255.0f * s.crop[c * n + i];
    }
    rgba4.resize(4 * n);
    for (size_t i = 0; i < n; ++i)
      for (int c = 0; c < 4; ++c) rgba4[4 * i + size_t(c)] = c < 3 ? p[c][i] : 0.0f;
    columns.assign(ka::simd::columnCropFloats(kSide), 0.0f);
    ka::simd::interleaveColumns(p[0].data(), p[1].data(), p[2].data(), kSide, columns.data(), 0, kSide);
    maskBordered.assign(size_t(kSide + 2) * (kSide + 2), 0);
    for (int y = 0; y < kSide; ++y)
      std::copy_n(s.mask.data() + size_t(y) * kSide, kSide, maskBordered.data() + size_t(y + 1) * (kSide + 2) + 1);
    lanczos.resize(32 * 8);
    linear.resize(64);
    lanczosRows.resize(32 * 32);
    const double r = 0.7071067811865476;
    const double cs[8][2] = {{1, 0}, {-r, -r}, {0, 1}, {r, -r}, {-1, 0}, {r, r}, {0, -1}, {-r, r}};
    for (int i = 0; i < 32; ++i) {
      const double t = i / 32.0;
      linear[2 * i] = float(1 - t);
      linear[2 * i + 1] = float(t);
      double w[8] = {0, 0, 0, 1, 0, 0, 0, 0}, sum = 1;
      if (i > 0) {
        const double a = -(t + 3) * M_PI / 4, s0 = std::sin(a), c0 = std::cos(a);
        sum = 0;
        for (int j = 0; j < 8; ++j) {
          const double y = (t + 3 - j) * M_PI / 4;
          w[j] = (cs[j][0] * s0 + cs[j][1] * c0) / (y * y);
          sum += w[j];
        }
      }
      for (int j = 0; j < 8; ++j) lanczos[8 * i + j] = float(w[j] / sum);
    }
    for (int i = 0; i < 32 * 32; ++i) lanczosRows[i] = lanczos[8 * (i / 32) + (i % 32) / 4];
    // The covered box and the inverse transform's fixed-point terms.
    const float* M = s.M;
    const double det = double(M[0]) * M[4] - double(M[1]) * M[3];
    const double a0 = M[4] / det, a1 = -M[1] / det, a3 = -M[3] / det, a4 = M[0] / det;
    const double a2 = -(M[2] * a0 + M[5] * a1), a5 = -(M[2] * a3 + M[5] * a4);
    float xs[4], ys[4];
    const float e0 = -4, e1 = kSide + 3, us[4] = {e0, e1, e0, e1}, vs[4] = {e0, e0, e1, e1};
    for (int i = 0; i < 4; ++i) {
      xs[i] = M[0] * us[i] + M[1] * vs[i] + M[2];
      ys[i] = M[3] * us[i] + M[4] * vs[i] + M[5];
    }
    x0 = std::max(0, int(std::floor(*std::min_element(xs, xs + 4))));
    y0 = std::max(0, int(std::floor(*std::min_element(ys, ys + 4))));
    count = std::min(kW - 1, int(std::ceil(*std::max_element(xs, xs + 4)))) - x0 + 1;
    rows = std::min(kH - 1, int(std::ceil(*std::max_element(ys, ys + 4)))) - y0 + 1;
    for (int x = x0; x < x0 + count; ++x) {
      colX.push_back(int64_t(std::rint(x * a0 * 1024)));
      colY.push_back(int64_t(std::rint(x * a3 * 1024)));
    }
    for (int y = y0; y < y0 + rows; ++y) {
      rowX.push_back(int64_t(std::rint((y * a1 + a2) * 1024)) + 16);
      rowY.push_back(int64_t(std::rint((y * a4 + a5) * 1024)) + 16);
    }
  }
};

const Stage& stage() {
  static Stage s;
  return s;
}

void BM_LanczosStageRows(benchmark::State& st) {
  const Stage& s = stage();
  std::vector<uint8_t> frame = scene().frame;
  std::vector<float> rgba4(s.rgba4.size());
  for (auto _ : st) {
    std::copy(s.rgba4.begin(), s.rgba4.end(), rgba4.begin());  // the interleave the stage began with
    ka::simd::PasteRow r;
    r.rgba4 = rgba4.data();
    r.mask = scene().mask.data();
    r.lanczosTab = s.lanczos.data();
    r.linearTab = s.linear.data();
    r.colX = s.colX.data();
    r.colY = s.colY.data();
    r.side = kSide;
    r.count = s.count;
    for (int i = 0; i < s.rows; ++i) {
      r.rowX = s.rowX[size_t(i)];
      r.rowY = s.rowY[size_t(i)];
      r.dst = frame.data() + (size_t(s.y0 + i) * kW + s.x0) * 3;
      ka::simd::pasteLanczos8Row(r);
    }
    benchmark::DoNotOptimize(frame.data());
  }
}

void BM_LanczosStageColumns(benchmark::State& st) {
  const Stage& s = stage();
  std::vector<uint8_t> frame = scene().frame;
  std::vector<float> planes(3 * size_t(kSide) * kSide), columns(s.columns.size(), 0.0f);
  for (size_t i = 0; i < planes.size(); ++i) planes[i] = 255.0f * scene().crop[i];
  const size_t n = size_t(kSide) * kSide;
  for (auto _ : st) {
    ka::simd::interleaveColumns(planes.data(), planes.data() + n, planes.data() + 2 * n, kSide, columns.data(), 0,
                                kSide);
    ka::simd::PasteColumns r;
    r.cols = columns.data();
    r.maskBordered = s.maskBordered.data();
    r.lanczosTab = s.lanczos.data();
    r.lanczosRows = s.lanczosRows.data();
    r.linearTab = s.linear.data();
    r.colX = s.colX.data();
    r.colY = s.colY.data();
    r.rowX = s.rowX.data();
    r.rowY = s.rowY.data();
    r.side = kSide;
    r.count = s.count;
    r.frame = frame.data() + (size_t(s.y0) * kW + s.x0) * 3;
    r.frameStride = size_t(kW) * 3;
    ka::simd::pasteLanczos8Columns(r, 0, s.rows);
    benchmark::DoNotOptimize(frame.data());
  }
}

// The unsharp mask's passes over one crop plane padded by kKsize / 2 on each side, as the paste
// runs them: the horizontal pass over the flat padded buffer, then a vertical pass and sharpening
// per crop row.
void BM_UnsharpPlane(benchmark::State& st) {
  const int pad = kSide + kKsize - 1;
  std::vector<float> padded(size_t(pad) * pad), hb(padded.size(), 0.0f), row(size_t(kSide) * kSide);
  for (size_t i = 0; i < padded.size(); ++i) padded[i] = 255.0f * scene().crop[i % scene().crop.size()];
  std::vector<float> g(kKsize);
  float sum = 0.0f;
  for (int t = 0; t < kKsize; ++t) sum += g[size_t(t)] = std::exp(-0.5f * float((t - 6) * (t - 6)) / (kSigma * kSigma));
  for (float& v : g) v /= sum;
  for (auto _ : st) {
    ka::simd::unsharpHorizontal(padded.data(), g.data(), kKsize, hb.data(), 0, padded.size() - kKsize + 1);
    for (int y = 0; y < kSide; ++y)
      ka::simd::unsharpSharpenRow(hb.data() + size_t(y) * pad, size_t(pad), g.data(), kKsize, kAmount,
                                  row.data() + size_t(y) * kSide, kSide);
    benchmark::DoNotOptimize(row.data());
  }
}

#ifdef KA_HAVE_OPENCV
void BM_OpenCvPaste(benchmark::State& st) {
  const Scene& s = scene();
  cv::setNumThreads(ka::pool::threads());
  std::vector<uint8_t> frameBuf = s.frame;
  cv::Mat frame(kH, kW, CV_8UC3, frameBuf.data());
  const cv::Mat mask(kSide, kSide, CV_8UC1, const_cast<uint8_t*>(s.mask.data()));
  // The rectangle the warped crop covers (4-pixel filter margin), as the compositor visits it.
  float xs[4], ys[4];
  const float e0 = -4, e1 = kSide + 3;
  const float us[4] = {e0, e1, e0, e1}, vs[4] = {e0, e0, e1, e1};
  for (int i = 0; i < 4; ++i) {
    xs[i] = s.M[0] * us[i] + s.M[1] * vs[i] + s.M[2];
    ys[i] = s.M[3] * us[i] + s.M[4] * vs[i] + s.M[5];
  }
  const int x0 = std::max(0, int(std::floor(*std::min_element(xs, xs + 4))));
  const int x1 = std::min(kW - 1, int(std::ceil(*std::max_element(xs, xs + 4))));
  const int y0 = std::max(0, int(std::floor(*std::min_element(ys, ys + 4))));
  const int y1 = std::min(kH - 1, int(std::ceil(*std::max_element(ys, ys + 4))));
  const cv::Rect roi(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
  const cv::Mat Mroi = (cv::Mat_<double>(2, 3) << s.M[0], s.M[1], s.M[2] - x0, s.M[3], s.M[4], s.M[5] - y0);

  cv::Mat planes[3], crop, blur, sharp, warped, warpedMask, alpha, alpha3, bg, out;
  for (auto _ : st) {
    for (int c = 0; c < 3; ++c)
      cv::Mat(kSide, kSide, CV_32FC1, const_cast<float*>(s.crop.data()) + c * size_t(kSide) * kSide)
          .convertTo(planes[c], CV_32F, 255.0);
    cv::merge(planes, 3, crop);
    cv::GaussianBlur(crop, blur, cv::Size(kKsize, kKsize), kSigma, kSigma, cv::BORDER_REFLECT_101);
    cv::addWeighted(crop, 1.0 + kAmount, blur, -kAmount, 0.0, sharp);
    cv::max(sharp, 0.0, sharp);
    cv::min(sharp, 255.0, sharp);
    cv::warpAffine(sharp, warped, Mroi, roi.size(), cv::INTER_LANCZOS4, cv::BORDER_CONSTANT);
    cv::warpAffine(mask, warpedMask, Mroi, roi.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    warpedMask.convertTo(alpha, CV_32F, 1.0 / 255.0);
    cv::Mat a3[3] = {alpha, alpha, alpha};
    cv::merge(a3, 3, alpha3);
    cv::Mat dst = frame(roi);
    dst.convertTo(bg, CV_32F);
    out = bg.mul(cv::Scalar::all(1.0) - alpha3) + warped.mul(alpha3);
    out.convertTo(dst, CV_8UC3);
    benchmark::DoNotOptimize(frameBuf.data());
  }
  st.SetItemsProcessed(st.iterations());
}
#endif

// Runs this binary again once per thread count; returns the first failing status.
int runPerThreadCount(char** argv) {
  int status = 0;
  for (const char* t : {"1", "2"}) {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("KA_CORE_THREADS", t, 1);
      setenv("KA_BENCH_PASTE_CHILD", "1", 1);
      execv("/proc/self/exe", argv);
      _exit(127);
    }
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) < 0 || !WIFEXITED(st) || WEXITSTATUS(st) != 0) status = status ? status : 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("KA_BENCH_PASTE_CHILD")) return runPerThreadCount(argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark(label("paste_512_into_1080p/ka").c_str(), BM_KaPaste)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
#ifdef KA_HAVE_OPENCV
  benchmark::RegisterBenchmark(label("paste_512_into_1080p/opencv").c_str(), BM_OpenCvPaste)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
#endif
  if (ka::pool::threads() == 1) {
    benchmark::RegisterBenchmark("lanczos_stage/rows", BM_LanczosStageRows)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("lanczos_stage/columns", BM_LanczosStageColumns)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    const std::pair<const char*, void (*)(benchmark::State&)> kernels[] = {
        {"lanczos_stage/rows", BM_LanczosStageRows},
        {"lanczos_stage/columns", BM_LanczosStageColumns},
        {"unsharp_plane", BM_UnsharpPlane}};
    for (const auto& [name, fn] : kernels)
      for (int64_t t : ka::simdref::runnableTargets())
        benchmark::RegisterBenchmark((std::string(name) + "/" + ka::simdref::targetName(t)).c_str(),
                                     [t, fn = fn](benchmark::State& s) {
                                       ka::simdref::TargetPin pin(t);
                                       s.SetLabel(ka::simd::target());
                                       fn(s);
                                     })
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
