// The tessera family's C interface: slots, carriage and members. Failures are written into the
// caller's error buffer; nothing thrown inside crosses into C.
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>
#include <exception>
#include <new>

#include "ka/ka_tessera.h"
#include "tessera/carriage.h"
#include "tessera/members.h"
#include "tessera/teeth_pass.h"

struct ka_tessera_carriage {
  ka::TesseraCarriage c;
  std::string pathOut;  // the last path handed out
};

struct ka_tessera_members {
  ka::TesseraAttachInputs m;
};

namespace {

void writeErr(char* err, int len, const char* text) noexcept {
  if (!err || len < 1) return;
  size_t n = std::strlen(text);
  if (n > static_cast<size_t>(len) - 1) n = static_cast<size_t>(len) - 1;
  std::memcpy(err, text, n);
  err[n] = '\0';
}

// Runs `body`; on an exception writes its text (or "<entry>: unknown failure") and returns `fail`.
template <class R, class F>
R inBuffer(char* err, int len, const char* entry, R fail, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    try {
      writeErr(err, len, (std::string(entry) + ": out of memory").c_str());
    } catch (...) {
      writeErr(err, len, "out of memory");
    }
  } catch (const std::exception& e) {
    writeErr(err, len, e.what());
  } catch (...) {
    try {
      writeErr(err, len, (std::string(entry) + ": unknown failure").c_str());
    } catch (...) {
    }
  }
  return fail;
}

const char* cstr(const ka_tessera_members* h, const std::string ka::TesseraAttachInputs::*f) {
  return h ? (h->m.*f).c_str() : "";
}

// The offline runner behind ka_tessera_run and ka_tessera_run_shift.
int runPass(const uint8_t* bank, int n, const double* cent, const double* c_canon, const double* aperture,
            const int* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json, const uint8_t* frames,
            const uint8_t* masks, const int* shifts, int count, uint8_t* out_windows, int* out_skipped) {
  using namespace ka::tessera;
  if (!bank || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json ||
      (count > 0 && (!frames || !masks || !out_windows || !out_skipped)))
    throw std::runtime_error("teeth: null argument");
  if (count < 0 || head_pt_len < 0) throw std::runtime_error("teeth: negative frame count or head length");
  if (n < 1 || n > ka::kMaxTesseraDonors)
    throw std::runtime_error("teeth: bank carries " + std::to_string(n) + " donors, not 1.." +
                             std::to_string(ka::kMaxTesseraDonors));
  BankData b;
  b.stamp = GeometryStamp::fromInts(stamp);
  b.stamp.validate();
  const GeometryStamp& st = b.stamp;
  // Bounded before anything is sized from them: a compose canvas is at most 8192 on a side.
  if (st.canvas_w > 8192 || st.canvas_h > 8192) throw std::runtime_error("teeth: compose canvas larger than 8192");
  const uint64_t sh = static_cast<uint64_t>(st.band_r1 - st.band_r0 + 2 * st.shift_margin);
  const uint64_t sw = static_cast<uint64_t>(st.band_c1 - st.band_c0 + 2 * st.shift_margin);
  const ServeConfig cfg = ServeConfig::fromHeadMemberJson(head_json);
  const HeadWeights hw = loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
  b.n = n;
  b.patches.assign(bank, bank + static_cast<size_t>(n) * sh * sw * 3);
  b.cent.assign(cent, cent + 2 * static_cast<size_t>(n));
  b.aperture.assign(aperture, aperture + n);
  b.c_canon = {c_canon[0], c_canon[1]};
  TeethPass pass(b, hw, cfg);
  const size_t px = static_cast<size_t>(st.canvas_w) * st.canvas_h;
  const size_t win = static_cast<size_t>(st.window_w) * st.window_h * 3;
  int emitted = 0;
  FrameResult r;
  auto take = [&] {
    if (emitted >= count) return;
    if (!r.skipped) std::memcpy(out_windows + static_cast<size_t>(emitted) * win, r.window.data(), win);
    out_skipped[emitted++] = r.skipped ? 1 : 0;
  };
  for (int k = 0; k < count; ++k) {
    const int* shift = shifts && shifts[2 * k] != -10000 ? shifts + 2 * k : nullptr;
    if (pass.push(k, frames + k * px * 3, masks + k * px, shift, &r)) take();
  }
  if (pass.flush(&r)) take();
  if (emitted != count)
    throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " + std::to_string(count) + " frames");
  return 0;
}

}  // namespace

