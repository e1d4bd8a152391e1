#include "session/speech_engine.h"

#include <stdexcept>
#include <utility>

#include "audio/a2x.h"
#include "audio/motion.h"
#include "base/last_error.h"
#include "bundle/members.h"
#include "base/regular_file.h"

namespace ka {

struct SpeechEngine::Impl {
  std::unique_ptr<A2xStream> a2x;
  std::unique_ptr<Motion> motion;
};

SpeechEngine::Kind SpeechEngine::kindOf(const std::string& dir) {
  try {
    RegularFile f(resolveMember(dir, "a2x_enc_stream.onnx"));
    return f.ok() ? kExpression : kMotion;
  } catch (const std::exception&) {
    return kMotion;
  }
}

SpeechEngine::SpeechEngine(Kind kind, const std::string& dir, int threads, const std::string& engineOpt)
    : kind_(kind), impl_(std::make_unique<Impl>()) {
  if (kind_ == kExpression)
    impl_->a2x = named("ka_a2x_create", [&] { return std::make_unique<A2xStream>(dir, threads); });
  else
    impl_->motion = named("ka_motion_create", [&] { return std::make_unique<Motion>(dir, threads, engineOpt); });
}

SpeechEngine::~SpeechEngine() = default;

void SpeechEngine::reset(int phase, int direction, int wrap) {
  const int sign = kind_ == kExpression
                       ? named("ka_a2x_reset", [&] { return impl_->a2x->reset(phase, direction, wrap); })
                       : named("ka_motion_reset", [&] { return impl_->motion->reset(phase, direction, wrap); });
  if (sign == 0) throw std::runtime_error(kind_ == kExpression ? "ka_a2x_reset failed" : "ka_motion_reset failed");
}

void SpeechEngine::setEager(int value) {
  if (kind_ == kExpression)
    impl_->a2x->setEager(value);
  else
    impl_->motion->setEager(value);
}

void SpeechEngine::push(const float* samples, int count) {
  if (kind_ == kExpression) {
    named("ka_a2x_push", [&] { impl_->a2x->push(samples, count); });
  } else {
    if (!samples || count < 0 || impl_->motion->total() >= 0)
      throw std::runtime_error("ka_motion_push: bad args / already finished");
    named("ka_motion_push", [&] { impl_->motion->push(samples, count); });
  }
}

void SpeechEngine::finish() {
  if (kind_ == kExpression)
    impl_->a2x->finish();
  else
    named("ka_motion_finish", [&] { impl_->motion->finish(); });
}

int SpeechEngine::avail() {
  if (kind_ == kExpression) return named("ka_a2x_avail", [&] { return impl_->a2x->avail(); });
  return named("ka_motion_avail", [&] { return impl_->motion->avail(); });
}

int SpeechEngine::pull(int* index, float* base, float* drive, int n) {
  if (n <= 0) return 0;
  const int got = kind_ == kExpression
                      ? named("ka_a2x_pull", [&] { return impl_->a2x->pull(index, base, drive, nullptr, n); })
                      : named("ka_motion_pull", [&] { return impl_->motion->pull(index, base, drive, n); });
  if (got < 0 || got > n) throw std::runtime_error("pull failed");
  return got;
}

int SpeechEngine::total() const { return kind_ == kExpression ? impl_->a2x->total() : impl_->motion->total(); }

}  // namespace ka
