// The audio engines on the forged models (tools/forge a2x), speech from espeak-ng.
//
//   BM_StreamShort / BM_StreamLegacy  one stream fed 10 s of speech live (640-sample pushes, avail
//                       and pull after each): ms per second of audio on the short-window front end
//                       and on the legacy 8 s window; overhead_pct is the engine's own time outside
//                       Session::Run as a share of the time inside it.
//   BM_FcaMinute        ka_fca_deltas over a 60 s clip; rtf = wall time / 60 s.
//   BM_Memory30Min      30 minutes of speech pushed in 1 s chunks and pulled: held_mb is the most
//                       the stream's buffers held at any point.
// Threads: 1 (KA_BENCH_THREADS overrides).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "api/handles.h"
#include "audio/a2x.h"
#include "audio/w2v.h"
#include "ka/ka_a2x.h"
#include "ka/ka_fca.h"
#include "ops/simd.h"

namespace {

struct Fixture {
  std::string dir;
  std::vector<float> speech;  // 10 s
  int threads = 1;

  Fixture() {
    char tmpl[] = "/tmp/ka_bench_a2x_XXXXXX";
    dir = mkdtemp(tmpl);
    const std::string forge = std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tools/forge/forge.py ";
    const std::string cmd = forge + "a2x " + dir + "/b " + dir + "/short && " + forge + "a2x " + dir + "/b " + dir +
                            "/legacy --legacy-only" + " && espeak-ng -w " + dir +
                            "/s.wav 'The quick brown fox jumps over the lazy dog, and speech drives the mouth.'" +
                            " && ffmpeg -v error -y -i " + dir + "/s.wav -ar 16000 -ac 1 -f f32le " + dir + "/s.f32";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "bench: forging the models failed\n");
      std::exit(1);
    }
    std::ifstream f(dir + "/s.f32", std::ios::binary);
    std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> one(b.size() / 4);
    std::copy(b.begin(), b.begin() + one.size() * 4, reinterpret_cast<char*>(one.data()));
    while (speech.size() < 160000) speech.insert(speech.end(), one.begin(), one.end());
    speech.resize(160000);
    if (const char* t = std::getenv("KA_BENCH_THREADS")) threads = std::max(1, std::atoi(t));
  }
  ~Fixture() { std::system(("rm -rf " + dir).c_str()); }

  ka_a2x* open(const char* frontEnd) {
    ka::w2v::forgetShared();
    setenv("W2V_ONNX", (dir + "/" + frontEnd + "/w2v.onnx").c_str(), 1);
    ka_a2x* s = ka_a2x_create((dir + "/b").c_str(), threads);
    if (!s) {
      std::fprintf(stderr, "bench: %s\n", ka_a2x_last_error());
      std::exit(1);
    }
    return s;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

int drain(ka_a2x* s) {
  static int idx[64];
  static float base[64 * 63], drive[64 * 63];
  int got = 0;
  while (ka_a2x_avail(s) > 0) got += ka_a2x_pull(s, idx, base, drive, 64);
  return got;
}

void streamLive(benchmark::State& state, const char* frontEnd) {
  Fixture& fx = fixture();
  ka_a2x* s = fx.open(frontEnd);
  ka::A2xStream* stream = &ka::a2xStream(s);
  double wall = 0, model = 0;
  for (auto _ : state) {
    ka_a2x_reset(s, 0, 1, 1);
    const double m0 = stream->modelSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    int frames = 0;
    for (size_t at = 0; at < fx.speech.size(); at += 640) {
      ka_a2x_push(s, fx.speech.data() + at, 640);
      frames += drain(s);
    }
    ka_a2x_finish(s);
    frames += drain(s);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    model += stream->modelSeconds() - m0;
    if (frames != 250) state.SkipWithError("wrong frame count");
  }
  const double secondsOfAudio = 10.0 * double(state.iterations());
  state.counters["ms_per_audio_s"] = wall * 1e3 / secondsOfAudio;
  state.counters["overhead_pct"] = (wall - model) / model * 100.0;
  state.SetLabel(ka::simd::target());
  ka_a2x_destroy(s);
}

void BM_StreamShort(benchmark::State& state) { streamLive(state, "short"); }
void BM_StreamLegacy(benchmark::State& state) { streamLive(state, "legacy"); }

void BM_FcaMinute(benchmark::State& state) {
  Fixture& fx = fixture();
  ka_fca* f = ka_fca_create((fx.dir + "/legacy/w2v.onnx").c_str(), (fx.dir + "/b/fca_stream.onnx").c_str(), fx.threads);
  if (!f) {
    state.SkipWithError(ka_fca_last_error());
    return;
  }
  std::vector<float> clip;
  for (int i = 0; i < 6; ++i) clip.insert(clip.end(), fx.speech.begin(), fx.speech.end());
  std::vector<float> out(1500 * 63);
  double wall = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (ka_fca_deltas(f, clip.data(), int(clip.size()), out.data(), 1500) != 1500)
      state.SkipWithError(ka_fca_last_error());
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  state.counters["rtf"] = wall / (60.0 * double(state.iterations()));
  ka_fca_destroy(f);
}

void BM_Memory30Min(benchmark::State& state) {
  Fixture& fx = fixture();
  ka_a2x* s = fx.open("short");
  ka::A2xStream* stream = &ka::a2xStream(s);
  size_t most = 0;
  for (auto _ : state) {
    ka_a2x_reset(s, 0, 1, 1);
    for (int sec = 0; sec < 30 * 60; ++sec) {
      ka_a2x_push(s, fx.speech.data() + size_t(sec % 10) * 16000, 16000);
      drain(s);
      most = std::max(most, stream->heldBytes());
    }
  }
  state.counters["held_mb"] = double(most) / (1 << 20);
  ka_a2x_destroy(s);
}

}  // namespace

BENCHMARK(BM_StreamShort)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StreamLegacy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FcaMinute)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memory30Min)->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(1);

BENCHMARK_MAIN();
