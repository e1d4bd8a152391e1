#include "audio/motion.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "audio/mel.h"
#include "audio/motion_dir.h"
#include "audio/motion_net.h"
#include "audio/motion_pose.h"
#include "audio/samples.h"
#include "base/env.h"
#include "base/units.h"
#include "ops/pool.h"
#include "runtime/ort_env.h"

namespace ka {
namespace {

constexpr int kWindowStep = 5;     // frames per analysis window
constexpr int kWindowLead = 2000;  // samples before the window's first frame
constexpr int kWindowNeed = 4480;  // samples past the first frame's start a window needs
constexpr int kEncFrames = 20;
constexpr int kChunk = 80;
constexpr int kChunkStep = 70;
constexpr int kOverlap = kChunk - kChunkStep;  // 10 blended rows; also the provisional tail
constexpr int kMaxThreads = 64;
constexpr size_t kMaxSamples = size_t{kSampleRate} * 3600;  // one hour of audio per utterance
const int kLip[6] = {6, 12, 14, 17, 19, 20};

using Clock = std::chrono::steady_clock;

// Adds the time from construction to destruction to a counter.
struct Busy {
  double& total;
  Clock::time_point t0 = Clock::now();
  explicit Busy(double& t) : total(t) {}
  ~Busy() { total += std::chrono::duration<double>(Clock::now() - t0).count(); }
};

}  // namespace

struct Motion::Impl {
  MotionTables t;
  int nt = 0;
  Ort::Env env = makeOrtEnv("ka_motion");
  std::unique_ptr<MotionNet> hubert, lmdm, stitch;
  std::unique_ptr<MelFrontEnd> mel;
  float lipGain = 1.0f;
  std::vector<float> cond0 = std::vector<float>(kMotionDim);
  std::string dumpDir;

  // Utterance state.
  std::vector<float> audio;
  std::string failure;  // set by a failed finish: until reset the engine has no frames to give
  bool finished = false;
  int totalFrames = -1;
  int nextWindow = 0;
  std::vector<float> feat;    // feature rows, kFeatDim each
  std::vector<float> motion;  // motion rows, kMotionDim each
  int chunks = 0;
  std::vector<float> cond = std::vector<float>(kMotionDim);
  std::vector<float> finalRows;
  int pulled = 0;

  // Eager advance: what the provisional run overwrote, and when the next may run.
  int eager = 0;
  bool provisional = false;
  int committedRows = 0, savedMotionRows = 0, savedChunks = 0;
  std::vector<float> savedTail, savedCond;
  int lastAdvanceFrame = 0, gapFrames = 0;

  // Source walk and the reference expression.
  int index = 0, direction = 1;
  bool wrap = true;
  bool haveRef = false;
  float ref[kKeypointValues] = {};

  double busy = 0.0;

  // Scratch.
  std::vector<float> window = std::vector<float>(kMelWindowSamples);
  std::vector<float> melOut = std::vector<float>(kMelFrames * kMelBins);
  std::vector<float> encOut = std::vector<float>(kEncFrames * kAudioFeat);
  std::vector<float> chunkIn = std::vector<float>(kChunk * kFeatDim);
  std::vector<float> chunkOut = std::vector<float>(kChunk * kMotionDim);
  std::vector<float> row = std::vector<float>(kMotionDim);

  int featRows() const { return static_cast<int>(feat.size() / kFeatDim); }
  int motionRows() const { return static_cast<int>(motion.size() / kMotionDim); }
  int audioFrames() const { return static_cast<int>(framesOf(static_cast<int64_t>(audio.size()))); }
  bool windowRunnable(int w) const {
    return finished ? w < totalFrames : static_cast<size_t>(w) * kFrameSamples + kWindowNeed <= audio.size();
  }

