#include "session/utterance.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/regular_file.h"
#include "base/thread_name.h"
#include "base/units.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "context/context.h"
#include "ops/pool.h"
#include "render/renderer.h"
#include "session/compositor.h"
#include "session/director.h"
#include "session/engine_worker.h"
#include "session/frame_ring.h"
#include "session/inbox.h"
#include "session/loop_signal.h"
#include "session/speech_engine.h"
#include "session/target_rows.h"
#include "session/utt_tessera.h"

namespace ka {
namespace {

constexpr int kKp = kKeypointValues;

// xs_target.bin of the model directory, kept only when it holds exactly nt rows.
std::vector<float> targetRowsOrNone(const std::string& dir, int nt) {
  try {
    return readTargetRows(dir, nt);
  } catch (const std::exception&) {
    return {};
  }
}

Director::Options directorOptions(const UttConfig& cfg, int frames, const std::vector<float>& target) {
  Director::Options o;
  o.frames = frames;
  o.target = target;
  o.hybrid = cfg.hybrid;
  o.fixedEager = cfg.fixedEager;
  o.silenceMs = cfg.silenceMs;
  o.endRamp = cfg.endRamp;
  o.interruptRamp = cfg.interruptRamp;
  return o;
}

}  // namespace

// The session's pieces, each owning its state: the inbox (host to loop), the ring (loop or paste
// stage to host), the compositor (paste jobs, the borrow, stage timings), the model worker (the
// engine) and the director (the loop's decisions, touched by the loop alone). What warm-up
// publishes and the failure record sit under statusMu.
struct UtteranceSession::Impl {
  Context& ctx;
  const UttConfig cfg;
  const int S, NT;
  const size_t bytes;
  const std::vector<float> target;
  const SpeechEngine::Kind kind;
  Renderer& renderer;
  const int initialEager;

  std::atomic<bool> stop{false};
  std::atomic<int> mode{0};
  LoopSignal signal;
  FrameRing ring;
  Inbox inbox;
  Compositor compositor;
  EngineWorker worker;
  Director director;

  std::mutex statusMu;
  std::condition_variable statusCv;  // host waits for readiness
  std::unique_ptr<Renderer> steady;  // published by warm-up, then the loop's
  int lookahead = 0;                 // frames of audio the engine holds before its first row of an utterance
  bool engineReady = false;
  const char* failStage = "";
  std::string failMsg;
  bool failed = false, fatal = false;

  std::thread loopThread, warmThread;

  Impl(Context& c, const UttConfig& config, Renderer& r)
      : ctx(c),
        cfg(config),
        S(c.manifest().crop),
        NT(c.manifest().NT),
        bytes(static_cast<size_t>(c.manifest().W) * static_cast<size_t>(c.manifest().H) * 3),
        target(targetRowsOrNone(config.motionDir, c.manifest().NT)),
        kind(SpeechEngine::kindOf(config.motionDir)),
        renderer(r),
        initialEager(config.hybrid ? Director::kEagerLow : config.fixedEager),
        ring(bytes, signal),
        inbox(signal),
        compositor(c, ring, pipelinedPaste(kind == SpeechEngine::kExpression), signal,
                   [this](const char* stage, const std::string& msg) { noteRenderFail(stage, msg, false); }),
        worker(Director::kPendingRows, signal,
               [this](const std::string& msg) { noteRenderFail("engine", msg, false); }),
        director(directorOptions(config, c.manifest().NT, target)) {}

  const float* targetRow(int i) const { return target.data() + static_cast<size_t>(i) * kKp; }

  void noteRenderFail(const char* stage, const std::string& msg, bool isFatal) {
    if (isFatal) ring.fail();  // first: a host that sees the failure finds the ring failed
    {
      std::lock_guard<std::mutex> lk(statusMu);
      failStage = stage;
      failMsg = msg.empty() ? "unknown failure" : msg;
      failed = true;
      fatal = fatal || isFatal;
    }
    statusCv.notify_all();
    signal.raise();
  }

  // ---- warm-up ---------------------------------------------------------------------------

