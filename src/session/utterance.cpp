#include "session/utterance.h"
#include "base/log.h"

#include <algorithm>
#include <cstddef>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/units.h"
#include "context/context.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "paste/paste.h"
#include "render/renderer.h"
#include "bundle/members.h"
#include "session/target_rows.h"
#include "session/speech_engine.h"
#include "session/utt_tessera.h"

namespace ka {
namespace {

constexpr int kKp = kKeypointValues;
constexpr double kDryPollMs = 10.0;  // pause before asking an engine again that had nothing
constexpr int kProbeFrames = 100;    // the longest engine look-ahead warm-up measures (4 s)
constexpr int kResetLead = 3;        // frames of look-ahead still missing when the engine's reset goes
constexpr int kSpeechSlack = 4;      // frames speech may wait before it shows, for the engine and renderer
using Pose = std::array<float, kKp>;

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// xs_target.bin of the model directory, kept only when it holds exactly nt rows.
std::vector<float> targetRowsOrNone(const std::string& dir, int nt) {
  try {
    return readTargetRows(dir, nt);
  } catch (const std::exception&) {
    return {};
  }
}

// Accumulated time of one pipeline stage.
struct StageTime {
  double totalMs = 0.0;
  long long count = 0;
  void add(double ms) {
    totalMs += ms;
    ++count;
  }
  double mean() const { return count ? totalMs / static_cast<double>(count) : 0.0; }
};

}  // namespace

struct UtteranceSession::Impl {
  Context& ctx;
  const UttConfig cfg;
  const int W, H, S, NT;
  const size_t bytes;      // one delivered frame
  const size_t cropElems;  // one face crop
  const std::vector<float> target;
  const SpeechEngine::Kind kind;
  const bool pipe;
  Renderer& renderer;

  std::mutex mu;
  std::condition_variable loopCv, workerCv, pasteCv, hostCv;

  // Inbox, written by the host.
  std::vector<float> inAudio;
  double lastPushMs = -1.0, firstPushMs = -1.0;
  bool inEnd = false;
  uint64_t gen = 0;
  bool shutdown = false;

  // Published by warm-up.
  std::unique_ptr<SpeechEngine> engine;
  std::unique_ptr<Renderer> steady;
  bool engineReady = false;
  int lookahead = 0;  // frames of audio the engine holds before its first row of an utterance

  // Worker request and reply.
  struct Request {
    bool reset = false;
    int phase = 0, direction = 1, eager = 0, wanted = 0;
    bool finish = false;
    std::vector<float> audio;
  } req;
  bool reqPosted = false, outstanding = false;
  uint64_t reqGen = 0;
  struct Reply {
    int pulled = 0, enginePending = 0, total = -1;
    bool ready = false, failed = false;
    std::vector<int> idx = std::vector<int>(kPending);
    std::vector<float> base = std::vector<float>(kPending * kKp), drive = std::vector<float>(kPending * kKp);
  } rep;

  // The delivered ring.
  struct Slot {
    std::vector<uint8_t> rgb;
    ka_utt_frame_info info{};
    Pose pose{};
  };
  std::array<Slot, kRing> slots;
  uint64_t wr = 0, rd = 0, seq = 0;
  bool pulling = false;
  uint64_t pullSlot = 0;
  bool lent = false;  // the host holds slot lentSlot (acquire) until it releases it
  uint64_t lentSlot = 0;
  int lastKind = -1, lastIndex = -1;
  Pose lastPose{};

  // A frame on its way into the ring.
  struct Frame {
    uint64_t gen = 0;
    int kind = 0, index = 0, speechNo = -1;
    Pose pose{};
    const float* crop = nullptr;
    double renderStartMs = 0.0, uttStartMs = 0.0;
  };
  struct PasteJob {
    Frame f;
    std::vector<float> crop;
    double queuedMs = 0.0;
  };
  std::deque<PasteJob> jobs;
  std::vector<std::vector<float>> spareCrops;
  int jobsBusy = 0;

  // Render loop state (the loop's own, except mode, which stats read under the lock).
  int mode = 0;
  int index = 0;
  // Idle frames still to show before the utterance's first speech frame (whose index the engine's
  // walk starts at); -1 until the engine's reset is posted.
  int idleToSpeech = -1;
  uint64_t seenGen = 0;
  bool uttActive = false, ending = false, finishSent = false, resetPending = false;
  int speechFrames = 0, pulledUtt = 0, engineTotal = -1, enginePending = -1;
  int lastPulled = -1;
  double lastReplyMs = 0.0;
  double uttStartMs = 0.0;
  std::vector<float> reqAudio;
  int eagerNow = 0, eagerSent = 0;
  int lastSpeechIndex = 0;
  Pose lastSpeechPose{};
  Pose rampOffset{};
  int rampLen = 0, rampLeft = 0;
  std::vector<int> pIdx = std::vector<int>(kPending);
  std::vector<float> pBase = std::vector<float>(kPending * kKp), pDrive = std::vector<float>(kPending * kKp);
  int pRead = 0, pFill = 0;

