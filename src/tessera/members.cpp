#include "tessera/members.h"

#include <cstring>
#include <stdexcept>

#include "bundle/container.h"
#include "bundle/manifest.h"
#include "tessera/carriage.h"
#include "face/geometry.h"
#include "face/json.h"

namespace ka {
namespace {

using tessera::json::JVal;
using tessera::json::truncInt;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

std::array<int, 12> readStamp(const JVal& obj, const std::string& context) {
  std::array<int, 12> s{};
  const auto& keys = tessera::GeometryStamp::keys();
  for (size_t i = 0; i < keys.size(); ++i) s[i] = truncInt(tessera::json::reqNum(obj, keys[i], context));
  return s;
}

// Largest stored patch side; keeps every band product far inside 64 bits.
constexpr int64_t kMaxPatchSide = 1 << 16;

}  // namespace

int64_t TesseraAttachInputs::bandBytes() const { return static_cast<int64_t>(band_h) * n_donors * band_w * 3; }

TesseraAttachInputs loadTesseraMembers(const std::string& bundlePath) {
  const TesseraCarriage carriage = tesseraCarriage(bundlePath);
  requireTesseraMembers(carriage);
  const std::string dir = resolveBundlePath(bundlePath);
  const std::string mpath = tessera::manifestPath(dir);
  if (mpath.empty())
    refuse(dir +
           " carries no manifest.json or meta.json — the compose descriptor (unified.pi) the pass "
           "places its window by lives there, and placing a borrow window without it is guessing.");

  TesseraAttachInputs m;
  m.manifest_json = tessera::slurp(mpath);
  m.head_json = tessera::slurp(carriage.path("head_config"));
  {
    const std::string pt = tessera::slurp(carriage.path("head_weights"));
    m.head_pt.assign(pt.begin(), pt.end());
  }
  m.bank_track_path = carriage.path("bank_track");
  const std::string sc = carriage.path("bank_sidecar");
  tessera::crossCheckMembers(m, dir, sc, tessera::slurp(sc), mpath);
  return m;
}

namespace tessera {

void crossCheckMembers(TesseraAttachInputs& m, const std::string& dir, const std::string& sc,
                       const std::string& sidecarText, const std::string& mpath) {
  const JVal side = tessera::parseFile(sidecarText, sc);
  const JVal man = tessera::parseFile(m.manifest_json, mpath);

  const std::string format = tessera::json::optStr(side, "format", "");
  if (format != "tessera_bank.v1")
    refuse(sc + " declares format '" + format +
           "', not 'tessera_bank.v1' — this reader does not know that generation and will not "
           "guess at its keys.");

  const JVal* geo = side.getObject("geometry");
  if (!geo) refuse(sc + " carries no `geometry` stamp");
  m.stamp = readStamp(*geo, sc + ".geometry");
  const JVal* tess = man.getObject("tessera");
  if (tess) {
    if (const JVal* mgeo = tess->getObject("geometry")) {
      const std::array<int, 12> ms = readStamp(*mgeo, "manifest.tessera.geometry");
      if (ms != m.stamp)
        refuse("teeth geometry DISAGREES between the manifest and the bank sidecar — manifest " +
               tessera::GeometryStamp::fromInts(ms.data()).text() + " vs " + sc + " " +
               tessera::GeometryStamp::fromInts(m.stamp.data()).text() +
               "; refusing to place a window on a rectangle the two halves of the bundle do not "
               "agree on.");
    }
  }

  // stamp order: canvas_w canvas_h window_x0 window_y0 window_w window_h pad band_r0 band_r1
  // band_c0 band_c1 shift_margin
  const int64_t margin2 = 2 * static_cast<int64_t>(m.stamp[11]);
  const int64_t bh = static_cast<int64_t>(m.stamp[8]) - m.stamp[7] + margin2;
  const int64_t bw = static_cast<int64_t>(m.stamp[10]) - m.stamp[9] + margin2;
  if (bh <= 0 || bw <= 0)
    refuse("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) + "x" + std::to_string(bh) + ")");
  if (bh > kMaxPatchSide || bw > kMaxPatchSide)
    refuse("teeth stamp yields a stored patch of " + std::to_string(bw) + "x" + std::to_string(bh) +
           ", beyond any compose canvas (a side is at most " + std::to_string(kMaxPatchSide) + ")");
  m.band_h = static_cast<int>(bh);
  m.band_w = static_cast<int>(bw);

  const int n = truncInt(tessera::json::reqNum(side, "n_donors", sc));
  const std::string ns = std::to_string(n);
  if (n <= 0) refuse(sc + " says n_donors=" + ns);
  if (n > kMaxTesseraDonors)
    refuse(sc + " carries n_donors=" + ns +
           ", over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES rather than "
           "capping: the selector is the bank's BUILD-time cap selector, and a second one here "
           "would change which donors reach the mouth while every count-based check stayed green. "
           "Rebuild the bank.");
  m.n_donors = n;

  const JVal* order = side.getArray("track_order");
  const JVal* cent = side.getArray("cent");
  const JVal* aper = side.getArray("aperture");
  const JVal* canon = side.getArray("c_canon");
  if (!order || !cent || !aper || !canon) refuse(sc + " lacks one of track_order/cent/aperture/c_canon as an array");
  const size_t un = static_cast<size_t>(n);
  if (order->arr.size() != un || cent->arr.size() != un || aper->arr.size() != un)
    refuse(sc + " says n_donors=" + ns + " but carries track_order=" + std::to_string(order->arr.size()) +
           ", cent=" + std::to_string(cent->arr.size()) + ", aperture=" + std::to_string(aper->arr.size()) +
           " — a count mismatch silently mis-orders the donors.");
  if (canon->arr.size() != 2) refuse(sc + " c_canon is not a pair");

  std::vector<char> seen(un, 0);
  m.track_order.resize(un);
  for (size_t i = 0; i < un; ++i) {
    const JVal& e = order->arr[i];
    if (!e.isNumber()) refuse(sc + " track_order[" + std::to_string(i) + "] is not a number");
    const int v = truncInt(e.num);
    if (v < 0 || v >= n)
      refuse(sc + " track_order[" + std::to_string(i) + "]=" + std::to_string(v) + " is outside [0," + ns + ")");
    if (seen[v])
      refuse(sc + " track_order is not a permutation (reference " + std::to_string(v) +
             " appears twice) — the inverse permutation would leave a reference slot never "
             "written and the pass would blend uninitialised memory into a real mouth.");
    seen[v] = 1;
    m.track_order[i] = v;
  }
  m.cent.resize(2 * un);
  for (size_t i = 0; i < un; ++i) {
    const JVal& e = cent->arr[i];
    if (!e.isArray() || e.arr.size() != 2 || !e.arr[0].isNumber() || !e.arr[1].isNumber())
      refuse(sc + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    m.cent[2 * i] = e.arr[0].num;
    m.cent[2 * i + 1] = e.arr[1].num;
  }
  m.aperture.resize(un);
  for (size_t i = 0; i < un; ++i) {
    if (!aper->arr[i].isNumber()) refuse(sc + " aperture[" + std::to_string(i) + "] is not a number");
    m.aperture[i] = aper->arr[i].num;
  }
  if (!canon->arr[0].isNumber() || !canon->arr[1].isNumber()) refuse(sc + " c_canon is not a pair");
  m.c_canon = {canon->arr[0].num, canon->arr[1].num};

  std::string codec, pixFmt;
  if (const JVal* c = side.getObject("codec")) {
    codec = tessera::json::optStr(*c, "codec", "");
    pixFmt = tessera::json::optStr(*c, "pix_fmt", "");
  }
  if (tess) {
    m.bank_container = tessera::json::optStr(*tess, "bank_container", "mp4");
    m.bank_packing = tessera::json::optStr(*tess, "bank_packing", "rgb24_frames");
    m.bank_codec = tessera::json::optStr(*tess, "bank_codec", codec);
    m.bank_pix_fmt = tessera::json::optStr(*tess, "bank_pix_fmt", pixFmt);
  } else {
    m.bank_container = "mp4";
    m.bank_packing = "rgb24_frames";
    m.bank_codec = codec;
    m.bank_pix_fmt = pixFmt;
  }
  if (m.bank_pix_fmt.empty())
    refuse(dir + ": neither manifest.tessera.bank_pix_fmt nor " + sc +
           ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
           "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
           "IS the borrow degrading. Refusing rather than letting it guess.");
}

}  // namespace tessera

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) { return loadTesseraMembers(manifest.dir); }

void reorderTrackToDonor(const TesseraAttachInputs& m, const uint8_t* track, uint8_t* out) {
  if (!track || !out) throw std::runtime_error("teeth: null band buffer");
  if (m.n_donors < 0 || m.track_order.size() != static_cast<size_t>(m.n_donors))
    throw std::runtime_error("teeth: track_order does not match n_donors");
  const size_t stride =
      static_cast<size_t>(m.band_w > 0 ? m.band_w : 0) * static_cast<size_t>(m.band_h > 0 ? m.band_h : 0) * 3;
  if (stride == 0) throw std::runtime_error("teeth: zero reference stride");
  for (size_t i = 0; i < m.track_order.size(); ++i) {
    const int slot = m.track_order[i];
    if (slot < 0 || slot >= m.n_donors) throw std::runtime_error("teeth: track_order does not match n_donors");
    std::memcpy(out + static_cast<size_t>(slot) * stride, track + i * stride, stride);
  }
}

}  // namespace ka
