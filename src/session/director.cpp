#include "session/director.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

namespace ka {
namespace {
constexpr int kKp = kKeypointValues;
}  // namespace

Director::Director(Options options) : opt_(std::move(options)) {
  if (opt_.target.size() != static_cast<size_t>(opt_.frames) * kKp) opt_.target.clear();
  eagerNow_ = eagerSent_ = opt_.hybrid ? kEagerLow : opt_.fixedEager;
  pIdx_.resize(kPendingRows);
  pBase_.resize(static_cast<size_t>(kPendingRows) * kKp);
  pDrive_.resize(static_cast<size_t>(kPendingRows) * kKp);
}

const float* Director::targetRow(int i) const {
  return opt_.target.empty() ? nullptr : opt_.target.data() + static_cast<size_t>(i) * kKp;
}

void Director::clearUtterance() {
  uttActive_ = ending_ = finishSent_ = resetPending_ = false;
  speechFrames_ = pulledUtt_ = 0;
  engineTotal_ = enginePending_ = lastPulled_ = -1;
  pRead_ = pFill_ = 0;
  reqAudio_.clear();
  idleToSpeech_ = -1;
}

void Director::startRamp(int length, const Pose& from, int fromIndex) {
  const float* row = targetRow(fromIndex);
  for (int k = 0; k < kKp; ++k) rampOffset_[static_cast<size_t>(k)] = from[static_cast<size_t>(k)] - row[k];
  rampLen_ = rampLeft_ = length;
  index_ = nextIndex(fromIndex);
  mode_ = Mode::Ramping;
}

void Director::interrupted(uint64_t gen, int shownKind, int shownIndex, const Pose& shownPose) {
  gen_ = gen;
  clearUtterance();
  if (shownKind == KA_UTT_SPEECH && !opt_.target.empty()) {
    startRamp(opt_.interruptRamp, shownPose, shownIndex);
  } else {
    if (shownIndex >= 0) index_ = nextIndex(shownIndex);
    mode_ = Mode::Idle;
  }
}

std::string Director::collect(const EngineReply& r, double nowMs) {
  std::string refused;
  outstanding_ = false;
  renderFirst_ = !opt_.hybrid;          // a reply waited for is rendered before the next request
  if (reqGen_ != gen_) return refused;  // an older generation's rows are not shown
  const int n = std::min(r.pulled, kPendingRows);
  if (n > 0) {
    if (pFill_ + n > kPendingRows) {  // compact to the front
      const int have = pending();
      std::memmove(pIdx_.data(), pIdx_.data() + pRead_, static_cast<size_t>(have) * sizeof(int));
      std::memmove(pBase_.data(), pBase_.data() + static_cast<size_t>(pRead_) * kKp,
                   static_cast<size_t>(have) * kKp * sizeof(float));
      std::memmove(pDrive_.data(), pDrive_.data() + static_cast<size_t>(pRead_) * kKp,
                   static_cast<size_t>(have) * kKp * sizeof(float));
      pRead_ = 0;
      pFill_ = have;
    }
    for (int j = 0; j < n && pFill_ < kPendingRows; ++j) {
      const int si = r.idx[static_cast<size_t>(j)];
      // A row for a source frame this bundle does not have (an engine walking another bundle's
      // target rows) would read past the identity's members: it is refused, not rendered.
      if (si < 0 || si >= opt_.frames) {
        refused = "the engine delivered source frame " + std::to_string(si) + ", outside this bundle's 0.." +
                  std::to_string(opt_.frames - 1);
        continue;
      }
      pIdx_[static_cast<size_t>(pFill_)] = si;
      std::copy_n(r.base.begin() + static_cast<ptrdiff_t>(j) * kKp, kKp,
                  pBase_.begin() + static_cast<ptrdiff_t>(pFill_) * kKp);
      std::copy_n(r.drive.begin() + static_cast<ptrdiff_t>(j) * kKp, kKp,
                  pDrive_.begin() + static_cast<ptrdiff_t>(pFill_) * kKp);
      ++pFill_;
    }
    pulledUtt_ += n;
  }
  enginePending_ = r.enginePending;
  engineTotal_ = r.total;
  lastPulled_ = n;
  lastReplyMs_ = nowMs;
  if (r.failed) {  // the engine will not deliver the rest: the utterance ends with the rows it has
    engineTotal_ = pulledUtt_;
    enginePending_ = 0;
    ending_ = finishSent_ = true;
    reqAudio_.clear();
  }
  return refused;
}

void Director::receive(std::vector<float>& audio, double firstPushMs, bool end, double lastPushMs, bool fatal,
                       double nowMs) {
  lastPushMs_ = lastPushMs;
  if (fatal) {  // no engine will ever take the audio
    audio.clear();
    if (uttActive_) {
      clearUtterance();
      if (mode_ == Mode::Started) mode_ = Mode::Idle;
    }
  }
  if (!audio.empty()) {
    if (!uttActive_) {
      clearUtterance();
      uttActive_ = true;
      resetPending_ = true;
      uttStartMs_ = firstPushMs >= 0 ? firstPushMs : nowMs;
      if (mode_ == Mode::Idle) mode_ = Mode::Started;
    }
    if (reqAudio_.empty())
      reqAudio_.swap(audio);  // the usual case: the inbox's buffer goes on to the engine uncopied
    else
      reqAudio_.insert(reqAudio_.end(), audio.begin(), audio.end());
    audio.clear();
  }
  if (end && uttActive_) ending_ = true;
}

void Director::updateEager(int queued) {
  if (!opt_.hybrid) return;
  const int buffered = std::max(0, enginePending_) + pending() + queued;
  if (eagerNow_ != kEagerHigh && buffered > kEagerRiseAbove) eagerNow_ = kEagerHigh;
  if (eagerNow_ != kEagerLow && buffered < kEagerFallBelow) eagerNow_ = kEagerLow;
}

bool Director::shouldPost(double nowMs) const {
  if (!reqAudio_.empty() || resetPending_ || (ending_ && !finishSent_) || eagerNow_ != eagerSent_) return true;
  const bool deliveredAll = engineTotal_ >= 0 && pulledUtt_ >= engineTotal_;
  if (deliveredAll || pending() > kEnoughPending) return false;
  return !dryPause(nowMs);
}

// An engine may advance a step per call, so it is asked again while it delivers; one that
// delivered nothing and holds nothing is asked again only after a pause, not in a busy loop.
bool Director::dryPause(double nowMs) const {
  return lastPulled_ == 0 && enginePending_ == 0 && nowMs - lastReplyMs_ < kDryPollMs;
}

int Director::framesHeld() const {
  return static_cast<int>(std::min<size_t>(reqAudio_.size() / kFrameSamples, kProbeFrames));
}

// Idle frames play on while the engine's look-ahead fills. The engine's reset, which fixes the
// index speech starts at, waits until the look-ahead is nearly held (or the utterance ends), so a
// host pushing faster than real time (a whole utterance at once) does not see idle frames played
// out to an index predicted for real time.
bool Director::holdReset(int lookahead) const {
  return resetPending_ && !ending_ && framesHeld() + kResetLead < lookahead;
}

Director::Action Director::post(const View& v) {
  req_ = EngineRequest();
  req_.reset = resetPending_;
  req_.phase = index_;
  if (resetPending_) {
    // Idle frames before speech: the audio still missing from the look-ahead arrives in real
    // time, a frame per frame shown, plus slack for the engine's and the renderer's own time; none
    // when the audio held covers it or the utterance ends (the finish gives every row).
    const int held = framesHeld();
    idleToSpeech_ = ending_ || held >= v.lookahead ? 0 : v.lookahead - held + kSpeechSlack;
    for (int i = 0; i < idleToSpeech_; ++i) req_.phase = nextIndex(req_.phase);  // the walk continues them
  }
  req_.direction = 1;
  req_.finish = ending_ && !finishSent_;
  req_.eager = eagerNow_ != eagerSent_ ? eagerNow_ : 0;
  req_.audio.swap(reqAudio_);
  reqAudio_.clear();
  req_.wanted = kPendingRows - pending();
  resetPending_ = false;
  finishSent_ = finishSent_ || req_.finish;
  eagerSent_ = eagerNow_;
  outstanding_ = true;
  reqGen_ = gen_;
  Action a;
  a.step = Step::Post;
  a.gen = gen_;
  return a;
}

EngineRequest Director::takeRequest() { return std::move(req_); }

// Rows to render now: a full chunk when the chunk renderer has one, 0 to wait for the chunk to
// fill, else one row.
int Director::speechBatch(int batch) const {
  if (batch <= 1) return 1;
  const int have = pending();
  if (have >= batch) return batch;
  const int owed = engineTotal_ >= 0 ? engineTotal_ - pulledUtt_ : std::max(0, enginePending_);
  if (outstanding_ && have + owed >= batch) return 0;
  return 1;
}

Director::Action Director::idle() {
  Action a;
  a.step = Step::Idle;
  a.gen = gen_;
  a.frame = index_;
  a.row = targetRow(index_);
  if (a.row) std::copy_n(a.row, kKp, a.pose.begin());
  index_ = nextIndex(index_);
  return a;
}

Director::Action Director::next(const View& v) {
  const int waiting = v.queued + v.inFlight;
  const bool silenceArmed = uttActive_ && !ending_ && opt_.silenceMs >= 0 && lastPushMs_ >= 0;
  if (silenceArmed && v.nowMs - lastPushMs_ >= opt_.silenceMs) ending_ = true;

  updateEager(v.queued);
  const bool mayPost = !renderFirst_;
  renderFirst_ = false;
  const bool postable = uttActive_ && v.engineReady && !outstanding_ && !holdReset(v.lookahead);
  if (mayPost && postable && shouldPost(v.nowMs)) return post(v);
  if (!opt_.hybrid && outstanding_) {
    Action a;
    a.step = Step::WaitReply;
    a.gen = gen_;
    return a;
  }

  // Idle frames through the engine's look-ahead: paced by the host (one when the ring is empty)
  // until speech is ready, then at once up to the index speech starts at.
  if (mode_ == Mode::Started && idleToSpeech_ != 0 && !v.fatal &&
      (waiting == 0 || (idleToSpeech_ > 0 && pending() > 0 && waiting < kRingSlots))) {
    if (idleToSpeech_ > 0) --idleToSpeech_;
    return idle();
  }
  if (pending() > 0 && waiting < kRingSlots && idleToSpeech_ <= 0) {
    const int k = speechBatch(v.batch);
    if (k > 0) {
      Action a;
      a.step = Step::Speech;
      a.gen = gen_;
      a.count = k;
      a.index = pIdx_.data() + pRead_;
      a.base = pBase_.data() + static_cast<size_t>(pRead_) * kKp;
      a.drive = pDrive_.data() + static_cast<size_t>(pRead_) * kKp;
      a.firstNo = speechFrames_;
      a.uttStartMs = uttStartMs_;
      mode_ = Mode::Speaking;
      pRead_ += k;
      speechFrames_ += k;
      lastSpeechIndex_ = a.index[k - 1];
      std::copy_n(a.drive + static_cast<size_t>(k - 1) * kKp, kKp, lastSpeechPose_.begin());
      index_ = nextIndex(lastSpeechIndex_);
      return a;
    }
  }
  if (uttActive_ && ending_ && finishSent_ && engineTotal_ >= 0 && pulledUtt_ >= engineTotal_ && pending() == 0 &&
      !outstanding_) {
    const bool spoke = speechFrames_ > 0;
    clearUtterance();
    if (spoke && !opt_.target.empty())
      startRamp(opt_.endRamp, lastSpeechPose_, lastSpeechIndex_);
    else
      mode_ = Mode::Idle;
  }
  if (mode_ == Mode::Ramping && waiting < kRingSlots) {
    // Weight 1 - (L - r + 1) / L of the offset: 1 - 1/L first, exactly 0 on the last frame.
    const int L = rampLen_, r = rampLeft_;
    const float w = 1.0f - static_cast<float>(L - r + 1) / static_cast<float>(L);
    Action a;
    a.step = Step::Ramp;
    a.gen = gen_;
    a.frame = index_;
    a.row = targetRow(index_);
    for (int k = 0; k < kKp; ++k) a.pose[static_cast<size_t>(k)] = a.row[k] + w * rampOffset_[static_cast<size_t>(k)];
    index_ = nextIndex(index_);
    if (--rampLeft_ <= 0) mode_ = Mode::Idle;
    return a;
  }
  if (mode_ == Mode::Idle && !uttActive_ && waiting == 0) return idle();

  // Nothing to do until an event, or until the silence timeout or a dry engine's pause runs out.
  Action a;
  a.step = Step::Wait;
  a.gen = gen_;
  double deadline = -1.0;
  const auto soonest = [&](double t) { deadline = deadline < 0 ? t : std::min(deadline, t); };
  if (!mayPost && postable && shouldPost(v.nowMs)) soonest(v.nowMs);  // the request held back for a render is due now
  if (uttActive_ && !ending_ && opt_.silenceMs >= 0 && lastPushMs_ >= 0) soonest(lastPushMs_ + opt_.silenceMs);
  if (postable && !shouldPost(v.nowMs) && dryPause(v.nowMs)) soonest(lastReplyMs_ + kDryPollMs);
  a.deadlineMs = deadline;
  return a;
}

}  // namespace ka
