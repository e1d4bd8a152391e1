// The identity of one bundle: the per-source-frame members the renderer consumes (mapped, not
// read), the paste transforms rescaled to the output canvas, and the warp prior. Also the idle
// loop's driving table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/manifest.h"

namespace ka {

class DriverCursor;

class Identity {
 public:
  // Checks the bundle's members and maps them; throws std::runtime_error naming what is wrong.
  explicit Identity(const Manifest& m);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  int32_t NT() const;
  int32_t crop() const;
  const Manifest& manifest() const;

  // Per source frame si in [0, NT).
  const uint16_t* pooled64(int si) const;  // 65,536 half values
  const uint16_t* P(int si);               // crop*crop*3 half values: the mapping, else the prior video
  const uint16_t* fsRed(int si) const;     // 262,144 half values; null when the member is absent
  const float* M(int si) const;            // m00 m01 m02 m10 m11 m12: crop pixels -> frame pixels

  bool hasP() const;                     // "P.f16" is mapped
  bool playsPriorVideo() const;          // no "P.f16" mapped and a prior video was found
  bool hasFsRed() const;                 // "fs_red.f16" is mapped
  const std::string& priorPath() const;  // the prior video when the prior plays from video, else empty

  // Pulls frame si from the prior video and drops it (keeps the prior in step); no-op otherwise.
  void walkP(int si);
  // The prior cursor, opened once on first use (safe under concurrent first calls).
  DriverCursor& prior();
  std::string priorBackend();
  uint64_t priorResidentBytes();
  uint64_t priorSeeks();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The refusals that keep a bundle without a usable warp prior from opening.
void ensureIdentityMembers(const Manifest& m);

// The idle loop's driving table.
struct Drive {
  std::vector<float> xs;    // frames x 63 source keypoints
  std::vector<float> xd;    // frames x 63 driving keypoints
  std::vector<int32_t> si;  // frames source indices, each in [0, NT)
  int32_t frames = 0;
};

Drive loadDrive(const Manifest& m);

// Converts IEEE half values to float32 exactly.
void halfToFloat(const uint16_t* src, float* dst, size_t count);

// Reads exactly `count` elements of a raw little-endian member ("size mismatch " + path otherwise).
std::vector<float> readRawF32(const std::string& path, size_t count);
std::vector<int32_t> readRawI32(const std::string& path, size_t count);

}  // namespace ka
