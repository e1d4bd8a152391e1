#include "audio/mel.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <kiss_fftr.h>

namespace ka {

struct MelFrontEnd::Impl {
  std::vector<float> window, binmat;
  kiss_fftr_cfg plan = nullptr;
  std::vector<float> padded = std::vector<float>(kMelWindowSamples + 2 * kMelPad);
  std::vector<float> frame = std::vector<float>(kMelFft);
  std::vector<kiss_fft_cpx> spectrum = std::vector<kiss_fft_cpx>(kMelFftBins);
  std::vector<float> magnitude = std::vector<float>(kMelFftBins);

  ~Impl() {
    if (plan) kiss_fftr_free(plan);
  }
};

MelFrontEnd::MelFrontEnd(const float* window, const float* binmat) : impl_(new Impl) {
  impl_->window.assign(window, window + kMelFft);
  impl_->binmat.assign(binmat, binmat + kMelFftBins * kMelBins);
  impl_->plan = kiss_fftr_alloc(kMelFft, 0, nullptr, nullptr);
  if (!impl_->plan) throw std::bad_alloc();
}

MelFrontEnd::~MelFrontEnd() = default;

void MelFrontEnd::compute(const float* samples, float* out) {
  Impl& s = *impl_;
  // Reflection without repeating the edge sample: padded[p - 1 - i] = x[i + 1].
  float* p = s.padded.data();
  for (int i = 0; i < kMelPad; ++i) p[kMelPad - 1 - i] = samples[i + 1];
  std::memcpy(p + kMelPad, samples, sizeof(float) * kMelWindowSamples);
  for (int i = 0; i < kMelPad; ++i) p[kMelPad + kMelWindowSamples + i] = samples[kMelWindowSamples - 2 - i];

  for (int f = 0; f < kMelFrames; ++f) {
    const float* src = p + f * kMelHop;
    for (int i = 0; i < kMelFft; ++i) s.frame[i] = src[i] * s.window[i];
    kiss_fftr(s.plan, s.frame.data(), s.spectrum.data());
    for (int b = 0; b < kMelFftBins; ++b)
      s.magnitude[b] = std::sqrt(s.spectrum[b].r * s.spectrum[b].r + s.spectrum[b].i * s.spectrum[b].i);
    float* row = out + f * kMelBins;
    for (int m = 0; m < kMelBins; ++m) row[m] = 0.0f;
    for (int b = 0; b < kMelFftBins; ++b) {
      const float mag = s.magnitude[b];
      const float* w = s.binmat.data() + b * kMelBins;
      for (int m = 0; m < kMelBins; ++m) row[m] += mag * w[m];
    }
    for (int m = 0; m < kMelBins; ++m) row[m] = std::log(row[m] + 1e-8f);
  }
}

}  // namespace ka
