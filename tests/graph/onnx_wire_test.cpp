// The wire reader at its boundaries, the lookups against messages the onnx package serialised, the
// emitters against the onnx package's own bytes, and the rebuilder's edits as onnx reads them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/forge_models.h"
#include "graph/onnx_wire.h"

namespace {

using ka::GsField;
using ka::GsReader;
using ka::GsSlice;
using Bytes = std::vector<uint8_t>;

// The error text of reading every field of `b`, or "" when it reads cleanly.
std::string readError(const Bytes& b) {
  try {
    GsReader r{GsSlice(b)};
    GsField f;
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes lengthPrefixed(uint32_t fieldNo, const Bytes& payload) {
  Bytes out;
  ka::gsPutBytes(out, fieldNo, payload.data(), payload.size());
  return out;
}

TEST(WireReader, TenByteVarintIsTheLongestAccepted) {
  // Field 1, varint 2^64 - 1: nine 0xFF groups and a final 0x01.
  Bytes b = {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  GsReader r{GsSlice(b)};
  GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.no, 1u);
  EXPECT_EQ(f.wt, 0u);
  EXPECT_EQ(f.v, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(f.raw.n, b.size());
  EXPECT_FALSE(r.next(f));
}

TEST(WireReader, ElevenByteVarintIsRefused) {
  Bytes b = {0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  EXPECT_EQ(readError(b), "onnx: bad varint");
  // The same in a tag.
  Bytes tag(11, 0x80);
  tag.push_back(0x00);
  EXPECT_EQ(readError(tag), "onnx: bad varint");
}

TEST(WireReader, VarintCutOffByTheEndIsRefused) {
  EXPECT_EQ(readError({0x08, 0x80}), "onnx: bad varint");
  EXPECT_EQ(readError({0x80}), "onnx: bad varint");
  EXPECT_EQ(readError({0x0A}), "onnx: bad varint");  // a length that never comes
}

TEST(WireReader, LengthExactlyAtTheEndIsAccepted) {
  Bytes b = {0x0A, 0x03, 'a', 'b', 'c'};
  GsReader r{GsSlice(b)};
  GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.wt, 2u);
  EXPECT_EQ(f.payload.str(), "abc");
  EXPECT_EQ(f.payload.p, b.data() + 2);
  EXPECT_EQ(f.raw.p, b.data());
  EXPECT_EQ(f.raw.n, 5u);
  EXPECT_FALSE(r.next(f));
}

TEST(WireReader, LengthOnePastTheEndIsTruncated) {
  EXPECT_EQ(readError({0x0A, 0x04, 'a', 'b', 'c'}), "onnx: truncated");
  // A length of 2^64 - 1 must not wrap the bounds check.
  EXPECT_EQ(readError({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 'a'}), "onnx: truncated");
}

TEST(WireReader, FixedWidthFieldsAtTheirBoundaries) {
  EXPECT_EQ(readError({0x09, 1, 2, 3, 4, 5, 6, 7, 8}), "");
  EXPECT_EQ(readError({0x09, 1, 2, 3, 4, 5, 6, 7}), "onnx: truncated");
  EXPECT_EQ(readError({0x0D, 1, 2, 3, 4}), "");
  EXPECT_EQ(readError({0x0D, 1, 2, 3}), "onnx: truncated");
}

TEST(WireReader, GroupAndUndefinedWireTypesAreRefused) {
  EXPECT_EQ(readError({0x0B}), "onnx: bad wire type");  // wire type 3, start group
  EXPECT_EQ(readError({0x0C}), "onnx: bad wire type");  // 4, end group
  EXPECT_EQ(readError({0x0E}), "onnx: bad wire type");  // 6
  EXPECT_EQ(readError({0x0F}), "onnx: bad wire type");  // 7
  // After a good field, too.
  EXPECT_EQ(readError({0x08, 0x01, 0x13}), "onnx: bad wire type");
}

TEST(WireReader, RawSpansTileTheMessage) {
  Bytes b = {0x08, 0x96, 0x01, 0x12, 0x02, 'h', 'i', 0x1D, 1, 2, 3, 4, 0x21, 0, 0, 0, 0, 0, 0, 0, 0};
  GsReader r{GsSlice(b)};
  GsField f;
  Bytes joined;
  std::vector<uint32_t> numbers;
  while (r.next(f)) {
    joined.insert(joined.end(), f.raw.p, f.raw.p + f.raw.n);
    numbers.push_back(f.no);
  }
  EXPECT_EQ(joined, b);
  EXPECT_EQ(numbers, (std::vector<uint32_t>{1, 2, 3, 4}));
}

TEST(WireReader, PbReaderFollowsTheSameRules) {
  Bytes b = {0x08, 0x96, 0x01, 0x12, 0x01, 'x'};
  ka::PbReader r{GsSlice(b)};
  ka::PbField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.v, 150u);
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.payload.str(), "x");
  EXPECT_FALSE(r.next(f));
  Bytes bad = {0x0B};
  ka::PbReader rb{GsSlice(bad)};
  EXPECT_THROW(rb.next(f), std::runtime_error);
}

TEST(WireWriter, VarintsAtGroupBoundaries) {
  auto enc = [](uint64_t v) {
    Bytes out;
    ka::gsPutVarint(out, v);
    return out;
  };
  EXPECT_EQ(enc(0), (Bytes{0x00}));
  EXPECT_EQ(enc(127), (Bytes{0x7F}));
  EXPECT_EQ(enc(128), (Bytes{0x80, 0x01}));
  EXPECT_EQ(enc(300), (Bytes{0xAC, 0x02}));
  Bytes max = enc(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(max.size(), 10u);
  EXPECT_EQ(max.back(), 0x01);
}

// Emitters and lookups against messages serialised by the onnx package.
class WireOnnxRefs : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ka::test::TempDir();
    ASSERT_TRUE(ka::test::forge({"wire-refs", dir_->path()}));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static Bytes ref(const std::string& name) { return ka::test::readBytes(*dir_ / name); }
  static ka::test::TempDir* dir_;
};
ka::test::TempDir* WireOnnxRefs::dir_ = nullptr;

TEST_F(WireOnnxRefs, TensorValueInfoWritesDimParamsForUnknownDims) {
  const int64_t dims[4] = {1, -1, 64, 64};
  Bytes out;
  ka::gsPutTensorValueInfo(out, 11, "boundary", dims, 4);
  EXPECT_EQ(out, lengthPrefixed(11, ref("vi_hoist.bin")));
}

TEST_F(WireOnnxRefs, NodeWithAttributesMatchesOnnx) {
  // onnx orders a node's keyword attributes by name: axes, exclude_outside, mode.
  Bytes attrs;
  ka::hcAttrIs(attrs, "axes", {-2, 3});
  ka::hcAttrI(attrs, "exclude_outside", 1);
  ka::hcAttrS(attrs, "cubic");
  Bytes out;
  ka::hcNode(out, "Resize", {"x", "", "scales"}, "y", "head/resize", attrs);
  EXPECT_EQ(out, lengthPrefixed(1, ref("node_resize.bin")));
}

TEST_F(WireOnnxRefs, InitializerMatchesOnnx) {
  std::vector<float> w = {-2.5f, -1.5f, -0.5f, 0.5f, 1.5f, 2.5f};
  Bytes out;
  ka::hcInit(out, "w", 1, {2, 3}, GsSlice(reinterpret_cast<const uint8_t*>(w.data()), w.size() * 4));
  EXPECT_EQ(out, lengthPrefixed(5, ref("init_w.bin")));
}

TEST_F(WireOnnxRefs, TensorFloatsPreferRawData) {
  std::vector<float> v;
  EXPECT_TRUE(ka::hcTensorFloats(ref("tensor_raw_and_float.bin"), v));
  EXPECT_EQ(v, (std::vector<float>{1.5f, -2.25f}));
  EXPECT_TRUE(ka::hcTensorFloats(ref("tensor_float_data.bin"), v));
  EXPECT_EQ(v, (std::vector<float>{0.5f, -1.f, 3.0e38f}));
  EXPECT_FALSE(ka::hcTensorFloats(ref("tensor_int64.bin"), v));
  std::vector<int64_t> dims;
  ka::hcTensorDims(ref("tensor_float_data.bin"), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{3}));
}

TEST_F(WireOnnxRefs, ConstantValueTensor) {
  GsSlice node = ka::hcPayload(GsSlice(lengthPrefixed(1, ref("node_const.bin"))));
  Bytes nodeBytes = ref("node_const.bin");
  GsSlice t = ka::hcConstValue(GsSlice(nodeBytes));
  std::vector<float> v;
  EXPECT_TRUE(ka::hcTensorFloats(t, v));
  EXPECT_EQ(v, (std::vector<float>{0.25f, 4.f}));
  EXPECT_EQ(node.n, nodeBytes.size());
  EXPECT_TRUE(ka::hcConstValue(GsSlice(ref("node_resize.bin"))).empty());
}

TEST_F(WireOnnxRefs, ResizeAttributes) {
  ka::HcAttrs a = ka::hcReadAttrs(GsSlice(ref("node_resize_attrs.bin")));
  EXPECT_EQ(a.mode, "cubic");
  EXPECT_EQ(a.coordinateTransformationMode, "half_pixel");
  EXPECT_EQ(a.keepAspectRatioPolicy, "stretch");
  EXPECT_TRUE(a.hasCubicCoeffA);
  EXPECT_EQ(a.cubicCoeffA, -0.5f);
  EXPECT_TRUE(a.hasAxes);
  EXPECT_TRUE(a.excludeOutside);
  EXPECT_FALSE(a.antialias);

  ka::HcAttrs d = ka::hcReadAttrs(GsSlice(ref("node_const.bin")));
  EXPECT_EQ(d.mode, "");
  EXPECT_FALSE(d.hasCubicCoeffA);
  EXPECT_EQ(d.cubicCoeffA, -0.75f);
  EXPECT_FALSE(d.hasAxes || d.excludeOutside || d.antialias);
}

TEST(WireLookups, UnpackedFloatDataAndDims) {
  // TensorProto{dims: 2 (unpacked), dims: packed [3, 4], data_type: FLOAT, float_data: 2 fixed32}.
  Bytes t = {0x08, 0x02, 0x0A, 0x02, 0x03, 0x04, 0x10, 0x01};
  for (float f : {1.25f, -8.f}) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    t.push_back(0x25);
    for (int i = 0; i < 4; ++i) t.push_back(uint8_t(u >> (8 * i)));
  }
  std::vector<float> v;
  EXPECT_TRUE(ka::hcTensorFloats(GsSlice(t), v));
  EXPECT_EQ(v, (std::vector<float>{1.25f, -8.f}));
  std::vector<int64_t> dims;
  ka::hcTensorDims(GsSlice(t), dims);
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 3, 4}));
  // raw_data of 5 bytes is not float32 data.
  Bytes odd = {0x10, 0x01, 0x4A, 0x05, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ka::hcTensorFloats(GsSlice(odd), v));
  EXPECT_TRUE(v.empty());
}