  // Failure record.
  const char* failStage = "";
  std::string failMsg;
  bool failed = false, fatal = false;

  // Statistics.
  ka_utt_stats st{};
  bool renderTimed = false;
  StageTime stageA, stageAWork, stageAWait, stageB, stageC, deliverLat;
  long long jobsQueued = 0, jobsComposed = 0, speechDelivered = 0;

  std::shared_ptr<UttTessera> tess;  // the teeth borrow, when attached

  std::thread loopThread, warmThread, workerThread, pasteThread;

  Impl(Context& c, const UttConfig& config, Renderer& r)
      : ctx(c),
        cfg(config),
        W(c.manifest().W),
        H(c.manifest().H),
        S(c.manifest().crop),
        NT(c.manifest().NT),
        bytes(static_cast<size_t>(c.manifest().W) * static_cast<size_t>(c.manifest().H) * 3),
        cropElems(static_cast<size_t>(c.manifest().crop) * static_cast<size_t>(c.manifest().crop) * 3),
        target(targetRowsOrNone(config.motionDir, c.manifest().NT)),
        kind(SpeechEngine::kindOf(config.motionDir)),
        pipe(pipelinedPaste(kind == SpeechEngine::kExpression)),
        renderer(r) {
    eagerNow = eagerSent = cfg.hybrid ? 3 : cfg.fixedEager;
  }

  int next(int i) const { return NT > 0 ? (i + 1) % NT : 0; }
  const float* targetRow(int i) const { return target.data() + static_cast<size_t>(i) * kKp; }
  int pendingCount() const { return pFill - pRead; }
  // A slot the host is copying or holds lent: no producer writes it.
  bool held(uint64_t slot) const { return (pulling && pullSlot == slot) || (lent && lentSlot == slot); }
  int waiting() const { return static_cast<int>(wr - rd) + static_cast<int>(jobs.size()) + jobsBusy; }

  void noteRenderFail(const char* stage, const std::string& msg, bool isFatal) {
    std::lock_guard<std::mutex> lk(mu);
    noteRenderFailLocked(stage, msg, isFatal);
  }
  void noteRenderFailLocked(const char* stage, const std::string& msg, bool isFatal) {
    failStage = stage;
    failMsg = msg.empty() ? "unknown failure" : msg;
    failed = true;
    fatal = fatal || isFatal;
    hostCv.notify_all();
  }

  void setMode(int m) { mode = m; }

  // The host took the oldest frame (a copy or a lent slot): it leaves the queue and is counted.
  void deliver(const Slot& slot) {
    lastKind = slot.info.kind;
    lastIndex = slot.info.target;
    lastPose = slot.pose;
    ++rd;
    ++st.frames_pulled;
    if (slot.info.kind == KA_UTT_SPEECH) ++st.speech_frames_pulled;
  }

