// The C interface of the audio-to-expression family.
#include <cstdlib>
#include <string>

#include "api/handles.h"
#include "audio/a2x.h"
#include "audio/w2v.h"
#include "base/last_error.h"
#include "ka/ka_a2x.h"

namespace {

std::string& a2xLastError() { return ka::familyError<ka_a2x>(); }

// Runs `step` (an avail or pull); a model failure the stream survived on the way becomes the
// family's text "ka_a2x extend: <why>" while the step's own result stands.
template <class F>
int reportingFailure(ka::A2xStream& stream, F&& step) {
  const int n = step();
  std::string failure = stream.takeFailure();
  if (!failure.empty()) a2xLastError() = "ka_a2x extend: " + failure;
  return n;
}

}  // namespace

extern "C" {

const char* ka_a2x_last_error(void) { return a2xLastError().c_str(); }

ka_a2x* ka_a2x_create(const char* bundle, int threads) {
  a2xLastError().clear();
  if (!bundle) {
    ka::setError(a2xLastError(), "ka_a2x_create: NULL bundle");
    return nullptr;
  }
  return ka::guarded(a2xLastError(), "ka_a2x_create", static_cast<ka_a2x*>(nullptr),
                     [&] { return new ka_a2x(bundle, threads); });
}

void ka_a2x_destroy(ka_a2x* s) { delete s; }

int ka_a2x_push(ka_a2x* s, const float* samples, int count) {
  a2xLastError().clear();
  if (!s || (count > 0 && !samples)) {
    ka::setError(a2xLastError(), "ka_a2x_push: bad args");
    return 0;
  }
  return ka::guarded(a2xLastError(), "ka_a2x_push", 0, [&] {
    s->stream.push(samples, count);
    return 1;
  });
}

int ka_a2x_finish(ka_a2x* s) {
  if (!s) return 0;
  s->stream.finish();
  return 1;
}

int ka_a2x_avail(ka_a2x* s) {
  a2xLastError().clear();
  if (!s) return 0;
  return ka::guarded(a2xLastError(), "ka_a2x_avail", 0,
                     [&] { return reportingFailure(s->stream, [&] { return s->stream.avail(); }); });
}

int ka_a2x_pull_wn(ka_a2x* s, int* index_out, float* base_out, float* drive_out, float* width_out, int n) {
  a2xLastError().clear();
  if (!s || n < 0 || (n > 0 && (!index_out || !base_out || !drive_out))) {
    ka::setError(a2xLastError(), "ka_a2x_pull: bad args");
    return 0;
  }
  if (n == 0) return 0;
  return ka::guarded(a2xLastError(), "ka_a2x_pull", 0, [&] {
    return reportingFailure(s->stream, [&] { return s->stream.pull(index_out, base_out, drive_out, width_out, n); });
  });
}

int ka_a2x_pull(ka_a2x* s, int* index_out, float* base_out, float* drive_out, int n) {
  return ka_a2x_pull_wn(s, index_out, base_out, drive_out, nullptr, n);
}

int ka_a2x_total(const ka_a2x* s) { return s ? s->stream.total() : -1; }

int ka_a2x_reset(ka_a2x* s, int phase, int direction, int wrap) {
  a2xLastError().clear();
  if (!s) return 0;
  return ka::guarded(a2xLastError(), "ka_a2x_reset", 0, [&] { return s->stream.reset(phase, direction, wrap); });
}

int ka_a2x_nt(const ka_a2x* s) { return s ? s->stream.nt() : 0; }

int ka_a2x_width(const ka_a2x* s) { return s && s->stream.hasWidth() ? 1 : 0; }

void ka_a2x_set_eager(ka_a2x* s, int flag) {
  if (s) s->stream.setEager(flag);
}

int ka_a2x_deltas(ka_a2x* s, const float* samples, int count, float* out, int max) {
  a2xLastError().clear();
  if (!s || (count > 0 && (!samples || (!out && max > 0)))) {
    ka::setError(a2xLastError(), "ka_a2x_deltas: bad args");
    return -1;
  }
  return ka::guarded(a2xLastError(), "ka_a2x_deltas", -1,
                     [&] { return s->stream.deltas(samples, count, out, nullptr, max); });
}

int ka_a2x_deltas_wn(ka_a2x* s, const float* samples, int count, float* out, float* width_out, int max) {
  a2xLastError().clear();
  if (!s || (count > 0 && (!samples || (max > 0 && (!out || !width_out))))) {
    ka::setError(a2xLastError(), "ka_a2x_deltas_wn: bad args");
    return -1;
  }
  if (!s->stream.hasWidth()) {
    ka::setError(a2xLastError(), "ka_a2x_deltas_wn: encoder declares no wn output");
    return -3;
  }
  return ka::guarded(a2xLastError(), "ka_a2x_deltas_wn", -1,
                     [&] { return s->stream.deltas(samples, count, out, width_out, max); });
}

int ka_a2x_preload_w2v(const char* path) {
  a2xLastError().clear();
  const char* p = path && *path ? path : std::getenv("W2V_ONNX");
  if (!p || !*p) {
    ka::setError(a2xLastError(), "ka_a2x_preload_w2v: no path and $W2V_ONNX unset");
    return 0;
  }
  return ka::guarded(a2xLastError(), "ka_a2x_preload_w2v", 0, [&] {
    ka::w2v::sharedLegacy(p, 0);
    return 1;
  });
}

int ka_a2x_w2v8_lazy(void) { return 1; }

}  // extern "C"
