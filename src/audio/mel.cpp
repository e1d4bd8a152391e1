#include "audio/mel.h"

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include <kiss_fftr.h>

namespace ka {

struct MelFrontEnd::Impl {
  std::vector<float> window;
  // The matrix transposed (mel bin major) and, per mel bin, the FFT bins its weights cover:
  // [first, last). Mel filters are narrow, and a zero weight adds nothing to a sum, so skipping
  // them changes no result; each sum still runs over the FFT bins in ascending order.
  std::vector<float> weights;
  std::vector<int> first, last;
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
  impl_->weights.resize(kMelFftBins * kMelBins);
  impl_->first.assign(kMelBins, 0);
  impl_->last.assign(kMelBins, 0);
  for (int m = 0; m < kMelBins; ++m) {
    float* w = impl_->weights.data() + m * kMelFftBins;
    for (int b = 0; b < kMelFftBins; ++b) w[b] = binmat[b * kMelBins + m];
    int lo = 0, hi = kMelFftBins;
    while (lo < hi && w[lo] == 0.0f) ++lo;
    while (hi > lo && w[hi - 1] == 0.0f) --hi;
    impl_->first[m] = lo;
    impl_->last[m] = hi;
  }
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
    for (int m = 0; m < kMelBins; ++m) {
      const float* w = s.weights.data() + m * kMelFftBins;
      float acc = 0.0f;
      for (int b = s.first[m]; b < s.last[m]; ++b) acc += s.magnitude[b] * w[b];
      row[m] = std::log(acc + 1e-8f);
    }
  }
}

}  // namespace ka