extern "C" {

int ka_tessera_slot_count(void) { return ka::tesseraSlotCount(); }

const char* ka_tessera_slot_key(int index) {
  if (index < 0 || index >= ka::tesseraSlotCount()) return nullptr;
  return ka::tesseraSlotKeys()[static_cast<size_t>(index)].c_str();
}

ka_tessera_carriage* ka_tessera_carriage_open(const char* bundle_dir) {
  if (!bundle_dir) return nullptr;
  ka_tessera_carriage* h = new (std::nothrow) ka_tessera_carriage();
  if (!h) return nullptr;
  try {
    h->c = ka::tesseraCarriage(std::string(bundle_dir));
  } catch (...) {
    // Unreadable: default names, no paths, nothing declared, nothing counted missing.
    try {
      h->c = ka::TesseraCarriage();
    } catch (...) {
      delete h;
      return nullptr;
    }
  }
  return h;
}

void ka_tessera_carriage_close(ka_tessera_carriage* c) { delete c; }

int ka_tessera_carriage_complete(const ka_tessera_carriage* c) { return c && c->c.complete ? 1 : 0; }

int ka_tessera_carriage_declared(const ka_tessera_carriage* c) { return c && c->c.declared ? 1 : 0; }

const char* ka_tessera_carriage_path(ka_tessera_carriage* c, const char* slot_key) {
  if (!c || !slot_key) return "";
  try {
    c->pathOut = c->c.path(slot_key);
    return c->pathOut.c_str();
  } catch (...) {
    return "";
  }
}

int ka_tessera_carriage_missing_count(const ka_tessera_carriage* c) {
  return c ? static_cast<int>(c->c.missing.size()) : 0;
}

const char* ka_tessera_carriage_missing(const ka_tessera_carriage* c, int index) {
  if (!c || index < 0 || static_cast<size_t>(index) >= c->c.missing.size()) return nullptr;
  return c->c.missing[static_cast<size_t>(index)].c_str();
}

ka_tessera_members* ka_tessera_members_open(const char* bundle_dir, char* err, int err_len) {
  static const char kEntry[] = "ka_tessera_members_open";
  if (!bundle_dir) {
    writeErr(err, err_len, "ka_tessera_members_open: null bundle_dir");
    return nullptr;
  }
  return inBuffer(err, err_len, kEntry, static_cast<ka_tessera_members*>(nullptr), [&] {
    auto* h = new ka_tessera_members();
    try {
      h->m = ka::loadTesseraMembers(std::string(bundle_dir));
    } catch (...) {
      delete h;
      throw;
    }
    return h;
  });
}

void ka_tessera_members_close(ka_tessera_members* m) { delete m; }

int ka_tessera_members_n_donors(const ka_tessera_members* m) { return m ? m->m.n_donors : 0; }

const double* ka_tessera_members_cent(const ka_tessera_members* m) {
  return m && !m->m.cent.empty() ? m->m.cent.data() : nullptr;
}

const double* ka_tessera_members_c_canon(const ka_tessera_members* m) { return m ? m->m.c_canon.data() : nullptr; }

const double* ka_tessera_members_aperture(const ka_tessera_members* m) {
  return m && !m->m.aperture.empty() ? m->m.aperture.data() : nullptr;
}

const int* ka_tessera_members_stamp(const ka_tessera_members* m) { return m ? m->m.stamp.data() : nullptr; }

const uint8_t* ka_tessera_members_head_pt(const ka_tessera_members* m) {
  return m && !m->m.head_pt.empty() ? m->m.head_pt.data() : nullptr;
}

int ka_tessera_members_head_pt_len(const ka_tessera_members* m) {
  return m ? static_cast<int>(m->m.head_pt.size()) : 0;
}

const char* ka_tessera_members_head_json(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::head_json);
}
const char* ka_tessera_members_manifest_json(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::manifest_json);
}
const char* ka_tessera_members_bank_track_path(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::bank_track_path);
}
const char* ka_tessera_members_bank_container(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::bank_container);
}
const char* ka_tessera_members_bank_codec(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::bank_codec);
}
const char* ka_tessera_members_bank_pix_fmt(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::bank_pix_fmt);
}
const char* ka_tessera_members_bank_packing(const ka_tessera_members* m) {
  return cstr(m, &ka::TesseraAttachInputs::bank_packing);
}

int ka_tessera_members_band_w(const ka_tessera_members* m) { return m ? m->m.band_w : 0; }
int ka_tessera_members_band_h(const ka_tessera_members* m) { return m ? m->m.band_h : 0; }

int64_t ka_tessera_members_band_bytes(const ka_tessera_members* m) { return m ? m->m.bandBytes() : 0; }

int ka_tessera_members_reorder(const ka_tessera_members* m, const uint8_t* track, uint8_t* out, char* err,
                               int err_len) {
  if (!m || !track || !out) {
    writeErr(err, err_len, "ka_tessera_members_reorder: null argument");
    return 1;
  }
  return inBuffer(err, err_len, "ka_tessera_members_reorder", 1, [&] {
    ka::reorderTrackToDonor(m->m, track, out);
    return 0;
  });
}

int ka_tessera_run_shift(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon,
                         const double* aperture, const int* stamp, const uint8_t* head_pt, int head_pt_len,
                         const char* head_json, const uint8_t* frames, const uint8_t* masks, const int* shifts,
                         int count, uint8_t* out_windows, int* out_skipped, char* err, int err_len) {
  return inBuffer(err, err_len, "teeth", 1, [&] {
    return runPass(bank, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames, masks,
                   shifts, count, out_windows, out_skipped);
  });
}

int ka_tessera_run(const uint8_t* bank, int n_donors, const double* cent, const double* c_canon, const double* aperture,
                   const int* stamp, const uint8_t* head_pt, int head_pt_len, const char* head_json,
                   const uint8_t* frames, const uint8_t* masks, int count, uint8_t* out_windows, int* out_skipped,
                   char* err, int err_len) {
  return ka_tessera_run_shift(bank, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, frames,
                              masks, nullptr, count, out_windows, out_skipped, err, err_len);
}

}  // extern "C"