  // Waits on the host condition until done() or the deadline (timeoutMs < 0: no deadline).
  template <class Done>
  bool hostWait(std::unique_lock<std::mutex>& lk, int timeoutMs, Done done) {
    if (timeoutMs < 0) {
      hostCv.wait(lk, [&] { return shutdown || done(); });
      return done();
    }
    return hostCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return shutdown || done(); }) && done();
  }

  // ---- warm-up ---------------------------------------------------------------------------

  void warm() {
    std::unique_ptr<SpeechEngine> eng;
    try {
      eng = std::make_unique<SpeechEngine>(kind, cfg.motionDir, cfg.threads, cfg.engineOpt);
      eng->setEager(eagerNow);
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
    std::lock_guard<std::mutex> lk(mu);
    engine = std::move(eng);
    steady = std::move(chunk);
    lookahead = ahead;
    engineReady = true;
    loopCv.notify_all();
    hostCv.notify_all();
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
      for (int k = 1; k <= kProbeFrames && !stopping(); ++k) {
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
      eng.setEager(eagerNow);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", std::string("engine reset: ") + e.what(), false);
    }
    return found;
  }

  bool stopping() {
    std::lock_guard<std::mutex> lk(mu);
    return shutdown;
  }

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

  // ---- model worker ----------------------------------------------------------------------

  void dispatchLoop() {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      workerCv.wait(lk, [&] { return shutdown || reqPosted; });
      if (shutdown) return;
      Request r = std::move(req);
      req = Request();
      reqPosted = false;
      SpeechEngine* eng = engine.get();
      lk.unlock();

      int pulled = 0, avail = 0, total = -1;
      bool engineFailed = false;
      try {
        if (r.reset) eng->reset(r.phase, r.direction, 1);
        if (r.eager != 0) eng->setEager(r.eager);
        if (!r.audio.empty()) eng->push(r.audio.data(), static_cast<int>(r.audio.size()));
        if (r.finish) eng->finish();
        avail = eng->avail();
        const int n = std::min(r.wanted, avail);
        if (n >= 1) pulled = eng->pull(rep.idx.data(), rep.base.data(), rep.drive.data(), n);
        total = eng->total();
      } catch (const std::exception& e) {
        noteRenderFail("engine", e.what(), false);
        engineFailed = true;
      }

      lk.lock();
      rep.failed = engineFailed;
      rep.pulled = pulled;
      rep.enginePending = std::max(0, avail - pulled);
      rep.total = total;
      rep.ready = true;
      loopCv.notify_all();
      workerCv.notify_all();
    }
  }

  // ---- render loop -----------------------------------------------------------------------

  // Takes a ready reply: rows of the current generation join the pending buffer.
  void collectJob() {
    if (!outstanding || !rep.ready) return;
    outstanding = false;
    rep.ready = false;
    if (reqGen != gen) return;
    const int n = rep.pulled;
    if (n > 0) {
      if (pFill + n > kPending) {
        const int have = pendingCount();
        std::memmove(pIdx.data(), pIdx.data() + pRead, static_cast<size_t>(have) * sizeof(int));
        std::memmove(pBase.data(), pBase.data() + static_cast<size_t>(pRead) * kKp,
                     static_cast<size_t>(have) * kKp * sizeof(float));
        std::memmove(pDrive.data(), pDrive.data() + static_cast<size_t>(pRead) * kKp,
                     static_cast<size_t>(have) * kKp * sizeof(float));
        pRead = 0;
        pFill = have;
      }
      for (int j = 0; j < n; ++j) {
        const int si = rep.idx[static_cast<size_t>(j)];
        // A row for a source frame this bundle does not have (an engine walking another bundle's
        // target rows) would read past the identity's members: it is refused, not rendered.
        if (si < 0 || si >= NT) {
          noteRenderFailLocked("engine",
                               "the engine delivered source frame " + std::to_string(si) +
                                   ", outside this bundle's 0.." + std::to_string(NT - 1),
                               false);
          continue;
        }
        if (std::getenv("KA_DBG") && pulledUtt == 0 && j == 0)
          fprintf(stderr, "DBG first row %d index=%d idle=%d\n", si, index, idleToSpeech);
        pIdx[static_cast<size_t>(pFill)] = si;
        std::copy(rep.base.begin() + static_cast<ptrdiff_t>(j) * kKp,
                  rep.base.begin() + static_cast<ptrdiff_t>(j + 1) * kKp,
                  pBase.begin() + static_cast<ptrdiff_t>(pFill) * kKp);
        std::copy(rep.drive.begin() + static_cast<ptrdiff_t>(j) * kKp,
                  rep.drive.begin() + static_cast<ptrdiff_t>(j + 1) * kKp,
                  pDrive.begin() + static_cast<ptrdiff_t>(pFill) * kKp);
        ++pFill;
      }
      pulledUtt += n;
    }
    enginePending = rep.enginePending;
    engineTotal = rep.total;
    lastPulled = n;
    lastReplyMs = nowMs();
    if (rep.failed) {
      // The engine will not deliver the rest: the utterance ends with the rows it has.
      engineTotal = pulledUtt;
      enginePending = 0;
      ending = finishSent = true;
      reqAudio.clear();
    }
  }

  void clearUtterance() {
    uttActive = ending = finishSent = resetPending = false;
    speechFrames = pulledUtt = 0;
    engineTotal = enginePending = lastPulled = -1;
    pRead = pFill = 0;
    reqAudio.clear();
    idleToSpeech = -1;
  }

  void startRamp(int length, const Pose& from, int fromIndex) {
    for (int k = 0; k < kKp; ++k)
      rampOffset[static_cast<size_t>(k)] = from[static_cast<size_t>(k)] - targetRow(fromIndex)[k];
    rampLen = rampLeft = length;
    index = next(fromIndex);
    setMode(3);
  }

  void onInterrupt() {
    const int kindShown = lastKind, shown = lastIndex;
    const Pose pose = lastPose;
    clearUtterance();
    if (kindShown == KA_UTT_SPEECH && !target.empty()) {
      startRamp(cfg.interruptRamp, pose, shown);
    } else {
      if (shown >= 0) index = next(shown);
      setMode(0);
    }
  }

  void run() {
    std::unique_lock<std::mutex> lk(mu);
    while (!shutdown) {
      bool did = false;
      if (gen != seenGen) {
        seenGen = gen;
        onInterrupt();
        did = true;
      }
      // The inbox waits while a ramp plays and while an utterance finishes, so audio that
      // arrives then starts the next utterance instead of landing behind the engine's finish.
      std::vector<float> audio;
      bool endNow = false;
      double firstPush = -1.0;
      if (mode != 3 && !(uttActive && ending)) {
        if (!inAudio.empty()) {
          audio.swap(inAudio);
          firstPush = firstPushMs;
          firstPushMs = -1.0;
        }
        endNow = inEnd;
        inEnd = false;
      }
      const double lastPush = lastPushMs;
      collectJob();
      if (fatal) {  // no engine will ever take the audio
        audio.clear();
        if (uttActive) {
          clearUtterance();
          if (mode == 1) setMode(0);
        }
      }

      if (!audio.empty()) {
        if (!uttActive) {
          clearUtterance();
          uttActive = true;
          resetPending = true;
          uttStartMs = firstPush >= 0 ? firstPush : nowMs();
          if (mode == 0) setMode(1);
        }
        reqAudio.insert(reqAudio.end(), audio.begin(), audio.end());
        did = true;
      }
      if (endNow && uttActive) ending = true;
      if (uttActive && !ending && cfg.silenceMs >= 0 && lastPush >= 0 && nowMs() - lastPush >= cfg.silenceMs)
        ending = true;

      updateEager();
      if (uttActive && engineReady && !outstanding && !holdReset() && shouldPost()) {
        post();
        did = true;
        if (!cfg.hybrid) {
          // Wait for the reply, then render in this same pass: audio arriving faster than the
          // engine answers must not keep the loop posting without ever rendering.
          loopCv.wait(lk, [&] { return shutdown || rep.ready || gen != seenGen; });
          if (shutdown || gen != seenGen) continue;
          collectJob();
        }
      }

      // Idle frames through the engine's look-ahead: paced by the host (one when the ring is
      // empty) until speech is ready, then at once up to the index speech starts at.
      if (mode == 1 && idleToSpeech != 0 && !fatal &&
          (waiting() == 0 || (idleToSpeech > 0 && pendingCount() > 0 && waiting() < kRing))) {
        if (produceIdle(lk)) {
          if (idleToSpeech > 0) --idleToSpeech;
          continue;
        }
      }
      if (pendingCount() > 0 && waiting() < kRing && idleToSpeech <= 0) {
        const int k = speechBatch();
        if (k > 0) {
          renderSpeech(lk, k);
          did = true;
          continue;
        }
      }
      if (uttActive && ending && finishSent && engineTotal >= 0 && pulledUtt >= engineTotal && pendingCount() == 0 &&
          !outstanding) {
        const bool spoke = speechFrames > 0;
        clearUtterance();
        if (spoke && !target.empty())
          startRamp(cfg.endRamp, lastSpeechPose, lastSpeechIndex);
        else
          setMode(0);
        did = true;
      }
      if (mode == 3 && waiting() < kRing) {
        produceRamp(lk);
        did = true;
      } else if (mode == 0 && !uttActive && waiting() == 0) {
        if (produceIdle(lk)) did = true;
      }
      if (!did) loopCv.wait_for(lk, std::chrono::milliseconds(2));
    }
  }

  void updateEager() {
    if (!cfg.hybrid) return;
    const int buffered = std::max(0, enginePending) + pendingCount() + static_cast<int>(wr - rd);
    if (eagerNow != 24 && buffered > 23) eagerNow = 24;
    if (eagerNow != 3 && buffered < 12) eagerNow = 3;
  }

  bool shouldPost() const {
    if (!reqAudio.empty() || resetPending || (ending && !finishSent) || eagerNow != eagerSent) return true;
    const bool deliveredAll = engineTotal >= 0 && pulledUtt >= engineTotal;
    if (deliveredAll || pendingCount() > 7) return false;
    // An engine may advance a step per call, so it is asked again while it delivers; one that
    // delivered nothing and holds nothing is asked again only after a pause, not in a busy loop.
    return !(lastPulled == 0 && enginePending == 0 && nowMs() - lastReplyMs < kDryPollMs);
  }

  int framesHeld() const { return static_cast<int>(std::min<size_t>(reqAudio.size() / kFrameSamples, kProbeFrames)); }

  // Idle frames play on while the engine's look-ahead fills. The engine's reset, which fixes the
  // index speech starts at, waits until the look-ahead is nearly held (or the utterance ends), so
  // a host pushing faster than real time (a whole utterance at once) does not see idle frames
  // played out to an index predicted for real time.
  bool holdReset() const { return resetPending && !ending && framesHeld() + kResetLead < lookahead; }

  // Idle frames before speech: the audio still missing from the look-ahead arrives in real time,
  // a frame per frame shown, plus one frame for the engine's and the renderer's own time; none
  // when the audio held covers it.
  int idleBeforeSpeech() const {
    if (ending) return 0;  // the engine's finish gives every row the audio holds
    const int held = framesHeld();
    return held >= lookahead ? 0 : lookahead - held + kSpeechSlack;
  }

  void post() {
    req.reset = resetPending;
    if (resetPending) {
      idleToSpeech = idleBeforeSpeech();
      // The engine's walk continues the idle frames shown before it.
      int at = index;
      for (int i = 0; i < idleToSpeech; ++i) at = next(at);
      req.phase = at;
    } else {
      req.phase = index;
    }
    req.direction = 1;
    req.finish = ending && !finishSent;
    req.eager = eagerNow != eagerSent ? eagerNow : 0;
    req.audio.swap(reqAudio);
    reqAudio.clear();
    req.wanted = kPending - pendingCount();
    resetPending = false;
    finishSent = finishSent || req.finish;
    eagerSent = eagerNow;
    reqPosted = outstanding = true;
    rep.ready = false;
    reqGen = gen;
    workerCv.notify_all();
  }

  // Rows to render now: a full chunk when the chunk renderer has one, 0 to wait for the chunk to
  // fill, else one row.
  int speechBatch() const {
    const int b = steady ? steady->batch() : 0;
    if (b <= 1) return 1;
    const int have = pendingCount();
    if (have >= b) return b;
    const int owed = engineTotal >= 0 ? engineTotal - pulledUtt : std::max(0, enginePending);
    if (outstanding && have + owed >= b) return 0;
    return 1;
  }

  void renderSpeech(std::unique_lock<std::mutex>& lk, int k) {
    setMode(2);
    const uint64_t g = gen;
    const double uttStart = uttStartMs;
    const int firstNo = speechFrames;
    std::vector<int> idx(pIdx.begin() + pRead, pIdx.begin() + pRead + k);
    std::vector<float> base(pBase.begin() + static_cast<ptrdiff_t>(pRead) * kKp,
                            pBase.begin() + static_cast<ptrdiff_t>(pRead + k) * kKp);
    std::vector<float> drive(pDrive.begin() + static_cast<ptrdiff_t>(pRead) * kKp,
                             pDrive.begin() + static_cast<ptrdiff_t>(pRead + k) * kKp);
    pRead += k;
    speechFrames += k;
    lastSpeechIndex = idx.back();
    std::copy(drive.end() - kKp, drive.end(), lastSpeechPose.begin());
    index = next(lastSpeechIndex);
    Renderer* chunk = steady.get();
    lk.unlock();

    const bool batched = k > 1 && chunk && chunk->batch() >= k;
    const double t0 = nowMs();
    const float* crops = nullptr;
    int rendered = 0;
    try {
      if (batched) {
        crops = chunk->render(idx.data(), base.data(), drive.data(), k);
        rendered = k;
      }
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    }
    for (int j = 0; j < k; ++j) {
      const size_t r = static_cast<size_t>(j) * kKp;
      const double tj = nowMs();
      const float* crop = nullptr;
      if (batched) {
        if (rendered) crop = crops + static_cast<size_t>(j) * cropElems;
      } else {
        try {
          crop = renderer.render(&idx[static_cast<size_t>(j)], base.data() + r, drive.data() + r, 1);
        } catch (const std::exception& e) {
          noteRenderFail("render", e.what(), false);
        }
      }
      if (!crop) continue;
      const double renderedAt = nowMs();
      Frame f;
      f.gen = g;
      f.kind = KA_UTT_SPEECH;
      f.index = idx[static_cast<size_t>(j)];
      f.speechNo = firstNo + j;
      std::copy(drive.begin() + static_cast<ptrdiff_t>(r), drive.begin() + static_cast<ptrdiff_t>(r) + kKp,
                f.pose.begin());
      f.crop = crop;
      f.renderStartMs = batched ? t0 : tj;
      f.uttStartMs = uttStart;
      const double workMs = batched ? (renderedAt - t0) / k : renderedAt - tj;
      const double e0 = nowMs();
      enqueue(f);
      const double waitMs = nowMs() - e0;
      std::lock_guard<std::mutex> g2(mu);
      stageAWork.add(workMs);
      stageAWait.add(waitMs);
      stageA.add(workMs + waitMs);
      st.render_ms = renderTimed ? 0.9 * st.render_ms + 0.1 * workMs : workMs;
      renderTimed = true;
    }
    lk.lock();
  }

  void produceRamp(std::unique_lock<std::mutex>& lk) {
    const int L = rampLen, r = rampLeft;
    const float w = 1.0f - static_cast<float>(L - r + 1) / static_cast<float>(L);
    Frame f;
    f.gen = gen;
    f.kind = KA_UTT_RAMP;
    f.index = index;
    const float* row = targetRow(index);
    for (int k = 0; k < kKp; ++k) f.pose[static_cast<size_t>(k)] = row[k] + w * rampOffset[static_cast<size_t>(k)];
    index = next(index);
    if (--rampLeft <= 0) setMode(0);
    lk.unlock();
    try {
      f.crop = renderer.render(&f.index, row, f.pose.data(), 1);
    } catch (const std::exception& e) {
      noteRenderFail("ramp", e.what(), false);
    }
    if (f.crop) enqueue(f);
    lk.lock();
  }

  bool produceIdle(std::unique_lock<std::mutex>& lk) {
    Frame f;
    f.gen = gen;
    f.kind = KA_UTT_IDLE;
    f.index = index;
    if (!target.empty()) std::copy(targetRow(index), targetRow(index) + kKp, f.pose.begin());
    index = next(index);
    lk.unlock();
    const bool ok = enqueue(f);
    lk.lock();
    return ok;
  }

  // ---- composing ---------------------------------------------------------------------------

  bool enqueue(const Frame& f) {
    if (!pipe) return throughTessera(f);
    PasteJob job;
    job.f = f;
    if (f.crop) {
      {
        std::lock_guard<std::mutex> lk(mu);
        if (!spareCrops.empty()) {
          job.crop = std::move(spareCrops.back());
          spareCrops.pop_back();
        }
      }
      job.crop.assign(f.crop, f.crop + cropElems);  // outside the lock: host calls never wait for it
      job.f.crop = nullptr;
    }
    std::lock_guard<std::mutex> lk(mu);
    if (shutdown || f.gen != gen) {
      if (!job.crop.empty()) spareCrops.push_back(std::move(job.crop));
      return false;
    }
    job.queuedMs = nowMs();
    jobs.push_back(std::move(job));
    ++jobsQueued;
    pasteCv.notify_one();
    return true;
  }

  void pasteLoop() {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      pasteCv.wait(lk, [&] { return shutdown || !jobs.empty(); });
      if (shutdown) return;
      PasteJob job = std::move(jobs.front());
      jobs.pop_front();
      jobsBusy = 1;
      const double picked = nowMs();
      if (job.f.kind == KA_UTT_SPEECH) stageB.add(picked - job.queuedMs);
      lk.unlock();
      if (!job.crop.empty()) job.f.crop = job.crop.data();
      const bool ok = throughTessera(job.f);
      lk.lock();
      jobsBusy = 0;
      if (ok) ++jobsComposed;
      if (!job.crop.empty()) spareCrops.push_back(std::move(job.crop));
      loopCv.notify_all();
    }
  }

  // With a teeth borrow attached, a speech crop goes into it (a crop it releases is composed), and
  // any other frame first drains the crop it holds, so frames keep their order.
  bool throughTessera(const Frame& f) {
    std::shared_ptr<UttTessera> t;
    {
      std::lock_guard<std::mutex> lk(mu);
      t = tess;
    }
    if (!t) return pasteInto(f);
    const UttTessera::Deliver deliver = [this](const float* crop, const std::any& tag) {
      Frame held = std::any_cast<const Frame&>(tag);
      held.crop = crop;
      return pasteInto(held);
    };
    if (f.kind == KA_UTT_SPEECH && f.crop) {
      t->push(f.crop, f.pose.data(), f, deliver);
      return true;
    }
    t->drain(deliver);
    return pasteInto(f);
  }

  // Composes the frame into the next ring slot and publishes it; false when it was dropped (an
  // interrupt, shut-down, or a failure).
  bool pasteInto(const Frame& f) {
    std::unique_lock<std::mutex> lk(mu);
    hostCv.wait(lk, [&] { return shutdown || gen != f.gen || (wr - rd < kRing && !held(wr % kRing)); });
    if (shutdown || gen != f.gen) return false;
    Slot& slot = slots[wr % kRing];
    lk.unlock();

    const double t0 = nowMs();
    try {
      slot.rgb.resize(bytes);
      ctx.cursor().pullAt(f.index, slot.rgb.data());
      if (f.crop)
        ctx.paste().composite(f.crop, 255.0f, ctx.identity().M(f.index), slot.rgb.data(), W, H);
      else
        ctx.identity().walkP(f.index);
    } catch (const std::exception& e) {
      noteRenderFail("paste", e.what(), false);
      return false;
    }
    const double t1 = nowMs();

    lk.lock();
    if (shutdown || gen != f.gen) return false;
    slot.info.seq = seq++;
    slot.info.kind = f.kind;
    slot.info.target = f.index;
    slot.info.speech_frame = f.kind == KA_UTT_SPEECH ? f.speechNo : -1;
    slot.pose = f.pose;
    ++wr;
    hostCv.notify_all();
    if (f.kind == KA_UTT_SPEECH) {
      ++speechDelivered;
      stageC.add(t1 - t0);
      deliverLat.add(t1 - f.renderStartMs);
      if (f.speechNo == 0) {
        ++st.utterances;
        st.first_frame_latency_ms = t1 - f.uttStartMs;
      }
    }
    loopCv.notify_all();
    return true;
  }

  void stageReport() {
    if (!std::getenv("KA_UTT_STAGE_REPORT")) return;
    if (jobsQueued == 0) {
      log::printf(log::Level::Warning,
                  "[ka_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and the paste-job "
                  "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech frames delivered). "
                  "stageA/stageB/stageC and the deliver latency are NOT reported rather than reported as zero: on "
                  "this path the paste does not run through the counted queue.\n",
                  pipe ? 1 : 0, jobsQueued, speechDelivered);
      return;
    }
    log::printf(log::Level::Info,
                "[ka_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f stageA_wait_ms=%.3f "
                "stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld speech frames\n",
                pipe ? 1 : 0, jobsQueued, jobsComposed, stageA.mean(), stageAWork.mean(), stageAWait.mean(),
                stageB.mean(), stageC.mean(), deliverLat.mean(), speechDelivered);
  }
};

