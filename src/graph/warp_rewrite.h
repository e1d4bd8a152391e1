// The director's warp block moved into one com.zephrane::WarpDirector node, at load time.
//
// In the m4b director graph the warp prior "P_rgb" reaches the crop through a fixed chain of
// standard operators: a source cone that depends on "P_rgb" alone and ends in one Concat (12
// channels: per colour the value and three second differences), one GridSample sampling that
// Concat with the predicted grid, and a recombination of Slice, Mul, Sub and Add nodes folding the
// 12 sampled channels back into 3. The rewrite replaces the whole chain, cone included, by one
// WarpDirector node reading "P_rgb" and the grid (kernel: ops/warp_director.h).
//
// Only the chain's shape is checked (GridSample, Slices, Mul/Sub/Add closure, one exit); the
// recombination's arithmetic is trusted to be the one the kernel computes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/graph_view.h"
#include "ops/op_names.h"

namespace ka {

// The located warp block.
struct WarpBlock {
  std::string boundary;  // the Concat output the cone ends in
  std::string grid;      // the GridSample's second input
  std::string exit;      // the one tensor the recombination hands to the rest of the graph
  size_t nodes = 0;      // GridSample, Slices and recombination nodes
};

// Locates the block: its node count, or 0 with `reason` set ("no out param" without `block`).
size_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason);

// Replaces the block and the source cone by the WarpDirector node; returns the number of nodes
// removed, or 0 with the bytes untouched and `reason` set. Malformed bytes throw the wire errors.
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

}  // namespace ka
