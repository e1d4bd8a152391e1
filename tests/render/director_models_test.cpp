// The forge's synthetic director models, run through ONNX Runtime directly: the input and output
// contract of both graph families, the values they promise (the prior reproduced when driving
// equals source, corners untouched, a mouth that follows the driving keypoints), batch
// independence, the declaration variants the renderer's contract checks refuse, and the rewrite
// patterns the forge reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "runtime/ort_env.h"

namespace {

constexpr int kCrop = 64;
constexpr int kPlane = kCrop * kCrop;
constexpr int kKp = 63;
constexpr int kPooled = 64 * 32 * 32;
constexpr int kFsRed = 64 * 64 * 64;
const float kBg[3] = {0.30f, 0.35f, 0.45f};  // the FeatSynth face's background colour

Ort::Env& env() {
  static Ort::Env e = ka::makeOrtEnv("ka");
  return e;
}

// Models forged once per test binary, keyed by their forge arguments.
class Models {
 public:
  static const std::string& get(const std::vector<std::string>& args) {
    static ka::test::TempDir dir;
    static std::map<std::string, std::string> made;
    std::string key;
    for (const auto& a : args) key += a + " ";
    auto it = made.find(key);
    if (it != made.end()) return it->second;
    std::string path = dir / ("m" + std::to_string(made.size()) + ".onnx");
    std::vector<std::string> cmd = {"director", path, "--crop", std::to_string(kCrop)};
    cmd.insert(cmd.end(), args.begin(), args.end());
    if (!ka::test::forge(cmd)) path.clear();
    return made.emplace(key, path).first->second;
  }
};

// Keypoints of the forge's face layout: outline 0-11, eyes, nose, mouth corners 15-16, upper lip
// 17, lower lip 18, brows.
std::vector<float> faceKeypoints() {
  std::vector<float> kp(kKp, 0.f);
  for (int i = 0; i < 12; ++i) {
    double t = 2.0 * M_PI * i / 12.0;
    kp[3 * i] = float(0.7 * std::cos(t));
    kp[3 * i + 1] = float(0.85 * std::sin(t));
  }
  const float rest[9][3] = {{-0.3f, -0.25f, 0.1f}, {0.3f, -0.25f, 0.1f},    {0.f, 0.05f, 0.25f},
                            {-0.25f, 0.45f, 0.1f}, {0.25f, 0.45f, 0.1f},    {0.f, 0.38f, 0.12f},
                            {0.f, 0.52f, 0.12f},   {-0.35f, -0.45f, 0.05f}, {0.35f, -0.45f, 0.05f}};
  for (int r = 0; r < 9; ++r)
    for (int c = 0; c < 3; ++c) kp[3 * (12 + r) + c] = rest[r][c];
  return kp;
}

std::vector<float> openMouth(std::vector<float> kp, float amount) {
  kp[3 * 18 + 1] += amount;
  return kp;
}

// Normalised coordinate of pixel index i, and the pixel index nearest to a coordinate.
float coord(int i) { return (2.f * i + 1.f) / kCrop - 1.f; }
int pixel(float v) { return std::clamp(int(std::floor((v + 1.f) * kCrop / 2.f)), 0, kCrop - 1); }

std::vector<float> randomValues(size_t n, unsigned seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

std::vector<float> normalValues(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> d(0.f, 1.f);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// A bright prior with a dark horizontal stripe across the lower lip (y in [0.49, 0.55]) and a
// gentle texture, so a vertical warp around the mouth is easy to see.
std::vector<float> stripedPrior() {
  std::vector<float> p(3 * kPlane);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kCrop; ++y)
      for (int x = 0; x < kCrop; ++x) {
        float v = 0.75f + 0.05f * std::sin(0.3f * x + c) * std::cos(0.2f * y);
        if (coord(y) >= 0.49f && coord(y) <= 0.55f) v = 0.1f;
        p[c * kPlane + y * kCrop + x] = v;
      }
  return p;
}

// One batch item's inputs: the feature input, the image input (P_rgb or fs_red) and keypoints.
struct Item {
  std::vector<float> pooled, image, kd, ks;
};

class Director {
 public:
  explicit Director(const std::string& path) {
    Ort::SessionOptions opts;
    opts.SetIntraOpNumThreads(1);
    session_ = std::make_unique<Ort::Session>(env(), path.c_str(), opts);
    Ort::AllocatorWithDefaultOptions alloc;
    for (size_t i = 0; i < session_->GetInputCount(); ++i) {
      names_.push_back(session_->GetInputNameAllocated(i, alloc).get());
      shapes_.push_back(session_->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
    }
    outName_ = session_->GetOutputNameAllocated(0, alloc).get();
    outShape_ = session_->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  }

  const std::vector<std::string>& names() const { return names_; }
  std::vector<int64_t> shape(const std::string& name) const {
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name) return shapes_[i];
    ADD_FAILURE() << "no input " << name;
    return {};
  }
  const std::vector<int64_t>& outShape() const { return outShape_; }
  bool featSynth() const { return std::find(names_.begin(), names_.end(), "fs_red") != names_.end(); }

  // Runs one batch of items (their count is the batch); returns B x 3 x C x C.
  std::vector<float> run(const std::vector<Item>& items) {
    const int64_t b = int64_t(items.size());
    std::vector<std::vector<float>> bufs(names_.size());
    std::vector<Ort::Value> values;
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    std::vector<const char*> inNames;
    for (size_t i = 0; i < names_.size(); ++i) {
      const std::string& n = names_[i];
      std::vector<int64_t> shape = shapes_[i];
      shape[0] = b;
      for (const Item& it : items) {
        const std::vector<float>* src = &it.kd;
        if (n == "pooled64" || n == "pooled")
          src = &it.pooled;
        else if (n == "P_rgb" || n == "fs_red")
          src = &it.image;
        else if (n == "kp_source" || n == "ks")
          src = &it.ks;
        bufs[i].insert(bufs[i].end(), src->begin(), src->end());
      }
      if (shape.size() == 3) shape[1] = 21;  // keypoints, free row count fed with 21
      values.push_back(
          Ort::Value::CreateTensor<float>(mem, bufs[i].data(), bufs[i].size(), shape.data(), shape.size()));
      inNames.push_back(n.c_str());
    }
    const char* outNames[] = {outName_.c_str()};
    auto out = session_->Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames, 1);
    auto shape = out[0].GetTensorTypeAndShapeInfo().GetShape();
    EXPECT_EQ(shape, (std::vector<int64_t>{b, 3, kCrop, kCrop}));
    const float* y = out[0].GetTensorData<float>();
    return std::vector<float>(y, y + b * 3 * kPlane);
  }

  std::vector<float> run(const Item& item) { return run(std::vector<Item>{item}); }

 private:
  std::unique_ptr<Ort::Session> session_;
  std::vector<std::string> names_;
  std::vector<std::vector<int64_t>> shapes_;
  std::string outName_;
  std::vector<int64_t> outShape_;
};

Item m4bItem(float open = 0.f, bool zeroPooled = false, unsigned seed = 1) {
  Item it;
  it.pooled = zeroPooled ? std::vector<float>(kPooled, 0.f) : normalValues(kPooled, seed);
  it.image = stripedPrior();
  it.ks = faceKeypoints();
  it.kd = openMouth(it.ks, open);
  return it;
}

Item featItem(float open = 0.f, bool zero = false, unsigned seed = 1) {
  Item it;
  it.pooled = zero ? std::vector<float>(kPooled, 0.f) : normalValues(kPooled, seed);
  it.image = zero ? std::vector<float>(kFsRed, 0.f) : normalValues(kFsRed, seed + 100);
  it.ks = faceKeypoints();
  it.kd = openMouth(it.ks, open);
  return it;
}

float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b, size_t off = 0, size_t n = 0) {
  if (n == 0) n = a.size() - off;
  float m = 0.f;
  for (size_t i = off; i < off + n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

// Mean over the three planes of a pixel box given in normalised coordinates (inclusive).
float boxMean(const std::vector<float>& img, float x0, float x1, float y0, float y1) {
  double s = 0;
  int n = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = pixel(y0); y <= pixel(y1); ++y)
      for (int x = pixel(x0); x <= pixel(x1); ++x, ++n) s += img[c * kPlane + y * kCrop + x];
  return float(s / n);
}

// Largest change inside the four 10 x 10 corner boxes.
float cornerChange(const std::vector<float>& a, const std::vector<float>& b) {
  float m = 0.f;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kCrop; ++y)
      for (int x = 0; x < kCrop; ++x) {
        bool corner = (y < 10 || y >= kCrop - 10) && (x < 10 || x >= kCrop - 10);
        size_t i = size_t(c) * kPlane + y * kCrop + x;
        if (corner) m = std::max(m, std::fabs(a[i] - b[i]));
      }
  return m;
}