UtteranceSession::UtteranceSession(Context& ctx, const UttConfig& cfg) {
  Renderer& r = ctx.renderer();
  impl_ = std::make_unique<Impl>(ctx, cfg, r);
  Impl& s = *impl_;
  if (!r.directorNote().empty()) s.noteRenderFail("director load", r.directorNote(), false);
  s.loopThread = std::thread([&s] { s.run(); });
  s.warmThread = std::thread([&s] { s.warm(); });
  s.workerThread = std::thread([&s] { s.dispatchLoop(); });
  if (s.pipe) s.pasteThread = std::thread([&s] { s.pasteLoop(); });
}

UtteranceSession::~UtteranceSession() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.shutdown = true;
    s.loopCv.notify_all();
    s.workerCv.notify_all();
    s.pasteCv.notify_all();
    s.hostCv.notify_all();
  }
  for (std::thread* t : {&s.loopThread, &s.warmThread, &s.workerThread, &s.pasteThread})
    if (t->joinable()) t->join();
  s.stageReport();
}

int UtteranceSession::ready(std::string* msg) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.failed) {
    if (msg) *msg = s.failMsg;
    return 255;
  }
  return s.engineReady ? 1 : 0;
}

void UtteranceSession::push(const int16_t* samples, int count) {
  Impl& s = *impl_;
  const double t = nowMs();
  std::vector<float> f(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) f[static_cast<size_t>(i)] = static_cast<float>(samples[i]) * (1.0f / 32768.0f);
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.inAudio.insert(s.inAudio.end(), f.begin(), f.end());
    s.lastPushMs = t;
    if (count > 0 && s.firstPushMs < 0) s.firstPushMs = t;
  }
  // Woken after the lock is released, so the render loop does not wake only to wait for it. (The
  // model worker waits for requests, which only the render loop posts.)
  s.loopCv.notify_all();
}

