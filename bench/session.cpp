// The sessions against rendering and pasting the same frames one after the other through the core
// C interface, on the demo bundle (1280x720, crop 256) and a large one (1920x1080, crop 512), both
// with the forged audio-to-expression models and the batch-24 director.
//
//   BM_SessionSpeech/<bundle>/<lend>  an utterance session fed 4 s of speech at once (after one
//                               untimed utterance of the same speech), pulled as
//                               fast as it delivers, waiting with ka_utt_wait_frame (lend 0:
//                               copied out by ka_utt_pull_frame; 1:
//                               lent by ka_utt_frame_acquire / _release, as the serial loop's frame
//                               is never copied): items/s = delivered speech frames per second;
//                               idle_mid = idle frames between the first and the last speech frame;
//                               first_speech_ms = push to the first speech frame pulled.
//   BM_SerialRenderPaste/<b>    the same speech frames (source frame and keypoint rows from the
//                               audio-to-expression stream on the same 4 s) through
//                               ka_render_kp_crop + ka_paste_crop, one after the other (after one
//                               untimed pass)
//                               (cpu_host_render / _paste: the host thread's CPU in each call).
//   BM_SessionRealtime          the demo session fed 20 ms chunks at real-time pace: first-frame
//                               latency (first push to first speech frame available), sustained
//                               fps, host-call latencies (push, available, pull; the pull copies
//                               2.7 MB), and after an interrupt the ring's count and the time to
//                               the first ramp frame.
//   BM_SessionStart             the demo session idle for 1 s, then 20 ms chunks at real-time pace,
//                               the host taking a frame every 40 ms with ka_utt_wait_frame and the
//                               zero-copy ka_utt_frame_acquire / _release: the longest gap between
//                               frames from 1 s before to 2 s after the first push, the largest
//                               backward step of the target index, first-frame latency, and the
//                               p99 of push, available and acquire.
//   BM_OfflineStream            ka_stream_run over 4 s of speech (items/s = frames delivered).
//   BM_OfflineSerial            the same frames: FCA deltas, then render and paste one by one.
// The speech, serial and offline benchmarks also say where the cores went: cpu_<thread name> is
// the CPU milliseconds per frame of the threads of that name, cpu_all the whole process's, and
// cores its CPU time over the wall time (below 2 on two cores: a thread waited, or another
// process had the core).
#include <benchmark/benchmark.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"
#include "ka/ka_a2x.h"
#include "ka/ka_fca.h"
#include "ka/ka_stream.h"
#include "ka/ka_utt.h"
#include "ops/simd.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kKp = 63;

