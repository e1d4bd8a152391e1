// The unified pi: the soft mouth mask the render graph composes with, reproduced from a frame's
// face keypoints with the parameters the bundle manifest states in its `unified` block.
//
// Keypoints are (x, y, z) float triples in [-1, 1]; only x and y are used. Masks are canvas x
// canvas, rows top to bottom. Byte masks round half to even.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/units.h"

namespace ka::tessera {

// A half-open pixel rectangle.
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
};

// Rows per frame of keypoints (21 points x 3).
constexpr int kKeypointFloats = kKeypointValues;

class UnifiedPi {
 public:
  struct EllParams {
    float cx = 0, cy = 0, rx = 0, ry = 0;
    float s = 0;  // sqrt(rx * ry) * 256: the edge is a band of width 10 / s in normalised radius
  };

  int canvas = 0;
  std::string mode;
  bool corner_recovery = false;
  float prop_gate_scale = 1.0f;
  std::vector<int> lip_idx;
  float pad_x = 0, pad_y = 0, down = 0;
  std::vector<float> gx, gy;  // pixel centres mapped to [-1, 1]

  static UnifiedPi fromManifestJson(const std::string& manifestText, int canvas);
  // The pi whose lip geometry is the corpus row that reproduces the bank's canonical centre from
  // the bundle's own target keypoints (`frames` rows of 63 floats).
  static UnifiedPi corpusFromManifestJson(const std::string& manifestText, int canvas, const float* keypoints,
                                          int frames, const double c_canon[2], std::string* chosen = nullptr);

  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float* gate) const;
  Box ellBox(const EllParams& e) const;
  Box supportBox(const float* kp) const;

  void ellMask(const float* kp, float padX, float padY, float minRx, float minRy, float scale, float downBy,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  void piU8ShrunkBy(const float* kp, const float* limit, const Box& box, uint8_t* out) const;

  bool piU8Centroid(const uint8_t* mask, double* x, double* y) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* x, double* y) const;
  bool piU8AndShift(const float* kp, const double c_canon[2], uint8_t* out, int* dy, int* dx) const;
  // Mean full-canvas centroid of pi over the frames whose pi is not empty.
  void canonicalCentroid(const float* keypoints, int frames, double* x, double* y) const;

 private:
  struct LipStats {
    float mx = 0, my = 0, ex = 0, ey = 0;
  };
  LipStats stats(const float* kp) const;
  float soft(const EllParams& e, int i, int j) const;
  float piValue(const EllParams& lip, const EllParams& gateEll, float gate, int i, int j) const;
  void fillGrids();
};

}  // namespace ka::tessera
