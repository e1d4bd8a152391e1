// Driver video playback rates: the cursor over a 1080p H.264 MP4 against the ffmpeg CLI decoding
// the same file to rgb24, and the prior cursor over a 512 x 512 HEVC 4:4:4 member (with the CLI's
// decode of that member to planar 8-bit RGB beside it for scale).
//
// The members are forged once into $TMPDIR/ka_bench_driver (or /tmp) and reused.
//
//   ka_bench_driver --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <benchmark/benchmark.h>

#include "driver/cursor.h"
#include "driver/ff_source.h"

namespace {

constexpr int kVideoFrames = 200, kW = 1920, kH = 1080;
constexpr int kPriorFrames = 100, kSide = 512;

std::string quote(const std::string& s) { return "'" + s + "'"; }

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

std::string dataDir() {
  const char* t = std::getenv("TMPDIR");
  const std::string d = std::string(t && *t ? t : "/tmp") + "/ka_bench_driver";
  ::mkdir(d.c_str(), 0755);
  return d;
}

// Forges `name` with the given forge arguments unless it is already there.
std::string member(const std::string& name, const std::string& args) {
  const std::string path = dataDir() + "/" + name;
  if (!exists(path)) {
    const std::string tmp = path + ".part";
    const std::string cmd = quote(KA_PYTHON) + " " + quote(std::string(KA_SOURCE_DIR) + "/tools/forge/forge.py") + " " +
                            args + " " + quote(tmp) + " && mv " + quote(tmp) + " " + quote(path);
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("forge failed: " + cmd);
  }
  return path;
}

std::string video1080() {
  // x264's usual settings for a talking-head background: a GOP of 50, crf 20.
  return member("driver_1080p.mp4", "video-h264 --frames " + std::to_string(kVideoFrames) +
                                        " --width 1920 --height 1080 --gop 50 --crf 20 --preset veryfast");
}

std::string prior512() {
  return member("prior_512.mov", "video-prior --lossy --frames " + std::to_string(kPriorFrames) + " --side 512");
}

// One iteration = one full pass over the member; rates are frames per second of wall time.
void playCursor(benchmark::State& st, ka::DriverCursor& c, int frames) {
  int index = 0;
  uint64_t sum = 0;
  for (auto _ : st) {
    for (int k = 0; k < frames; ++k) {
      const uint8_t* f = c.pull(index);
      sum += f[c.frameBytes / 2];
    }
  }
  benchmark::DoNotOptimize(sum);
  st.SetItemsProcessed(int64_t(st.iterations()) * frames);
  st.counters["seeks"] = double(c.seeks());
}

void BM_DriverCursor(benchmark::State& st) {
  setenv("KA_DRIVER_HWDEC", "0", 1);
  auto c = ka::DriverCursor::over(ka::driver::openMp4(video1080(), kVideoFrames, kW, kH), 2, 11);
  playCursor(st, *c, kVideoFrames);
}

void BM_PriorCursor(benchmark::State& st) {
  auto c = ka::DriverCursor::over(ka::driver::openPriorHevc(prior512(), kPriorFrames, kSide), 2, 11);
  playCursor(st, *c, kPriorFrames);
}

void runCli(benchmark::State& st, const std::string& path, const char* pixFmt, int frames) {
  const std::string cmd =
      "ffmpeg -nostdin -v error -i " + quote(path) + " -f rawvideo -pix_fmt " + pixFmt + " -y /dev/null";
  for (auto _ : st) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) {
      st.SkipWithError("ffmpeg failed");
      return;
    }
    st.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  st.SetItemsProcessed(int64_t(st.iterations()) * frames);
}

void BM_FfmpegCliRgb24(benchmark::State& st) { runCli(st, video1080(), "rgb24", kVideoFrames); }

void BM_FfmpegCliPriorGbrp(benchmark::State& st) { runCli(st, prior512(), "gbrp", kPriorFrames); }

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  video1080();
  prior512();
  std::fprintf(stderr, "%s\n", ka::movieDecoderBuild().c_str());
  benchmark::RegisterBenchmark("driver_1080p_h264/ka_cursor", BM_DriverCursor)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("driver_1080p_h264/ffmpeg_cli_rgb24", BM_FfmpegCliRgb24)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime();
  benchmark::RegisterBenchmark("prior_512_hevc444/ka_cursor", BM_PriorCursor)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("prior_512_hevc444/ffmpeg_cli_gbrp", BM_FfmpegCliPriorGbrp)
      ->Unit(benchmark::kMillisecond)
      ->UseManualTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
