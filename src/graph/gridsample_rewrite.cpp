#include "graph/gridsample_rewrite.h"

#include <initializer_list>

namespace ka {

namespace {

constexpr uint32_t kModelGraph = 7, kModelOpset = 8;
constexpr uint32_t kOpsetDomain = 1, kOpsetVersion = 2;
constexpr uint32_t kGraphNode = 1;
constexpr uint32_t kNodeInput = 1, kNodeName = 3, kNodeOpType = 4, kNodeAttr = 5, kNodeDomain = 7;

// The node fields the predicates look at. Singular fields take their last occurrence, as a
// protobuf parser (and so ONNX Runtime) would.
struct NodeView {
  GsSlice opType, domain, name;
  size_t inputs = 0, attrs = 0;
};

NodeView viewNode(GsSlice node) {
  NodeView v;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.wt != kWireBytes) continue;
    switch (f.no) {
      case kNodeInput: ++v.inputs; break;
      case kNodeName: v.name = f.payload; break;
      case kNodeOpType: v.opType = f.payload; break;
      case kNodeAttr: ++v.attrs; break;
      case kNodeDomain: v.domain = f.payload; break;
      default: break;
    }
  }
  return v;
}

bool defaultDomain(GsSlice domain) { return domain.empty() || domain.equals("ai.onnx"); }

// Calls `fn(nodePayload)` for the nodes of every graph field of the model until it returns true;
// returns whether it did.
template <class Fn>
bool anyNode(GsSlice model, Fn&& fn) {
  GsReader r(model);
  GsField f;
  while (r.next(f)) {
    if (f.no != kModelGraph || f.wt != kWireBytes) continue;
    GsReader gr(f.payload);
    GsField g;
    while (gr.next(g))
      if (g.no == kGraphNode && g.wt == kWireBytes && fn(g.payload)) return true;
  }
  return false;
}

size_t countNodes(GsSlice graph, bool (*match)(GsSlice)) {
  size_t n = 0;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.no == kGraphNode && f.wt == kWireBytes && match(f.payload)) ++n;
  return n;
}

// The shared retyping pass: every node for which `match` holds keeps its fields except those
// numbered in `drop`, then gets op_type `opType` and, when given, domain `domain`. With `domain`
// set, the model gains an opset import for it (version 1) unless it has one.
size_t retypeNodes(std::vector<uint8_t>& model, bool (*match)(GsSlice), std::initializer_list<uint32_t> drop,
                   const char* opType, const char* domain) {
  const GsSlice in(model);
  size_t count = 0;
  {
    GsReader r(in);
    GsField f;
    while (r.next(f))
      if (f.no == kModelGraph && f.wt == kWireBytes) count += countNodes(f.payload, match);
  }
  if (count == 0) return 0;
  const bool addImport = domain && !gsImportsDomain(in, domain);

  auto writeNode = [&](GsSink& s, GsSlice node) {
    s.message(kGraphNode, [&](GsSink& n) {
      GsReader r(node);
      GsField f;
      while (r.next(f)) {
        bool dropped = false;
        for (uint32_t d : drop) dropped = dropped || f.no == d;
        if (!dropped) n.raw(f.raw);
      }
      n.bytes(kNodeOpType, std::string(opType));
      if (domain) n.bytes(kNodeDomain, std::string(domain));
    });
  };

  std::vector<uint8_t> out;
  out.reserve(model.size() + 64 + 64 * count);
  GsSink s(&out);
  GsReader r(in);
  GsField f;
  while (r.next(f)) {
    if (f.no != kModelGraph || f.wt != kWireBytes || countNodes(f.payload, match) == 0) {
      s.raw(f.raw);
      continue;
    }
    s.message(kModelGraph, [&](GsSink& g) {
      GsReader gr(f.payload);
      GsField gf;
      while (gr.next(gf)) {
        if (gf.no == kGraphNode && gf.wt == kWireBytes && match(gf.payload))
          writeNode(g, gf.payload);
        else
          g.raw(gf.raw);
      }
    });
  }
  if (addImport) gsPutOpsetImport(s, domain);
  model.swap(out);
  return count;
}

void setReason(std::string* reason, const char* text) {
  if (reason) *reason = text;
}

}  // namespace

bool gsImportsDomain(GsSlice model, const char* domain) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.no == kModelOpset && f.wt == kWireBytes && gsFirstBytes(f.payload, kOpsetDomain).equals(domain))
      return true;
  return false;
}

void gsPutOpsetImport(GsSink& s, const char* domain) {
  s.message(kModelOpset, [&](GsSink& o) {
    o.bytes(kOpsetDomain, std::string(domain));
    o.varint(kOpsetVersion << 3 | kWireVarint);
    o.varint(1);
  });
}

bool gsIsRewritableGridSample(GsSlice node) {
  NodeView v = viewNode(node);
  if (!v.opType.equals("GridSample") || !defaultDomain(v.domain)) return false;
  bool mode = false, padding = false;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.no != kNodeAttr || f.wt != kWireBytes) continue;
    const GsAttr a = gsReadAttr(f.payload);
    // Any disqualifying copy of a repeated attribute disqualifies the node.
    if (a.name.equals("mode")) {
      if (!a.s.equals("bilinear") && !a.s.equals("linear")) return false;
      mode = true;
    } else if (a.name.equals("padding_mode")) {
      if (!a.s.equals("border")) return false;
      padding = true;
    } else if (a.name.equals("align_corners")) {
      if (a.hasI && a.i != 0) return false;
    }
  }
  return mode && padding;
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  NodeView v = viewNode(node);
  return v.opType.equals("MatMul") && v.name.equals("/s2/blend") && v.inputs == 2 && v.attrs == 0 &&
         defaultDomain(v.domain);
}

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model, std::string* reason) {
  // GridSampleFast has one behaviour (bilinear, border, align_corners 0), so the attributes go.
  size_t n = retypeNodes(model, gsIsRewritableGridSample, {kNodeOpType, kNodeAttr, kNodeDomain}, kGridSampleFastOp,
                         kZephraneDomain);
  if (n == 0)
    setReason(reason, gsGraphOf(GsSlice(model)).empty()
                          ? "the model has no graph"
                          : "no GridSample node samples bilinear with border padding and align_corners 0");
  return n;
}

size_t normaliseStudentBlend(std::vector<uint8_t>& model, std::string* reason) {
  // Gemm's defaults (alpha 1, beta 1, no transposes, no C) compute the MatMul's product.
  size_t n = retypeNodes(model, gsIsStudentBlendMatMul, {kNodeOpType, kNodeDomain}, "Gemm", nullptr);
  if (n == 0)
    setReason(reason, gsGraphOf(GsSlice(model)).empty()
                          ? "the model has no graph"
                          : "no default-domain MatMul named /s2/blend with two inputs and no attributes");
  return n;
}

bool graphHasBakedGridSampleFast(GsSlice model) {
  return anyNode(model, [](GsSlice node) {
    NodeView v = viewNode(node);
    return v.opType.equals(kGridSampleFastOp) && v.domain.equals(kZephraneDomain);
  });
}

}  // namespace ka
