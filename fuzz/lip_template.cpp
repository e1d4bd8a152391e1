// Fuzzes the lip template reader and, for templates it accepts, the deformation, raster and
// feather on a fixed face and on one whose mouth keypoints are far off the canvas.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "face/lip_contour.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    ka::tessera::LipContour c = ka::tessera::LipContour::fromTemplateJson(text, 64);
    std::vector<float> kp(63, 0.0f), out(64 * 64);
    for (int r = 0; r < 21; ++r) kp[3 * r] = 0.02f * r - 0.2f, kp[3 * r + 1] = 0.3f - 0.01f * r;
    c.contourF32Canvas(kp.data(), out.data());
    for (float& v : kp) v *= 4000.0f;
    c.contourF32Canvas(kp.data(), out.data());
  } catch (const std::exception&) {
  }
  return 0;
}
