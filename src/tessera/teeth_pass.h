// The teeth pass: replaces the teeth band of each rendered mouth with teeth borrowed from a bank of
// real donor mouths. Per frame it retrieves the donors whose mouth window best matches the
// rendered one, lets the blend head weigh them per pixel and composes their mixture into the
// mouth through the frame's delivery mask. It runs one frame behind its input, so that each frame
// may also use the next frame's donors, and carries its best donors from frame to frame.
//
// All work happens in the geometry stamp's window, placed at (window_y0 + dy, window_x0 + dx) for
// a frame whose mouth is shifted by (dy, dx) from the bank's canonical centre: that one window gives
// the query, the teeth weights, the frame pixels and the mask, and receives the composition. Each
// donor takes part through its canonical window (its mouth at the canonical centre), in retrieval
// and in composition alike, so a mouth moved within the pad gives the window of the mouth centred.
// Half-precision rounding points are fixed, so results match a half-precision reference on every
// processor.
//
// A pass is driven by one thread; inside a call it fans out over the worker pool.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "face/geometry.h"
#include "tessera/head_weights.h"

namespace ka::tessera {

struct BankData {
  GeometryStamp stamp;
  int n = 0;
  std::vector<uint8_t> patches;  // n x stored_h x stored_w x 3, RGB, donor order
  std::vector<double> cent;      // x, y per donor
  std::vector<double> aperture;  // one per donor
  std::array<double, 2> c_canon{};
};

struct FrameResult {
  std::vector<uint8_t> window;  // window_h x window_w x 3, RGB
  bool skipped = false;
  std::string reason;  // why a skipped frame was skipped
  int frameIndex = -1;
  int dy = 0, dx = 0;  // the mouth shift the window was placed at
  int candidates = 0;  // donors blended (0 when skipped)
  // Over the band pixels: the mean and the largest share the leading candidate takes of the blend.
  double leadMean = 0.0, leadMax = 0.0;
};

class TeethPass {
 public:
  TeethPass(const BankData& bank, const HeadWeights& weights, const ServeConfig& config);
  ~TeethPass();
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // Pushes frame `frameIndex`: its canvas RGB (canvas_w x canvas_h x 3) and canvas mask bytes, and
  // the mouth shift (dy, dx) or null to derive it from the mask. Returns true when `out` was filled
  // with the previous frame's result.
  bool push(int frameIndex, const uint8_t* rgb, const uint8_t* mask, const int* shift, FrameResult* out);
  // Emits the last pending frame, if any.
  bool flush(FrameResult* out);

  const GeometryStamp& stamp() const;
  // Frames emitted unskipped.
  int64_t blendedFrames() const;

  // The 256 x 256 difference table of the exact score: D[i][j] = |binary16(v[j] - v[i])| with
  // v[k] = binary16(k / 255), as floats.
  static const float* dTable();

  // Exposed for the reference checks and the benchmark: the donor order of one frame's retrieval.
  std::vector<int> retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx);
  // The coarse scores of every donor and the exact scores of the shortlist for the last retrieve.
  const std::vector<float>& lastCoarse() const;
  const std::vector<float>& lastExact() const;
  // The exact score of every donor over the last retrieval's query, by the plain scalar loop over
  // the difference table (the vectorised path's reference).
  std::vector<float> exactScoresScalar() const;
  std::vector<float> exactScoresVector() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka::tessera
