// Pasting a 512 x 512 face crop into a 1920 x 1080 frame: ka::Paste against the same work done
// with OpenCV (GaussianBlur unsharp mask, warpAffine with INTER_LANCZOS4 for the crop and
// INTER_LINEAR for the mask over the covered rectangle, alpha blend), at 1 and 2 threads.
//
// The worker pool's size is fixed per process, so the binary runs itself once per thread count
// (KA_CORE_THREADS=1, then 2) and OpenCV is given the same count; each child prints its own table.
//
//   ka_bench_paste --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "ops/pool.h"
#include "paste/paste.h"

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
  benchmark::RegisterBenchmark(label("paste_512_into_1080p/ka").c_str(), BM_KaPaste)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef KA_HAVE_OPENCV
  benchmark::RegisterBenchmark(label("paste_512_into_1080p/opencv").c_str(), BM_OpenCvPaste)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
#endif
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
