// The offline stream family of the C interface.
#include <memory>
#include <string>

#include "base/last_error.h"
#include "ka/ka_stream.h"
#include "session/offline_stream.h"

struct ka_stream {
  std::unique_ptr<ka::OfflineStream> stream;
};

namespace {

std::string& streamError() { return ka::familyError<ka_stream>(); }

}  // namespace

extern "C" {

const char* ka_stream_last_error(void) { return streamError().c_str(); }

ka_stream* ka_stream_create(const char* bundle, const char* w2v_path, int threads, int skip, float scale) {
  std::string& err = streamError();
  err.clear();
  if (!bundle || !w2v_path) {
    ka::setError(err, "ka_stream_create: NULL bundle/w2v_path");
    return nullptr;
  }
  return ka::guarded(err, "ka_stream_create", static_cast<ka_stream*>(nullptr), [&] {
    auto s = std::make_unique<ka_stream>();
    s->stream = std::make_unique<ka::OfflineStream>(bundle, w2v_path, threads, skip, scale);
    return s.release();
  });
}

void ka_stream_destroy(ka_stream* s) { delete s; }

int ka_stream_run(ka_stream* s, const float* samples, int count, ka_stream_frame_cb cb, void* user) {
  std::string& err = streamError();
  err.clear();
  if (!s || (!samples && count != 0) || count < 0) {
    ka::setError(err, "ka_stream_run: bad args");
    return -1;
  }
  return ka::guarded(err, "ka_stream_run", -1, [&] {
    std::string failure;
    const int n = s->stream->run(samples, count, cb, user, &failure);
    if (!failure.empty()) err = failure;
    return n;
  });
}

int ka_stream_width(const ka_stream* s) { return s ? s->stream->width() : 0; }
int ka_stream_height(const ka_stream* s) { return s ? s->stream->height() : 0; }

}  // extern "C"
