// The warp prior rows family: the C interface over a prior cursor.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/last_error.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "bundle/driving.h"
#include "ka/ka_prior.h"

struct ka_prior {
  ka::Manifest manifest;
  std::unique_ptr<ka::DriverCursor> cursor;
  std::string backend;
};

extern "C" ka_prior* ka_prior_open(const char* bundle_dir, int lookahead, int history) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!bundle_dir) {
    ka::setError(err, "ka_prior_open: NULL bundle_dir");
    return nullptr;
  }
  return ka::guarded(err, "ka_prior_open", static_cast<ka_prior*>(nullptr), [&] {
    auto h = std::make_unique<ka_prior>();
    h->manifest = ka::loadManifest(bundle_dir);
    // A ring longer than the prior can never serve more frames than the prior has: both sizes are
    // bounded by its frame count.
    const int nt = h->manifest.NT;
    const int ahead = std::min(lookahead < 1 ? 2 : lookahead, nt);
    const int kept = std::min(std::max(0, history), nt);
    h->cursor = ka::DriverCursor::openPrior(ka::priorVideo(h->manifest), ahead, kept);
    h->backend = h->cursor->name;
    return h.release();
  });
}

extern "C" int ka_prior_row(ka_prior* h, int si, void* out, size_t cap) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!h || !out) {
    ka::setError(err, "ka_prior_row: NULL prior/out");
    return 0;
  }
  return ka::guarded(err, "ka_prior_row", 0, [&] {
    if (uint64_t(cap) < h->cursor->frameBytes)
      throw std::runtime_error("cap " + std::to_string(cap) + " < row bytes " + std::to_string(h->cursor->frameBytes));
    h->cursor->pullAt(si, static_cast<uint8_t*>(out));
    return 1;
  });
}

extern "C" uint64_t ka_prior_row_bytes(ka_prior* h) {
  ka::coreLastError().clear();
  return h ? h->cursor->frameBytes : 0;
}

extern "C" const char* ka_prior_backend(ka_prior* h) {
  ka::coreLastError().clear();
  return h ? h->backend.c_str() : "";
}

extern "C" void ka_prior_close(ka_prior* h) {
  ka::coreLastError().clear();
  delete h;
}
