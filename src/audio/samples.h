// Checks on audio samples handed to the engines.
#pragma once

#include <cstdint>

namespace ka {

// Throws "sample <i> is not finite (<nan|inf|-inf>)" for the first NaN or infinite value of
// samples[0, count): such a value would turn every row computed from its window into NaN.
void requireFiniteSamples(const float* samples, int64_t count);

}  // namespace ka
