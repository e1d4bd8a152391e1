// The tessera members: the four teeth-borrow members of a bundle read and cross-checked into the
// record a borrow is attached from.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

struct Manifest;

// Largest donor count a bank may carry.
constexpr int kMaxTesseraDonors = 1024;

struct TesseraAttachInputs {
  int n_donors = 0;
  std::vector<int> track_order;  // entry i: donor slot of the bank track's i-th frame
  std::vector<double> cent;      // x, y per donor, sidecar order
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;  // one per donor
  std::array<int, 12> stamp{};   // geometry stamp, key order
  std::vector<uint8_t> head_pt;  // the head weights file's bytes
  std::string head_json;         // head configuration text
  std::string manifest_json;     // the whole bundle manifest text
  std::string bank_track_path;
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing;
  int band_w = 0;  // stored patch width
  int band_h = 0;  // stored patch height

  // band_h * n_donors * band_w * 3.
  int64_t bandBytes() const;
};

TesseraAttachInputs loadTesseraMembers(const std::string& bundlePath);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

namespace tessera {
// The checks between the sidecar (`sidecarText`, read from `sidecarPath`) and the manifest text
// already in `m` (read from `manifestPath`), filling the donor arrays, stamp, patch size and bank
// description of `m`. `dir` is the bundle directory, for messages.
void crossCheckMembers(TesseraAttachInputs& m, const std::string& dir, const std::string& sidecarPath,
                       const std::string& sidecarText, const std::string& manifestPath);
}  // namespace tessera

// Copies bank track frame i (band_w * band_h * 3 bytes) to donor slot track_order[i] of `out`.
void reorderTrackToDonor(const TesseraAttachInputs& m, const uint8_t* track, uint8_t* out);

}  // namespace ka
