#include "graph/warp_rewrite.h"

#include <set>
#include <unordered_set>

#include "graph/graph_view.h"
#include "graph/gridsample_rewrite.h"
#include "graph/source_cone.h"

namespace ka {

namespace {

constexpr uint32_t kGraphNode = 1, kGraphValueInfo = 13;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeDomain = 7;
constexpr uint32_t kNamedName = 1;  // ValueInfoProto.name

constexpr const char* kPRgb = kHoistSource;

// The block search on a read graph; `marked` receives the block's node mask and `gsIndex` the
// GridSample's position.
size_t locate(GsSlice model, const GraphIndex& g, WarpBlock& block, std::vector<uint8_t>& marked, size_t& gsIndex,
              std::string& reason) {
  std::string boundary;
  if (findSourceConeBoundary(model, boundary) != 1 || boundary.empty()) {
    reason = std::string("not one Concat consuming ") + kPRgb;
    return 0;
  }
  std::vector<size_t> gss;
  for (const WdNode& n : g.nodes)
    if ((n.opType == "GridSample" || n.opType == kGridSampleFastOp) && !n.inputs.empty() && n.inputs[0] == boundary)
      gss.push_back(n.index);
  if (gss.size() >= 2) {
    reason = "two GridSamples on the cone's tip";
    return 0;
  }
  if (gss.empty()) {
    reason = "no GridSample consuming '" + boundary + "'";
    return 0;
  }
  const WdNode& gs = g.nodes[gss[0]];
  if (gs.opType == "GridSample" && !gsIsRewritableGridSample(gs.bytes)) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (gs.outputs.empty() || gs.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  if (gs.inputs.size() < 2 || gs.inputs[1].empty()) {
    reason = "the grid has no producer";
    return 0;
  }

  marked.assign(g.nodes.size(), 0);
  marked[gs.index] = 1;
  const std::string& sampled = gs.outputs[0];
  std::set<std::string> set{sampled};
  for (const WdNode& n : g.nodes) {
    if (n.opType != "Slice") continue;
    for (const std::string& i : n.inputs) {
      if (i == sampled) {
        marked[n.index] = 1;
        set.insert(n.outputs.begin(), n.outputs.end());
        break;
      }
    }
  }
  for (bool grew = true; grew;) {
    grew = false;
    for (const WdNode& n : g.nodes) {
      if (marked[n.index] || (n.opType != "Mul" && n.opType != "Sub" && n.opType != "Add")) continue;
      for (const std::string& i : n.inputs) {
        if (set.count(i)) {
          marked[n.index] = 1;
          set.insert(n.outputs.begin(), n.outputs.end());
          grew = true;
          break;
        }
      }
    }
  }
  auto readOutside = [&](const std::string& t) {
    if (g.outputs.count(t)) return true;
    auto rd = g.readers.find(t);
    if (rd == g.readers.end()) return false;
    for (size_t r : rd->second)
      if (!marked[r]) return true;
    return false;
  };
  std::vector<std::string> exits;
  for (const std::string& t : set)
    if (!t.empty() && t != sampled && readOutside(t)) exits.push_back(t);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  // Removing the GridSample must not orphan a reader of its 12 channels or of the cone's tip.
  if (readOutside(sampled)) {
    reason = "the fused GridSample's output '" + sampled + "' is read outside the recombination";
    return 0;
  }
  if (g.outputs.count(boundary) || g.readers.at(boundary).size() != 1) {
    reason = "the cone's tip '" + boundary + "' is read by more than the fused GridSample";
    return 0;
  }
  if (!g.producer.count(gs.inputs[1])) {
    reason = "the grid has no producer";
    return 0;
  }
  block.boundary = boundary;
  block.grid = gs.inputs[1];
  block.exit = exits[0];
  size_t count = 0;
  for (uint8_t m : marked) count += m;
  block.nodes = count;
  gsIndex = gs.index;
  return count;
}

}  // namespace

size_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason) {
  if (!block) {
    reason = "no out param";
    return 0;
  }
  const GsSlice graph = gsGraphOf(GsSlice(model));
  if (graph.empty()) {
    reason = "no graph";
    return 0;
  }
  const GraphIndex g = readGraphIndex(graph);
  std::vector<uint8_t> marked;
  size_t gsIndex = 0;
  return locate(GsSlice(model), g, *block, marked, gsIndex, reason);
}

size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason) {
  WarpBlock block;
  if (findWarpBlock(model, &block, reason) == 0) return 0;
  const GsSlice in(model);
  const GraphIndex g = readGraphIndex(gsGraphOf(in));
  std::vector<uint8_t> marked, cone;
  size_t gsIndex = 0;
  WarpBlock again;
  if (locate(in, g, again, marked, gsIndex, reason) == 0) return 0;
  std::vector<GsNodeInfo> coneNodes;
  std::unordered_set<std::string> inits, inputs;
  gsReadGraph(gsGraphOf(in), coneNodes, inits, inputs);
  if (!gsSourceCone(coneNodes, inits, inputs, block.boundary, cone, reason)) return 0;
  if (again.boundary != block.boundary || again.exit != block.exit) {
    reason = "the GridSample moved between passes";
    return 0;
  }

  // Every node of the block and the cone goes; the tensors they wrote go with them, except the
  // exit, which the new node writes.
  std::vector<uint8_t> drop(g.nodes.size(), 0);
  std::set<std::string> gone;
  size_t removed = 0;
  for (const WdNode& n : g.nodes) {
    if (!marked[n.index] && !cone[n.index]) continue;
    drop[n.index] = 1;
    ++removed;
    for (const std::string& o : n.outputs)
      if (o != block.exit) gone.insert(o);
  }
  for (const std::string& t : gone) {
    if (g.outputs.count(t)) {
      reason = "the warp block's value '" + t + "' is a graph output";
      return 0;
    }
  }

  auto writeNode = [&](GsSink& s) {
    s.message(kGraphNode, [&](GsSink& n) {
      n.bytes(kNodeInput, std::string(kPRgb));
      n.bytes(kNodeInput, block.grid);
      n.bytes(kNodeOutput, block.exit);
      n.bytes(kNodeName, std::string("ka_warp_director"));
      n.bytes(kNodeOpType, std::string(kWarpDirectorOp));
      n.bytes(kNodeDomain, std::string(kZephraneDomain));
    });
  };

  const bool addImport = !gsImportsDomain(in, kZephraneDomain);
  std::vector<uint8_t> out;
  out.reserve(model.size() + 128);
  // The graph the passes above read is the first graph field.
  gsRewriteFirstGraph(in, out, [&](GsSlice graph, GsSink& gs) {
    GsReader gr(graph);
    GsField gf;
    size_t node = 0;
    while (gr.next(gf)) {
      if (gf.no == kGraphNode && gf.wt == kWireBytes) {
        const size_t i = node++;
        if (i == gsIndex)
          writeNode(gs);
        else if (!drop[i])
          gs.raw(gf.raw);
      } else if (gf.no == kGraphValueInfo && gf.wt == kWireBytes && gone.count(gsFirstStr(gf.payload, kNamedName))) {
        continue;  // a stale shape for a tensor that no longer exists
      } else {
        gs.raw(gf.raw);
      }
    }
  });
  if (addImport) {
    GsSink s(&out);
    gsPutOpsetImport(s, kZephraneDomain);
  }
  model.swap(out);
  reason.clear();
  return removed;
}

}  // namespace ka
