// The geometry stamp's coherence rules, their boundaries, and its text.
#include <gtest/gtest.h>

#include <climits>

#include "common/test_util.h"
#include "face/geometry.h"

namespace {

using ka::tessera::GeometryStamp;
using ka::test::errorOf;

GeometryStamp good() {
  const int v[12] = {64, 64, 16, 32, 32, 16, 4, 2, 12, 4, 28, 2};
  return GeometryStamp::fromInts(v);
}

std::string why(const GeometryStamp& s) {
  return errorOf([&] { s.validate(); });
}

TEST(TesseraGeometryStamp, TextAndRoundTrip) {
  EXPECT_EQ(good().text(),
            "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=16, pad=4, "
            "band_r0=2, band_r1=12, band_c0=4, band_c1=28, shift_margin=2}");
  int v[12];
  good().toInts(v);
  EXPECT_EQ(GeometryStamp::fromInts(v).text(), good().text());
  EXPECT_EQ(why(good()), "(no error)");
}

TEST(TesseraGeometryStamp, EachRuleAtItsBoundary) {
  const std::string pre = "teeth: GeometryStamp incoherent: ";
  struct Case {
    void (*edit)(GeometryStamp&);
    const char* rule;  // nullptr: still coherent
  };
  const Case cases[] = {
      {[](GeometryStamp& s) { s.window_w = 0; },
       "window dims must be positive; band cols escape window; stored band cols escape patch"},
      {[](GeometryStamp& s) { s.window_x0 = 32; }, nullptr},  // 32 + 32 = canvas_w
      {[](GeometryStamp& s) { s.window_x0 = 33; }, "window x-range escapes canvas"},
      {[](GeometryStamp& s) { s.window_x0 = -1; }, "window x-range escapes canvas"},
      {[](GeometryStamp& s) { s.window_y0 = 48; }, nullptr},
      {[](GeometryStamp& s) { s.window_y0 = 49; }, "window y-range escapes canvas"},
      {[](GeometryStamp& s) { s.band_r0 = 12; }, "band rows escape window"},
      {[](GeometryStamp& s) { s.band_r0 = -1; }, "band rows escape window"},
      {[](GeometryStamp& s) { s.band_c1 = 33; }, "band cols escape window"},
      {[](GeometryStamp& s) { s.band_c0 = 28; }, "band cols escape window"},
      {[](GeometryStamp& s) { s.shift_margin = -1; }, "pad/shift_margin must be positive"},
      {[](GeometryStamp& s) {
         s.pad = 0;
         s.shift_margin = 0;
       },
       "pad/shift_margin must be positive"},
      // band_r1 = window_h and shift_margin = pad passes; one more row escapes the patch.
      {[](GeometryStamp& s) {
         s.band_r1 = 16;
         s.shift_margin = 4;
         s.band_r0 = 4;
         s.band_c0 = 4;
       },
       nullptr},
      {[](GeometryStamp& s) {
         s.band_r1 = 16;
         s.shift_margin = 5;
         s.pad = 4;
         s.band_r0 = 5;
         s.band_c0 = 5;
         s.band_c1 = 27;
       },
       "stored band rows escape patch"},
      {[](GeometryStamp& s) {
         s.band_c0 = 1;
         s.shift_margin = 6;
         s.band_r0 = 4;
       },
       "stored band cols escape patch"},
  };
  for (const Case& c : cases) {
    GeometryStamp s = good();
    c.edit(s);
    EXPECT_EQ(why(s), c.rule ? pre + c.rule + ";" : "(no error)") << s.text();
  }
}

TEST(TesseraGeometryStamp, AllBrokenRulesInOrderAndNoOverflow) {
  GeometryStamp s = good();
  s.window_w = 0;
  s.window_y0 = 60;
  s.band_r0 = 13;
  s.pad = 0;
  s.shift_margin = 5;
  EXPECT_EQ(why(s),
            "teeth: GeometryStamp incoherent: window dims must be positive; window y-range escapes canvas; "
            "band rows escape window; band cols escape window; pad/shift_margin must be positive; stored "
            "band rows escape patch; stored band cols escape patch;");
  // Values at the ends of the int range are compared, never overflowed.
  s = good();
  s.window_x0 = INT_MAX;
  s.shift_margin = INT_MAX;
  EXPECT_EQ(why(s),
            "teeth: GeometryStamp incoherent: window x-range escapes canvas; stored band rows escape "
            "patch; stored band cols escape patch;");
}

}  // namespace