TEST(WireLookups, GraphStringsAndInputDims) {
  ka::test::TempDir dir;
  Bytes model = ka::test::forgeModel(dir, "edit-model", "edit.onnx");
  ASSERT_FALSE(model.empty());
  GsSlice graph = ka::gsGraphOf(GsSlice(model));
  ASSERT_FALSE(graph.empty());
  std::vector<int64_t> dims;
  EXPECT_TRUE(ka::ldInputDims(graph, "P_rgb", dims));
  EXPECT_TRUE(ka::dimsEq(dims, {1, 3, 8, 8}));
  EXPECT_FALSE(ka::dimsEq(dims, {1, 3, 8}));
  EXPECT_TRUE(ka::ldInputDims(graph, "kp", dims));
  EXPECT_TRUE(ka::dimsEq(dims, {1, 21, 3}));
  EXPECT_FALSE(ka::ldInputDims(graph, "Y", dims));  // an output, not an input
  EXPECT_TRUE(dims.empty());

  std::vector<std::string> ops, ins;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.no != 1) continue;
    ops.push_back(ka::gsFirstStr(f.payload, 4));
    ka::gsAllStr(f.payload, 1, ins);
  }
  EXPECT_EQ(ops, (std::vector<std::string>{"Relu", "Neg", "Abs", "Neg"}));
  EXPECT_EQ(ins, (std::vector<std::string>{"P_rgb", "mid", "kp", "k1"}));
  EXPECT_EQ(ka::gsFirstStr(graph, 99), "");
  EXPECT_TRUE(ka::gsGraphOf(GsSlice()).empty());
}