double msSince(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::vector<int16_t> speech(double seconds) {
  std::vector<int16_t> a(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < a.size(); ++i) {
    const double t = i / 16000.0;
    const double env = std::sin(M_PI * std::fmod(t, 0.25) / 0.25);
    a[i] = static_cast<int16_t>(env * (6000 * std::sin(2 * M_PI * 140 * t) + 3000 * std::sin(2 * M_PI * 280 * t)));
  }
  return a;
}

// Where the cores go: CPU time of every thread of this process, read from /proc/self/task/*/stat
// (utime + stime) and grouped by thread name. The library names its own threads, ONNX Runtime's
// pool threads included ("ka-..."); the bench thread is "host"; threads FFmpeg's decoder started
// while the context opened are tagged "ffmpeg"; any other thread still carrying the process name
// is "other". Threads that ended inside the measured region show up only in the process total, as
// "gone".
struct ThreadCpu {
  std::map<int, std::pair<std::string, double>> tasks;  // tid -> (name, CPU ms)
  double process = 0;

  static double ticksMs(const std::string& stat) {
    // Fields after the ")" that closes the name: state is field 3, utime 14, stime 15.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int k = 3; k <= 15 && in >> field; ++k)
      if (k >= 14) ticks += std::atof(field.c_str());
    return ticks * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  static std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  static ThreadCpu now() {
    ThreadCpu t;
    const std::string self = slurp("/proc/self/comm");
    const int pid = static_cast<int>(getpid());
    if (DIR* d = opendir("/proc/self/task")) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string dir = std::string("/proc/self/task/") + e->d_name;
        const int tid = std::atoi(e->d_name);
        std::string name = slurp(dir + "/comm");
        if (tid == pid)
          name = "host";
        else if (name == self)
          name = "other";
        t.tasks[tid] = {name, ticksMs(slurp(dir + "/stat"))};
      }
      closedir(d);
    }
    t.process = ticksMs(slurp("/proc/self/stat"));
    return t;
  }
  // Renames the threads started since the last call that still carry the process name (the
  // threads ONNX Runtime or FFmpeg started from the host thread) to `label`.
  static void tagNew(const char* label) {
    const std::string self = slurp("/proc/self/comm");
    const int pid = static_cast<int>(getpid());
    if (DIR* d = opendir("/proc/self/task")) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == pid) continue;
        const std::string comm = std::string("/proc/self/task/") + e->d_name + "/comm";
        if (slurp(comm) == self) std::ofstream(comm) << label;
      }
      closedir(d);
    }
  }
  // Adds "cpu_<name>" counters: CPU ms per frame of each thread name between `before` and now,
  // "cpu_all" for the whole process and "cores" for the CPU time over the wall time.
  static void report(benchmark::State& state, const ThreadCpu& before, double frames, double wallMs) {
    const ThreadCpu after = now();
    std::map<std::string, double> byName;
    double named = 0;
    for (const auto& [tid, t] : after.tasks) {
      const auto was = before.tasks.find(tid);
      const double ms = t.second - (was == before.tasks.end() ? 0.0 : was->second.second);
      byName[t.first] += ms;
      named += ms;
    }
    byName["gone"] = std::max(0.0, after.process - before.process - named);
    const double per = frames > 0 ? 1.0 / frames : 0;
    for (const auto& [name, ms] : byName)
      if (ms > 0) state.counters["cpu_" + name] = ms * per;
    state.counters["cpu_all"] = (after.process - before.process) * per;
    state.counters["cores"] = wallMs > 0 ? (after.process - before.process) / wallMs : 0;
  }
};

void run(const std::string& cmd) {
  if (std::system(cmd.c_str()) != 0) {
    std::fprintf(stderr, "bench: failed: %s\n", cmd.c_str());
    std::exit(1);
  }
}

// A forged bundle with everything the sessions need; W2V_ONNX points at its audio encoder.
struct Bundle {
  std::string root, dir, w2v;
  bool keep = false;
  explicit Bundle(bool large) {
    // KA_BENCH_BUNDLES=<dir> keeps the forged bundles there for the next run.
    const char* kept = std::getenv("KA_BENCH_BUNDLES");
    keep = kept && *kept;
    char tmpl[] = "/tmp/ka_bench_session_XXXXXX";
    root = keep ? std::string(kept) + (large ? "/large" : "/demo") : std::string(mkdtemp(tmpl));
    dir = root + (large ? "/b" : "/bundle");
    w2v = root + "/w2v/w2v.onnx";
    setenv("W2V_ONNX", w2v.c_str(), 1);
    if (keep && std::ifstream(w2v).good()) return;
    if (keep) run("mkdir -p " + root);
    const std::string forge = std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tools/forge/forge.py ";
    if (large) {
      run(forge + "bundle " + dir + " --size large --nt 8 --frames 16 > /dev/null");
      run(forge + "director-into " + dir + " > /dev/null");
      run(forge + "director-steady " + dir + " --render-key > /dev/null");
    } else {
      run(forge + "demo " + root + " > /dev/null");
    }
    run(forge + "a2x " + dir + " " + root + "/w2v > /dev/null");
  }
  ~Bundle() {
    if (!keep) std::system(("rm -rf " + root).c_str());
  }
};

Bundle& bundle(bool large) {
  static Bundle* b[2] = {nullptr, nullptr};
  if (!b[large]) b[large] = new Bundle(large);
  return *b[large];
}