  void dump(const char* name, const float* data, size_t n, bool append) const;
  void processWindow(int w);
  void runChunk();
  void smooth(std::vector<float>& rows, int rowCount, int begin, int end) const;
  void advance();
  void eagerAdvance();
  void restore();
  void buildFinal();
  int ready() const;
  void requireUsable() const;
  void emitFrame(const float* motionRow, int* indexOut, float* base, float* drive);
  void clearUtterance();
};

void Motion::Impl::dump(const char* name, const float* data, size_t n, bool append) const {
  if (dumpDir.empty()) return;
  FILE* f = std::fopen((dumpDir + name).c_str(), append ? "ab" : "wb");
  if (!f) return;
  std::fwrite(data, sizeof(float), n, f);
  std::fclose(f);
}

void Motion::Impl::processWindow(int w) {
  const int64_t first = static_cast<int64_t>(w) * kFrameSamples - kWindowLead;
  for (int i = 0; i < kMelWindowSamples; ++i) {
    const int64_t s = first + i;
    window[i] = s >= 0 && static_cast<size_t>(s) < audio.size() ? audio[static_cast<size_t>(s)] : 0.0f;
  }
  mel->compute(window.data(), melOut.data());
  const float* in[1] = {melOut.data()};
  hubert->run(in, encOut.data());
  for (int f = 0; f < kEncFrames; ++f) {
    float* e = encOut.data() + f * kAudioFeat;
    for (int d = 0; d < kAudioFeat; ++d) e[d] = e[d] * t.fstd[d] + t.fmean[d];
  }
  const size_t at = feat.size();
  feat.resize(at + static_cast<size_t>(kWindowStep) * kFeatDim);
  for (int r = 0; r < kWindowStep; ++r) {
    float* out = feat.data() + at + static_cast<size_t>(r) * kFeatDim;
    const float* a = encOut.data() + (6 + 2 * r) * kAudioFeat;
    const float* b = a + kAudioFeat;
    for (int d = 0; d < kAudioFeat; ++d) out[d] = (a[d] + b[d]) * 0.5f;
    float* tail = out + kAudioFeat;
    std::memcpy(tail, t.emo.data() + static_cast<size_t>((w + r) % t.meta.nEmo) * kEmoDim, sizeof(float) * kEmoDim);
    std::memcpy(tail + kEmoDim, t.eyeOpen.data(), sizeof(float) * 2);
    std::memcpy(tail + kEmoDim + 2, t.eyeBall.data(), sizeof(float) * 6);
    std::memcpy(tail + kEmoDim + 8, t.chSc.data(), sizeof(float) * kKeypointValues);
  }
  if (w == 0) {
    dump("/mel0.bin", melOut.data(), melOut.size(), false);
    dump("/feat0.bin", feat.data() + at, static_cast<size_t>(kWindowStep) * kFeatDim, false);
  }
  nextWindow = w + kWindowStep;
}

void Motion::Impl::smooth(std::vector<float>& rows, int rowCount, int begin, int end) const {
  begin = std::max(begin, 0);
  end = std::min(end, rowCount);
  if (begin >= end) return;
  const int lo = std::max(begin - 1, 0), hi = std::min(end + 1, rowCount);
  std::vector<float> src(rows.begin() + static_cast<ptrdiff_t>(lo) * kMotionDim,
                         rows.begin() + static_cast<ptrdiff_t>(hi) * kMotionDim);
  for (int i = begin; i < end; ++i) {
    const int a = std::max(i - 1, 0), b = std::min(i + 1, rowCount - 1);
    float* out = rows.data() + static_cast<size_t>(i) * kMotionDim;
    for (int j = 0; j < kMotionHead; ++j) {
      float sum = 0.0f;
      for (int k = a; k <= b; ++k) sum += src[static_cast<size_t>(k - lo) * kMotionDim + j];
      out[j] = sum / static_cast<float>(b - a + 1);
    }
  }
}

void Motion::Impl::runChunk() {
  const int start = chunks * kChunkStep;
  const int rows = featRows();
  for (int k = 0; k < kChunk; ++k) {
    const int r = std::min(start + k, rows - 1);
    std::memcpy(chunkIn.data() + static_cast<size_t>(k) * kFeatDim, feat.data() + static_cast<size_t>(r) * kFeatDim,
                sizeof(float) * kFeatDim);
  }
  const float* in[2] = {cond.data(), chunkIn.data()};
  lmdm->run(in, chunkOut.data());
  if (chunks == 0) {
    dump("/lmdm0_kp.bin", cond.data(), cond.size(), false);
    dump("/lmdm0_aud.bin", chunkIn.data(), chunkIn.size(), false);
    dump("/lmdm0_pred.bin", chunkOut.data(), chunkOut.size(), false);
    motion = chunkOut;
    smooth(motion, kChunk, 0, kChunk);
  } else {
    const int end = motionRows();
    for (int k = 0; k < kOverlap; ++k) {
      const float wNew = static_cast<float>(k) / kOverlap, wOld = 1.0f - wNew;
      float* old = motion.data() + static_cast<size_t>(end - kOverlap + k) * kMotionDim;
      const float* fresh = chunkOut.data() + static_cast<size_t>(k) * kMotionDim;
      for (int j = 0; j < kMotionDim; ++j) old[j] = wOld * old[j] + wNew * fresh[j];
    }
    motion.insert(motion.end(), chunkOut.begin() + static_cast<ptrdiff_t>(kOverlap) * kMotionDim, chunkOut.end());
    smooth(motion, motionRows(), end - kOverlap, end + 1);
  }
  ++chunks;
  // The next chunk continues the head motion from the last row no later chunk will blend.
  std::memcpy(cond.data(), motion.data() + static_cast<size_t>(motionRows() - kOverlap - 1) * kMotionDim,
              sizeof(float) * kMotionHead);
}

void Motion::Impl::requireUsable() const {
  if (!failure.empty()) throw std::runtime_error(failure);
}

int Motion::Impl::ready() const {
  if (finished) return std::max(0, totalFrames - pulled);
  if (chunks == 0) return 0;
  // Frames never run ahead of the audio held, also when eager rows reach into zero padding.
  const int upto = std::min({featRows() - 1, motionRows() - kOverlap - 1, audioFrames()});
  return std::max(0, upto - pulled);
}

void Motion::Impl::restore() {
  feat.resize(static_cast<size_t>(committedRows) * kFeatDim);
  nextWindow = committedRows;
  motion.resize(static_cast<size_t>(savedMotionRows) * kMotionDim);
  std::copy(savedTail.begin(), savedTail.end(), motion.end() - static_cast<ptrdiff_t>(savedTail.size()));
  chunks = savedChunks;
  // The condition was refreshed from provisional motion: without this the next real chunk would
  // see it, and committed rows would depend on whether eager ran.
  cond = savedCond;
  provisional = false;
}

void Motion::Impl::eagerAdvance() {
  const auto t0 = Clock::now();
  committedRows = featRows();
  savedMotionRows = motionRows();
  savedChunks = chunks;
  savedCond = cond;
  const int keep = std::min(savedMotionRows, kOverlap);
  savedTail.assign(motion.end() - static_cast<ptrdiff_t>(keep) * kMotionDim, motion.end());
  provisional = true;
  while (static_cast<size_t>(nextWindow) * kFrameSamples < audio.size()) processWindow(nextWindow);
  const int target = std::min(featRows() - 1, audioFrames());
  while (chunks == 0 || motionRows() - kOverlap - 1 < target) runChunk();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  gapFrames = std::clamp(static_cast<int>(ms / 40.0 + 0.999), 1, 8);
  lastAdvanceFrame = audioFrames();
}

void Motion::Impl::advance() {
  if (finished) return;
  const bool gapMet = audioFrames() - lastAdvanceFrame >= gapFrames;
  if (provisional && (windowRunnable(committedRows) || gapMet)) restore();
  if (provisional) return;
  while (windowRunnable(nextWindow)) processWindow(nextWindow);
  while (featRows() >= chunks * kChunkStep + kChunk) runChunk();
  if (eager > 0 && !audio.empty() && ready() < eager && gapMet) eagerAdvance();
}

void Motion::Impl::buildFinal() {
  if (motionRows() > totalFrames) motion.resize(static_cast<size_t>(totalFrames) * kMotionDim);
  dump("/res_post.bin", motion.data(), motion.size(), false);
  finalRows = motion;
  smooth(finalRows, totalFrames, 0, totalFrames);
  const float* lo = t.vMinMax.data();
  const float* hi = lo + kMotionDim;
  for (size_t i = 0; i < finalRows.size(); ++i) {
    const size_t j = i % kMotionDim;
    finalRows[i] = std::min(std::max(finalRows[i], lo[j]), hi[j]);
  }
  dump("/final.bin", finalRows.data(), finalRows.size(), false);
  dump("/cond.bin", cond.data(), cond.size(), false);
}

void Motion::Impl::emitFrame(const float* m, int* indexOut, float* base, float* drive) {
  // The walk and the reference advance only once the frame is made: a failing stitch run leaves
  // them where they were.
  int next = index, nextDirection = direction;
  if (nt > 1) {
    if (wrap) {
      next = ((index + direction) % nt + nt) % nt;
    } else {
      if (index + direction < 0 || index + direction >= nt) nextDirection = -direction;
      next = index + nextDirection;
    }
  }
  const float* s = t.srcXsInfo.data() + static_cast<size_t>(next) * kKpInfo;
  const float* rowExp = m + kMotionHead;
  const float* refExp = haveRef ? ref : rowExp;
  float exp[kKeypointValues];
  std::memcpy(exp, s + kp_info::kExp, sizeof(exp));
  for (int k : kLip)
    for (int c = 0; c < 3; ++c) exp[3 * k + c] = s[3 * k + c] + (rowExp[3 * k + c] - refExp[3 * k + c]) * lipGain;

  const float pitch = bin66(s + kp_info::kPitch), yaw = bin66(s + kp_info::kYaw), roll = bin66(s + kp_info::kRoll);
  float rSrc[9], rDrv[9];
  poseRotation(pitch, yaw, roll, rSrc);
  poseRotation(pitch + t.meta.deltaPitch, yaw, roll, rDrv);
  const float scale = s[kp_info::kScale];
  float xs[kKeypointValues], xd[kKeypointValues], y[kKeypointValues];
  placeKeypoints(s + kp_info::kKp, rSrc, s + kp_info::kExp, scale, s + kp_info::kT, xs);
  placeKeypoints(s + kp_info::kKp, rDrv, exp, scale, s + kp_info::kT, xd);
  const float* in[2] = {xs, xd};
  stitch->run(in, y);
  index = next;
  direction = nextDirection;
  if (!haveRef) {
    std::memcpy(ref, rowExp, sizeof(ref));
    haveRef = true;
  }

  const float* target = t.xsTarget.data() + static_cast<size_t>(index) * kKeypointValues;
  for (int i = 0; i < kKeypointValues; ++i) {
    base[i] = target[i];
    drive[i] = target[i] + (y[i] - xs[i]) * t.meta.sBridge;
  }
  *indexOut = index;
  dump("/xs.bin", xs, kKeypointValues, true);
  dump("/xd.bin", xd, kKeypointValues, true);
  dump("/xsla.bin", base, kKeypointValues, true);
  dump("/xdla.bin", drive, kKeypointValues, true);
}

void Motion::Impl::clearUtterance() {
  audio.clear();
  failure.clear();
  finished = false;
  totalFrames = -1;
  nextWindow = 0;
  feat.clear();
  motion.clear();
  chunks = 0;
  cond = cond0;
  finalRows.clear();
  pulled = 0;  // a kept count would hold back every frame of the next utterance
  provisional = false;
  lastAdvanceFrame = 0;
  gapFrames = 0;
}

Motion::Motion(const std::string& dir, int threads, const std::string& ep) : impl_(new Impl) {
  Impl& s = *impl_;
  if (threads > kMaxThreads)
    throw std::runtime_error("threads " + std::to_string(threads) + " out of range (at most " +
                             std::to_string(kMaxThreads) + ")");
  if (threads <= 0) threads = pool::threads();
  s.t = loadMotionTables(dir);
  s.nt = s.t.meta.nt;
  const float srcScale = s.t.srcXsInfo[kp_info::kScale];
  s.lipGain = s.t.chXsInfo[kp_info::kScale] / srcScale;
  if (srcScale == 0.0f || !std::isfinite(s.lipGain))
    throw std::runtime_error(dir + "/src_xs_info.bin: row 0 has scale " + std::to_string(srcScale));
  const float* ch = s.t.chXsInfo.data();
  s.cond0[0] = ch[kp_info::kScale] - 1.0f;
  std::memcpy(&s.cond0[1], ch + kp_info::kPitch, sizeof(float) * 66);
  std::memcpy(&s.cond0[67], ch + kp_info::kYaw, sizeof(float) * 66);
  std::memcpy(&s.cond0[133], ch + kp_info::kRoll, sizeof(float) * 66);
  std::memcpy(&s.cond0[199], ch + kp_info::kT, sizeof(float) * 3);
  std::memcpy(&s.cond0[202], ch + kp_info::kExp, sizeof(float) * kKeypointValues);
  s.cond = s.cond0;
  s.mel.reset(new MelFrontEnd(s.t.window.data(), s.t.binmat.data()));
  s.hubert.reset(new MotionNet(s.env, dir + "/hubert_student.onnx", threads, ep, {{"mel", {1, kMelFrames, kMelBins}}},
                               {"", {1, kEncFrames, kAudioFeat}}));
  s.lmdm.reset(new MotionNet(s.env, dir + "/lmdm.onnx", threads, ep,
                             {{"cond", {1, kMotionDim}}, {"chunk", {1, kChunk, kFeatDim}}},
                             {"", {1, kChunk, kMotionDim}}));
  s.stitch.reset(new MotionNet(s.env, dir + "/stitch.onnx", threads, ep, {{"xs", {1, 21, 3}}, {"xd", {1, 21, 3}}},
                               {"", {1, kKeypointValues}}));
  s.dumpDir = env::text("KA_MOTION_DUMP");
}

Motion::~Motion() = default;

void Motion::push(const float* samples, int count) {
  Impl& s = *impl_;
  Busy b(s.busy);
  s.requireUsable();
  if (s.finished) throw std::runtime_error("already finished");
  requireFiniteSamples(samples, count);
  if (s.audio.size() + static_cast<size_t>(count) > kMaxSamples)
    throw std::runtime_error("audio longer than " + std::to_string(kMaxSamples / kSampleRate) + " s");
  s.audio.insert(s.audio.end(), samples, samples + count);
}

void Motion::finish() {
  Impl& s = *impl_;
  Busy b(s.busy);
  s.requireUsable();
  if (s.finished) return;
  try {
    if (s.provisional) s.restore();
    s.totalFrames = s.audioFrames();
    s.finished = true;
    while (s.windowRunnable(s.nextWindow)) s.processWindow(s.nextWindow);
    while (s.motionRows() < s.totalFrames) s.runChunk();
    s.buildFinal();
  } catch (const std::exception& e) {
    // No total and no frames: the rows that would back them were never made.
    s.failure = std::string("the utterance failed in finish (") + e.what() + "); reset starts the next one";
    s.finished = false;
    s.totalFrames = -1;
    s.finalRows.clear();
    throw;
  }
}

int Motion::avail() {
  Impl& s = *impl_;
  Busy b(s.busy);
  s.requireUsable();
  s.advance();
  return s.ready();
}

int Motion::pull(int* indexOut, float* baseOut, float* driveOut, int n) {
  Impl& s = *impl_;
  Busy b(s.busy);
  s.requireUsable();
  const int count = std::min(n, s.ready());
  for (int k = 0; k < count; ++k) {
    const int i = s.pulled;
    const float* m;
    if (s.finished) {
      m = s.finalRows.data() + static_cast<size_t>(i) * kMotionDim;
    } else {
      // Rows before the provisional tail: the neighbours of row i are final already.
      std::memcpy(s.row.data(), s.motion.data() + static_cast<size_t>(i) * kMotionDim, sizeof(float) * kMotionDim);
      const int a = std::max(i - 1, 0), c = i + 1;
      for (int j = 0; j < kMotionHead; ++j) {
        float sum = 0.0f;
        for (int r = a; r <= c; ++r) sum += s.motion[static_cast<size_t>(r) * kMotionDim + j];
        s.row[j] = sum / static_cast<float>(c - a + 1);
      }
      const float* lo = s.t.vMinMax.data();
      for (int j = 0; j < kMotionDim; ++j) s.row[j] = std::min(std::max(s.row[j], lo[j]), lo[kMotionDim + j]);
      m = s.row.data();
    }
    try {
      s.emitFrame(m, indexOut + k, baseOut + static_cast<size_t>(k) * kKeypointValues,
                  driveOut + static_cast<size_t>(k) * kKeypointValues);
    } catch (const std::exception&) {
      if (k == 0) throw;
      return k;  // the frames made are handed out; the next pull meets the failure again
    }
    ++s.pulled;
  }
  return count;
}

int Motion::total() const { return impl_->failure.empty() ? impl_->totalFrames : kFailedTotal; }

const std::string& Motion::failure() const { return impl_->failure; }

int Motion::reset(int start, int direction, int wrap) {
  Impl& s = *impl_;
  s.clearUtterance();
  s.index = std::clamp(start, 0, s.nt - 1);
  s.direction = direction < 0 ? -1 : 1;
  s.wrap = wrap != 0;
  return s.direction;
}

void Motion::setEager(int value) { impl_->eager = value; }

int Motion::nt() const { return impl_->nt; }

double Motion::modelSeconds() const {
  return impl_->hubert->runSeconds() + impl_->lmdm->runSeconds() + impl_->stitch->runSeconds();
}

double Motion::busySeconds() const { return impl_->busy; }

}  // namespace ka