// Rebuilder edits, as the onnx package reads the result.
class WireRebuild : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = ka::test::forgeModel(dir_, "edit-model", "edit.onnx");
    ASSERT_FALSE(model_.empty());
  }
  std::vector<std::string> rebuilt(const ka::GsGraphEdit& e) {
    Bytes out;
    ka::gsRebuild(GsSlice(model_), e, out);
    return ka::test::onnxSummary(dir_, out);
  }
  ka::test::TempDir dir_;
  Bytes model_;
};

TEST_F(WireRebuild, EmptyEditReproducesTheBytes) {
  Bytes out = {1, 2, 3};
  ka::gsRebuild(GsSlice(model_), ka::GsGraphEdit{}, out);
  EXPECT_EQ(out, model_);
}

TEST_F(WireRebuild, DropsNodesByPosition) {
  ka::GsGraphEdit e;
  e.dropNodes = {0, 1, 0, 1};
  auto nodes = ka::test::linesStarting(rebuilt(e), "node ");
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].rfind("node n0|", 0), 0u);
  EXPECT_EQ(nodes[1].rfind("node n2|", 0), 0u);
  // A mask shorter than the node list drops nothing past its end.
  e.dropNodes = {1};
  nodes = ka::test::linesStarting(rebuilt(e), "node ");
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[0].rfind("node n1|", 0), 0u);
}

