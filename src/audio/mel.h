// The log-mel front end of the audio-to-motion engine: one analysis window of speech in, a
// 21 x 80 log-mel spectrogram out.
#pragma once

#include <memory>

namespace ka {

constexpr int kMelWindowSamples = 6480;  // samples of one analysis window
constexpr int kMelPad = 256;             // reflected samples added at each end
constexpr int kMelFft = 512;             // real FFT length
constexpr int kMelHop = 320;             // samples between FFT frames
constexpr int kMelFftBins = kMelFft / 2 + 1;
constexpr int kMelFrames = 21;
constexpr int kMelBins = 80;

// Reflect-pads a window, takes kMelFrames FFT frames (each multiplied by the analysis window),
// maps their magnitudes through the bin matrix and returns ln(mel + 1e-8). Holds its own FFT plan
// and scratch: one thread at a time.
class MelFrontEnd {
 public:
  // window: kMelFft values; binmat: kMelFftBins x kMelBins, row-major. Both are copied.
  MelFrontEnd(const float* window, const float* binmat);
  ~MelFrontEnd();
  MelFrontEnd(const MelFrontEnd&) = delete;
  MelFrontEnd& operator=(const MelFrontEnd&) = delete;

  // samples: kMelWindowSamples values; out: kMelFrames x kMelBins values.
  void compute(const float* samples, float* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
