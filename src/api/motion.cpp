// The ka_motion_* C interface over ka::Motion.
#include <string>

#include "api/handles.h"
#include "base/last_error.h"
#include "ka/ka_motion.h"

namespace {

std::string& lastError() { return ka::familyError<ka_motion>(); }

}  // namespace

extern "C" {

const char* ka_motion_last_error(void) { return lastError().c_str(); }

ka_motion* ka_motion_create(const char* motion_dir, int threads, const char* ep) {
  lastError().clear();
  if (!motion_dir) {
    ka::setError(lastError(), "ka_motion_create: NULL motion_dir");
    return nullptr;
  }
  return ka::guarded(lastError(), "ka_motion_create", static_cast<ka_motion*>(nullptr),
                     [&] { return new ka_motion(motion_dir, threads, ep); });
}

void ka_motion_destroy(ka_motion* m) { delete m; }

int ka_motion_push(ka_motion* m, const float* samples, int count) {
  lastError().clear();
  if (!m || !samples || count < 0 || m->engine.total() >= 0) {
    ka::setError(lastError(), "ka_motion_push: bad args / already finished");
    return 0;
  }
  return ka::guarded(lastError(), "ka_motion_push", 0, [&] {
    m->engine.push(samples, count);
    return 1;
  });
}

int ka_motion_finish(ka_motion* m) {
  lastError().clear();
  if (!m) {
    ka::setError(lastError(), "ka_motion_finish: bad args");
    return 0;
  }
  return ka::guarded(lastError(), "ka_motion_finish", 0, [&] {
    m->engine.finish();
    return 1;
  });
}

int ka_motion_avail(ka_motion* m) {
  lastError().clear();
  if (!m) {
    ka::setError(lastError(), "ka_motion_avail: bad args");
    return 0;
  }
  return ka::guarded(lastError(), "ka_motion_avail", 0, [&] { return m->engine.avail(); });
}

int ka_motion_pull(ka_motion* m, int* index_out, float* base_out, float* drive_out, int n) {
  lastError().clear();
  if (!m || !index_out || !base_out || !drive_out || n < 0) {
    ka::setError(lastError(), "ka_motion_pull: bad args");
    return 0;
  }
  return ka::guarded(lastError(), "ka_motion_pull", 0,
                     [&] { return m->engine.pull(index_out, base_out, drive_out, n); });
}

int ka_motion_total(const ka_motion* m) {
  lastError().clear();
  if (!m) return -1;
  const int total = m->engine.total();
  if (total == ka::Motion::kFailedTotal) ka::setError(lastError(), ("ka_motion_total: " + m->engine.failure()).c_str());
  return total;
}

int ka_motion_reset(ka_motion* m, int start, int direction, int wrap) {
  lastError().clear();
  if (!m) {
    ka::setError(lastError(), "ka_motion_reset: bad args");
    return 0;
  }
  return ka::guarded(lastError(), "ka_motion_reset", 0, [&] { return m->engine.reset(start, direction, wrap); });
}

void ka_motion_set_eager(ka_motion* m, int value) {
  if (m) m->engine.setEager(value);
}

int ka_motion_nt(const ka_motion* m) { return m ? m->engine.nt() : 0; }

}  // extern "C"
