#include "session/speech_engine.h"

#include <stdexcept>

#include "bundle/members.h"
#include "bundle/regular_file.h"
#include "ka/ka_a2x.h"
#include "ka/ka_motion.h"

namespace ka {
namespace {

ka_a2x* a2x(void* h) { return static_cast<ka_a2x*>(h); }
ka_motion* motion(void* h) { return static_cast<ka_motion*>(h); }

[[noreturn]] void fail(const char* what, const char* engineError) {
  throw std::runtime_error(engineError && *engineError ? std::string(engineError) : std::string(what) + " failed");
}

}  // namespace

SpeechEngine::Kind SpeechEngine::kindOf(const std::string& dir) {
  try {
    RegularFile f(resolveMember(dir, "a2x_enc_stream.onnx"));
    return f.ok() ? kExpression : kMotion;
  } catch (const std::exception&) {
    return kMotion;
  }
}

SpeechEngine::SpeechEngine(Kind kind, const std::string& dir, int threads, const std::string& engineOpt) : kind_(kind) {
  if (kind_ == kExpression) {
    handle_ = ka_a2x_create(dir.c_str(), threads);
    if (!handle_) fail("ka_a2x_create", ka_a2x_last_error());
  } else {
    handle_ = ka_motion_create(dir.c_str(), threads, engineOpt.c_str());
    if (!handle_) fail("ka_motion_create", ka_motion_last_error());
  }
}

SpeechEngine::~SpeechEngine() {
  if (kind_ == kExpression)
    ka_a2x_destroy(a2x(handle_));
  else
    ka_motion_destroy(motion(handle_));
}

void SpeechEngine::reset(int phase, int direction, int wrap) {
  if (kind_ == kExpression) {
    if (ka_a2x_reset(a2x(handle_), phase, direction, wrap) == 0) fail("ka_a2x_reset", ka_a2x_last_error());
  } else if (ka_motion_reset(motion(handle_), phase, direction, wrap) == 0) {
    fail("ka_motion_reset", ka_motion_last_error());
  }
}

void SpeechEngine::setEager(int value) {
  if (kind_ == kExpression)
    ka_a2x_set_eager(a2x(handle_), value);
  else
    ka_motion_set_eager(motion(handle_), value);
}

void SpeechEngine::push(const float* samples, int count) {
  if (kind_ == kExpression) {
    if (ka_a2x_push(a2x(handle_), samples, count) != 1) fail("ka_a2x_push", ka_a2x_last_error());
  } else if (ka_motion_push(motion(handle_), samples, count) != 1) {
    fail("ka_motion_push", ka_motion_last_error());
  }
}

void SpeechEngine::finish() {
  if (kind_ == kExpression) {
    if (ka_a2x_finish(a2x(handle_)) != 1) fail("ka_a2x_finish", ka_a2x_last_error());
  } else if (ka_motion_finish(motion(handle_)) != 1) {
    fail("ka_motion_finish", ka_motion_last_error());
  }
}

int SpeechEngine::avail() {
  const int n = kind_ == kExpression ? ka_a2x_avail(a2x(handle_)) : ka_motion_avail(motion(handle_));
  // A failing call returns 0 (or less) and leaves its text behind; a quiet 0 is no failure.
  if (n <= 0 && *(kind_ == kExpression ? ka_a2x_last_error() : ka_motion_last_error()))
    fail("avail", kind_ == kExpression ? ka_a2x_last_error() : ka_motion_last_error());
  return n;
}

int SpeechEngine::pull(int* index, float* base, float* drive, int n) {
  const int got = kind_ == kExpression ? ka_a2x_pull(a2x(handle_), index, base, drive, n)
                                       : ka_motion_pull(motion(handle_), index, base, drive, n);
  if (got < 0 || got > n || (got == 0 && *(kind_ == kExpression ? ka_a2x_last_error() : ka_motion_last_error())))
    fail("pull", kind_ == kExpression ? ka_a2x_last_error() : ka_motion_last_error());
  return got;
}

int SpeechEngine::total() const {
  return kind_ == kExpression ? ka_a2x_total(a2x(handle_)) : ka_motion_total(motion(handle_));
}

}  // namespace ka
