// The render loop's decisions, without threads or models: which frame comes next (a batch of
// speech rows, a ramp frame, an idle frame), when the engine is asked for rows and with what, and
// when the loop may sleep and until when. The loop feeds it what the other pieces report (an
// interrupt, pushed audio, an engine reply, the frames waiting) and carries out the step it names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session/engine_worker.h"
#include "session/frame_ring.h"
#include "session/frame_tag.h"

namespace ka {

class Director {
 public:
  enum class Mode { Idle = 0, Started = 1, Speaking = 2, Ramping = 3 };

  static constexpr int kRingSlots = FrameRing::kSlots;  // delivered frames that may wait for the host
  static constexpr int kPendingRows = 32;               // keypoint rows between the engine and the renderer
  static constexpr int kEagerLow = 3;                   // hybrid eager value while little is buffered
  static constexpr int kEagerHigh = 24;                 // ... and while much is
  static constexpr int kEagerRiseAbove = 23;            // buffered frames above which it switches up
  static constexpr int kEagerFallBelow = 12;            // ... and below which back down
  static constexpr int kEnoughPending = 7;              // rows pending beyond which a delivering engine is not asked
  static constexpr double kDryPollMs = 10.0;            // pause before asking an engine again that had nothing
  static constexpr int kProbeFrames = 100;              // the longest engine look-ahead counted (4 s)
  static constexpr int kResetLead = 3;    // frames of look-ahead still missing when the engine's reset goes
  static constexpr int kSpeechSlack = 4;  // frames speech may wait before it shows

  struct Options {
    int frames = 0;             // source frames of the bundle
    std::vector<float> target;  // frames x 63 target rows, or empty
    bool hybrid = false;
    int fixedEager = 0;
    double silenceMs = 600.0;  // < 0: never
    int endRamp = 6;
    int interruptRamp = 4;
  };

  // What the other pieces show when the loop asks for the next step.
  struct View {
    double nowMs = 0.0;
    bool engineReady = false;
    bool fatal = false;  // a failure no engine recovers from is recorded
    int queued = 0;      // frames in the ring
    int inFlight = 0;    // frames on their way into it
    int lookahead = 0;   // frames of audio the engine holds before its first row
    int batch = 0;       // the chunk renderer's batch, 0 without one
  };

  enum class Step { Post, Speech, Ramp, Idle, WaitReply, Wait };
  struct Action {
    Step step = Step::Wait;
    uint64_t gen = 0;
    // Speech: `count` rows (source frames, base and drive rows), valid until the next reply is
    // collected; they are speech frames firstNo.. of the utterance that began at uttStartMs.
    int count = 0;
    const int* index = nullptr;
    const float* base = nullptr;
    const float* drive = nullptr;
    int firstNo = 0;
    double uttStartMs = 0.0;
    // Ramp and Idle: the source frame, its target row (null without rows) and the pose shown.
    int frame = 0;
    const float* row = nullptr;
    Pose pose{};
    // Wait: when to ask again without an event (< 0: only on one).
    double deadlineMs = -1.0;
  };

  explicit Director(Options options);

  uint64_t generation() const { return gen_; }
  Mode mode() const { return mode_; }
  int eager() const { return eagerNow_; }
  bool awaitingReply() const { return outstanding_; }
  // Whether pushed audio and the end flag are taken now: not while a ramp plays or an utterance
  // finishes, so audio arriving then starts the next utterance.
  bool takesAudio() const { return mode_ != Mode::Ramping && !(uttActive_ && ending_); }

  // An interrupt of generation `gen`; `shown` is the last frame the host took.
  void interrupted(uint64_t gen, int shownKind, int shownIndex, const Pose& shownPose);
  // The reply to the outstanding request. Returns the text of the last row refused (a source frame
  // outside the bundle), empty when none was.
  std::string collect(const EngineReply& reply, double nowMs);
  // What the inbox gave: audio (moved from), the end flag and the latest push time.
  void receive(std::vector<float>& audio, double firstPushMs, bool end, double lastPushMs, bool fatal, double nowMs);
  // The next step. For Step::Post, takeRequest() gives the request.
  Action next(const View& view);
  EngineRequest takeRequest();

 private:
  int nextIndex(int i) const { return opt_.frames > 0 ? (i + 1) % opt_.frames : 0; }
  const float* targetRow(int i) const;
  int pending() const { return pFill_ - pRead_; }
  int framesHeld() const;
  bool holdReset(int lookahead) const;
  bool shouldPost(double nowMs) const;
  bool dryPause(double nowMs) const;
  void updateEager(int queued);
  void clearUtterance();
  void startRamp(int length, const Pose& from, int fromIndex);
  int speechBatch(int batch) const;
  Action post(const View& v);
  Action idle();

  Options opt_;
  Mode mode_ = Mode::Idle;
  uint64_t gen_ = 0;
  int index_ = 0;
  int idleToSpeech_ = -1;  // idle frames still before the first speech frame; -1 until the reset goes
  bool uttActive_ = false, ending_ = false, finishSent_ = false, resetPending_ = false;
  int speechFrames_ = 0, pulledUtt_ = 0, engineTotal_ = -1, enginePending_ = -1, lastPulled_ = -1;
  double lastReplyMs_ = 0.0, uttStartMs_ = 0.0, lastPushMs_ = -1.0;
  std::vector<float> reqAudio_;
  int eagerNow_ = 0, eagerSent_ = 0;
  bool outstanding_ = false, renderFirst_ = false;
  uint64_t reqGen_ = 0;
  EngineRequest req_;
  int lastSpeechIndex_ = 0;
  Pose lastSpeechPose_{}, rampOffset_{};
  int rampLen_ = 0, rampLeft_ = 0;
  std::vector<int> pIdx_;
  std::vector<float> pBase_, pDrive_;
  int pRead_ = 0, pFill_ = 0;
};

}  // namespace ka
