#include "graph/head_cubic_rewrite.h"

#include <cmath>
#include <cstring>
#include <string>

#include "graph/graph_view.h"
#include "graph/onnx_wire.h"

namespace ka {

namespace {

constexpr uint32_t kGraphNode = 1;
constexpr int32_t kTensorFloat = 1, kTensorInt64 = 7;
constexpr int64_t kMaxChannels = 1048576;

bool qualifies(const GraphIndex& g, const WdNode& n) {
  if (n.opType != "Resize" || !n.domain.empty()) return false;
  const HcAttrs a = hcReadAttrs(n.bytes);
  if (a.mode != "cubic" || a.coordinateTransformationMode != "half_pixel" || a.excludeOutside || a.antialias ||
      a.hasAxes || (!a.keepAspectRatioPolicy.empty() && a.keepAspectRatioPolicy != "stretch"))
    return false;
  if (n.inputs.size() != 3 || !n.inputs[1].empty() || n.outputs.size() != 1) return false;
  auto p = g.producer.find(n.inputs[2]);
  if (p == g.producer.end() || g.nodes[p->second].opType != "Constant") return false;
  std::vector<float> scales;
  return hcTensorFloats(hcConstValue(g.nodes[p->second].bytes), scales) &&
         scales == std::vector<float>{1.f, 1.f, 2.f, 2.f};
}

int64_t intAttr(GsSlice node, const char* name, int64_t fallback) {
  GsReader r(node);
  GsField f;
  int64_t v = fallback;
  while (r.next(f)) {
    if (f.no != 5 || f.wt != kWireBytes) continue;
    const GsAttr a = gsReadAttr(f.payload);
    if (a.name.equals(name) && a.hasI) v = int64_t(a.i);
  }
  return v;
}

// The channel count the Resize carries, from the one Conv reading it; 0 when it cannot be told or
// the bias above the Resize disagrees.
int64_t channels(const GraphIndex& g, const WdNode& rz) {
  auto rd = g.readers.find(rz.outputs[0]);
  if (rd == g.readers.end() || rd->second.size() != 1) return 0;
  const WdNode& conv = g.nodes[rd->second[0]];
  if (conv.opType != "Conv" || conv.inputs.size() < 2) return 0;
  auto w = g.inits.find(conv.inputs[1]);
  if (w == g.inits.end()) return 0;
  std::vector<int64_t> dims;
  hcTensorDims(w->second, dims);
  if (dims.size() != 4) return 0;
  const int64_t group = intAttr(conv.bytes, "group", 1);
  if (group < 1 || dims[1] < 1 || dims[1] > kMaxChannels / group) return 0;
  const int64_t C = group * dims[1];
  std::string t = rz.inputs[0];
  for (int step = 0; step < 4; ++step) {
    auto p = g.producer.find(t);
    if (p == g.producer.end()) break;
    const WdNode& prod = g.nodes[p->second];
    for (const std::string& in : prod.inputs) {
      auto init = g.inits.find(in);
      if (init == g.inits.end()) continue;
      hcTensorDims(init->second, dims);
      if (dims.size() == 3 && dims[1] == 1 && dims[2] == 1) return dims[0] == C ? C : 0;
    }
    if (prod.inputs.empty()) break;
    t = prod.inputs[0];
  }
  return C;
}

bool nameTaken(const GraphIndex& g, const std::string& name) {
  return g.producer.count(name) || g.readers.count(name) || g.inits.count(name) || g.inputs.count(name) ||
         g.outputs.count(name);
}

// (4C, 1, 5, 5) weights: output channel 4c + 2 py + px holds vy[r] vx[s] for its two phases.
std::vector<uint8_t> phaseWeights(int64_t C, double a) {
  double v[2][5] = {};
  const auto late = hcTaps(0.75, a), early = hcTaps(0.25, a);
  for (int k = 0; k < 4; ++k) v[0][k] = late[k], v[1][k + 1] = early[k];
  float kernels[4][25];
  for (int py = 0; py < 2; ++py)
    for (int px = 0; px < 2; ++px)
      for (int r = 0; r < 5; ++r)
        for (int s = 0; s < 5; ++s) kernels[2 * py + px][5 * r + s] = float(v[py][r] * v[px][s]);
  std::vector<uint8_t> raw(size_t(C) * sizeof kernels);
  for (int64_t c = 0; c < C; ++c) std::memcpy(raw.data() + size_t(c) * sizeof kernels, kernels, sizeof kernels);
  return raw;
}

}  // namespace

std::array<double, 4> hcTaps(double t, double a) {
  auto k = [a](double d) {
    return d <= 1.0 ? ((a + 2.0) * d - (a + 3.0)) * d * d + 1.0 : ((d - 5.0) * d + 8.0) * d * a - 4.0 * a;
  };
  std::array<double, 4> w = {k(t + 1.0), k(t), k(1.0 - t), k(2.0 - t)};
  const double sum = w[0] + w[1] + w[2] + w[3];
  for (double& x : w) x /= sum;
  return w;
}

size_t rewriteHeadCubicResize(std::vector<uint8_t>& model) {
  const GsSlice in(model);
  const GsSlice graph = gsGraphOf(in);
  if (graph.empty()) return 0;
  const GraphIndex g = readGraphIndex(graph);
  const WdNode* rz = nullptr;
  for (const WdNode& n : g.nodes) {
    if (!qualifies(g, n)) continue;
    if (rz) return 0;  // two candidates: which one is the head is not ours to guess
    rz = &n;
  }
  if (!rz) return 0;
  const int64_t C = channels(g, *rz);
  if (C < 1 || C > kMaxChannels) return 0;
  const std::string i = "rz" + std::to_string(rz->index);
  const std::string pads = i + "_pads", weight = i + "_dw_w", padOut = i + "_padout", convOut = i + "_convout";
  for (const std::string* n : {&pads, &weight, &padOut, &convOut})
    if (nameTaken(g, *n)) return 0;
  const std::string R = rz->name.empty() ? "/Resize" : rz->name;

  std::vector<uint8_t> nodes, attrs, inits;
  hcAttrS(attrs, "edge");
  hcNode(nodes, "Pad", {rz->inputs[0], pads}, padOut, R + "/pad", attrs);
  attrs.clear();
  hcAttrIs(attrs, "dilations", {1, 1});
  hcAttrI(attrs, "group", C);
  hcAttrIs(attrs, "kernel_shape", {5, 5});
  hcAttrIs(attrs, "pads", {0, 0, 0, 0});
  hcAttrIs(attrs, "strides", {1, 1});
  hcNode(nodes, "Conv", {padOut, weight}, convOut, R + "/dwconv", attrs);
  attrs.clear();
  hcAttrI(attrs, "blocksize", 2);
  hcAttrS(attrs, "CRD");
  hcNode(nodes, "DepthToSpace", {convOut}, rz->outputs[0], R + "/d2s", attrs);
  const int64_t padTable[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  uint8_t padRaw[sizeof padTable];
  for (size_t k = 0; k < 8; ++k)
    for (size_t b = 0; b < 8; ++b) padRaw[8 * k + b] = uint8_t(uint64_t(padTable[k]) >> (8 * b));
  hcInit(inits, pads, kTensorInt64, {8}, GsSlice(padRaw, sizeof padRaw));
  const std::vector<uint8_t> w = phaseWeights(C, double(hcReadAttrs(rz->bytes).cubicCoeffA));
  hcInit(inits, weight, kTensorFloat, {4 * C, 1, 5, 5}, GsSlice(w));

  std::vector<uint8_t> out;
  out.reserve(model.size() + nodes.size() + inits.size() + 64);
  gsRewriteFirstGraph(in, out, [&](GsSlice graph, GsSink& gs) {
    GsReader gr(graph);
    GsField gf;
    size_t node = 0;
    while (gr.next(gf)) {
      const bool isNode = gf.no == kGraphNode && gf.wt == kWireBytes;
      if (isNode && node++ == rz->index)
        gs.raw(GsSlice(nodes));
      else
        gs.raw(gf.raw);
    }
    gs.raw(GsSlice(inits));
  });
  model.swap(out);
  return 1;
}

}  // namespace ka
