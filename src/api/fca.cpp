// The C interface of the FCA family over ka::FcaEngine.
#include <string>

#include "api/handles.h"
#include "base/last_error.h"
#include "ka/ka_fca.h"

namespace {

std::string& fcaLastError() { return ka::familyError<ka_fca>(); }

}  // namespace

extern "C" {

const char* ka_fca_last_error(void) { return fcaLastError().c_str(); }

ka_fca* ka_fca_create(const char* w2v_path, const char* fca_path, int threads) {
  fcaLastError().clear();
  if (!w2v_path || !fca_path) {
    ka::setError(fcaLastError(), "ka_fca_create: NULL path");
    return nullptr;
  }
  return ka::guarded(fcaLastError(), "ka_fca_create", static_cast<ka_fca*>(nullptr),
                     [&] { return new ka_fca(w2v_path, fca_path, threads); });
}

void ka_fca_destroy(ka_fca* f) { delete f; }

int ka_fca_deltas(ka_fca* f, const float* samples, int count, float* out, int max) {
  fcaLastError().clear();
  if (!f || (count > 0 && (!samples || (max > 0 && !out)))) {
    ka::setError(fcaLastError(), "ka_fca_deltas: bad args");
    return -2;
  }
  return ka::guarded(fcaLastError(), "ka_fca_deltas", -2, [&] { return f->engine.deltas(samples, count, out, max); });
}

}  // extern "C"
