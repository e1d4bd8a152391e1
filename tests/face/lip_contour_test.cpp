// The lip contour: template refusals, the raster and feather against an independent numpy
// rasterisation, the delivered mask built from the pi.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "face/json.h"
#include "face/lip_contour.h"
#include "face/unified_pi.h"

namespace {

using ka::tessera::Box;
using ka::tessera::LipContour;
using ka::tessera::UnifiedPi;
using ka::test::errorOf;

const std::string kUCanon =
    R"([[-1.0, 0.05], [-0.55, -0.62], [0.1, -0.83], [0.71, -0.47], [1.0, 0.12], [0.48, 0.77], [-0.2, 0.9], [-0.77, 0.58]])";

std::string tmpl(const std::string& extra = "", int canvas = 64, const std::string& feather = "3.0") {
  return R"({"format": "lip-template-v1", "edge": "outward", "canvas": )" + std::to_string(canvas) +
         R"(, "feather_px": )" + feather + R"(, "u_canon": )" + kUCanon + extra + "}";
}

// A face whose mouth points 17..20 sit around (cx, cy) with half extents (ax, ay).
std::vector<float> face(float cx, float cy, float ax, float ay) {
  std::vector<float> kp(63, 0.0f);
  for (int r = 0; r < 21; ++r) kp[3 * r] = 0.3f * std::cos(r * 1.3f), kp[3 * r + 1] = 0.3f * std::sin(r * 0.9f);
  const float pts[4][2] = {{-ax, 0.013f}, {ax, -0.021f}, {0.017f, -ay}, {-0.009f, ay}};
  for (int r = 0; r < 4; ++r) kp[3 * (17 + r)] = cx + pts[r][0], kp[3 * (17 + r) + 1] = cy + pts[r][1];
  return kp;
}

TEST(TesseraLipContour, TemplateRefusals) {
  auto err = [](const std::string& text, int canvas = 64) {
    return errorOf([&] { LipContour::fromTemplateJson(text, canvas); });
  };
  const std::string p = "lip_template.v1.json: ";
  EXPECT_EQ(err("{\"format\": "),
            p + "is not parseable JSON (" + errorOf([] { ka::tessera::json::parseText("{\"format\": "); }) + ")");
  EXPECT_EQ(err("[1]"), p + "is not a JSON object");
  EXPECT_EQ(err("{}"), p + "carries no string `format`");
  EXPECT_EQ(err(R"({"format": "lip-template-v2"})"),
            p + "declares format 'lip-template-v2', not 'lip-template-v1' — this runtime cannot read it");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "edge": "inward"})"),
            p + "declares edge 'inward', and the contour feather is OUTWARD — refusing to serve a mask this runtime "
                "does not compute");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "edge": 3})"), p + "carries no numeric `canvas`");
  EXPECT_EQ(err(tmpl(), 128),
            p + "was baked on a 64 canvas but this bundle composes on 128 — refusing to deform a polygon onto a "
                "canvas it does not name");
  EXPECT_NO_THROW(LipContour::fromTemplateJson(tmpl("", 64), 64));
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 64.7})"), p + "carries no numeric `feather_px`");
  EXPECT_EQ(err(tmpl("", 64, "-0.5")), p + "declares feather_px -0.500000, which is not positive");
  EXPECT_EQ(err(tmpl("", 64, "0")), p + "declares feather_px 0.000000, which is not positive");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 64, "feather_px": 2, "u_canon": []})"),
            p + "carries no non-empty `u_canon` array");
  EXPECT_EQ(err(R"({"format": "lip-template-v1", "canvas": 64, "feather_px": 2, "u_canon": [[0, 1], [0, 1, 2]]})"),
            p + "u_canon row 1 is not a 2-vector — this is not an nv x 2 template");
  EXPECT_EQ(err(tmpl(R"(, "lip_idx": [])")), p + "carries a `lip_idx` that is not a non-empty array");
  EXPECT_EQ(err(tmpl(R"(, "lip_idx": [3, 21])")), p + "lip_idx names keypoint row 21, and a kd row is 0..20");
  EXPECT_EQ(LipContour::fromTemplateJson(tmpl(R"(, "lip_idx": [3, 4])"), 64).anchors(), (std::vector<int>{3, 4}));
  EXPECT_EQ(LipContour::fromTemplateJson(tmpl(), 64).anchors(), (std::vector<int>{17, 18, 19, 20}));

  // The map: one coefficient row per output coordinate, 2 x anchors wide.
  auto map = [](int anchors, const std::string& over = "") {
    std::string idx, W, b;
    for (int k = 0; k < anchors; ++k) idx += (k ? ", " : "") + std::to_string(12 + k);
    std::string row;
    for (int j = 0; j < 2 * anchors; ++j) row += (j ? ", " : "") + std::string("0.1");
    for (int i = 0; i < 16; ++i) W += (i ? ", [" : "[") + row + "]", b += (i ? ", " : "") + std::string("0.5");
    std::string m = R"({"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [)" + idx + R"(], "W": [)" + W +
                    R"(], "b": [)" + b + "]" + over + "}";
    return tmpl(R"(, "lip_map": )" + m);
  };
  EXPECT_TRUE(LipContour::fromTemplateJson(map(8), 64).hasMap());
  EXPECT_EQ(LipContour::fromTemplateJson(map(2), 64).anchors(), (std::vector<int>{12, 13}));
  EXPECT_EQ(err(map(9)), p + "lip_map lip_idx is not 1..8 kd rows");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": 3)")), p + "lip_map is not a JSON object");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": {})")),
            p + "lip_map declares schema '?', not 'lip-map-v1' — this runtime cannot evaluate it");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "affine"})")),
            p + "lip_map kind is not 'anchor-linear'");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [2.5]})")),
            p + "lip_map lip_idx names a row outside 0..20");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [21]})")),
            p + "lip_map lip_idx names a row outside 0..20");
  EXPECT_EQ(err(tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [1], "W": []})")),
            p + "lip_map carries no W/b arrays");
  EXPECT_EQ(
      err(tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [1], "W": [], "b": []})")),
      p + "lip_map W/b have 0/0 rows, not 2*nv=16");
  std::string bad = map(2);
  bad.replace(bad.find("[0.1, 0.1, 0.1, 0.1]"), 20, "[0.1, 0.1, 0.1]");
  EXPECT_EQ(err(bad), p + "lip_map W row 0 is not 4 wide");
  bad = map(2);
  bad.replace(bad.find("\"b\": [0.5"), 9, "\"b\": [1e999");
  EXPECT_EQ(err(bad), p + "lip_map carries a non-finite coefficient");
  EXPECT_EQ(err(map(2, R"(, "canvas": 32)")), p + "lip_map was fitted on another canvas than this bundle composes on");
  EXPECT_NO_THROW(LipContour::fromTemplateJson(map(2, R"(, "canvas": 64)"), 64));
  const double W[4] = {0, 0, 0, 0}, b[2] = {0, 0};
  const int a[1] = {1};
  LipContour c = LipContour::fromTemplateJson(tmpl(), 64);
  EXPECT_EQ(errorOf([&] { c.attachMap(W, b, 2, 2, a, 1); }), p + "lip_map shape does not match the template");
}