void UtteranceSession::endUtterance() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.inEnd = true;
  }
  s.loopCv.notify_all();
}

void UtteranceSession::interrupt() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  s.inAudio.clear();
  s.firstPushMs = -1.0;
  s.inEnd = false;
  s.rd = s.wr;
  for (auto& job : s.jobs)
    if (!job.crop.empty()) s.spareCrops.push_back(std::move(job.crop));
  s.jobs.clear();
  ++s.gen;
  s.loopCv.notify_all();
  s.hostCv.notify_all();
}

int UtteranceSession::waitReady(int timeoutMs, std::string* msg) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.hostWait(lk, timeoutMs, [&] { return s.failed || s.engineReady; });
  if (s.failed) {
    if (msg) *msg = s.failMsg;
    return 255;
  }
  return s.engineReady ? 1 : 0;
}

int UtteranceSession::waitFrame(int timeoutMs, std::string* msg) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.hostWait(lk, timeoutMs, [&] { return s.fatal || s.wr != s.rd; });
  if (s.fatal) {
    if (msg) *msg = s.failMsg;
    return -1;
  }
  return s.wr != s.rd ? 1 : 0;
}

int UtteranceSession::acquire(const uint8_t** pixels, ka_utt_frame_info* info) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.hostCv.wait(lk, [&] { return !s.pulling; });
  if (s.lent) return -1;
  if (s.wr == s.rd) return 0;
  Impl::Slot& slot = s.slots[s.rd % kRing];
  s.lent = true;
  s.lentSlot = s.rd % kRing;
  *pixels = slot.rgb.data();
  if (info) *info = slot.info;
  s.deliver(slot);
  lk.unlock();
  s.loopCv.notify_all();
  return 1;
}

