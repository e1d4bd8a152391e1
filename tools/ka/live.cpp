// ka live: an audio file spoken through an utterance session, the way a real-time host drives it:
// a pushing thread feeds 20 ms chunks while the main thread pulls frames and writes them, with
// the speech beside each speech frame, into a talking MP4.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio_file.h"
#include "cli_util.h"
#include "commands.h"
#include "ka/ka.h"
#include "ka/ka_utt.h"
#include "mp4_writer.h"

namespace ka::cli {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kChunk = 320;  // 20 ms
constexpr int kFrameSamples = 640;

struct LiveArgs {
  const char* bundle = nullptr;
  const char* audio = nullptr;
  std::string motion, out, model = "b1";
  bool realtime = false;
  bool teeth = false;  // attach the teeth borrow from the bundle's members
  double interruptAt = -1.0;
  int threads = 0;
  int lead = 8;   // idle frames before the first push
  int tail = 12;  // idle frames kept after the speech
};

int usage() {
  std::fprintf(stderr,
               "usage: ka live BUNDLE AUDIO --motion DIR --out OUT.mp4 [--realtime] [--interrupt-at SECONDS]\n"
               "               [--model KEY] [--threads N] [--lead N] [--tail N] [--teeth]\n"
               "  DIR is the audio model directory (the bundle itself for an audio-to-expression bundle)\n");
  return 2;
}

bool parse(int argc, char** argv, LiveArgs& a) {
  if (argc < 4) return false;
  a.bundle = argv[2];
  a.audio = argv[3];
  for (int i = 4; i < argc; ++i) {
    const std::string f = argv[i];
    if (f == "--motion")
      a.motion = flagValue(argc, argv, i, "live");
    else if (f == "--out")
      a.out = flagValue(argc, argv, i, "live");
    else if (f == "--teeth")
      a.teeth = true;
    else if (f == "--realtime")
      a.realtime = true;
    else if (f == "--interrupt-at")
      a.interruptAt = numberValue(argc, argv, i, "live", 0.0, kMaxAudioSeconds);
    else if (f == "--model")
      a.model = flagValue(argc, argv, i, "live");
    else if (f == "--threads")
      a.threads = intValue(argc, argv, i, "live", 0, kMaxThreadsOption);
    else if (f == "--lead")
      a.lead = intValue(argc, argv, i, "live", 0, kMaxFramesOption);
    else if (f == "--tail")
      a.tail = intValue(argc, argv, i, "live", 1, kMaxFramesOption);
    else
      return false;
  }
  return !a.motion.empty() && !a.out.empty();
}

// Pushes the speech in 20 ms chunks (at real-time pace when asked), then ends the utterance.
class Pusher {
 public:
  Pusher(ka_utt* u, const std::vector<int16_t>& pcm, bool realtime) : u_(u), pcm_(pcm), realtime_(realtime) {}
  ~Pusher() {
    stop();
    join();
  }
  void start() {
    t0_ = Clock::now();
    thread_ = std::thread([this] { loop(); });
  }
  void stop() { stop_ = true; }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_; }
  Clock::time_point started() const { return t0_; }

 private:
  void loop() {
    size_t at = 0;
    for (int k = 0; at < pcm_.size() && !stop_; ++k) {
      if (realtime_) std::this_thread::sleep_until(t0_ + std::chrono::milliseconds(20) * k);
      const int n = static_cast<int>(std::min<size_t>(kChunk, pcm_.size() - at));
      ka_utt_push_audio(u_, pcm_.data() + at, n);
      at += static_cast<size_t>(n);
      if (!realtime_) std::this_thread::yield();
    }
    if (!stop_) ka_utt_end_utterance(u_);
    done_ = true;
  }

  ka_utt* u_;
  const std::vector<int16_t>& pcm_;
  bool realtime_;
  Clock::time_point t0_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, done_{false};
};

struct Tally {
  int frames[3] = {0, 0, 0};
  int written = 0;
  double firstSpeech = -1.0, lastSpeech = -1.0;  // seconds since the first push
};

// Attaches the teeth borrow from the bundle's members.
void attachTeeth(ka_utt* u, const char* bundle) {
  char err[1024] = "";
  if (ka_utt_tessera_attach_bundle(u, bundle, err, sizeof err))
    throw std::runtime_error(std::string("--teeth: ") + err);
  std::fprintf(stderr, "ka live: teeth borrow attached\n");
}