// An independent rasterisation: DDA lines (equal to any 8-connected Bresenham where no line has a
// half-way tie, which the script asserts), float crossings for the fill, a float32 chamfer.
const char* kReference = R"PY(
import json, math, sys
import numpy as np
f = np.float32
tmpl = json.load(open(sys.argv[1])); kps = np.fromfile(sys.argv[2], dtype=f).reshape(-1, 21, 3)
C = tmpl["canvas"]; fp = f(tmpl["feather_px"]); u = tmpl["u_canon"]; nv = len(u)
mp = tmpl.get("lip_map")
anchors = mp["lip_idx"] if mp else tmpl.get("lip_idx", [17, 18, 19, 20])
out = []
for kp in kps:
    px = [(float(kp[r, 0]) + 1.0) * C / 2.0 for r in anchors]
    py = [(float(kp[r, 1]) + 1.0) * C / 2.0 for r in anchors]
    fx = sum(px) / len(px); fy = sum(py) / len(py)
    if mp:
        a = []
        for x, y in zip(px, py): a += [x - fx, y - fy]
        poly = []
        for i in range(2 * nv):
            acc = 0.0
            for w, v in zip(mp["W"][i], a): acc += w * v
            poly.append(mp["b"][i] + acc + (fx if i % 2 == 0 else fy))
    else:
        sx = max(max(abs(x - fx) for x in px), 1e-6); sy = max(max(abs(y - fy) for y in py), 1e-6)
        poly = []
        for x, y in u: poly += [sx * x + fx, sy * y + fy]
    xs, ys = poly[0::2], poly[1::2]
    g = float(fp) + 2.0
    x0 = max(0, math.floor(min(xs) - g)); y0 = max(0, math.floor(min(ys) - g))
    x1 = min(C, math.ceil(max(xs) + g) + 1); y1 = min(C, math.ceil(max(ys) + g) + 1)
    W, H = x1 - x0, y1 - y0
    r = np.zeros((H, W), np.uint8)
    vx = [int(np.rint(x)) - x0 for x in xs]; vy = [int(np.rint(y)) - y0 for y in ys]
    def put(x, y):
        if 0 <= x < W and 0 <= y < H: r[y, x] = 255
    for k in range(nv):
        ax, ay, bx, by = vx[k], vy[k], vx[(k + 1) % nv], vy[(k + 1) % nv]
        n = max(abs(bx - ax), abs(by - ay))
        for t in range(n + 1):
            if abs(bx - ax) >= abs(by - ay):
                x = ax + (t if bx >= ax else -t); m = ay + (by - ay) * (x - ax) / (bx - ax) if bx != ax else ay
                assert abs((m % 1.0) - 0.5) > 1e-9, "tie"
                put(x, int(math.floor(m + 0.5)))
            else:
                y = ay + (t if by >= ay else -t); m = ax + (bx - ax) * (y - ay) / (by - ay)
                assert abs((m % 1.0) - 0.5) > 1e-9, "tie"
                put(int(math.floor(m + 0.5)), y)
    for row in range(H):
        cr = []
        for k in range(nv):
            ax, ay, bx, by = vx[k], vy[k], vx[(k + 1) % nv], vy[(k + 1) % nv]
            if ay == by: continue
            if ay > by: ax, ay, bx, by = bx, by, ax, ay
            if ay <= row < by:
                slope = int((bx - ax) * 65536 / (by - ay))
                cr.append((ax * 65536 + (row - ay) * slope) / 65536.0)
        cr.sort()
        for i in range(0, len(cr) - 1, 2):
            for x in range(max(0, math.ceil(cr[i])), min(W - 1, math.floor(cr[i + 1])) + 1): r[row, x] = 255
    d = np.where(r == 255, f(0), f(1e10)).astype(f)
    o, dg = f(0.955), f(1.3693)
    for y in range(H):
        for x in range(W):
            v = d[y, x]
            if x > 0: v = min(v, f(d[y, x - 1] + o))
            if y > 0:
                if x > 0: v = min(v, f(d[y - 1, x - 1] + dg))
                v = min(v, f(d[y - 1, x] + o))
                if x + 1 < W: v = min(v, f(d[y - 1, x + 1] + dg))
            d[y, x] = v
    for y in range(H - 1, -1, -1):
        for x in range(W - 1, -1, -1):
            v = d[y, x]
            if x + 1 < W: v = min(v, f(d[y, x + 1] + o))
            if y + 1 < H:
                if x + 1 < W: v = min(v, f(d[y + 1, x + 1] + dg))
                v = min(v, f(d[y + 1, x] + o))
                if x > 0: v = min(v, f(d[y + 1, x - 1] + dg))
            d[y, x] = v
    h = (f(1) - d / fp).astype(f)
    t = np.minimum(h, f(1))
    val = np.where(h > 0, t * t * (f(3) - f(2) * t), f(0)).astype(f)
    cv = np.zeros((C, C), f); cv[y0:y1, x0:x1] = val
    out.append(cv)
