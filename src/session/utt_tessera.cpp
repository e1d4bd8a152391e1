#include "session/utt_tessera.h"

#include <cstring>
#include <stdexcept>

#include "base/units.h"
#include "base/regular_file.h"
#include "driver/ff_log.h"
#include "session/utterance.h"
#include "tessera/bank_decode.h"
#include "tessera/head_weights.h"
#include "tessera/members.h"
#include "face/unified_pi.h"

namespace ka {

namespace {
constexpr int kKp = kKeypointValues;
const char* const kNoPending =
    "flush: the pass held no pending frame while a crop was held \xE2\x80\x94 refusing to deliver it uncomposed";
}  // namespace

UttTessera::UttTessera(std::unique_ptr<tessera::StreamBorrow> borrow, int crop, bool pipelined)
    : borrow_(std::move(borrow)), crop_(crop), pipelined_(pipelined), stampText_(borrow_->stamp().text()) {}

void UttTessera::fail(const std::string& msg) {
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  msg_ = msg.empty() ? "unknown failure" : msg;
  failed_ = true;
}

void UttTessera::deliverHeld(const tessera::FrameResult* r, const Deliver& deliver) {
  if (!hasHeld_) return;
  hasHeld_ = false;
  if (r) {
    try {
      tessera::StreamBorrow::writeWindowDelta(held_.data(), crop_, *r, borrow_->stamp());
    } catch (const std::exception& e) {
      fail(e.what());  // the crop goes out as rendered
    }
  }
  const bool ok = deliver(held_.data(), heldTag_);
  std::lock_guard<std::mutex> lk(mu_);
  if (ok && r) ++emitted_;
  if (r && !r->skipped) ++synthCount_, synthSum_ += r->leadMean, synthLast_ = r->leadMean;
}

void UttTessera::push(const float* crop, const FrameTag& tag, const Deliver& deliver) {
  bool failed;
  {
    std::lock_guard<std::mutex> lk(mu_);
    failed = failed_;
  }
  if (!failed) {
    tessera::FrameResult r;
    try {
      if (borrow_->push(crop, tag.pose.data(), &r)) deliverHeld(&r, deliver);
    } catch (const std::exception& e) {
      fail(e.what());
      failed = true;
    }
  }
  if (failed) {  // nothing more through the borrow: a held crop and this one go out as rendered
    deliverHeld(nullptr, deliver);
    deliver(crop, tag);
    return;
  }
  held_.assign(crop, crop + static_cast<size_t>(crop_) * crop_ * 3);
  heldTag_ = tag;
  hasHeld_ = true;
}

void UttTessera::drain(const Deliver& deliver) {
  if (!hasHeld_) return;
  tessera::FrameResult r;
  bool released = false;
  try {
    released = borrow_->flush(&r);
  } catch (const std::exception& e) {
    fail(e.what());
    deliverHeld(nullptr, deliver);
    return;
  }
  if (!released) {
    fail(kNoPending);
    hasHeld_ = false;
    return;
  }
  deliverHeld(&r, deliver);
}

int UttTessera::stats(uint64_t* emitted, uint64_t* failures, std::string* msg) {
  std::lock_guard<std::mutex> lk(mu_);
  if (emitted) *emitted = emitted_;
  if (failures) *failures = failures_;
  if (msg) *msg = msg_;
  return failed_ ? 255 : 1;
}

bool UttTessera::synthW(double* mean, double* last, uint64_t* count) {
  std::lock_guard<std::mutex> lk(mu_);
  if (synthCount_ == 0) return false;
  if (mean) *mean = synthSum_ / static_cast<double>(synthCount_);
  if (last) *last = synthLast_;
  if (count) *count = synthCount_;
  return true;
}

std::unique_ptr<tessera::StreamBorrow> buildSessionBorrow(const uint8_t* bank, int n_donors, const double* cent,
                                                          const double* c_canon, const double* aperture,
                                                          const int* stamp, const uint8_t* head_pt, int head_pt_len,
                                                          const char* head_json, const char* manifest_json, int crop,
                                                          const std::vector<float>& targetRows,
                                                          const std::string& lipTemplate) {
  using namespace tessera;
  if (!bank || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json || !manifest_json)
    throw std::runtime_error(
        "ka_utt_tessera_attach: a required member is null \xE2\x80\x94 this ABI has no partial-attach state");
  if (n_donors < 1) throw std::runtime_error("ka_utt_tessera_attach: n_donors <= 0");
  GeometryStamp st = GeometryStamp::fromInts(stamp);
  if (st.canvas_w != crop || st.canvas_h != crop)
    throw std::runtime_error("ka_utt_tessera_attach: bank canvas " + std::to_string(st.canvas_w) + "x" +
                             std::to_string(st.canvas_h) + " != this bundle's render crop " + std::to_string(crop));
  if (targetRows.empty())
    throw std::runtime_error(
        "ka_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame "
        "cannot be identified \xE2\x80\x94 refusing to arm the borrow against the manifest's compose-field "
        "geometry");
  try {
    if (n_donors > kMaxTesseraDonors || head_pt_len < 0)
      throw std::runtime_error("bank carries " + std::to_string(n_donors) + " donors, more than " +
                               std::to_string(kMaxTesseraDonors) + ", or the head length is negative");
    // The stamp sizes the bank: checked before a byte is copied.
    st.validate();
    BankData b;
    b.stamp = st;
    b.n = n_donors;
    const size_t sh = static_cast<size_t>(st.band_r1 - st.band_r0 + 2 * st.shift_margin);
    const size_t sw = static_cast<size_t>(st.band_c1 - st.band_c0 + 2 * st.shift_margin);
    b.patches.assign(bank, bank + static_cast<size_t>(n_donors) * sh * sw * 3);
    b.cent.assign(cent, cent + 2 * static_cast<size_t>(n_donors));
    b.aperture.assign(aperture, aperture + n_donors);
    b.c_canon = {c_canon[0], c_canon[1]};
    const HeadWeights hw = loadHeadPt(std::vector<uint8_t>(head_pt, head_pt + head_pt_len));
    const ServeConfig cfg = ServeConfig::fromHeadMemberJson(head_json);
    const int frames = static_cast<int>(targetRows.size() / kKp);
    const UnifiedPi pi =
        UnifiedPi::corpusFromManifestJson(manifest_json, crop, targetRows.data(), frames, b.c_canon.data());
    return std::make_unique<StreamBorrow>(b, hw, cfg, pi, lipTemplate);
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("ka_utt_tessera_attach: ") + e.what());
  }
}

namespace {
// The compressed bank track is read whole; a larger file is refused before it is read.
constexpr uint64_t kMaxBankTrackBytes = uint64_t{1} << 30;
}  // namespace

void attachBundleBorrow(UtteranceSession& s, const std::string& bundleDir) {
  driver::routeFfmpegLog();  // the bank is decoded through FFmpeg
  const TesseraAttachInputs m = loadTesseraMembers(bundleDir);
  const std::vector<char> track = readRegularFile(m.bank_track_path, kMaxBankTrackBytes);
  const std::vector<uint8_t> bank = tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), m.band_w, m.band_h, m.n_donors, m.track_order);
  auto borrow =
      buildSessionBorrow(bank.data(), m.n_donors, m.cent.data(), m.c_canon.data(), m.aperture.data(), m.stamp.data(),
                         m.head_pt.data(), static_cast<int>(m.head_pt.size()), m.head_json.c_str(),
                         m.manifest_json.c_str(), s.crop(), s.targetRows(), s.lipTemplate());
  s.attachTessera(std::make_shared<UttTessera>(std::move(borrow), s.crop(), s.pipelined()));
}

}  // namespace ka