void expectUnitRange(const std::vector<float>& v) {
  auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  EXPECT_GE(*lo, 0.f);
  EXPECT_LE(*hi, 1.f);
  for (float x : v) ASSERT_TRUE(std::isfinite(x));
}

std::map<std::string, std::string> patternReport(const std::string& model) {
  ka::test::TempDir tmp;
  std::map<std::string, std::string> out;
  if (!ka::test::forge({"director-patterns", model, tmp / "report.txt"})) return out;
  std::istringstream in(ka::test::readString(tmp / "report.txt"));
  std::string line;
  while (std::getline(in, line)) {
    auto sp = line.find(' ');
    out[line.substr(0, sp)] = sp == std::string::npos ? "" : line.substr(sp + 1);
  }
  return out;
}

// The m4b warp computed from its description: the backward Gaussian displacement grid around the
// driving keypoints (sigma 0.12), then cubic sampling assembled from bilinear samples of each
// channel's value and its edge-clamped second differences, weighted by the grid's fractional parts.
std::vector<float> referenceWarp(const std::vector<float>& p, const std::vector<float>& kd,
                                 const std::vector<float>& ks) {
  const double inv = 1.0 / (2.0 * 0.12 * 0.12);
  std::vector<float> gx(kPlane), gy(kPlane);
  for (int y = 0; y < kCrop; ++y)
    for (int x = 0; x < kCrop; ++x) {
      double dx = 0, dy = 0;
      for (int k = 0; k < 21; ++k) {
        double w =
            std::exp(-std::pow(coord(x) - kd[3 * k], 2) * inv) * std::exp(-std::pow(coord(y) - kd[3 * k + 1], 2) * inv);
        dx += w * (kd[3 * k] - ks[3 * k]);
        dy += w * (kd[3 * k + 1] - ks[3 * k + 1]);
      }
      gx[y * kCrop + x] = float(coord(x) - dx);
      gy[y * kCrop + x] = float(coord(y) - dy);
    }
  const int n = kCrop;
  std::vector<float> out(3 * kPlane);
  for (int c = 0; c < 3; ++c) {
    const float* src = p.data() + c * kPlane;
    auto v = [&](int y, int x) { return src[std::clamp(y, 0, n - 1) * n + std::clamp(x, 0, n - 1)]; };
    std::vector<float> planes[4];
    for (auto& pl : planes) pl.resize(kPlane);
    for (int r = 0; r < n; ++r)
      for (int q = 0; q < n; ++q) {
        float p2 = (v(r - 1, q) - 2 * v(r, q)) + v(r + 1, q);
        planes[0][r * n + q] = v(r, q);
        planes[1][r * n + q] = (v(r, q - 1) - 2 * v(r, q)) + v(r, q + 1);
        planes[2][r * n + q] = p2;
        planes[3][r * n + q] = (((v(r - 1, q - 1) - 2 * v(r, q - 1)) + v(r + 1, q - 1)) - 2 * p2) +
                               ((v(r - 1, q + 1) - 2 * v(r, q + 1)) + v(r + 1, q + 1));
      }
    for (int i = 0; i < kPlane; ++i) {
      float X = ((1 + gx[i]) * n - 1) * 0.5f, Y = ((1 + gy[i]) * n - 1) * 0.5f;
      float tx = X - std::floor(X), ty = Y - std::floor(Y);
      float nx = (1 - tx) * tx * 0.5f, ny = (1 - ty) * ty * 0.5f;
      float xc = X < 0 ? 0.f : std::min(X, float(n - 1)), yc = Y < 0 ? 0.f : std::min(Y, float(n - 1));
      int x0 = int(std::floor(xc)), y0 = int(std::floor(yc));
      int x1 = std::min(x0 + 1, n - 1), y1 = std::min(y0 + 1, n - 1);
      float fx = xc - x0, fy = yc - y0;
      float a[4];
      for (int k = 0; k < 4; ++k) {
        const auto& P = planes[k];
        a[k] = (1 - fx) * (1 - fy) * P[y0 * n + x0] + fx * (1 - fy) * P[y0 * n + x1] + (1 - fx) * fy * P[y1 * n + x0] +
               fx * fy * P[y1 * n + x1];
      }
      out[c * kPlane + i] = std::clamp((nx * ny) * a[3] + ((a[0] - nx * a[1]) - ny * a[2]), 0.f, 1.f);
    }
  }
  return out;
}

