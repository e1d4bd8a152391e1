#include "face/geometry.h"

#include <cstdint>
#include <stdexcept>

namespace ka::tessera {

const std::vector<std::string>& GeometryStamp::keys() {
  static const std::vector<std::string> k = {"canvas_w", "canvas_h", "window_x0", "window_y0",
                                             "window_w", "window_h", "pad",       "band_r0",
                                             "band_r1",  "band_c0",  "band_c1",   "shift_margin"};
  return k;
}

GeometryStamp GeometryStamp::fromInts(const int* v) {
  GeometryStamp s;
  s.canvas_w = v[0], s.canvas_h = v[1], s.window_x0 = v[2], s.window_y0 = v[3];
  s.window_w = v[4], s.window_h = v[5], s.pad = v[6], s.band_r0 = v[7], s.band_r1 = v[8];
  s.band_c0 = v[9], s.band_c1 = v[10], s.shift_margin = v[11];
  return s;
}

void GeometryStamp::toInts(int* v) const {
  const int f[12] = {canvas_w, canvas_h, window_x0, window_y0, window_w, window_h,
                     pad,      band_r0,  band_r1,   band_c0,   band_c1,  shift_margin};
  for (int i = 0; i < 12; ++i) v[i] = f[i];
}

void GeometryStamp::validate() const {
  // Sums in 64 bits: stamp values come from files and may sit at the int range's ends.
  using I = int64_t;
  std::string bad;
  auto rule = [&](bool broken, const char* text) {
    if (broken) bad += std::string(" ") + text + ";";
  };
  rule(window_w < 1 || window_h < 1, "window dims must be positive");
  rule(window_x0 < 0 || I(window_x0) + window_w > canvas_w, "window x-range escapes canvas");
  rule(window_y0 < 0 || I(window_y0) + window_h > canvas_h, "window y-range escapes canvas");
  rule(band_r0 < 0 || band_r0 >= band_r1 || band_r1 > window_h, "band rows escape window");
  rule(band_c0 < 0 || band_c0 >= band_c1 || band_c1 > window_w, "band cols escape window");
  rule(shift_margin < 0 || pad < 1, "pad/shift_margin must be positive");
  rule(I(band_r0) - shift_margin < -I(pad) || I(band_r1) + shift_margin > I(window_h) + pad,
       "stored band rows escape patch");
  rule(I(band_c0) - shift_margin < -I(pad) || I(band_c1) + shift_margin > I(window_w) + pad,
       "stored band cols escape patch");
  if (!bad.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + bad);
}

std::string GeometryStamp::text() const {
  int v[12];
  toInts(v);
  std::string out = "{";
  for (int i = 0; i < 12; ++i) {
    if (i) out += ", ";
    out += keys()[i] + "=" + std::to_string(v[i]);
  }
  return out + "}";
}

}  // namespace ka::tessera
