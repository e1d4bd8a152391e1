// The unified pi: reading the manifest's `unified` block, the byte mask against an independent
// numpy reference, the boxed and shrunk forms, centroids and the corpus identification.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "face/unified_pi.h"

namespace {

using ka::tessera::Box;
using ka::tessera::UnifiedPi;
using ka::test::errorOf;

std::string manifest(const std::string& pi, const std::string& extra = R"(, "crop": {"canvas": 64})") {
  return R"({"format": "ka-bundle-v0", "unified": {"pi": )" + pi + extra + "}}";
}
const std::string kPi =
    R"({"mode": "prop", "corner_recovery": false, "prop_gate_scale": 1.0, "lip_idx": [15, 16, 17, 18], "lip_geom_params": [0.10, 0.08, 0.074]})";

// The forge's face: 21 points, mouth corners 15/16 and lips 17/18; `open` moves the lower lip.
std::vector<float> face(float open, float dx = 0, float dy = 0) {
  std::vector<float> kp(63, 0.0f);
  for (int r = 0; r < 21; ++r) {
    kp[3 * r] = std::cos(r * 0.5f) * 0.7f + dx;
    kp[3 * r + 1] = std::sin(r * 0.5f) * 0.8f + dy;
  }
  const float mouth[4][2] = {{-0.25f, 0.45f}, {0.25f, 0.45f}, {0.01f, 0.38f}, {0.0f, 0.52f}};
  for (int r = 0; r < 4; ++r) {
    kp[3 * (15 + r)] = mouth[r][0] + dx;
    kp[3 * (15 + r) + 1] = mouth[r][1] + dy;
  }
  kp[3 * 18 + 1] += open;
  return kp;
}

TEST(TesseraUnifiedPi, ReadsTheUnifiedBlock) {
  UnifiedPi p = UnifiedPi::fromManifestJson(manifest(kPi), 64);
  EXPECT_EQ(p.mode, "prop");
  EXPECT_EQ(p.lip_idx, (std::vector<int>{15, 16, 17, 18}));
  EXPECT_FLOAT_EQ(p.down, 0.074f);
  ASSERT_EQ(p.gx.size(), 64u);
  EXPECT_EQ(p.gx[0], -1.0f);
  EXPECT_EQ(p.gx[63], 1.0f);
  EXPECT_EQ(p.gy[21], static_cast<float>(21 * 2.0 / 63 - 1.0));
  EXPECT_EQ(UnifiedPi::fromManifestJson(manifest(kPi, ""), 1).gx, std::vector<float>{-1.0f});
  auto cr = [](const std::string& v) {
    std::string pi = kPi;
    pi.replace(pi.find("false"), 5, v);
    return UnifiedPi::fromManifestJson(manifest(pi), 64).corner_recovery;
  };
  EXPECT_TRUE(cr("true"));
  EXPECT_TRUE(cr("\"lip_landmark_half\""));
}

TEST(TesseraUnifiedPi, RefusalTexts) {
  auto err = [](const std::string& text, int canvas = 64) {
    return errorOf([&] { UnifiedPi::fromManifestJson(text, canvas); });
  };
  auto edit = [](const std::string& from, const std::string& to) {
    std::string pi = kPi;
    pi.replace(pi.find(from), from.size(), to);
    return manifest(pi);
  };
  EXPECT_EQ(err(R"({"format": "ka-bundle-v0"})"),
            "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot "
            "state the pi geometry it was baked with; refusing to guess one");
  EXPECT_EQ(err(R"({"unified": {}})"), "teeth: member JSON lacks key 'pi'");
  EXPECT_EQ(err(edit(R"("mode": "prop", )", "")), "teeth: member JSON lacks key 'mode'");
  EXPECT_EQ(err(edit(R"("prop")", "3")), "teeth-pi: unified.pi.mode is not a string");
  EXPECT_EQ(err(edit(R"("prop")", R"("ellipse")")),
            "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name — fail loud, "
            "never adapt (the stamped-geometry rule)");
  EXPECT_EQ(err(edit("false", R"("lip_landmark")")),
            "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must "
            "never be guessed");
  EXPECT_EQ(err(edit(R"("prop_gate_scale": 1.0, )", "")), "teeth: member JSON lacks key 'prop_gate_scale'");
  EXPECT_EQ(err(edit("[15, 16, 17, 18]", "[]")), "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  EXPECT_EQ(err(edit("[15, 16, 17, 18]", "{}")), "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  EXPECT_EQ(err(edit("[15, 16, 17, 18]", "[15, 21]")),
            "teeth-pi: unified.pi.lip_idx names keypoint row 21, and a frame has rows 0..20");
  EXPECT_EQ(err(edit("[15, 16, 17, 18]", "[-1]")),
            "teeth-pi: unified.pi.lip_idx names keypoint row -1, and a frame has rows 0..20");
  EXPECT_EQ(err(edit("[0.10, 0.08, 0.074]", "[0.1, 0.08]")),
            "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  EXPECT_EQ(err(edit("[0.10, 0.08, 0.074]", "[0.1, 0.08, \"x\"]")),
            "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  EXPECT_EQ(err(manifest(kPi), 512), "teeth-pi: engine renders at canvas 512 but unified.crop.canvas is 64.000000");
  EXPECT_EQ(err(manifest(kPi, ""), 0), "teeth-pi: canvas 0 is not positive");
}

// An independent float32 reference of the byte pi, written with numpy.
const char* kReference = R"PY(
import sys
import numpy as np
f = np.float32
kp_path, out_path, canvas, corner, gate_scale, pad_x, pad_y, down = sys.argv[1:9]
C = int(canvas); corner = corner == "1"
gs, px, py, dn = f(gate_scale), f(pad_x), f(pad_y), f(down)
lips = [15, 16, 17, 18]
grid = (np.arange(C, dtype=np.float64) * 2.0 / (C - 1) - 1.0).astype(f)

def soft(cx, cy, rx, ry):
    s = f(np.sqrt(f(rx * ry)) * f(256))
    nx = (grid[None, :] - cx) / rx
    ny = (grid[:, None] - cy) / ry
    d = np.sqrt(nx * nx + ny * ny)
    t = (f(1) - d) * s / f(10)
    tc = np.minimum(t, f(1))
    v = tc * tc * (f(3) - f(2) * tc)
    return np.where(t < 0, f(0), v).astype(f)

frames = np.fromfile(kp_path, dtype=f).reshape(-1, 21, 3)
out = []
for kp in frames:
    xs = [kp[r, 0] for r in lips]; ys = [kp[r, 1] for r in lips]
    sx = f(0); sy = f(0)
    for x, y in zip(xs, ys):
        sx = f(sx + x); sy = f(sy + y)
    mx = f(sx / f(len(lips))); my = f(sy / f(len(lips)))
    ex = max(f(abs(f(x - mx))) for x in xs); ey = max(f(abs(f(y - my))) for y in ys)
    rx0 = max(f(0.1), f(ex + px)); ry0 = max(f(0.1), f(ey + py))
    cy = f(my + dn)
    v = f(1)
    if corner:
        w = max(f(np.sqrt(f(f(f(x - mx) / rx0) ** 2) + f(f(f(y - cy) / ry0) ** 2))) for x, y in zip(xs, ys))
        v = max(f(1), f(f(5) / f(np.sqrt(f(rx0 * ry0)) * f(256)) + w))
    lip = soft(mx, cy, f(rx0 * v), f(ry0 * v))
    grx = max(f(0.004), ex); gry = max(f(0.004), ey)
    if gs != f(1):
        grx = f(grx * gs); gry = f(gry * gs)
    t = f(f(ey - f(0.02)) / f(0.01))
    gate = f(0) if t < 0 else f(min(f(1), t) * min(f(1), t) * (f(3) - f(2) * min(f(1), t)))
    pi = np.maximum(lip, soft(mx, my, grx, gry) * gate)
    out.append(np.rint(np.clip(pi, f(0), f(1)) * f(255)).astype(np.uint8))
np.stack(out).tofile(out_path)
)PY";

TEST(TesseraUnifiedPi, ByteMaskMatchesNumpyReference) {
  ka::test::TempDir tmp;
  ka::test::writeString(tmp / "ref.py", kReference);
  std::vector<float> frames;
  for (float open : {0.0f, 0.012f, 0.025f, 0.06f, 0.2f}) {
    const std::vector<float> f = face(open, open * 0.3f, -open);
    frames.insert(frames.end(), f.begin(), f.end());
  }
  const int nf = static_cast<int>(frames.size() / 63);
  ka::test::writeAs(tmp / "kp.f32", frames);
  struct Cfg {
    int canvas;
    bool corner;
    float gate;
  };
  for (const Cfg c : {Cfg{64, false, 1.0f}, Cfg{64, true, 1.0f}, Cfg{33, true, 1.3f}, Cfg{96, false, 0.7f}}) {
    std::string pi = kPi;
    pi.replace(pi.find("false"), 5, c.corner ? "true" : "false");
    pi.replace(pi.find("1.0"), 3, std::to_string(c.gate));
    const UnifiedPi p = UnifiedPi::fromManifestJson(manifest(pi, ""), c.canvas);
    const std::string cmd = std::string(KA_PYTHON) + " " + tmp / "ref.py" + " " + tmp / "kp.f32" + " " +
                            tmp / "want.u8" + " " + std::to_string(c.canvas) + " " + (c.corner ? "1" : "0") + " " +
                            std::to_string(c.gate) + " 0.10 0.08 0.074";
    ASSERT_EQ(ka::test::runCommand(cmd), 0);
    const std::vector<uint8_t> want = ka::test::readBytes(tmp / "want.u8");
    const size_t plane = static_cast<size_t>(c.canvas) * c.canvas;
    ASSERT_EQ(want.size(), plane * nf);
    for (int f = 0; f < nf; ++f) {
      std::vector<uint8_t> got(plane), boxed(plane);
      p.piU8(&frames[63 * f], got.data());
      int diff = 0, nonzero = 0;
      for (size_t k = 0; k < plane; ++k) diff += got[k] != want[plane * f + k], nonzero += got[k] != 0;
      EXPECT_EQ(diff, 0) << "canvas " << c.canvas << " frame " << f;
      EXPECT_GT(nonzero, 0);
      // The boxed form computes the same bytes: pi is zero outside its support box.
      p.piU8Boxed(&frames[63 * f], boxed.data());
      EXPECT_EQ(boxed, got);
    }
  }
}

TEST(TesseraUnifiedPi, GateBoxesShrinkAndShift) {
  const UnifiedPi p = UnifiedPi::fromManifestJson(manifest(kPi), 64);
  const std::vector<float> closed = face(0.0f);  // ey = 0.07: lips apart by more than 0.03
  float gate = -1;
  p.gateParams(closed.data(), &gate);
  EXPECT_EQ(gate, 1.0f);
  std::vector<float> shut = closed;
  shut[3 * 17 + 1] = 0.45f, shut[3 * 18 + 1] = 0.45f;  // ey = 0: gate 0, pi is the lip ellipse alone
  p.gateParams(shut.data(), &gate);
  EXPECT_EQ(gate, 0.0f);
  std::vector<float> lip(64 * 64);
  std::vector<uint8_t> pi(64 * 64);
  p.lipMask(shut.data(), lip.data());
  p.piU8(shut.data(), pi.data());
  for (size_t k = 0; k < pi.size(); ++k) ASSERT_EQ(pi[k], static_cast<uint8_t>(std::nearbyint(lip[k] * 255.0f)));

  // ellBox on a small canvas and the whole canvas below 2.
  UnifiedPi::EllParams e{0.0f, 0.0f, 0.5f, 0.25f, 0.0f};
  Box b = p.ellBox(e);
  EXPECT_EQ(b.x0, static_cast<int>(std::floor(0.5 * 31.5)) - 1);
  EXPECT_EQ(b.x1, static_cast<int>(std::ceil(1.5 * 31.5)) + 2);
  EXPECT_EQ(b.y0, static_cast<int>(std::floor(0.75 * 31.5)) - 1);
  e = {-5.0f, 5.0f, 0.1f, 0.1f, 0.0f};
  b = p.ellBox(e);
  EXPECT_EQ(b.x0, 0);
  EXPECT_EQ(b.x1, 0);
  EXPECT_EQ(b.y0, 64);
  EXPECT_EQ(b.y1, 64);

  // Shrinking by a limit keeps min(limit, pi) inside the box only.
  std::vector<float> limit(64 * 64, 0.5f);
  std::vector<uint8_t> shrunk(64 * 64);
  p.piU8(closed.data(), pi.data());
  const Box half{0, 0, 32, 64};
  p.piU8ShrunkBy(closed.data(), limit.data(), half, shrunk.data());
  for (int j = 0; j < 64; ++j)
    for (int i = 0; i < 64; ++i) {
      const size_t k = static_cast<size_t>(j) * 64 + i;
      if (i >= 32)
        ASSERT_EQ(shrunk[k], 0);
      else
        ASSERT_EQ(shrunk[k], std::min<int>(pi[k], 128)) << i << "," << j;  // 0.5 * 255 = 127.5 -> 128
    }

  // The shift is the boxed centroid's offset from c_canon, rounded half to even.
  double cx = 0, cy = 0;
  ASSERT_TRUE(p.piU8Centroid(pi.data(), &cx, &cy));
  const double canon[2] = {cx - 2.5, cy + 3.0};
  int dy = 0, dx = 0;
  ASSERT_TRUE(p.piU8AndShift(closed.data(), canon, pi.data(), &dy, &dx));
  EXPECT_EQ(dx, static_cast<int>(std::nearbyint(2.5)));
  EXPECT_EQ(dy, -3);
  std::vector<uint8_t> empty(64 * 64, 127);
  EXPECT_FALSE(p.piU8Centroid(empty.data(), &cx, &cy));
}

TEST(TesseraUnifiedPi, CorpusIdentification) {
  const int canvas = 256;
  const std::string text = manifest(kPi, R"(, "crop": {"canvas": 256})");
  std::vector<float> kp;
  for (int f = 0; f < 3; ++f) {
    const std::vector<float> one = face(0.02f * f, 0.01f * f, 0.0f);
    kp.insert(kp.end(), one.begin(), one.end());
  }
  // The three rows' canonical centroids, as the search computes them.
  const float rows[3][3] = {{0.05f, 0.08f, 0.015f}, {0.10f, 0.08f, 0.074f}, {0.14f, 0.08f, 0.074f}};
  double cen[3][2];
  UnifiedPi base = UnifiedPi::fromManifestJson(text, canvas);
  for (int r = 0; r < 3; ++r) {
    UnifiedPi q = base;
    q.pad_x = rows[r][0], q.pad_y = rows[r][1], q.down = rows[r][2];
    q.canonicalCentroid(kp.data(), 3, &cen[r][0], &cen[r][1]);
  }
  std::string name;
  UnifiedPi v1 = UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), 3, cen[0], &name);
  EXPECT_EQ(name, "v1");
  EXPECT_EQ(v1.down, 0.015f);
  // v2 and v3 share their centre: identifying either is ambiguous.
  const std::string amb = errorOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), 3, cen[1]); });
  EXPECT_EQ(amb.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) — v2=0.00px v", 0), 0u)
      << amb;
  EXPECT_NE(amb.find("px — refusing to guess the bank frame"), std::string::npos);
  const double far[2] = {cen[0][0] + 40.0, cen[0][1]};
  const std::string none = errorOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), 3, far); });
  char head[160];
  std::snprintf(head, sizeof head,
                "teeth-pi: no corpus pi geometry matches this bank's c_canon (%.2f,%.2f) within 8.00px — v1=40.00px ",
                far[0], far[1]);
  EXPECT_EQ(none.rfind(head, 0), 0u) << none;
  EXPECT_NE(
      none.find("px — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody can name"),
      std::string::npos);
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, nullptr, 3, far); }),
            "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — "
            "refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  EXPECT_EQ(errorOf([&] { UnifiedPi::corpusFromManifestJson(text, canvas, kp.data(), 0, far); }).substr(0, 40),
            "teeth-pi: the corpus frame is identified");
  std::vector<float> away(63, 50.0f);  // every lip far off the canvas: pi is empty everywhere
  EXPECT_EQ(errorOf([&] { base.canonicalCentroid(away.data(), 1, &cen[0][0], &cen[0][1]); }),
            "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's "
            "frame is identified by");
}

}  // namespace
