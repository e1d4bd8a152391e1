// The stream borrow: the teeth pass wrapped for a live session. It takes each rendered canvas with
// its keypoints, builds the delivery mask (the lip contour when the bundle carries a template, the
// pi ellipse otherwise) and the mouth shift, pushes the frame through the pass one frame behind,
// and writes the composed mouth window back into the host's frame.
//
// One thread drives a StreamBorrow; its conversions and the pass fan out over the worker pool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tessera/teeth_pass.h"
#include "face/unified_pi.h"

namespace ka::tessera {

class LipContour;

class StreamBorrow {
 public:
  // Throws std::runtime_error ("teeth: ...", "teeth stream: ...", a template refusal).
  StreamBorrow(const BankData& bank, const HeadWeights& weights, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lipTemplate);
  ~StreamBorrow();
  StreamBorrow(const StreamBorrow&) = delete;
  StreamBorrow& operator=(const StreamBorrow&) = delete;

  // Each returns true when `out` was filled (one frame behind). planarRgb: three canvas planes of
  // floats (R, G, B, 0..1); rgba: canvas RGBA bytes; keypoints: 63 floats.
  bool push(const float* planarRgb, const float* keypoints, FrameResult* out);
  bool pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult* out);
  // Pushes the canvas already in the RGB buffer.
  bool pushSynth(const float* keypoints, FrameResult* out);
  bool flush(FrameResult* out);

  // Writes a result's window back into host planes (or RGBA bytes) of the stamp's canvas, keeping
  // the sub-byte detail of values the pass left unchanged. Nothing happens for a skipped result.
  static void writeWindowDelta(float* planes, int canvas, const FrameResult& r, const GeometryStamp& stamp);
  static void writeWindowDeltaRgba(uint8_t* rgba, int canvas, const FrameResult& r, const GeometryStamp& stamp);

  bool hostSplit() const { return false; }
  std::string backend() const { return "cpu"; }
  const GeometryStamp& stamp() const;
  int canvas() const;
  int64_t pushed() const;
  bool contourMask() const;  // the delivery mask is the lip contour

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka::tessera
