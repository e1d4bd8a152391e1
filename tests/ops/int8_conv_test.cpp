// Int8ConvVNNI against a numpy transcription of its arithmetic (integer sums in int64), bit for
// bit, on every path this processor offers (each Highway target for the exact 16-bit path, the
// scalar loops, AVX-VNNI and AVX-512 VNNI), and its integer sums against ONNX Runtime's ConvInteger.
#include "ops/int8_conv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "ops/domain.h"
#include "ops/simd_reference.h"
#include "runtime/ort_env.h"

namespace {

struct Geometry {
  std::string shape, strides, pads, dilations;
  int group;
  std::vector<std::string> args() const {
    return {"--shape", shape,         "--strides", strides,   "--pads",
            pads,      "--dilations", dilations,   "--group", std::to_string(group)};
  }
};

struct Fixture {
  Geometry geo;
  ka::Int8ConvAttrs attrs;
  int64_t xd[4], wd[4];
  std::vector<float> x, scale, bias, want;
  std::vector<int8_t> w;
  std::vector<uint8_t> q;
  int32_t zp = 0;
};

std::vector<int64_t> ints(const std::string& s) {
  std::vector<int64_t> v;
  size_t at = 0;
  while (at <= s.size()) {
    const size_t comma = s.find(',', at);
    v.push_back(std::stoll(s.substr(at, comma - at)));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return v;
}

// input: 0 random in [-2, 3], 1 all zero, 2 all positive.
Fixture make(const ka::test::TempDir& dir, const Geometry& geo, int input, unsigned seed) {
  Fixture f;
  f.geo = geo;
  const auto s = ints(geo.shape), st = ints(geo.strides), pd = ints(geo.pads), dl = ints(geo.dilations);
  f.attrs.strides[0] = st[0], f.attrs.strides[1] = st[1];
  for (int i = 0; i < 4; ++i) f.attrs.pads[i] = pd[size_t(i)];
  f.attrs.dilations[0] = dl[0], f.attrs.dilations[1] = dl[1];
  f.attrs.group = geo.group;
  const int64_t xd[4] = {s[0], s[1], s[2], s[3]}, wd[4] = {s[4], s[1] / geo.group, s[5], s[6]};
  std::copy(xd, xd + 4, f.xd);
  std::copy(wd, wd + 4, f.wd);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-2.f, 3.f);
  std::uniform_int_distribution<int> wi(-128, 127);
  f.x.resize(size_t(xd[0] * xd[1] * xd[2] * xd[3]));
  for (float& v : f.x) v = input == 1 ? 0.f : (input == 2 ? std::abs(u(rng)) + 0.25f : u(rng));
  f.w.resize(size_t(wd[0] * wd[1] * wd[2] * wd[3]));
  for (int8_t& v : f.w) v = int8_t(wi(rng));
  f.scale.resize(size_t(wd[0]));
  f.bias.resize(size_t(wd[0]));
  for (float& v : f.scale) v = std::abs(u(rng)) * 0.01f + 1e-4f;
  for (float& v : f.bias) v = u(rng);
  ka::test::writeAs(dir / "x.f32", f.x);
  ka::test::writeAs(dir / "w.i8", f.w);
  ka::test::writeAs(dir / "scale.f32", f.scale);
  ka::test::writeAs(dir / "bias.f32", f.bias);
  auto args = geo.args();
  args.insert(args.begin(), {"int8-ref", dir.path()});
  EXPECT_TRUE(ka::test::forge(args));
  f.want = ka::test::readAs<float>(dir / "y.f32");
  f.q = ka::test::readBytes(dir / "q.u8");
  f.zp = ka::test::readAs<int32_t>(dir / "zp.i32").at(0);
  return f;
}

void expectBits(const std::vector<float>& got, const std::vector<float>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  size_t bad = 0, first = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (std::memcmp(&got[i], &want[i], 4) != 0 && bad++ == 0) first = i;
  EXPECT_EQ(bad, 0u) << what << ": first at " << first << " got " << got[first] << " want " << want[first];
}

const std::vector<Geometry>& geometries() {
  static const std::vector<Geometry> g = {
      {"1,3,7,9,5,3,3", "1,1", "1,0,2,1", "1,1", 1},     // odd channels, asymmetric pads
      {"2,6,10,11,4,3,2", "2,1", "0,2,1,0", "1,2", 2},   // groups, row stride, column dilation
      {"1,8,12,20,6,1,1", "1,2", "0,0,0,0", "1,1", 1},   // column stride (scalar rows)
      {"1,64,9,37,16,3,3", "1,1", "1,1,1,1", "1,1", 1},  // wide, a vector tail, 16 outputs
      {"1,5,6,6,5,3,3", "1,1", "2,2,2,2", "2,2", 5},     // depthwise, dilated, wide pads
  };
  return g;
}

TEST(Int8Conv, EveryPathMatchesTheIntegerReference) {
  ka::test::TempDir dir;
  for (const Geometry& geo : geometries()) {
    for (int input : {0, 1, 2}) {
      const Fixture f = make(dir, geo, input, unsigned(input * 31 + geo.group));
      const std::string what = geo.shape + " input " + std::to_string(input);
      if (input != 0) {
        EXPECT_EQ(f.zp, 0) << "an all-zero or all-positive range starts at 0";
      }
      auto check = [&](ka::Int8Path path, const std::string& label) {
        ka::Int8Conv conv(f.attrs, path);
        int64_t yd[4];
        conv.outputShape(f.xd, f.wd, yd);
        std::vector<float> y(size_t(yd[0] * yd[1] * yd[2] * yd[3]), -1.f);
        for (int run = 0; run < 2; ++run) {  // the second run reuses the packed weights
          conv.run(f.x.data(), f.xd, f.w.data(), f.wd, f.scale.data(), f.bias.data(), y.data());
          expectBits(y, f.want, what + " " + label + " run " + std::to_string(run));
        }
      };
      check(ka::Int8Path::kScalar, "scalar");
      for (ka::Int8Path p : {ka::Int8Path::kAvxVnni, ka::Int8Path::kAvx512Vnni, ka::Int8Path::kAuto})
        if (ka::int8PathAvailable(p)) check(p, ka::int8PathName(p));
      for (int64_t t : ka::simdref::runnableTargets()) {
        ka::simdref::TargetPin pin(t);
        check(ka::Int8Path::kExact, "exact16 on " + ka::simdref::targetName(t));
      }
    }
  }
}

// The integer sums by ONNX Runtime's ConvInteger over the same quantised input (padding at the zero
// point), dequantised by the operator's formula, against the operator run in ONNX Runtime.
TEST(Int8Conv, OperatorMatchesConvInteger) {
  ka::test::TempDir dir;
  Ort::Env env = ka::makeOrtEnv("ka");
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  for (const Geometry& geo : geometries()) {
    const Fixture f = make(dir, geo, 0, 7);
    auto args = geo.args();
    const auto ci = ka::test::forgeModel(dir, "convinteger-model", "ci.onnx", args);
    const auto op = ka::test::forgeModel(dir, "int8-model", "op.onnx", args);
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(2);
    ka::registerInt8ConvVNNI(so);
    Ort::Session ciSession(env, ci.data(), ci.size(), so), opSession(env, op.data(), op.size(), so);

    std::vector<uint8_t> q = f.q;
    std::vector<int8_t> w = f.w;
    uint8_t zp = uint8_t(f.zp);
    std::vector<int64_t> xs(f.xd, f.xd + 4), ws(f.wd, f.wd + 4), none, cs{f.wd[0]};
    std::vector<Ort::Value> in;
    in.push_back(Ort::Value::CreateTensor<uint8_t>(mem, q.data(), q.size(), xs.data(), 4));
    in.push_back(Ort::Value::CreateTensor<int8_t>(mem, w.data(), w.size(), ws.data(), 4));
    in.push_back(Ort::Value::CreateTensor<uint8_t>(mem, &zp, 1, none.data(), 0));
    const char* ciNames[] = {"xq", "w", "xzp"};
    const char* yName[] = {"y"};
    auto ciOut = ciSession.Run(Ort::RunOptions{nullptr}, ciNames, in.data(), 3, yName, 1);
    const auto yShape = ciOut[0].GetTensorTypeAndShapeInfo().GetShape();
    const int32_t* sums = ciOut[0].GetTensorData<int32_t>();
    const float xscale = ka::test::readAs<float>(dir / "xscale.f32").at(0);
    std::vector<float> deq(ciOut[0].GetTensorTypeAndShapeInfo().GetElementCount());
    const size_t plane = size_t(yShape[2] * yShape[3]);
    for (size_t i = 0; i < deq.size(); ++i) {
      const size_t oc = (i / plane) % size_t(yShape[1]);
      deq[i] = float(sums[i]) * (xscale * f.scale[oc]) + f.bias[oc];
    }
    expectBits(deq, f.want, geo.shape + " ConvInteger");

    std::vector<float> x = f.x, sc = f.scale, bi = f.bias;
    std::vector<Ort::Value> opIn;
    opIn.push_back(Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xs.data(), 4));
    opIn.push_back(Ort::Value::CreateTensor<int8_t>(mem, w.data(), w.size(), ws.data(), 4));
    opIn.push_back(Ort::Value::CreateTensor<float>(mem, sc.data(), sc.size(), cs.data(), 1));
    opIn.push_back(Ort::Value::CreateTensor<float>(mem, bi.data(), bi.size(), cs.data(), 1));
    const char* opNames[] = {"x", "w", "scale", "bias"};
    auto opOut = opSession.Run(Ort::RunOptions{nullptr}, opNames, opIn.data(), 4, yName, 1);
    const float* y = opOut[0].GetTensorData<float>();
    expectBits(std::vector<float>(y, y + deq.size()), f.want, geo.shape + " operator");
  }
}

