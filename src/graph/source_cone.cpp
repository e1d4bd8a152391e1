#include "graph/source_cone.h"

#include <unordered_map>

namespace ka {
namespace {

// ONNX field numbers (GraphProto, NodeProto, TensorProto, ValueInfoProto).
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4;
constexpr uint32_t kTensorName = 8, kValueInfoName = 1;

// How a node is named in a reason: its name, or its op type when it has none.
std::string nodeLabel(const GsNodeInfo& n) { return n.name.empty() ? n.opType : n.name; }

// The graph's nodes and name sets, and its output names; false when the model has no graph.
struct GraphView {
  std::vector<GsNodeInfo> nodes;
  std::unordered_set<std::string> initializers, inputs;
};

bool readModelGraph(GsSlice model, GraphView& v, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  gsReadGraph(graph, v.nodes, v.initializers, v.inputs);
  if (!v.inputs.count(kHoistSource)) {
    reason = "no P_rgb input";
    return false;
  }
  return true;
}

std::unordered_set<std::string> graphOutputs(GsSlice graph) {
  std::unordered_set<std::string> out;
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.no == kGraphOutput && f.wt == kWireBytes) out.insert(gsFirstStr(f.payload, kValueInfoName));
  return out;
}

// A cone value other than the boundary that is also a graph output escapes the cone as well.
bool coneEscapesToOutputs(GsSlice model, const GraphView& v, const std::vector<uint8_t>& cone,
                          const std::string& boundary, std::string& reason) {
  const auto outs = graphOutputs(gsGraphOf(model));
  for (size_t i = 0; i < v.nodes.size(); ++i) {
    if (!cone[i]) continue;
    for (const auto& o : v.nodes[i].outputs)
      if (!o.empty() && o != boundary && outs.count(o)) {
        reason = "cone value '" + o + "' escapes to the graph output";
        return false;
      }
  }
  return true;
}

}  // namespace

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& inputs) {
  nodes.clear();
  initializers.clear();
  inputs.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wt != kWireBytes) continue;
    if (f.no == kGraphNode) {
      GsNodeInfo n;
      gsAllStr(f.payload, kNodeInput, n.inputs);
      gsAllStr(f.payload, kNodeOutput, n.outputs);
      n.name = gsFirstStr(f.payload, kNodeName);
      n.opType = gsFirstStr(f.payload, kNodeOpType);
      nodes.push_back(std::move(n));
    } else if (f.no == kGraphInit) {
      initializers.insert(gsFirstStr(f.payload, kTensorName));
    } else if (f.no == kGraphInput) {
      inputs.insert(gsFirstStr(f.payload, kValueInfoName));
    }
  }
}

size_t findSourceConeBoundary(GsSlice model, std::string& boundary) {
  boundary.clear();
  size_t count = 0;
  std::string found;
  GsReader r(gsGraphOf(model));
  GsField f;
  std::vector<std::string> ins;
  while (r.next(f)) {
    if (f.no != kGraphNode || f.wt != kWireBytes) continue;
    if (gsFirstStr(f.payload, kNodeOpType) != "Concat") continue;
    ins.clear();
    gsAllStr(f.payload, kNodeInput, ins);
    bool readsSource = false;
    for (const auto& i : ins) readsSource = readsSource || i == kHoistSource;
    const std::string out = gsFirstStr(f.payload, kNodeOutput);
    if (!readsSource || out.empty()) continue;
    ++count;
    found = out;
  }
  if (count == 1) boundary = found;
  return count;
}

bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::unordered_set<std::string>& initializers,
                  const std::unordered_set<std::string>& inputs, const std::string& boundary,
                  std::vector<uint8_t>& mask, std::string& reason) {
  std::unordered_map<std::string, size_t> producer;
  for (size_t i = 0; i < nodes.size(); ++i)
    for (const auto& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);

  std::vector<uint8_t> cone(nodes.size(), 0);
  std::unordered_set<std::string> seen;
  std::vector<std::string> todo{boundary};
  while (!todo.empty()) {
    const std::string t = std::move(todo.back());
    todo.pop_back();
    if (t.empty() || !seen.insert(t).second) continue;
    if (t == kHoistSource || initializers.count(t)) continue;
    const auto p = producer.find(t);
    if (p == producer.end()) {
      reason = inputs.count(t) ? "cone reads graph input '" + t + "'" : "cone leaf '" + t + "' has no producer";
      return false;
    }
    if (cone[p->second]) continue;
    cone[p->second] = 1;
    if (nodes[p->second].opType == "Constant") continue;
    for (const auto& in : nodes[p->second].inputs) todo.push_back(in);
  }

  // Containment: what the cone computes, other than the boundary, stays inside it.
  std::unordered_map<std::string, size_t> outsideReader;
  size_t sourceReader = nodes.size();
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (cone[i]) continue;
    for (const auto& in : nodes[i].inputs) {
      outsideReader.emplace(in, i);
      if (in == kHoistSource && sourceReader == nodes.size()) sourceReader = i;
    }
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    if (!cone[i]) continue;
    for (const auto& o : nodes[i].outputs) {
      if (o.empty() || o == boundary) continue;
      const auto r = outsideReader.find(o);
      if (r != outsideReader.end()) {
        reason = "cone value '" + o + "' escapes to " + nodeLabel(nodes[r->second]);
        return false;
      }
    }
  }
  if (sourceReader != nodes.size()) {
    reason = std::string(kHoistSource) + " is also read outside the cone by " + nodeLabel(nodes[sourceReader]);
    return false;
  }
  mask = std::move(cone);
  return true;
}

bool buildSourceConePrep(GsSlice model, const std::string& boundary, std::vector<uint8_t>& prep, std::string& reason) {
  GraphView v;
  if (!readModelGraph(model, v, reason)) return false;
  std::vector<uint8_t> cone;
  if (!gsSourceCone(v.nodes, v.initializers, v.inputs, boundary, cone, reason)) return false;
  if (!coneEscapesToOutputs(model, v, cone, boundary, reason)) return false;
  bool any = false;
  for (uint8_t c : cone) any = any || c;
  if (!any) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit e;
  e.dropNodes.resize(v.nodes.size());
  for (size_t i = 0; i < v.nodes.size(); ++i) e.dropNodes[i] = !cone[i] && v.nodes[i].opType != "Constant";
  e.keepOnlyPRgb = true;
  e.dropOutputs = true;
  e.addName = boundary;
  e.addDims.assign(4, -1);
  e.addFieldNo = kGraphOutput;
  gsRebuild(model, e, prep);
  return true;
}

bool buildSourceConePerFrame(GsSlice model, const std::string& boundary, const int64_t* dims, int rank,
                             std::vector<uint8_t>& perFrame, std::string& reason) {
  GraphView v;
  if (!readModelGraph(model, v, reason)) return false;
  std::vector<uint8_t> cone;
  if (!gsSourceCone(v.nodes, v.initializers, v.inputs, boundary, cone, reason)) return false;
  if (!coneEscapesToOutputs(model, v, cone, boundary, reason)) return false;
  GsGraphEdit e;
  e.dropNodes = std::move(cone);
  e.dropPRgb = true;
  e.addName = boundary;
  e.addDims.assign(dims, dims + (rank > 0 ? rank : 0));
  e.addFieldNo = kGraphInput;
  gsRebuild(model, e, perFrame);
  return true;
}

}  // namespace ka
