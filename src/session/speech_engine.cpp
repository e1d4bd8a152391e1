#include "session/speech_engine.h"

#include <stdexcept>

#include "bundle/members.h"
#include "bundle/regular_file.h"
#include "ka/ka_motion.h"

namespace ka {
namespace {

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

SpeechEngine::SpeechEngine(Kind kind, const std::string& dir, int threads, const std::string& engineOpt)
    : kind_(kind) {
  if (kind_ == kExpression) {
    throw std::runtime_error("ka_a2x_create: the audio-to-expression engine is not part of this build");
  } else {
    handle_ = ka_motion_create(dir.c_str(), threads, engineOpt.c_str());
    if (!handle_) fail("ka_motion_create", ka_motion_last_error());
  }
}

SpeechEngine::~SpeechEngine() {
  ka_motion_destroy(motion(handle_));
}

void SpeechEngine::reset(int phase, int direction, int wrap) {
  if (ka_motion_reset(motion(handle_), phase, direction, wrap) == 0) {
    fail("ka_motion_reset", ka_motion_last_error());
  }
}

void SpeechEngine::setEager(int value) {
  ka_motion_set_eager(motion(handle_), value);
}

void SpeechEngine::push(const float* samples, int count) {
  if (ka_motion_push(motion(handle_), samples, count) != 1) {
    fail("ka_motion_push", ka_motion_last_error());
  }
}

void SpeechEngine::finish() {
  if (ka_motion_finish(motion(handle_)) != 1) {
    fail("ka_motion_finish", ka_motion_last_error());
  }
}

int SpeechEngine::avail() {
  const int n = ka_motion_avail(motion(handle_));
  // A failing call returns 0 (or less) and leaves its text behind; a quiet 0 is no failure.
  if (n <= 0 && *ka_motion_last_error()) fail("avail", ka_motion_last_error());
  return n;
}

int SpeechEngine::pull(int* index, float* base, float* drive, int n) {
  const int got = ka_motion_pull(motion(handle_), index, base, drive, n);
  if (got < 0 || got > n || (got == 0 && *ka_motion_last_error())) fail("pull", ka_motion_last_error());
  return got;
}

int SpeechEngine::total() const {
  return ka_motion_total(motion(handle_));
}

}  // namespace ka
