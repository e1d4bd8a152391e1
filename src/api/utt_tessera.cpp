// The teeth borrow of the utterance session family of the C interface.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "api/handles.h"
#include "ka/ka_utt.h"
#include "session/utt_tessera.h"

namespace {

void writeErr(char* err, int len, const std::string& text) {
  if (!err || len < 1) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(len) - 1);
  std::memcpy(err, text.data(), n);
  err[n] = '\0';
}

}  // namespace

extern "C" {

int ka_utt_tessera_attach(ka_utt* utt, const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
                          const double* aperture, const int* stamp, const uint8_t* head_pt, int head_pt_len,
                          const char* head_json, const char* manifest_json, char* err, int err_len) {
  if (err && err_len > 0) err[0] = '\0';
  if (!utt) {
    writeErr(err, err_len, "ka_utt_tessera_attach: null session");
    return 1;
  }
  try {
    ka::UtteranceSession& s = *utt->session;
    auto borrow = ka::buildSessionBorrow(bank, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len,
                                         head_json, manifest_json, s.crop(), s.targetRows(), s.lipTemplate());
    s.attachTessera(std::make_shared<ka::UttTessera>(std::move(borrow), s.crop(), s.pipelined()));
    return 0;
  } catch (const std::exception& e) {
    writeErr(err, err_len, e.what());
  } catch (...) {
    writeErr(err, err_len, "ka_utt_tessera_attach: unknown failure");
  }
  return 1;
}

int ka_utt_tessera_attach_bundle(ka_utt* utt, const char* bundle_dir, char* err, int err_len) {
  if (err && err_len > 0) err[0] = '\0';
  if (!utt || !bundle_dir) {
    writeErr(err, err_len, "ka_utt_tessera_attach_bundle: null argument");
    return 1;
  }
  try {
    ka::attachBundleBorrow(*utt->session, bundle_dir);
    return 0;
  } catch (const std::exception& e) {
    writeErr(err, err_len, std::string("ka_utt_tessera_attach_bundle: ") + e.what());
  } catch (...) {
    writeErr(err, err_len, "ka_utt_tessera_attach_bundle: unknown failure");
  }
  return 1;
}

int ka_utt_tessera_stats(ka_utt* utt, uint64_t* emitted, uint64_t* failures, char* msg, int len) {
  if (msg && len > 0) msg[0] = '\0';
  if (!utt) return 0;
  const std::shared_ptr<ka::UttTessera> t = utt->session->tessera();
  if (!t) return 0;
  std::string text;
  const int r = t->stats(emitted, failures, &text);
  writeErr(msg, len, text);
  return r;
}

int ka_utt_tessera_synth_w(ka_utt* utt, double* mean, double* last, uint64_t* count) {
  if (!utt) return 0;
  const std::shared_ptr<ka::UttTessera> t = utt->session->tessera();
  return t && t->synthW(mean, last, count) ? 1 : 0;
}

int ka_utt_tessera_geometry(ka_utt* utt, char* dst, int len) {
  if (!utt || !dst || len < 1) return 0;
  const std::shared_ptr<ka::UttTessera> t = utt->session->tessera();
  writeErr(dst, len, t ? t->geometry() : std::string());
  return t ? 1 : 0;
}

}  // extern "C"