struct Session {
  ka_ctx* ctx = nullptr;
  ka_utt* utt = nullptr;
  std::vector<unsigned char> rgb;
  explicit Session(const Bundle& b) {
    ctx = ka_create(b.dir.c_str(), "b1", 0, nullptr);
    if (!ctx) {
      std::fprintf(stderr, "bench: %s\n", ka_last_error());
      std::exit(1);
    }
    ThreadCpu::tagNew("ffmpeg");
    utt = ka_utt_open(ctx, b.dir.c_str());
    if (!utt || ka_utt_wait_ready(utt, 120000) != 1) {
      std::fprintf(stderr, "bench: %s\n", ka_utt_last_error());
      std::exit(1);
    }
    rgb.resize(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  }
  ~Session() {
    ka_utt_destroy(utt);
    ka_destroy(ctx);
  }
  bool pull(ka_utt_frame_info& info) { return ka_utt_pull_frame(utt, rgb.data(), rgb.size(), &info) == 1; }
};

// Pulls until the speech is over and an idle frame follows; counts speech frames and idle frames
// in the middle of speech.
struct SpeechRun {
  int speech = 0, idleMid = 0;
  double firstMs = -1, lastMs = -1;
};
SpeechRun pullSpeech(Session& s, Clock::time_point t0, int expected, bool lend) {
  SpeechRun r;
  int idleSince = 0;
  ka_utt_frame_info info;
  while (msSince(t0) < 120000) {
    const unsigned char* px = nullptr;
    const bool got = lend ? ka_utt_frame_acquire(s.utt, &px, &info) == 1 : s.pull(info);
    if (got && lend) {
      benchmark::DoNotOptimize(px[0]);
      ka_utt_frame_release(s.utt);
    }
    if (!got) {
      if (ka_utt_wait_frame(s.utt, 100) < 0) break;
      continue;
    }
    if (info.kind == KA_UTT_SPEECH) {
      if (r.firstMs < 0) r.firstMs = msSince(t0);
      r.lastMs = msSince(t0);
      r.idleMid += idleSince;
      idleSince = 0;
      ++r.speech;
    } else if (info.kind == KA_UTT_IDLE && r.speech > 0) {
      if (r.speech >= expected) break;
      ++idleSince;
    }
  }
  return r;
}

void BM_SessionSpeech(benchmark::State& state) {
  Session s(bundle(state.range(0) != 0));
  const std::vector<int16_t> a = speech(4.0);
  const int frames = static_cast<int>((a.size() + 639) / 640);
  double speechFrames = 0, seconds = 0, idleMid = 0, firstMs = 0, wallMs = 0;
  // One untimed utterance first, as the serial peer makes one untimed pass: both measured warm.
  ka_utt_push_audio(s.utt, a.data(), static_cast<int>(a.size()));
  ka_utt_end_utterance(s.utt);
  pullSpeech(s, Clock::now(), frames, state.range(1) != 0);
  const ThreadCpu cpu = ThreadCpu::now();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    ka_utt_push_audio(s.utt, a.data(), static_cast<int>(a.size()));
    ka_utt_end_utterance(s.utt);
    const SpeechRun r = pullSpeech(s, t0, frames, state.range(1) != 0);
    wallMs += msSince(t0);
    state.SetIterationTime(msSince(t0) / 1000.0);
    speechFrames += r.speech;
    idleMid += r.idleMid;
    seconds += (r.lastMs - r.firstMs) / 1000.0;
    firstMs = r.firstMs;
  }
  ThreadCpu::report(state, cpu, speechFrames, wallMs);
  ka_utt_stats st{};
  ka_utt_get_stats(s.utt, &st);
  state.counters["first_speech_ms"] = firstMs;  // whole utterance at once: push to first speech frame pulled
  state.counters["first_frame_latency_ms"] = st.first_frame_latency_ms;
  state.SetItemsProcessed(static_cast<int64_t>(speechFrames));
  state.counters["speech_fps"] = seconds > 0 ? speechFrames / seconds : 0;
  state.counters["idle_mid"] = idleMid;
  state.SetLabel(ka::simd::target());
}
BENCHMARK(BM_SessionSpeech)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"large", "lend"})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The speech frames the session shows for `seconds` of speech: the audio-to-expression stream's
// source frame, own row and speaking row per frame.
struct SpeechRows {
  std::vector<int> index;
  std::vector<float> base, drive;
};
SpeechRows speechRows(const Bundle& b, double seconds) {
  const std::vector<int16_t> a = speech(seconds);
  std::vector<float> f(a.size());
  for (size_t i = 0; i < a.size(); ++i) f[i] = static_cast<float>(a[i]) / 32768.0f;
  SpeechRows r;
  ka_a2x* s = ka_a2x_create(b.dir.c_str(), 0);
  if (!s || !ka_a2x_push(s, f.data(), static_cast<int>(f.size())) || !ka_a2x_finish(s)) {
    std::fprintf(stderr, "bench: %s\n", ka_a2x_last_error());
    std::exit(1);
  }
  for (int n; (n = ka_a2x_avail(s)) > 0;) {
    const size_t at = r.index.size();
    r.index.resize(at + static_cast<size_t>(n));
    r.base.resize(r.index.size() * kKp);
    r.drive.resize(r.index.size() * kKp);
    const int got = ka_a2x_pull(s, r.index.data() + at, r.base.data() + at * kKp, r.drive.data() + at * kKp, n);
    r.index.resize(at + static_cast<size_t>(std::max(got, 0)));
    if (got <= 0) break;
  }
  r.base.resize(r.index.size() * kKp);
  r.drive.resize(r.index.size() * kKp);
  ka_a2x_destroy(s);
  return r;
}

