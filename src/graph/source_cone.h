// The source cone of the director graph: the nodes that depend only on the warp prior "P_rgb",
// which changes with the source frame and not with the per-frame keypoints. The cone ends in the
// one Concat that reads "P_rgb" directly (the boundary). Splitting the model there gives a prep
// model (P_rgb -> boundary) to run once per source frame and a per-frame model that takes the
// boundary as an input instead of computing it.
//
// Nothing here throws for "not applicable": each function returns false (or a count other than
// one) with a reason, and the model bytes are never modified. Malformed bytes raise the wire
// reader's errors (graph/onnx_wire.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/onnx_wire.h"

namespace ka {

// The graph input the hoist takes out of the per-frame model.
constexpr const char* kHoistSource = "P_rgb";

// One node as the cone analysis sees it.
struct GsNodeInfo {
  std::string opType;
  std::string name;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
};

// Reads the graph's nodes (in order), its initializer names and its graph input names.
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::unordered_set<std::string>& initializers,
                 std::unordered_set<std::string>& inputs);

// The number of Concat nodes that list "P_rgb" among their inputs and have a non-empty first
// output. With exactly one, `boundary` receives that output's name; otherwise it is cleared.
size_t findSourceConeBoundary(GsSlice model, std::string& boundary);

// Marks (mask[i] != 0) the nodes the boundary is computed by, walking producers back to "P_rgb"
// and initializers. False with a reason when the cone reads another graph input, reaches a tensor
// nothing produces, lets one of its values escape to a node outside it (or to a graph output), or
// when a node outside it reads "P_rgb" too.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::unordered_set<std::string>& initializers,
                  const std::unordered_set<std::string>& inputs, const std::string& boundary,
                  std::vector<uint8_t>& mask, std::string& reason);

// The prep model: the cone nodes (and every Constant node), "P_rgb" as the only input, the
// boundary as the only output (float, rank 4, symbolic dimensions).
bool buildSourceConePrep(GsSlice model, const std::string& boundary, std::vector<uint8_t>& prep, std::string& reason);

// The per-frame model: the cone nodes and the "P_rgb" input gone, the boundary a graph input of
// the given dimensions (a dimension that is not positive is written symbolically).
bool buildSourceConePerFrame(GsSlice model, const std::string& boundary, const int64_t* dims, int rank,
                             std::vector<uint8_t>& perFrame, std::string& reason);

}  // namespace ka