np.stack(out).tofile(sys.argv[3])
)PY";

TEST(TesseraLipContour, RasterAndFeatherMatchNumpy) {
  ka::test::TempDir tmp;
  ka::test::writeString(tmp / "ref.py", kReference);
  // Mouths of several sizes and places (one clipped by the canvas's left and bottom edges), chosen
  // so that no outline edge has a half-way tie.
  const std::vector<std::vector<float>> plain = {{-0.014f, 0.279f, 0.248f, 0.075f},
                                                 {-0.051f, 0.232f, 0.183f, 0.008f},
                                                 {0.107f, 0.373f, 0.317f, 0.153f},
                                                 {-0.954f, 0.885f, 0.165f, 0.144f}};
  const std::vector<std::vector<float>> viaMap = {{0.025f, 0.302f, 0.27f, 0.101f}, {0.088f, 0.363f, 0.29f, 0.226f}};
  std::string W;
  for (int i = 0; i < 16; ++i)
    W += std::string(i ? ", " : "") + "[" + std::to_string(0.1 * std::sin(i * 1.7)) + ", " +
         std::to_string(0.2 + 0.05 * i) + ", " + std::to_string(0.07 * std::cos(i)) + ", " + std::to_string(-0.3) + "]";
  const std::string b =
      "10.437, 0.291, 7.4202, 5.028615, 0.137, 6.991, -7.1462, 5.028615, -10.163, 0.291, -7.1462, -4.446615, 0.137, "
      "-6.409, 7.4202, -4.446615";
  const std::string mapped =
      tmpl(R"(, "lip_map": {"schema": "lip-map-v1", "kind": "anchor-linear", "lip_idx": [17, 18], "W": [)" + W +
           R"(], "b": [)" + b + "]}");
  struct Case {
    std::string text;
    const std::vector<std::vector<float>>* mouths;
  };
  for (const Case& cs : {Case{tmpl(), &plain}, Case{tmpl("", 64, "2.5"), &plain}, Case{mapped, &viaMap}}) {
    const std::string& text = cs.text;
    std::vector<float> frames;
    for (const auto& m : *cs.mouths) {
      const std::vector<float> k = face(m[0], m[1], m[2], m[3]);
      frames.insert(frames.end(), k.begin(), k.end());
    }
    const int nf = static_cast<int>(frames.size() / 63);
    ka::test::writeAs(tmp / "kp.f32", frames);
    ka::test::writeString(tmp / "t.json", text);
    ASSERT_EQ(ka::test::runCommand(std::string(KA_PYTHON) + " " + tmp / "ref.py" + " " + tmp / "t.json" + " " +
                                   tmp / "kp.f32" + " " + tmp / "want.f32"),
              0);
    const std::vector<float> want = ka::test::readAs<float>(tmp / "want.f32");
    ASSERT_EQ(want.size(), static_cast<size_t>(64 * 64 * nf));
    LipContour c = LipContour::fromTemplateJson(text, 64);
    std::vector<float> got(64 * 64);
    for (int f = 0; f < nf; ++f) {
      c.contourF32Canvas(&frames[63 * f], got.data());
      int diff = 0, inside = 0, soft = 0;
      for (size_t k = 0; k < got.size(); ++k) {
        diff += got[k] != want[64 * 64 * f + k];
        inside += got[k] == 1.0f;
        soft += got[k] > 0.0f && got[k] < 1.0f;
      }
      EXPECT_EQ(diff, 0) << "frame " << f << " " << text.substr(0, 80);
      EXPECT_GT(inside, 20);
      EXPECT_GT(soft, 20);
    }
  }
}