float halfToFloat(uint16_t h) {
  int e = (h >> 10) & 31, m = h & 1023;
  float v = e == 0 ? std::ldexp(float(m), -24) : e == 31 ? INFINITY : std::ldexp(float(m | 1024), e - 25);
  return (h & 0x8000) ? -v : v;
}

template <typename T>
std::vector<T> readArray(const std::string& path) {
  std::vector<uint8_t> b = ka::test::readBytes(path);
  EXPECT_EQ(b.size() % sizeof(T), 0u) << path;
  std::vector<T> v(b.size() / sizeof(T));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}

TEST(DirectorModels, BothFamiliesDeclareTheRendererContract) {
  using Shape = std::vector<int64_t>;
  for (int b : {1, 4}) {
    Director m4b(Models::get({"--batch", std::to_string(b)}));
    EXPECT_EQ(m4b.names(), (std::vector<std::string>{"pooled64", "P_rgb", "kp_driving", "kp_source"}));
    EXPECT_EQ(m4b.shape("pooled64"), (Shape{b, 64, 32, 32}));
    EXPECT_EQ(m4b.shape("P_rgb"), (Shape{b, 3, kCrop, kCrop}));
    EXPECT_EQ(m4b.shape("kp_driving"), (Shape{b, 21, 3}));
    EXPECT_EQ(m4b.shape("kp_source"), (Shape{b, 21, 3}));
    EXPECT_EQ(m4b.outShape(), (Shape{b, 3, kCrop, kCrop}));
    EXPECT_FALSE(m4b.featSynth());

    Director fs(Models::get({"--family", "featsynth", "--batch", std::to_string(b)}));
    EXPECT_EQ(fs.names(), (std::vector<std::string>{"fs_red", "pooled", "kd", "ks"}));
    EXPECT_EQ(fs.shape("fs_red"), (Shape{b, 64, 64, 64}));
    EXPECT_EQ(fs.shape("pooled"), (Shape{b, 64, 32, 32}));
    EXPECT_EQ(fs.shape("kd"), (Shape{b, 21, 3}));
    EXPECT_EQ(fs.outShape(), (Shape{b, 3, kCrop, kCrop}));
    EXPECT_TRUE(fs.featSynth());
  }
}

