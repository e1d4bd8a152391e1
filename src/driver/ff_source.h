// Bundle video members decoded through FFmpeg: the H.264 driving video (RGB frames for the paste)
// and the HEVC 4:4:4 warp prior (planar half-precision frames for the renderer).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/source.h"

namespace ka {
namespace driver {

// Driving video: W x H x 3 bytes of RGB per frame, converted from yuv420p (or nv12 from the
// hardware decoder) with the integer BT.601 row kernel.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);

// Warp prior: three planes (R, G, B) of S x S binary16 values in [0, 1], converted from yuv444p.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int S);

}  // namespace driver

// An FFmpeg error code as FFmpeg's own text ("error N" when it has none).
std::string avErrorText(int err);

// "libavcodec <version built against> / <FFmpeg's configuration>".
std::string movieDecoderBuild();

// One float to binary16 bits, round to nearest even.
uint16_t f32ToF16(float v);

}  // namespace ka
