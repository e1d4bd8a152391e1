// The FCA engine: expression deltas for a whole clip at once. The legacy audio encoder runs over
// 8 s windows; layers 4..9 are pooled into one 768-value feature per frame; a causal quiet-frame
// baseline (the mean feature of the frames whose loudness is at or below the 0.2 quantile so far)
// is removed; an autoregressive model (fca_stream.onnx) then runs frame by frame over the features
// of frames t - 1 ... t + 5.
//
// An engine is used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace ka {

class FcaEngine {
 public:
  // Opens both models; throws the failure. threads < 1 leaves the count to ONNX Runtime; a count
  // above the pool's ceiling is lowered to it (pool::boundThreads says so on standard error).
  FcaEngine(const std::string& w2vPath, const std::string& fcaPath, int threads);
  ~FcaEngine();
  FcaEngine(const FcaEngine&) = delete;
  FcaEngine& operator=(const FcaEngine&) = delete;

  // (count + 639) / 640 rows of 63 floats into out; 0 for count <= 0; -1 when max is smaller
  // (nothing written). Throws on model failure.
  int deltas(const float* samples, int count, float* out, int max);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
