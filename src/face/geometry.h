// The geometry stamp: where the mouth window lies on the compose canvas, which band of it holds
// the teeth, and how far a donor may be shifted.
#pragma once

#include <string>
#include <vector>

namespace ka::tessera {

struct GeometryStamp {
  int canvas_w = 0, canvas_h = 0;
  int window_x0 = 0, window_y0 = 0, window_w = 0, window_h = 0;
  int pad = 0;
  int band_r0 = 0, band_r1 = 0;  // rows, half-open, relative to the window
  int band_c0 = 0, band_c1 = 0;  // columns, half-open, relative to the window
  int shift_margin = 0;

  // The 12 keys in field order.
  static const std::vector<std::string>& keys();
  static GeometryStamp fromInts(const int* v12);
  void toInts(int* v12) const;

  // "teeth: GeometryStamp incoherent: <rule>; ..." listing every broken rule, in rule order.
  void validate() const;
  // "{canvas_w=..., canvas_h=..., ...}".
  std::string text() const;
};

}  // namespace ka::tessera
