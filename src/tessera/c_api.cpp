// The tessera family's C interface: slots, carriage and members. Failures are written into the
// caller's error buffer; nothing thrown inside crosses into C.
#include <cstring>
#include <exception>
#include <new>

#include "ka/ka_tessera.h"
#include "tessera/carriage.h"
#include "tessera/members.h"

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

const double* ka_tessera_members_c_canon(const ka_tessera_members* m) {
  return m ? m->m.c_canon.data() : nullptr;
}

const double* ka_tessera_members_aperture(const ka_tessera_members* m) {
  return m && !m->m.aperture.empty() ? m->m.aperture.data() : nullptr;
}

const int* ka_tessera_members_stamp(const ka_tessera_members* m) {
  return m ? m->m.stamp.data() : nullptr;
}

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

int64_t ka_tessera_members_band_bytes(const ka_tessera_members* m) {
  return m ? m->m.bandBytes() : 0;
}

int ka_tessera_members_reorder(const ka_tessera_members* m, const uint8_t* track, uint8_t* out,
                               char* err, int err_len) {
  if (!m || !track || !out) {
    writeErr(err, err_len, "ka_tessera_members_reorder: null argument");
    return 1;
  }
  return inBuffer(err, err_len, "ka_tessera_members_reorder", 1, [&] {
    ka::reorderTrackToDonor(m->m, track, out);
    return 0;
  });
}

}  // extern "C"
