#include "graph/graph_view.h"

namespace ka {

namespace {
constexpr uint32_t kGraphNode = 1, kGraphInit = 5, kGraphInput = 11, kGraphOutput = 12;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeName = 3, kNodeOpType = 4, kNodeDomain = 7;
constexpr uint32_t kNamedName = 1, kTensorName = 8;
}  // namespace

void wdReadNodes(GsSlice graph, std::vector<WdNode>& out) {
  out.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.no != kGraphNode || f.wt != kWireBytes) continue;
    WdNode n;
    n.index = out.size();
    n.bytes = f.payload;
    GsReader nr(f.payload);
    GsField nf;
    while (nr.next(nf)) {
      if (nf.wt != kWireBytes) continue;
      switch (nf.no) {
        case kNodeInput: n.inputs.push_back(nf.payload.str()); break;
        case kNodeOutput: n.outputs.push_back(nf.payload.str()); break;
        case kNodeName: n.name = nf.payload.str(); break;
        case kNodeOpType: n.opType = nf.payload.str(); break;
        case kNodeDomain: n.domain = nf.payload.str(); break;
        default: break;
      }
    }
    out.push_back(std::move(n));
  }
}

GraphIndex readGraphIndex(GsSlice graph) {
  GraphIndex g;
  wdReadNodes(graph, g.nodes);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wt != kWireBytes) continue;
    if (f.no == kGraphInit) g.inits[gsFirstStr(f.payload, kTensorName)] = f.payload;
    if (f.no == kGraphInput) g.inputs.insert(gsFirstStr(f.payload, kNamedName));
    if (f.no == kGraphOutput) g.outputs.insert(gsFirstStr(f.payload, kNamedName));
  }
  for (const WdNode& n : g.nodes) {
    for (const std::string& o : n.outputs)
      if (!o.empty()) g.producer[o] = n.index;
    for (const std::string& i : n.inputs)
      if (!i.empty()) g.readers[i].push_back(n.index);
  }
  return g;
}

}  // namespace ka