void BM_SerialRenderPaste(benchmark::State& state) {
  const Bundle& b = bundle(state.range(0) != 0);
  const SpeechRows rows = speechRows(b, 4.0);
  ka_ctx* ctx = ka_create(b.dir.c_str(), "b1", 0, nullptr);
  ThreadCpu::tagNew("ffmpeg");
  const int frames = static_cast<int>(rows.index.size());
  std::vector<unsigned char> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  // One untimed pass first, as the session warms up before it speaks: both are measured warm.
  for (int i = 0; i < frames; ++i) {
    const size_t r = static_cast<size_t>(i) * kKp;
    const float* crop = ka_render_kp_crop(ctx, rows.index[i], rows.base.data() + r, rows.drive.data() + r);
    if (!crop || !ka_paste_crop(ctx, rows.index[i], crop, rgb.data(), rgb.size())) state.SkipWithError(ka_last_error());
  }
  double wallMs = 0, hostRenderMs = 0, hostPasteMs = 0;
  const ThreadCpu cpu = ThreadCpu::now();
  for (auto _ : state) {
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) {
      const size_t r = static_cast<size_t>(i) * kKp;
      const double c0 = threadCpuMs();
      const float* crop = ka_render_kp_crop(ctx, rows.index[i], rows.base.data() + r, rows.drive.data() + r);
      const double c1 = threadCpuMs();
      if (!crop || !ka_paste_crop(ctx, rows.index[i], crop, rgb.data(), rgb.size()))
        state.SkipWithError(ka_last_error());
      hostRenderMs += c1 - c0;
      hostPasteMs += threadCpuMs() - c1;
    }
    wallMs += msSince(t0);
    state.SetIterationTime(msSince(t0) / 1000.0);
  }
  const double n = static_cast<double>(state.iterations()) * frames;
  ThreadCpu::report(state, cpu, n, wallMs);
  state.counters["cpu_host_render"] = hostRenderMs / n;  // the host's share split by call
  state.counters["cpu_host_paste"] = hostPasteMs / n;
  state.SetItemsProcessed(state.iterations() * frames);
  state.SetLabel(ka::simd::target());
  ka_destroy(ctx);
}
BENCHMARK(BM_SerialRenderPaste)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("large")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void BM_SessionRealtime(benchmark::State& state) {
  Session s(bundle(false));
  // 6 s of speech of which 3 s of frames are pulled: the rate is then paced by the audio, not by
  // the end of the clip.
  const std::vector<int16_t> a = speech(6.0);
  std::vector<double> push, avail, pull;
  double first = 0, fps = 0, afterInterrupt = 0, rampMs = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
      for (size_t at = 0, k = 0; at < a.size() && !stop; at += 320, ++k) {
        std::this_thread::sleep_until(t0 + std::chrono::milliseconds(20) * k);
        const auto c0 = Clock::now();
        ka_utt_push_audio(s.utt, a.data() + at, static_cast<int>(std::min<size_t>(320, a.size() - at)));
        push.push_back(msSince(c0) * 1000.0);
      }
    });
    // Pull at 25 fps (as a player shows them) for 3 s of speech, then interrupt.
    int speechFrames = 0;
    double firstAt = -1, lastAt = -1;
    ka_utt_frame_info info;
    while (speechFrames < 75 && msSince(t0) < 60000) {
      const auto c0 = Clock::now();
      const int n = ka_utt_frames_available(s.utt);
      avail.push_back(msSince(c0) * 1000.0);
      if (n == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const auto c1 = Clock::now();
      s.pull(info);
      pull.push_back(msSince(c1) * 1000.0);
      if (info.kind == KA_UTT_SPEECH) {
        if (firstAt < 0) firstAt = msSince(t0);
        lastAt = msSince(t0);
        ++speechFrames;
      }
    }
    stop = true;
    pusher.join();
    ka_utt_interrupt(s.utt);
    const auto ti = Clock::now();
    afterInterrupt = ka_utt_frames_available(s.utt);
    while (ka_utt_frames_available(s.utt) == 0 && msSince(ti) < 10000) std::this_thread::yield();
    rampMs = msSince(ti);
    first = firstAt;
    fps = lastAt > firstAt ? (speechFrames - 1) / ((lastAt - firstAt) / 1000.0) : 0;
    while (msSince(ti) < 10000 && !(s.pull(info) && info.kind == KA_UTT_IDLE))
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  state.counters["first_frame_ms"] = first;
  state.counters["speech_fps"] = fps;
  state.counters["push_p99_us"] = percentile(push, 0.99);
  state.counters["avail_p99_us"] = percentile(avail, 0.99);
  state.counters["pull_p99_us"] = percentile(pull, 0.99);
  state.counters["avail_after_interrupt"] = afterInterrupt;
  state.counters["first_ramp_ms"] = rampMs;
}
BENCHMARK(BM_SessionRealtime)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_SessionStart(benchmark::State& state) {
  Session s(bundle(false));
  const int nt = ka_nt(s.ctx);
  const std::vector<int16_t> a = speech(4.0);
  std::vector<double> push, avail, acquire;
  double gap = 0, gapAt = 0, gapKind = 0, back = 0, first = -1;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const auto pushAt = t0 + std::chrono::seconds(1);
    std::thread pusher([&] {
      for (size_t at = 0, k = 0; at < a.size(); at += 320, ++k) {
        std::this_thread::sleep_until(pushAt + std::chrono::milliseconds(20) * k);
        const auto c0 = Clock::now();
        ka_utt_push_audio(s.utt, a.data() + at, static_cast<int>(std::min<size_t>(320, a.size() - at)));
        push.push_back(msSince(c0) * 1000.0);
      }
      ka_utt_end_utterance(s.utt);
    });
    // Frames as a player shows them: one per 40 ms, waited for when none is there.
    auto tick = t0;
    double prevMs = -1;
    int prevTarget = -1;
    while (msSince(t0) < 3000) {
      std::this_thread::sleep_until(tick);
      const auto c0 = Clock::now();
      ka_utt_frames_available(s.utt);
      avail.push_back(msSince(c0) * 1000.0);
      if (ka_utt_wait_frame(s.utt, 1000) != 1) continue;
      const unsigned char* px = nullptr;
      ka_utt_frame_info info;
      const auto c1 = Clock::now();
      if (ka_utt_frame_acquire(s.utt, &px, &info) != 1) continue;
      acquire.push_back(msSince(c1) * 1000.0);
      benchmark::DoNotOptimize(px[0]);
      ka_utt_frame_release(s.utt);
      const double now = msSince(t0);
      if (prevMs >= 0 && now - prevMs > gap) {
        gap = now - prevMs;
        gapAt = now - 1000.0;
        gapKind = info.kind;
      }
      if (prevTarget >= 0) {
        const int behind = (prevTarget - info.target + nt) % nt;  // steps back, when below half a loop
        if (behind > 0 && behind < nt / 2) back = std::max(back, static_cast<double>(behind));
      }
      if (info.kind == KA_UTT_SPEECH && first < 0) first = now - 1000.0;
      prevMs = now;
      prevTarget = info.target;
      tick = std::max(tick + std::chrono::milliseconds(40), Clock::now());
    }
    pusher.join();
    ka_utt_interrupt(s.utt);
  }
  state.counters["start_gap_ms"] = gap;
  state.counters["start_gap_end_ms"] = gapAt;  // where the longest gap ended, from the first push
  state.counters["start_gap_end_kind"] = gapKind;
  state.counters["target_back_frames"] = back;
  state.counters["first_speech_ms"] = first;
  state.counters["push_p99_us"] = percentile(push, 0.99);
  state.counters["avail_p99_us"] = percentile(avail, 0.99);
  state.counters["acquire_p99_us"] = percentile(acquire, 0.99);
}
BENCHMARK(BM_SessionStart)->Iterations(1)->Unit(benchmark::kMillisecond);