bool UtteranceSession::release() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    if (!s.lent) return false;
    s.lent = false;
  }
  s.hostCv.notify_all();  // a producer may wait for the slot
  return true;
}

int UtteranceSession::available() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  return static_cast<int>(s.wr - s.rd);
}

int UtteranceSession::pull(uint8_t* dst, size_t capacity, ka_utt_frame_info* info, float* pose) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.hostCv.wait(lk, [&] { return !s.pulling; });
  if (s.wr == s.rd) return 0;
  if (capacity < s.bytes) return -1;
  const uint64_t at = s.rd, g = s.gen;
  Impl::Slot& slot = s.slots[at % kRing];
  s.pulling = true;
  s.pullSlot = at % kRing;
  lk.unlock();
  // The slot cannot be rewritten while it is being copied: producers skip a slot being pulled.
  std::memcpy(dst, slot.rgb.data(), s.bytes);
  lk.lock();
  s.pulling = false;
  const bool kept = s.gen == g && s.rd == at;
  if (kept) {
    if (info) *info = slot.info;
    if (pose) std::copy(slot.pose.begin(), slot.pose.end(), pose);
    s.deliver(slot);
  }
  lk.unlock();
  s.hostCv.notify_all();
  if (kept) s.loopCv.notify_all();
  return kept ? 1 : 0;
}