TEST_F(WireRebuild, InputSelection) {
  ka::GsGraphEdit e;
  e.dropPRgb = true;
  EXPECT_EQ(ka::test::linesStarting(rebuilt(e), "input "), (std::vector<std::string>{"input kp 1x21x3"}));
  e = {};
  e.keepOnlyPRgb = true;
  EXPECT_EQ(ka::test::linesStarting(rebuilt(e), "input "), (std::vector<std::string>{"input P_rgb 1x3x8x8"}));
  e.dropPRgb = true;
  EXPECT_TRUE(ka::test::linesStarting(rebuilt(e), "input ").empty());
}

TEST_F(WireRebuild, DropsOutputsAndReplacesAValueInfo) {
  ka::GsGraphEdit e;
  e.dropOutputs = true;
  e.addName = "mid";
  e.addDims = {1, -1, 8, 0};
  e.addFieldNo = 12;
  auto s = rebuilt(e);
  EXPECT_EQ(ka::test::linesStarting(s, "output "),
            (std::vector<std::string>{"output mid 1xka_hoist_d1x8xka_hoist_d3"}));
  EXPECT_EQ(ka::test::linesStarting(s, "value_info "), (std::vector<std::string>{"value_info k1 1x21x3"}));
  // Everything else is as it was.
  EXPECT_EQ(ka::test::linesStarting(s, "node ").size(), 4u);
  EXPECT_EQ(ka::test::linesStarting(s, "init "), (std::vector<std::string>{"init unused 4"}));
  EXPECT_EQ(ka::test::linesStarting(s, "meta "), (std::vector<std::string>{"meta k=v"}));
  EXPECT_EQ(ka::test::linesStarting(s, "opset "), (std::vector<std::string>{"opset - 17"}));

  // Field number 0: the old value info goes, nothing is added.
  e = {};
  e.addName = "k1";
  s = rebuilt(e);
  EXPECT_EQ(ka::test::linesStarting(s, "value_info "), (std::vector<std::string>{"value_info mid 1x3x8x8"}));
  EXPECT_EQ(ka::test::linesStarting(s, "output ").size(), 2u);
}

TEST_F(WireRebuild, MalformedModelsThrowTheWireErrors) {
  Bytes out;
  for (size_t cut : {model_.size() - 1, model_.size() / 2, size_t(3)}) {
    Bytes part(model_.begin(), model_.begin() + cut);
    EXPECT_THROW(ka::gsRebuild(GsSlice(part), ka::GsGraphEdit{}, out), std::runtime_error) << cut;
  }
  // A bad field inside the graph is found when the graph is walked.
  Bytes inner = concat({{0x0B}});
  Bytes bad = lengthPrefixed(7, inner);
  try {
    ka::gsRebuild(GsSlice(bad), ka::GsGraphEdit{}, out);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "onnx: bad wire type");
  }
}

}  // namespace
