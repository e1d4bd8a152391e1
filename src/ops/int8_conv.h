// Int8ConvVNNI's arithmetic: a 2-D convolution of a float input with int8 weights, the input
// quantised per run to unsigned 8 bits with one scale and zero point for the whole tensor.
//
// Per run:
//   lo = min(0, min x), hi = max(0, max x); scale = (hi - lo) / 255, or 1 when not positive;
//   zp = clamp(nearest(-lo / scale), 0, 255); q = clamp(nearest(x / scale) + zp, 0, 255)
//   (nearest: round half to even; a NaN input quantises as the most negative value).
//   For output pixel (n, oy, ox) and channel oc, over the taps (ky, kx) whose input position lies
//   inside the image and the input channels of oc's group:
//     acc = sum Wq q, wsum = sum Wq           (exact 32-bit integers)
//     Y = float(acc - zp wsum) * (scale * w_scale[oc]) + bias[oc]
//   Padding therefore contributes nothing, exactly as if it were quantised from the value 0.
//
// The integer sums are exact on every path: AVX-512 VNNI (on processors of Highway's AVX3_DL
// target), AVX-VNNI (256-bit, on AVX2 processors that have it), and elsewhere 16-bit products
// summed pairwise into 32 bits (never the 8-bit multiply-add that saturates in 16 bits), vectorised
// per Highway target; a scalar loop serves the remaining cases. All give the same integers and so
// the same floats.
#pragma once

#include <cstdint>
#include <memory>

namespace ka {

struct Int8ConvAttrs {
  int64_t strides[2] = {1, 1};    // H, W
  int64_t pads[4] = {0, 0, 0, 0}; // top, left, bottom, right
  int64_t dilations[2] = {1, 1};  // H, W
  int64_t group = 1;
};

enum class Int8Path {
  kAuto,        // the best path this processor runs
  kScalar,      // plain loops
  kExact,       // 16-bit products summed in pairs, on the Highway target in force
  kAvxVnni,     // 256-bit AVX-VNNI
  kAvx512Vnni,  // 512-bit AVX-512 VNNI
};

bool int8PathAvailable(Int8Path path);
const char* int8PathName(Int8Path path);

class Int8Conv {
 public:
  // Throws std::invalid_argument for attributes out of range (strides or dilations below 1,
  // negative pads, group below 1) or a path this processor cannot run.
  explicit Int8Conv(const Int8ConvAttrs& attrs, Int8Path path = Int8Path::kAuto);
  ~Int8Conv();
  Int8Conv(const Int8Conv&) = delete;
  Int8Conv& operator=(const Int8Conv&) = delete;

  // The output shape N x Cout x Hout x Wout for input x (N x Cin x H x W) and weights
  // (Cout x Cin/group x KH x KW); throws std::invalid_argument when they do not fit together.
  void outputShape(const int64_t xDims[4], const int64_t wDims[4], int64_t yDims[4]) const;

  // One convolution into y (the output shape's element count). The weights are packed on the
  // first run and reused: they must not change between runs of one instance.
  void run(const float* x, const int64_t xDims[4], const int8_t* wq, const int64_t wDims[4], const float* wScale,
           const float* bias, float* y);

  Int8Path path() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
