#include "audio/samples.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace ka {

void requireFiniteSamples(const float* samples, int64_t count) {
  for (int64_t i = 0; i < count; ++i) {
    const float v = samples[i];
    if (std::isfinite(v)) continue;
    const char* what = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
    throw std::runtime_error("sample " + std::to_string(i) + " is not finite (" + what + ")");
  }
}

}  // namespace ka