TEST(DirectorModels, M4bReproducesThePriorWhenDrivingEqualsSource) {
  Director d(Models::get({}));
  Item it = m4bItem(0.f, /*zeroPooled=*/true);
  it.image = randomValues(3 * kPlane, 5, -0.2f, 1.2f);  // values outside [0, 1] come back clipped
  std::vector<float> want(it.image);
  for (float& v : want) v = std::clamp(v, 0.f, 1.f);
  std::vector<float> got = d.run(it);
  EXPECT_LE(maxAbsDiff(got, want), 1e-4f);
  // Unit-variance pooled features add only a small term.
  it.pooled = normalValues(kPooled, 9);
  EXPECT_LE(maxAbsDiff(d.run(it), want), 0.05f);
}

TEST(DirectorModels, M4bMouthFollowsTheDrivingKeypoints) {
  Director d(Models::get({}));
  std::vector<float> closed = d.run(m4bItem(0.f));
  std::vector<float> open = d.run(m4bItem(0.12f));
  expectUnitRange(closed);
  expectUnitRange(open);
  // The lower lip's stripe (around y = 0.52) is carried down to the driving lip at y = 0.64.
  EXPECT_GT(boxMean(closed, -0.05f, 0.05f, 0.62f, 0.66f), 0.6f);
  EXPECT_LT(boxMean(open, -0.05f, 0.05f, 0.62f, 0.66f), 0.35f);
  // Between the lips a dark cavity opens.
  float closedGap = boxMean(closed, -0.06f, 0.06f, 0.44f, 0.47f);
  float openGap = boxMean(open, -0.06f, 0.06f, 0.50f, 0.53f);
  EXPECT_LT(openGap, 0.3f) << "closed " << closedGap;
  // Far from the mouth nothing moves.
  EXPECT_LE(cornerChange(closed, open), 1e-6f);
  EXPECT_LE(maxAbsDiff(closed, open, 0, size_t(pixel(-0.2f)) * kCrop), 1e-6f) << "upper face";
  // Opening and closing again gives the closed crop back.
  EXPECT_EQ(d.run(m4bItem(0.f)), closed);
}