std::vector<float> floats(const std::vector<int16_t>& a) {
  std::vector<float> f(a.size());
  for (size_t i = 0; i < a.size(); ++i) f[i] = a[i] / 32768.0f;
  return f;
}

void BM_OfflineStream(benchmark::State& state) {
  const Bundle& b = bundle(false);
  ka_stream* s = ka_stream_create(b.dir.c_str(), b.w2v.c_str(), 0, 0, 1.0f);
  if (!s) return state.SkipWithError(ka_stream_last_error());
  ThreadCpu::tagNew("ffmpeg");
  const std::vector<float> a = floats(speech(4.0));
  int frames = 0;
  const ThreadCpu cpu = ThreadCpu::now();
  const auto t0 = Clock::now();
  for (auto _ : state) frames += ka_stream_run(s, a.data(), static_cast<int>(a.size()), nullptr, nullptr);
  ThreadCpu::report(state, cpu, frames, msSince(t0));
  state.SetItemsProcessed(frames);
  state.SetLabel(ka::simd::target());
  ka_stream_destroy(s);
}
BENCHMARK(BM_OfflineStream)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_OfflineSerial(benchmark::State& state) {
  const Bundle& b = bundle(false);
  ka_ctx* ctx = ka_create(b.dir.c_str(), "render", 0, "");
  ThreadCpu::tagNew("ffmpeg");
  ka_fca* fca = ka_fca_create(b.w2v.c_str(), (b.dir + "/fca_stream.onnx").c_str(), 0);
  if (!ctx || !fca) return state.SkipWithError("open");
  const std::vector<float> a = floats(speech(4.0));
  const int F = static_cast<int>((a.size() + 639) / 640), nt = ka_nt(ctx);
  std::vector<float> target(static_cast<size_t>(nt) * kKp), d(static_cast<size_t>(F) * kKp), drive(kKp);
  FILE* f = std::fopen((b.dir + "/xs_target.bin").c_str(), "rb");
  if (!f || std::fread(target.data(), sizeof(float), target.size(), f) != target.size())
    state.SkipWithError("xs_target");
  if (f) std::fclose(f);
  std::vector<unsigned char> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  int frames = 0;
  const ThreadCpu cpu = ThreadCpu::now();
  const auto t0 = Clock::now();
  for (auto _ : state) {
    ka_fca_deltas(fca, a.data(), static_cast<int>(a.size()), d.data(), F);
    for (int i = 0; i < F; ++i) {
      const float* base = target.data() + static_cast<size_t>(i % nt) * kKp;
      for (int k = 0; k < kKp; ++k) drive[static_cast<size_t>(k)] = base[k] + d[static_cast<size_t>(i) * kKp + k];
      const float* crop = ka_render_kp_crop(ctx, i % nt, base, drive.data());
      if (crop && ka_paste_crop(ctx, i % nt, crop, rgb.data(), rgb.size())) ++frames;
    }
  }
  ThreadCpu::report(state, cpu, frames, msSince(t0));
  state.SetItemsProcessed(frames);
  state.SetLabel(ka::simd::target());
  ka_fca_destroy(fca);
  ka_destroy(ctx);
}
BENCHMARK(BM_OfflineSerial)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