ka_utt_stats UtteranceSession::stats() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  ka_utt_stats out = s.st;
  out.mode = s.mode;
  return out;
}

int UtteranceSession::renderStatus(std::string* msg, const char** stage) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  if (stage) *stage = s.failed ? s.failStage : "";
  if (msg) *msg = s.failed ? s.failMsg : std::string();
  return s.failed ? -1 : 0;
}

bool UtteranceSession::pipelined() const { return impl_->pipe; }

void UtteranceSession::attachTessera(std::shared_ptr<UttTessera> t) {
  std::shared_ptr<UttTessera> old;
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    old = std::move(impl_->tess);
    impl_->tess = std::move(t);
  }
  // The borrow it replaces goes when its last user (a frame in flight) lets it go.
}

std::shared_ptr<UttTessera> UtteranceSession::tessera() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->tess;
}

int UtteranceSession::crop() const { return impl_->S; }
const std::vector<float>& UtteranceSession::targetRows() const { return impl_->target; }
const std::string& UtteranceSession::lipTemplate() const { return impl_->ctx.manifest().lipTemplateJson; }
bool UtteranceSession::expressionEngine() const { return impl_->kind == SpeechEngine::kExpression; }
size_t UtteranceSession::frameBytes() const { return impl_->bytes; }

int UtteranceSession::steadyBatch() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lk(s.mu);
  return s.steady ? s.steady->batch() : 0;
}

}  // namespace ka