TEST(DirectorModels, M4bWarpMatchesItsScalarDescription) {
  Director d(Models::get({}));
  Item it = m4bItem(0.f, /*zeroPooled=*/true);
  it.image = randomValues(3 * kPlane, 21, 0.f, 1.f);
  // Move the whole mouth (the lips' gap unchanged, so no cavity is painted) and one brow.
  for (int k : {15, 16, 17, 18}) {
    it.kd[3 * k] += 0.06f;
    it.kd[3 * k + 1] += 0.05f;
  }
  it.kd[3 * 19 + 1] -= 0.04f;
  std::vector<float> want = referenceWarp(it.image, it.kd, it.ks);
  std::vector<float> got = d.run(it);
  EXPECT_LE(maxAbsDiff(got, want), 2e-5f);
  EXPECT_GT(maxAbsDiff(got, it.image), 0.1f) << "the warp must move something";
}

TEST(DirectorModels, FeatSynthDrawsAFaceThatFollowsTheDrivingMouth) {
  Director d(Models::get({"--family", "featsynth"}));
  std::vector<float> clean = d.run(featItem(0.f, /*zero=*/true));
  for (int c = 0; c < 3; ++c) {
    for (int idx : {0, kCrop - 1, kPlane - kCrop, kPlane - 1}) EXPECT_NEAR(clean[c * kPlane + idx], kBg[c], 1e-5f);
  }
  // The cheek is skin-coloured, the eye darker than the cheek, the lips redder than they are green.
  auto at = [&](const std::vector<float>& img, int c, float x, float y) {
    return img[c * kPlane + pixel(y) * kCrop + pixel(x)];
  };
  EXPECT_NEAR(at(clean, 0, 0.45f, 0.1f), 0.87f, 0.05f);
  EXPECT_LT(at(clean, 0, -0.3f, -0.25f), at(clean, 0, -0.45f, 0.1f) - 0.2f);
  EXPECT_GT(at(clean, 0, 0.f, 0.52f) - at(clean, 1, 0.f, 0.52f), 0.3f);

  std::vector<float> closed = d.run(featItem(0.f));
  std::vector<float> open = d.run(featItem(0.12f));
  expectUnitRange(closed);
  expectUnitRange(open);
  EXPECT_LE(maxAbsDiff(closed, clean), 0.05f) << "the feature terms stay small";
  EXPECT_LT(boxMean(open, -0.06f, 0.06f, 0.50f, 0.53f), boxMean(closed, -0.06f, 0.06f, 0.50f, 0.53f) - 0.2f);
  EXPECT_LE(cornerChange(closed, open), 1e-6f);
}

TEST(DirectorModels, BatchItemsAreIndependent) {
  for (const char* family : {"m4b", "featsynth"}) {
    SCOPED_TRACE(family);
    Director one(Models::get({"--family", family}));
    Director four(Models::get({"--family", family, "--batch", "4"}));
    auto item = [&](int k) {
      return std::string(family) == "m4b" ? m4bItem(0.04f * k, false, 11 + k) : featItem(0.04f * k, false, 11 + k);
    };
    // Four identical items give four identical crops.
    std::vector<float> same = four.run(std::vector<Item>(4, item(2)));
    for (int j = 1; j < 4; ++j)
      EXPECT_EQ(std::vector<float>(same.begin() + j * 3 * kPlane, same.begin() + (j + 1) * 3 * kPlane),
                std::vector<float>(same.begin(), same.begin() + 3 * kPlane))
          << "slot " << j;
    // Four different items give what the batch-1 model gives for each.
    std::vector<Item> items = {item(0), item(1), item(2), item(3)};
    std::vector<float> mixed = four.run(items);
    for (int j = 0; j < 4; ++j) {
      std::vector<float> ref = one.run(items[j]);
      std::vector<float> slot(mixed.begin() + j * 3 * kPlane, mixed.begin() + (j + 1) * 3 * kPlane);
      EXPECT_LE(maxAbsDiff(slot, ref), 1e-5f) << "slot " << j;
    }
  }
}

