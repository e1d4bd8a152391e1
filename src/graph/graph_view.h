// A read-only view of one ONNX graph for the load-time rewrites that follow tensors from node to
// node: the nodes in order, who produces and who reads each tensor, the initializers, the graph's
// inputs and outputs. Names are copied; node and initializer payloads point into the model bytes,
// which must outlive the view.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "graph/onnx_wire.h"

namespace ka {

// One graph node.
struct WdNode {
  std::string opType, name, domain;
  std::vector<std::string> inputs, outputs;
  size_t index = 0;  // position in the graph
  GsSlice bytes;     // the NodeProto payload
};

// Every node of `graph` (a GraphProto payload), in order.
void wdReadNodes(GsSlice graph, std::vector<WdNode>& out);

struct GraphIndex {
  std::vector<WdNode> nodes;
  std::map<std::string, GsSlice> inits;  // initializer name -> TensorProto payload
  std::set<std::string> inputs, outputs;
  std::map<std::string, size_t> producer;              // tensor -> node index
  std::map<std::string, std::vector<size_t>> readers;  // tensor -> node indices, in order
};

GraphIndex readGraphIndex(GsSlice graph);

}  // namespace ka