TEST(TesseraLipContour, FeatherReachAndDeliveredMask) {
  LipContour c = LipContour::fromTemplateJson(tmpl(), 64);
  const std::vector<float> kp = face(0.0f, 0.3f, 0.25f, 0.12f);
  std::vector<double> poly(16);
  c.polygon(kp.data(), poly.data());
  const Box b = c.box(poly.data());
  std::vector<uint8_t> raster(static_cast<size_t>(b.x1 - b.x0) * (b.y1 - b.y0));
  c.fillScanline(poly.data(), b, raster.data());
  std::vector<float> cv(64 * 64);
  c.contourF32Canvas(kp.data(), cv.data());
  // Inside the raster 1; three or more chamfer units (0.955 per step) outside it 0.
  const int w = b.x1 - b.x0;
  for (int y = 0; y < b.y1 - b.y0; ++y)
    for (int x = 0; x < w; ++x) {
      const float v = cv[static_cast<size_t>(b.y0 + y) * 64 + b.x0 + x];
      if (raster[static_cast<size_t>(y) * w + x]) {
        EXPECT_EQ(v, 1.0f);
      }
      bool near = false;
      for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx) {
          const int yy = y + dy, xx = x + dx;
          if (yy >= 0 && xx >= 0 && yy < b.y1 - b.y0 && xx < w && raster[static_cast<size_t>(yy) * w + xx] &&
              std::max(std::abs(dx), std::abs(dy)) <= 3)
            near = true;
        }
      if (!near) {
        EXPECT_EQ(v, 0.0f) << x << "," << y;
      }
    }

  // The delivered mask is the pi shift, then min(pi, contour) over the pi's support box.
  const std::string man =
      R"({"unified": {"pi": {"mode": "prop", "prop_gate_scale": 1.0, "lip_idx": [17, 18, 19, 20], "lip_geom_params": [0.1, 0.08, 0.0]}}})";
  const UnifiedPi pi = UnifiedPi::fromManifestJson(man, 64);
  const double canon[2] = {30.0, 41.0};
  std::vector<uint8_t> got(64 * 64), want(64 * 64);
  int dy = 0, dx = 0, wy = 0, wx = 0;
  ASSERT_TRUE(c.deliveredU8AndShift(kp.data(), pi, canon, got.data(), &dy, &dx));
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, want.data(), &wy, &wx));
  EXPECT_EQ(dy, wy);
  EXPECT_EQ(dx, wx);
  int kept = 0;
  for (size_t k = 0; k < want.size(); ++k) {
    const uint8_t e = static_cast<uint8_t>(std::nearbyint(std::min(want[k] / 255.0f, cv[k]) * 255.0f));
    ASSERT_EQ(got[k], e) << k;
    kept += got[k] > 0;
  }
  EXPECT_GT(kept, 50);
  // deliveredU8 computes min(contour, pi value) before rounding; it is never above the shrink.
  std::vector<uint8_t> del(64 * 64);
  c.deliveredU8(kp.data(), pi, del.data());
  for (size_t k = 0; k < del.size(); ++k) ASSERT_LE(std::abs(del[k] - got[k]), 1) << k;
  // A mouth far off the canvas: the box is empty, nothing is delivered.
  const std::vector<float> away = face(9.0f, 9.0f, 0.1f, 0.1f);
  c.deliveredU8(away.data(), pi, del.data());
  for (uint8_t v : del) ASSERT_EQ(v, 0);
  EXPECT_FALSE(c.deliveredU8AndShift(away.data(), pi, canon, got.data(), &dy, &dx));
  // Keypoints far off or not numbers at all: a bounded mask in [0, 1], no fault.
  for (float v : {1e30f, -1e30f, std::nanf("")}) {
    std::vector<float> wild = kp;
    wild[3 * 17] = v, wild[3 * 20 + 1] = -v;
    c.contourF32Canvas(wild.data(), cv.data());
    for (float x : cv) ASSERT_TRUE(x >= 0.0f && x <= 1.0f);
  }
  std::vector<uint8_t> ones(64 * 64, 200);
  EXPECT_FALSE(c.shrinkU8InPlace(away.data(), Box{0, 0, 10, 10}, ones.data()));
  EXPECT_EQ(ones[0], 0);
  EXPECT_EQ(ones[10], 200);
}

}  // namespace