TEST(DirectorModels, DeclarationVariantsLoadAndComputeTheSame) {
  Director base(Models::get({}));
  std::vector<float> want = base.run(m4bItem(0.08f));
  // Row counts the renderer refuses still make loadable graphs that declare them.
  for (int rows : {20, 22}) {
    Director d(Models::get({"--kp-rows", std::to_string(rows)}));
    EXPECT_EQ(d.shape("kp_driving")[1], rows);
    EXPECT_EQ(d.shape("kp_source")[1], rows);
  }
  // Free row counts (a named and an unnamed dimension) run with 21 rows.
  for (const char* rows : {"-1", "0"}) {
    Director d(Models::get({"--kp-rows", rows}));
    EXPECT_EQ(d.shape("kp_driving")[1], -1) << rows;
    EXPECT_LE(maxAbsDiff(d.run(m4bItem(0.08f)), want), 1e-6f) << rows;
  }
  {
    Director d(Models::get({"--family", "featsynth", "--kp-rows", "22"}));
    EXPECT_EQ(d.shape("kd")[1], 22);
  }
  // A free batch on the feature input only.
  Director fb(Models::get({"--free-batch"}));
  EXPECT_EQ(fb.shape("pooled64")[0], -1);
  EXPECT_EQ(fb.shape("P_rgb")[0], 1);
  EXPECT_LE(maxAbsDiff(fb.run(m4bItem(0.08f)), want), 1e-6f);
  // The blend written as the Gemm it normalises to, and later opsets (GridSample mode "linear").
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--blend-as-gemm"}, {"--opset", "18"}, {"--opset", "20"}}) {
    Director d(Models::get(args));
    EXPECT_LE(maxAbsDiff(d.run(m4bItem(0.08f)), want), 1e-6f) << args[0];
  }
}

TEST(DirectorModels, PatternReportMatchesTheVariant) {
  auto m4b = patternReport(Models::get({}));
  EXPECT_EQ(m4b["gridsample"], "1");
  EXPECT_EQ(m4b["blend"], "1");
  EXPECT_EQ(m4b["cone"], "1");
  EXPECT_EQ(m4b["cone_nodes"], "5");   // Pad, three second-difference Convs, the Concat
  EXPECT_EQ(m4b["warp_block"], "11");  // GridSample, four Slices, six Mul/Sub/Add
  EXPECT_EQ(m4b["head_cubic"], "1");
  EXPECT_EQ(m4b["compose_alpha"], "/compose/alpha_output_0");

  auto fs = patternReport(Models::get({"--family", "featsynth", "--batch", "4"}));
  EXPECT_EQ(fs["gridsample"], "1");
  EXPECT_EQ(fs["blend"], "1");
  EXPECT_EQ(fs["cone"], "0");
  EXPECT_EQ(fs["head_cubic"], "1");
  EXPECT_EQ(fs["compose_alpha"], "/compose/alpha_output_0");

  for (const char* family : {"m4b", "featsynth"}) {
    auto none = patternReport(Models::get({"--family", family, "--no-patterns"}));
    for (const char* key : {"gridsample", "blend", "cone", "warp_block", "head_cubic"})
      EXPECT_EQ(none[key], "0") << family << " " << key;
    EXPECT_EQ(none["compose_alpha"], "") << family;
  }
}

TEST(DirectorModels, PlainVariantRendersNearlyTheSameFace) {
  for (const char* family : {"m4b", "featsynth"}) {
    SCOPED_TRACE(family);
    Director full(Models::get({"--family", family}));
    Director plain(Models::get({"--family", family, "--no-patterns"}));
    Item it = std::string(family) == "m4b" ? m4bItem(0.1f) : featItem(0.1f);
    std::vector<float> a = full.run(it), b = plain.run(it);
    expectUnitRange(b);
    double mean = 0;
    for (size_t i = 0; i < a.size(); ++i) mean += std::fabs(a[i] - b[i]);
    EXPECT_LT(mean / a.size(), 0.01);
  }
}

TEST(DirectorModels, WritesIntoABundleUnderItsMemberName) {
  ka::test::TempDir tmp;
  ka::test::writeString(tmp / "manifest.json", "{\"format\": \"ka-bundle-v0\", \"crop\": 48}");
  ASSERT_TRUE(ka::test::forge({"director-into", tmp.path(), "--batch", "4", "--variant", "fp16"}));
  ASSERT_TRUE(ka::test::forge({"director-into", tmp.path(), "--family", "featsynth", "--names", "canonical"}));
  ASSERT_TRUE(ka::test::exists(tmp / "model_b4_fp16.onnx"));
  ASSERT_TRUE(ka::test::exists(tmp / "render_model.batch1.onnx"));
  EXPECT_FALSE(ka::test::exists(tmp / "model_b1.onnx"));
  Director b4(tmp / "model_b4_fp16.onnx");
  EXPECT_EQ(b4.shape("P_rgb"), (std::vector<int64_t>{4, 3, 48, 48}));
  Director fs(tmp / "render_model.batch1.onnx");
  EXPECT_TRUE(fs.featSynth());
  EXPECT_EQ(fs.outShape(), (std::vector<int64_t>{1, 3, 48, 48}));
}

