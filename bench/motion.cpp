// The audio-to-motion engine's own work against its models, on a forged motion directory.
//
// BM_MotionEngine streams 10 s of speech-like audio per iteration (pushes of 80 ms, pulls of what
// is ready, finish, drain) and reports the engine's own time (mel, averaging, blending, smoothing,
// emit) and the models' Session::Run time per second of audio, and their ratio (own_share).
// BM_MelWindow is the mel front end on one 6 480-sample window; BM_MelNumpy is numpy's
// rfft-based computation of the same window (timed in Python, reported as manual time).
//
//   ka_bench_motion --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "audio/mel.h"
#include "audio/motion.h"

namespace {

const std::string& motionDir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/ka_bench_motion_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    const std::string d = std::string(tmpl) + "/motion";
    const std::string cmd = std::string(KA_PYTHON) + " " KA_SOURCE_DIR "/tools/forge/forge.py motion " + d + " --nt 50";
    if (std::system(cmd.c_str()) != 0) std::abort();
    return d;
  }();
  return dir;
}

std::vector<float> readFloats(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  std::vector<float> v(static_cast<size_t>(f.tellg()) / sizeof(float));
  f.seekg(0);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(float)));
  return v;
}

std::vector<float> speechLike(size_t samples) {
  std::vector<float> a(samples);
  uint32_t r = 12345;
  for (size_t i = 0; i < samples; ++i) {
    const double t = i / 16000.0;
    const double syl = std::sin(M_PI * std::fmod(t, 0.25) / 0.25);
    r = r * 1664525u + 1013904223u;
    const double noise = (r >> 8) / double(1 << 24) - 0.5;
    a[i] = static_cast<float>(syl * syl * (0.2 * std::sin(2 * M_PI * 140 * t) + 0.05 * noise));
  }
  return a;
}

void BM_MotionEngine(benchmark::State& state) {
  ka::Motion engine(motionDir(), 1, "");
  const std::vector<float> audio = speechLike(160000);
  std::vector<int> idx(64);
  std::vector<float> base(64 * 63), drive(64 * 63);
  auto drain = [&] {
    for (int n; (n = engine.avail()) > 0;) engine.pull(idx.data(), base.data(), drive.data(), std::min(n, 64));
  };
  const double busy0 = engine.busySeconds(), model0 = engine.modelSeconds();
  for (auto _ : state) {
    engine.reset(0, 1, 1);
    for (size_t at = 0; at < audio.size(); at += 1280) {
      engine.push(audio.data() + at, static_cast<int>(std::min<size_t>(1280, audio.size() - at)));
      drain();
    }
    engine.finish();
    drain();
  }
  const double audioSeconds = 10.0 * static_cast<double>(state.iterations());
  const double model = engine.modelSeconds() - model0, own = engine.busySeconds() - busy0 - model;
  state.counters["own_ms_per_s"] = own * 1e3 / audioSeconds;
  state.counters["model_ms_per_s"] = model * 1e3 / audioSeconds;
  state.counters["own_share"] = own / model;
}
BENCHMARK(BM_MotionEngine)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MelWindow(benchmark::State& state) {
  const std::vector<float> window = readFloats(motionDir() + "/hubert_stft_window.bin");
  const std::vector<float> binmat = readFloats(motionDir() + "/hubert_stft_binmat.bin");
  ka::MelFrontEnd mel(window.data(), binmat.data());
  const std::vector<float> in = speechLike(ka::kMelWindowSamples);
  std::vector<float> out(ka::kMelFrames * ka::kMelBins);
  for (auto _ : state) {
    mel.compute(in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_MelWindow)->Unit(benchmark::kMicrosecond);

// Seconds per window of the numpy computation, measured once by Python's timeit.
double numpySecondsPerWindow() {
  static const double seconds = [] {
    const std::string out = motionDir() + "/../numpy_mel.txt";
    const std::string py =
        "import numpy as np, timeit, sys\n"
        "d = sys.argv[1]\n"
        "w = np.fromfile(d + '/hubert_stft_window.bin', np.float32)\n"
        "m = np.fromfile(d + '/hubert_stft_binmat.bin', np.float32).reshape(257, 80)\n"
        "x = np.random.default_rng(0).standard_normal(6480).astype(np.float32)\n"
        "def mel():\n"
        "    p = np.pad(x, 256, mode='reflect')\n"
        "    f = np.lib.stride_tricks.sliding_window_view(p, 512)[::320][:21] * w\n"
        "    return np.log(np.abs(np.fft.rfft(f, axis=1)) @ m + 1e-8)\n"
        "n = 2000\n"
        "open(sys.argv[2], 'w').write(str(min(timeit.repeat(mel, number=n, repeat=5)) / n))\n";
    const std::string script = motionDir() + "/../numpy_mel.py";
    std::ofstream(script) << py;
    const std::string cmd = std::string(KA_PYTHON) + " " + script + " " + motionDir() + " " + out;
    if (std::system(cmd.c_str()) != 0) return -1.0;
    double s = -1.0;
    std::ifstream(out) >> s;
    return s;
  }();
  return seconds;
}

void BM_MelNumpy(benchmark::State& state) {
  const double s = numpySecondsPerWindow();
  if (s <= 0) {
    state.SkipWithError("numpy timing failed");
    return;
  }
  for (auto _ : state) state.SetIterationTime(s);
}
BENCHMARK(BM_MelNumpy)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(1000);

}  // namespace

BENCHMARK_MAIN();