// Two threads, each with its own instance, each splitting its runs over its own pool workers and
// quantising into its own buffer.
TEST(Int8Conv, ConcurrentRunsOnTheirOwnInstances) {
  ka::test::TempDir dir;
  const Fixture f = make(dir, geometries()[3], 0, 11);
  auto work = [&](std::vector<float>& y) {
    ka::Int8Conv conv(f.attrs);
    for (int run = 0; run < 3; ++run)
      conv.run(f.x.data(), f.xd, f.w.data(), f.wd, f.scale.data(), f.bias.data(), y.data());
  };
  std::vector<float> a(f.want.size()), b(f.want.size());
  std::thread other([&] { work(b); });
  work(a);
  other.join();
  expectBits(a, f.want, "this thread");
  expectBits(b, f.want, "the other thread");
}

TEST(Int8Conv, RefusesWhatDoesNotFit) {
  ka::Int8ConvAttrs a;
  a.group = 2;
  ka::Int8Conv conv(a, ka::Int8Path::kScalar);
  int64_t y[4];
  const int64_t x[4] = {1, 3, 5, 5}, w[4] = {4, 1, 3, 3};
  EXPECT_NE(ka::test::errorOf([&] { conv.outputShape(x, w, y); }).find("do not fit"), std::string::npos);
  const int64_t x2[4] = {1, 2, 2, 2}, w2[4] = {2, 1, 3, 3};
  EXPECT_NE(ka::test::errorOf([&] { conv.outputShape(x2, w2, y); }).find("larger than the padded input"),
            std::string::npos);
  a.strides[1] = 0;
  EXPECT_NE(ka::test::errorOf([&] { ka::Int8Conv bad(a); }).find("at least 1"), std::string::npos);
}

}  // namespace
