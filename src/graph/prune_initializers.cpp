#include "graph/prune_initializers.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "graph/onnx_wire.h"

namespace ka {
namespace {

// GraphProto fields.
constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12;
// NodeProto: input 1, attribute 5. AttributeProto: g 6, graphs 11. ValueInfoProto and TensorProto
// names: 1 and 8.
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeOpType = 4, kNodeAttribute = 5, kNodeDomain = 7;
constexpr uint32_t kAttrGraph = 6, kAttrGraphs = 11;
constexpr uint32_t kValueInfoName = 1, kTensorName = 8;

// Every name a node of `graph` or of its subgraphs reads, and the graph's own inputs and outputs.
void collectReads(GsSlice graph, std::unordered_set<std::string>& reads) {
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wt != kWireBytes) continue;
    if (f.no == kGraphInput || f.no == kGraphOutput) {
      reads.insert(gsFirstStr(f.payload, kValueInfoName));
    } else if (f.no == kGraphNode) {
      GsReader nr(f.payload);
      GsField nf;
      while (nr.next(nf)) {
        if (nf.wt != kWireBytes) continue;
        if (nf.no == kNodeInput) {
          reads.insert(nf.payload.str());
        } else if (nf.no == kNodeAttribute) {
          GsReader ar(nf.payload);
          GsField af;
          while (ar.next(af))
            if (af.wt == kWireBytes && (af.no == kAttrGraph || af.no == kAttrGraphs)) collectReads(af.payload, reads);
        }
      }
    }
  }
}

// An initializer nothing reads, or a Constant node (default domain) whose outputs nothing reads.
bool unread(const GsField& f, const std::unordered_set<std::string>& reads) {
  if (f.wt != kWireBytes) return false;
  if (f.no == kGraphInitializer) return !reads.count(gsFirstStr(f.payload, kTensorName));
  if (f.no != kGraphNode || gsFirstStr(f.payload, kNodeOpType) != "Constant") return false;
  const std::string domain = gsFirstStr(f.payload, kNodeDomain);
  if (!domain.empty() && domain != "ai.onnx") return false;
  std::vector<std::string> outputs;
  gsAllStr(f.payload, kNodeOutput, outputs);
  for (const std::string& o : outputs)
    if (reads.count(o)) return false;
  return true;
}

}  // namespace

size_t pruneUnusedInitializers(std::vector<uint8_t>& model) {
  const GsSlice graph = gsGraphOf(GsSlice(model));
  if (graph.empty()) return 0;
  std::unordered_set<std::string> reads;
  collectReads(graph, reads);
  size_t dropped = 0;
  {
    GsReader r(graph);
    GsField f;
    while (r.next(f)) dropped += unread(f, reads) ? 1 : 0;
  }
  if (!dropped) return 0;
  std::vector<uint8_t> out;
  out.reserve(model.size());
  gsRewriteFirstGraph(GsSlice(model), out, [&](GsSlice g, GsSink& s) {
    GsReader r(g);
    GsField f;
    while (r.next(f))
      if (!unread(f, reads)) s.raw(f.raw);
  });
  model.swap(out);
  return dropped;
}

}  // namespace ka
