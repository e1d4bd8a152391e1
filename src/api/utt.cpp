// The utterance session family of the C interface.
#include <algorithm>
#include <memory>
#include <string>

#include "api/handles.h"
#include "base/last_error.h"
#include "ka/ka_utt.h"

namespace {

std::string& uttError() { return ka::familyError<ka_utt>(); }

// Empties this thread's text, as every fallible entry point does on entry.
std::string& freshError() {
  std::string& err = uttError();
  err.clear();
  return err;
}

}  // namespace

extern "C" {

const char* ka_utt_last_error(void) { return uttError().c_str(); }

ka_utt* ka_utt_create(ka_ctx* ctx, const ka_utt_opts* opts) {
  std::string& err = freshError();
  if (!ctx || !opts) {
    ka::setError(err, "ka_utt_create: NULL ctx/opts");
    return nullptr;
  }
  if (!opts->motion_dir) {
    ka::setError(err, "ka_utt_create: opts.motion_dir required");
    return nullptr;
  }
  return ka::guarded(err, "ka_utt_create", static_cast<ka_utt*>(nullptr), [&] {
    auto u = std::make_unique<ka_utt>();
    u->session =
        std::make_unique<ka::UtteranceSession>(*ctx->context, ka::resolveUttConfig(*opts, ctx->context->threads()));
    return u.release();
  });
}

ka_utt* ka_utt_open(ka_ctx* ctx, const char* motion_dir) {
  ka_utt_opts o{};
  o.motion_dir = motion_dir;
  if (!ctx) {
    ka::setError(freshError(), "ka_utt_create: NULL ctx/opts");
    return nullptr;
  }
  return ka_utt_create(ctx, &o);
}

void ka_utt_destroy(ka_utt* utt) { delete utt; }

int ka_utt_ready(ka_utt* utt) {
  std::string& err = freshError();
  if (!utt) return -1;
  std::string msg;
  const int r = utt->session->ready(&msg);
  if (r == 255) ka::setError(err, msg.c_str());
  return r;
}

int ka_utt_push_audio(ka_utt* utt, const int16_t* samples, int count) {
  std::string& err = freshError();
  if (!utt || !samples || count < 0) {
    ka::setError(err, "ka_utt_push_audio: bad args");
    return 0;
  }
  return ka::guarded(err, "ka_utt_push_audio", 0, [&] {
    utt->session->push(samples, count);
    return 1;
  });
}

int ka_utt_end_utterance(ka_utt* utt) {
  if (!utt) return 0;
  utt->session->endUtterance();
  return 1;
}

int ka_utt_interrupt(ka_utt* utt) {
  if (!utt) return 0;
  utt->session->interrupt();
  return 1;
}

int ka_utt_wait_ready(ka_utt* utt, int timeout_ms) {
  std::string& err = freshError();
  if (!utt) return -1;
  std::string msg;
  const int r = utt->session->waitReady(timeout_ms, &msg);
  if (r == 255) ka::setError(err, msg.c_str());
  return r;
}

int ka_utt_wait_frame(ka_utt* utt, int timeout_ms) {
  std::string& err = freshError();
  if (!utt) {
    ka::setError(err, "ka_utt_wait_frame: NULL session");
    return -1;
  }
  std::string msg;
  const int r = utt->session->waitFrame(timeout_ms, &msg);
  if (r < 0) ka::setError(err, ("ka_utt_wait_frame: the session failed: " + msg).c_str());
  return r;
}

int ka_utt_frame_acquire(ka_utt* utt, const unsigned char** pixels, ka_utt_frame_info* info) {
  std::string& err = freshError();
  if (pixels) *pixels = nullptr;
  if (!utt || !pixels) {
    ka::setError(err, "ka_utt_frame_acquire: bad args");
    return 0;
  }
  const int r = utt->session->acquire(pixels, info);
  if (r < 0) {
    ka::setError(err, "ka_utt_frame_acquire: a frame is already lent; release it first");
    return 0;
  }
  return r;
}

int ka_utt_frame_release(ka_utt* utt) {
  std::string& err = freshError();
  if (!utt) {
    ka::setError(err, "ka_utt_frame_release: NULL session");
    return 0;
  }
  if (!utt->session->release()) {
    ka::setError(err, "ka_utt_frame_release: no frame is lent");
    return 0;
  }
  return 1;
}

int ka_utt_frames_available(ka_utt* utt) { return utt ? utt->session->available() : 0; }

int ka_utt_pull_frame(ka_utt* utt, unsigned char* dst, size_t capacity, ka_utt_frame_info* info) {
  std::string& err = freshError();
  if (!utt || !dst) {
    ka::setError(err, "ka_utt_pull_frame: bad args");
    return 0;
  }
  const int r = utt->session->pull(dst, capacity, info, nullptr);
  if (r < 0) {
    ka::setError(err, "ka_utt_pull_frame: buffer too small");
    return 0;
  }
  return r;
}

int ka_utt_get_stats(ka_utt* utt, ka_utt_stats* out) {
  if (!utt || !out) return 0;
  *out = utt->session->stats();
  return 1;
}

int ka_utt_render_status(ka_utt* utt, char* msg, int len, const char** stage) {
  if (stage) *stage = "";
  if (msg && len > 0) msg[0] = '\0';
  if (!utt) return 0;
  std::string text;
  const int r = utt->session->renderStatus(&text, stage);
  if (msg && len > 0) {
    const size_t n = std::min(text.size(), static_cast<size_t>(len - 1));
    text.copy(msg, n);
    msg[n] = '\0';
  }
  return r;
}

}  // extern "C"