  void warm() {
    renderer.fillKeptCone();  // a live session runs long: its kept boundaries are taken up front
    std::unique_ptr<SpeechEngine> eng;
    try {
      eng = std::make_unique<SpeechEngine>(kind, cfg.motionDir, cfg.threads, cfg.engineOpt);
      eng->setEager(initialEager);
    } catch (const std::exception& e) {
      noteRenderFail("engine load", e.what(), true);
      return;
    }
    if (stopping()) return;
    const int ahead = probeLookahead(*eng);
    if (stopping()) return;
    std::unique_ptr<Renderer> chunk = openSteady();
    if (stopping()) return;
    warmFrames(chunk.get());
    if (chunk && chunk->ep() != renderer.ep()) {
      log::printf(log::Level::Warning,
                  "[ka_utt] steady chunk renderer '%s' DROPPED (rendering b1-only): this frame graph runs on ep=%s "
                  "while the chunk graph fell back to ep=%s. A chunk that gives up the bundle's own CoreML director "
                  "costs MORE per frame than the per-frame path it was meant to amortize, and letting timing choose "
                  "between two runtimes makes the delivered pixels depend on scheduling.\n",
                  cfg.steadyModel.c_str(), renderer.ep().c_str(), chunk->ep().c_str());
      chunk.reset();
    }
    worker.install(std::move(eng));
    {
      std::lock_guard<std::mutex> lk(statusMu);
      steady = std::move(chunk);
      lookahead = ahead;
      engineReady = true;
    }
    statusCv.notify_all();
    signal.raise();
  }

  // Frames of audio the engine must hold before it gives the first row of an utterance: pushed a
  // frame at a time until a row is ready. Its rows depend on the audio held alone, so the count
  // holds for every utterance; the probe also warms the engine's models. 0 when the engine gives
  // no row within the probe or fails in it (its failure is reported by the utterance that meets it).
  int probeLookahead(SpeechEngine& eng) {
    std::vector<float> frame(kFrameSamples);
    for (int i = 0; i < kFrameSamples; ++i)  // quiet voiced sound: no model sees a constant input
      frame[static_cast<size_t>(i)] = 0.05f * std::sin(static_cast<float>(i) * 0.055f);
    int found = 0;
    try {
      eng.reset(0, 1, 1);
      for (int k = 1; k <= Director::kProbeFrames && !stopping(); ++k) {
        eng.push(frame.data(), kFrameSamples);
        if (eng.avail() > 0) {
          found = k;
          break;
        }
      }
    } catch (const std::exception& e) {
      log::printf(log::Level::Warning, "[ka_utt] engine look-ahead not measured (%s): speech starts without it\n",
                  e.what());
      found = 0;
    }
    try {
      eng.reset(0, 1, 1);
      eng.setEager(initialEager);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", std::string("engine reset: ") + e.what(), false);
    }
    return found;
  }

  bool stopping() const { return stop.load(); }

  std::unique_ptr<Renderer> openSteady() {
    if (cfg.steadyModel.empty()) return nullptr;
    if (!pathExists(ctx.manifest().modelPath(cfg.steadyModel))) {
      log::printf(log::Level::Warning,
                  "[ka_utt] steady chunk renderer '%s': the bundle has no model_%s.onnx, rendering b1-only\n",
                  cfg.steadyModel.c_str(), cfg.steadyModel.c_str());
      return nullptr;
    }
    try {
      // The same intra-op count as the per-frame renderer got from the context.
      return std::make_unique<Renderer>(ctx.manifest(), ctx.identity(), cfg.steadyModel, ctx.directorThreads(),
                                        ctx.ep());
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", std::string("steady chunk renderer '") + cfg.steadyModel + "': " + e.what(), false);
      return nullptr;
    }
  }

  // Renders a frame through each renderer so that the first real frame pays no start-up costs.
  void warmFrames(Renderer* chunk) {
    std::vector<float> row(kKp, 0.0f);
    if (!target.empty()) std::copy(targetRow(0), targetRow(0) + kKp, row.begin());
    const int si = 0;
    try {
      renderer.render(&si, row.data(), row.data(), 1);
      if (chunk) {
        const int b = chunk->batch();
        std::vector<int> idx(static_cast<size_t>(b), 0);
        std::vector<float> rows(static_cast<size_t>(b) * kKp);
        for (int j = 0; j < b; ++j) std::copy(row.begin(), row.end(), rows.begin() + static_cast<ptrdiff_t>(j) * kKp);
        chunk->render(idx.data(), rows.data(), rows.data(), b);
      }
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    }
  }

  // ---- render loop -----------------------------------------------------------------------

