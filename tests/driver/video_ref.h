// Reference decodes for the driver tests: the ffmpeg CLI's raw output converted with the integer
// BT.601 formulas, written out here independently of the library's kernels.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/macros.h>
}

#include "common/test_util.h"

namespace ka::test {

inline const std::string kLavc = AV_STRINGIFY(LIBAVCODEC_VERSION);
inline const std::string kDash = "\xE2\x80\x94";

inline std::string thrown(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no exception)";
}

// FFmpeg's decode of `path` as raw planes of `pixFmt`, every frame, no timestamp-based drops.
inline std::vector<uint8_t> cliDecode(const std::string& path, const char* pixFmt, const std::string& out) {
  const std::string cmd = "ffmpeg -nostdin -v error -y -i " + shellQuote(path) +
                          " -vsync passthrough -f rawvideo -pix_fmt " + pixFmt + " " + shellQuote(out);
  if (runCommand(cmd) != 0) return {};
  return readBytes(out);
}

inline int clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// yuv420p frames -> RGB24 with C = 298 (Y - 16) + 128 and 8-bit shifts.
inline std::vector<std::vector<uint8_t>> rgbFromYuv420(const std::vector<uint8_t>& raw, int W, int H) {
  const int cw = (W + 1) / 2, ch = (H + 1) / 2;
  const size_t frame = size_t(W) * H + 2 * size_t(cw) * ch;
  std::vector<std::vector<uint8_t>> out;
  for (size_t off = 0; off + frame <= raw.size(); off += frame) {
    const uint8_t* Y = raw.data() + off;
    const uint8_t* U = Y + size_t(W) * H;
    const uint8_t* V = U + size_t(cw) * ch;
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int c = 298 * (Y[y * W + x] - 16) + 128;
        const int u = U[(y / 2) * cw + x / 2] - 128, v = V[(y / 2) * cw + x / 2] - 128;
        uint8_t* p = &rgb[(size_t(y) * W + x) * 3];
        p[0] = uint8_t(clamp255((c + 409 * v) >> 8));
        p[1] = uint8_t(clamp255((c - 100 * u - 208 * v) >> 8));
        p[2] = uint8_t(clamp255((c + 516 * u) >> 8));
      }
    out.push_back(std::move(rgb));
  }
  return out;
}

// The compiler's own float -> binary16 conversion (round to nearest even).
inline uint16_t halfBits(float v) {
  _Float16 h = static_cast<_Float16>(v);
  uint16_t b;
  std::memcpy(&b, &h, 2);
  return b;
}

// yuv444p frames -> three binary16 planes of (16.16 fixed-point BT.601 value) / 255.
inline std::vector<std::vector<uint16_t>> halfFromYuv444(const std::vector<uint8_t>& raw, int S) {
  const size_t plane = size_t(S) * S;
  std::vector<std::vector<uint16_t>> out;
  for (size_t off = 0; off + 3 * plane <= raw.size(); off += 3 * plane) {
    std::vector<uint16_t> f(3 * plane);
    for (size_t i = 0; i < plane; ++i) {
      const int c = 76312 * (raw[off + i] - 16);
      const int u = raw[off + plane + i] - 128, v = raw[off + 2 * plane + i] - 128;
      const int rgb[3] = {clamp255((c + 104600 * v + 32768) >> 16), clamp255((c - 25672 * u - 53280 * v + 32768) >> 16),
                          clamp255((c + 132200 * u + 32768) >> 16)};
      for (int p = 0; p < 3; ++p) f[p * plane + i] = halfBits(float(rgb[p]) / 255.0f);
    }
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace ka::test