TEST(DirectorModels, DemoBundleIsConsistent) {
  ka::test::TempDir tmp;
  const int nt = 2, frames = 12;
  ASSERT_TRUE(ka::test::forge({"demo", tmp.path(), "--crop", std::to_string(kCrop), "--nt", std::to_string(nt),
                               "--frames", std::to_string(frames)}));
  std::string b = tmp / "bundle";
  std::vector<uint8_t> imx = ka::test::readBytes(tmp / "avatar.imx");
  ASSERT_GE(imx.size(), 8u);
  EXPECT_EQ(std::memcmp(imx.data(), "IMX\0\2\0", 6), 0);
  EXPECT_NE(ka::test::readString(b + "/manifest.json").find("\"crop\": 64"), std::string::npos);
  EXPECT_TRUE(ka::test::exists(b + "/target_frames_mp4"));
  EXPECT_EQ(ka::test::readBytes(b + "/mask_512.u8").size(), size_t(kPlane));
  EXPECT_EQ(readArray<float>(b + "/M.f32").size(), size_t(nt * 6));
  EXPECT_EQ(readArray<uint16_t>(b + "/pooled64.f16").size(), size_t(nt * kPooled));

  // The idle loop walks the source frames and only the lower lip and the mouth corners move,
  // the lip by up to the full opening.
  auto target = readArray<float>(b + "/xs_target.bin");
  auto xs = readArray<float>(b + "/drive/xs.f32"), xd = readArray<float>(b + "/drive/xd.f32");
  auto si = readArray<int32_t>(b + "/drive/si.i32");
  ASSERT_EQ(target.size(), size_t(nt * kKp));
  ASSERT_EQ(si.size(), size_t(frames));
  ASSERT_EQ(xs.size(), size_t(frames * kKp));
  ASSERT_EQ(xd.size(), size_t(frames * kKp));
  float widest = 0.f;
  for (int r = 0; r < frames; ++r) {
    ASSERT_TRUE(si[r] >= 0 && si[r] < nt);
    for (int j = 0; j < kKp; ++j) {
      EXPECT_EQ(xs[r * kKp + j], target[si[r] * kKp + j]);
      bool moves = j == 3 * 15 || j == 3 * 16 || j == 3 * 18 + 1;
      if (!moves) {
        EXPECT_EQ(xd[r * kKp + j], xs[r * kKp + j]) << r << " " << j;
      }
    }
    widest = std::max(widest, xd[r * kKp + 55] - xs[r * kKp + 55]);
  }
  EXPECT_GT(widest, 0.1f);

  // The bundle's models render the prior back when nothing is driven, and open the mouth when driven.
  auto halves = readArray<uint16_t>(b + "/P.f16");
  ASSERT_EQ(halves.size(), size_t(nt * 3 * kPlane));
  Item it;
  it.pooled.assign(kPooled, 0.f);
  for (int i = 0; i < 3 * kPlane; ++i) it.image.push_back(halfToFloat(halves[i]));
  it.ks.assign(target.begin(), target.begin() + kKp);
  it.kd = it.ks;
  Director d1(b + "/model_b1.onnx"), d4(b + "/model_b4.onnx");
  EXPECT_LE(maxAbsDiff(d1.run(it), it.image), 1e-4f);
  // The prior is a face: skin between the eyes and the mouth, darker hair above the forehead.
  EXPECT_GT(boxMean(it.image, -0.3f, 0.3f, 0.0f, 0.2f), 0.5f);
  EXPECT_LT(boxMean(it.image, -0.2f, 0.2f, -0.8f, -0.7f), 0.3f);
  it.kd = openMouth(it.ks, 0.12f);
  std::vector<float> open = d4.run(std::vector<Item>(4, it));
  EXPECT_LT(boxMean(open, -0.06f, 0.06f, 0.50f, 0.53f), boxMean(it.image, -0.06f, 0.06f, 0.50f, 0.53f) - 0.2f);
}

}  // namespace