  void run() {
    // With pasting on a thread of its own, rendering and pasting keep to one core each: splitting
    // either over the pool as well only lets the two stages take each other's cores.
    const pool::WidthLimit stage(compositor.pipelined() ? 1 : pool::threads());
    Renderer* chunk = nullptr;
    int batch = 0, ahead = 0;
    bool ready = false, isFatal = false;
    while (!stop.load()) {
      const uint64_t seen = signal.count();
      if (!ready || !isFatal) {
        std::lock_guard<std::mutex> lk(statusMu);
        if (!ready && engineReady) {
          ready = true;
          chunk = steady.get();
          batch = chunk ? chunk->batch() : 0;
          ahead = lookahead;
        }
        isFatal = fatal;
      }
      Inbox::Taken in = inbox.take(director.takesAudio(), director.generation());
      if (in.gen != director.generation()) {
        const FrameRing::Shown shown = ring.lastShown();
        director.interrupted(in.gen, shown.kind, shown.index, shown.pose);
        mode.store(static_cast<int>(director.mode()));
        continue;
      }
      const double now = steadyNowMs();
      if (director.awaitingReply()) {
        if (const EngineReply* rep = worker.reply()) {
          const std::string refused = director.collect(*rep, now);
          if (!refused.empty()) noteRenderFail("engine", refused, false);
        }
      }
      director.receive(in.audio, in.firstPushMs, in.end, in.lastPushMs, isFatal, now);

      Director::View v;
      v.nowMs = now;
      v.engineReady = ready;
      v.fatal = isFatal;
      v.queued = ring.available();
      v.inFlight = compositor.inFlight();
      v.lookahead = ahead;
      v.batch = batch;
      const Director::Action a = director.next(v);
      mode.store(static_cast<int>(director.mode()));
      switch (a.step) {
        case Director::Step::Post:
          worker.post(director.takeRequest());
          break;
        case Director::Step::Speech:
          renderSpeech(a, chunk);
          break;
        case Director::Step::Ramp:
          renderRamp(a);
          break;
        case Director::Step::Idle: {
          FrameTag tag;
          tag.gen = a.gen;
          tag.kind = KA_UTT_IDLE;
          tag.index = a.frame;
          tag.pose = a.pose;
          compositor.submit(tag, nullptr);
          break;
        }
        case Director::Step::WaitReply:
          signal.waitPast(seen, -1.0);
          break;
        case Director::Step::Wait:
          signal.waitPast(seen, a.deadlineMs);
          break;
      }
    }
  }

  void renderSpeech(const Director::Action& a, Renderer* chunk) {
    const int k = a.count;
    const bool batched = k > 1 && chunk && chunk->batch() >= k;
    const double t0 = steadyNowMs();
    const float* crops = nullptr;
    try {
      if (batched) crops = chunk->render(a.index, a.base, a.drive, k);
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    }
    const size_t cropElems = static_cast<size_t>(S) * static_cast<size_t>(S) * 3;
    for (int j = 0; j < k; ++j) {
      const size_t r = static_cast<size_t>(j) * kKp;
      const double tj = steadyNowMs();
      const float* crop = nullptr;
      std::vector<float> own;
      if (batched) {
        if (crops) crop = crops + static_cast<size_t>(j) * cropElems;
      } else {
        try {
          crop = renderOne(a.index[j], a.base + r, a.drive + r, own);
        } catch (const std::exception& e) {
          noteRenderFail("render", e.what(), false);
        }
      }
      if (!crop) continue;
      const double renderedAt = steadyNowMs();
      FrameTag tag;
      tag.gen = a.gen;
      tag.kind = KA_UTT_SPEECH;
      tag.index = a.index[j];
      tag.speechNo = a.firstNo + j;
      std::copy_n(a.drive + r, kKp, tag.pose.begin());
      tag.renderStartMs = batched ? t0 : tj;
      tag.uttStartMs = a.uttStartMs;
      const double workMs = batched ? (renderedAt - t0) / k : renderedAt - tj;
      const double e0 = steadyNowMs();
      hand(tag, crop, own);
      compositor.noteRender(workMs, steadyNowMs() - e0);
    }
  }

  void renderRamp(const Director::Action& a) {
    FrameTag tag;
    tag.gen = a.gen;
    tag.kind = KA_UTT_RAMP;
    tag.index = a.frame;
    tag.pose = a.pose;
    const float* crop = nullptr;
    std::vector<float> own;
    try {
      crop = renderOne(tag.index, a.row, tag.pose.data(), own);
    } catch (const std::exception& e) {
      noteRenderFail("ramp", e.what(), false);
    }
    if (crop) hand(tag, crop, own);
  }

  // One frame through the session's renderer, straight into a compositor buffer (`own`), which
  // hand() then queues without a copy.
  const float* renderOne(int index, const float* base, const float* drive, std::vector<float>& own) {
    own = compositor.cropBuffer();
    ctx.renderKpCropInto(index, base, drive, own.data());
    return own.data();
  }