int run(const LiveArgs& a) {
  std::vector<float> audio;
  try {
    audio = readSpeech(a.audio);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ka live: %s\n", e.what());
    return 1;
  }
  const std::vector<int16_t> pcm = toPcm16(audio);  // what the models hear: 16 kHz mono

  ka_ctx* ctx = ka_create(a.bundle, a.model.c_str(), a.threads, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "ka live: %s\n", ka_last_error());
    return 1;
  }
  ka_utt_opts opts{};
  opts.motion_dir = a.motion.c_str();
  opts.threads = a.threads;
  ka_utt* u = ka_utt_create(ctx, &opts);
  if (!u) {
    std::fprintf(stderr, "ka live: %s\n", ka_utt_last_error());
    ka_destroy(ctx);
    return 1;
  }

  int rc = 0;
  try {
    const auto tw = Clock::now();
    const int r = ka_utt_wait_ready(u, 600 * 1000);
    if (r != 1) throw std::runtime_error(r == 255 ? ka_utt_last_error() : "the engine did not load in 600 s");
    std::fprintf(stderr, "ka live: engine ready in %.2f s\n", secondsSince(tw));
    if (a.teeth) attachTeeth(u, a.bundle);

    const int W = ka_width(ctx), H = ka_height(ctx);
    const size_t bytes = static_cast<size_t>(W) * H * 3;
    std::vector<unsigned char> rgb(bytes);
    FrameAudio sound(a.audio, audio);
    const std::vector<float> silence(sound.frameSamples() * static_cast<size_t>(sound.format().channels), 0.0f);
    Mp4Writer writer(a.out, W, H, 25, sound.format().rate, sound.format().channels);
    Pusher pusher(u, pcm, a.realtime);
    Tally t;
    bool interrupted = false;
    int idleRun = 0;
    auto lastFrame = Clock::now();
    auto tick = Clock::now();
    const int speechFrames = static_cast<int>((pcm.size() + kFrameSamples - 1) / kFrameSamples);
    if (a.lead == 0) pusher.start();

    for (;;) {
      if (a.realtime) {
        std::this_thread::sleep_until(tick);
        tick += std::chrono::milliseconds(40);
      }
      ka_utt_frame_info info;
      if (ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) != 1) {
        if (ka_utt_ready(u) == 255) throw std::runtime_error(ka_utt_last_error());
        if (secondsSince(lastFrame) > 30) throw std::runtime_error("no frame for 30 s");
        if (ka_utt_wait_frame(u, 100) < 0) throw std::runtime_error(ka_utt_last_error());
        if (a.realtime) tick = Clock::now();
        continue;
      }
      lastFrame = Clock::now();
      ++t.frames[info.kind];
      writer.write(rgb.data());
      const float* samples = silence.data();
      if (info.kind == KA_UTT_SPEECH) {
        const double at = secondsSince(pusher.started());
        if (t.firstSpeech < 0) t.firstSpeech = at;
        t.lastSpeech = at;
        samples = sound.frame(info.speech_frame).data();
      }
      writer.writeAudio(samples, sound.frameSamples());
      ++t.written;
      progress(t.written, -1, secondsSince(tw));

      // Starts speaking after the lead-in; stops after `tail` idle frames once the speech is over.
      if (t.written == a.lead) pusher.start();
      if (!interrupted && a.interruptAt >= 0 && info.kind == KA_UTT_SPEECH &&
          (info.speech_frame + 1) >= static_cast<int>(a.interruptAt * 25.0)) {
        pusher.stop();
        ka_utt_interrupt(u);
        interrupted = true;
      }
      idleRun = info.kind == KA_UTT_IDLE ? idleRun + 1 : 0;
      const bool spoken = interrupted || (pusher.done() && t.frames[KA_UTT_SPEECH] >= speechFrames);
      if (t.written > a.lead && spoken && idleRun >= a.tail) break;
      if (t.written > a.lead && pusher.done() && idleRun >= a.tail + 250) break;  // the speech never came
    }
    pusher.stop();
    pusher.join();
    writer.finish();
    std::fputc('\n', stderr);

    ka_utt_stats st{};
    ka_utt_get_stats(u, &st);
    const int sp = t.frames[KA_UTT_SPEECH];
    const double span = t.lastSpeech - t.firstSpeech;
    std::printf("ka live: %d frames -> %s (%s%s)\n", t.written, a.out.c_str(),
                a.realtime ? "real-time" : "as fast as possible", interrupted ? ", interrupted" : "");
    std::printf("  first-frame latency  %.1f ms (first push to first speech frame composed)\n",
                st.first_frame_latency_ms);
    std::printf("  frames by kind       idle %d, speech %d, ramp %d\n", t.frames[KA_UTT_IDLE], sp,
                t.frames[KA_UTT_RAMP]);
    std::printf("  sustained fps        %.1f during speech (%d frames in %.2f s)\n",
                sp > 1 && span > 0 ? (sp - 1) / span : 0.0, sp, span);
    std::printf("  render               %.2f ms per frame (smoothed)\n", st.render_ms);
    char msg[512];
    const char* stage = "";
    if (ka_utt_render_status(u, msg, sizeof msg, &stage) < 0)
      std::printf("  render failure       [%s] %s\n", stage, msg);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nka live: %s\n", e.what());
    rc = 1;
  }
  std::fflush(stdout);
  if (rc == 0) setenv("KA_UTT_STAGE_REPORT", "1", 0);  // the stage timings, printed as the session closes
  ka_utt_destroy(u);
  ka_destroy(ctx);
  return rc;
}

}  // namespace

int live(int argc, char** argv) {
  LiveArgs a;
  if (!parse(argc, argv, a)) return usage();
  return run(a);
}

}  // namespace ka::cli