  void hand(const FrameTag& tag, const float* crop, std::vector<float>& own) {
    if (own.empty())
      compositor.submit(tag, crop);
    else
      compositor.submit(tag, std::move(own));
  }
};

UtteranceSession::UtteranceSession(Context& ctx, const UttConfig& cfg) {
  Renderer& r = ctx.renderer();
  impl_ = std::make_unique<Impl>(ctx, cfg, r);
  Impl& s = *impl_;
  if (!r.directorNote().empty()) s.noteRenderFail("director load", r.directorNote(), false);
  s.loopThread = std::thread([&s] {
    nameWorkerThread("ka-utt-render");
    s.run();
  });
  s.warmThread = std::thread([&s] {
    nameWorkerThread("ka-utt-warm");
    s.warm();
  });
}

UtteranceSession::~UtteranceSession() {
  Impl& s = *impl_;
  s.stop.store(true);
  s.ring.stop();
  s.signal.raise();
  for (std::thread* t : {&s.loopThread, &s.warmThread})
    if (t->joinable()) t->join();
  s.compositor.stop();
  s.worker.stop();
  {
    std::lock_guard<std::mutex> lk(s.statusMu);
    s.statusCv.notify_all();
  }
  s.compositor.report();
}

int UtteranceSession::ready(std::string* msg) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.statusMu);
  if (s.failed) {
    if (msg) *msg = s.failMsg;
    return 255;
  }
  return s.engineReady ? 1 : 0;
}

void UtteranceSession::push(const int16_t* samples, int count) { impl_->inbox.push(samples, count, steadyNowMs()); }

void UtteranceSession::endUtterance() { impl_->inbox.end(); }

void UtteranceSession::interrupt() {
  Impl& s = *impl_;
  const uint64_t g = s.inbox.interrupt();
  s.ring.interrupt(g);
  s.compositor.interrupt(g);
}

int UtteranceSession::waitReady(int timeoutMs, std::string* msg) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.statusMu);
  const auto done = [&] { return s.stop.load() || s.failed || s.engineReady; };
  if (timeoutMs < 0)
    s.statusCv.wait(lk, done);
  else
    s.statusCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), done);
  if (s.failed) {
    if (msg) *msg = s.failMsg;
    return 255;
  }
  return s.engineReady ? 1 : 0;
}

int UtteranceSession::waitFrame(int timeoutMs, std::string* msg) {
  Impl& s = *impl_;
  const int r = s.ring.waitFrame(timeoutMs);
  if (r < 0 && msg) {
    std::lock_guard<std::mutex> lk(s.statusMu);
    *msg = s.failMsg;
  }
  return r;
}

int UtteranceSession::acquire(const uint8_t** pixels, ka_utt_frame_info* info) {
  return impl_->ring.acquire(pixels, info);
}

bool UtteranceSession::release() { return impl_->ring.release(); }

int UtteranceSession::available() { return impl_->ring.available(); }

int UtteranceSession::pull(uint8_t* dst, size_t capacity, ka_utt_frame_info* info, float* pose) {
  return impl_->ring.pull(dst, capacity, info, pose);
}

ka_utt_stats UtteranceSession::stats() {
  Impl& s = *impl_;
  ka_utt_stats out{};
  s.ring.pulledCounts(&out.frames_pulled, &out.speech_frames_pulled);
  s.compositor.fillStats(&out);
  out.mode = s.mode.load();
  return out;
}

int UtteranceSession::renderStatus(std::string* msg, const char** stage) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.statusMu);
  if (stage) *stage = s.failed ? s.failStage : "";
  if (msg) *msg = s.failed ? s.failMsg : std::string();
  return s.failed ? -1 : 0;
}

bool UtteranceSession::pipelined() const { return impl_->compositor.pipelined(); }

// The borrow it replaces goes when the compositor has drained it and no frame in flight uses it.
void UtteranceSession::attachTessera(std::shared_ptr<UttTessera> t) { impl_->compositor.attach(std::move(t)); }

std::shared_ptr<UttTessera> UtteranceSession::tessera() { return impl_->compositor.tessera(); }

int UtteranceSession::crop() const { return impl_->S; }
const std::vector<float>& UtteranceSession::targetRows() const { return impl_->target; }
const std::string& UtteranceSession::lipTemplate() const { return impl_->ctx.manifest().lipTemplateJson; }
bool UtteranceSession::expressionEngine() const { return impl_->kind == SpeechEngine::kExpression; }
size_t UtteranceSession::frameBytes() const { return impl_->bytes; }

int UtteranceSession::steadyBatch() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.statusMu);
  return s.steady ? s.steady->batch() : 0;
}

}  // namespace ka
