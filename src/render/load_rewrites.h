// The director graph's load-time rewrites, run in a fixed order on the model bytes before the
// session is created. Each rewrite reports how many nodes it changed (0 with a reason when it does
// not apply); none throws for "not applicable". A malformed model throws the wire reader's errors.
//
// This is the one place the renderer calls them; a rewrite joins the load sequence here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

struct LoadRewriteOptions {
  bool cpuProvider = true;       // the ORT CPU execution provider serves the session
  bool gridSampleRewrite = true; // GridSample -> com.zephrane::GridSampleFast
  bool warpNode = false;         // warp block -> com.zephrane::WarpDirector (KA_WARP_NODE)
};

// KA_WARP_NODE as the renderer reads it: set, non-empty, first character not '0'.
bool warpNodeRequested();

struct LoadRewriteReport {
  size_t warp = 0;
  size_t gridSample = 0;
  size_t blend = 0;
  size_t headCubic = 0;
  size_t lip = 0;
  bool warpApplied() const { return warp != 0; }
  bool changedGraph() const { return warp || gridSample || blend || headCubic || lip; }
};

// Runs the rewrites in their load order on `model`. The warp block's outcome is printed as soon as
// it is known (it decides whether anything is left for the source-cone hoist); the other lines
// come from logLoadRewrites.
LoadRewriteReport applyLoadRewrites(std::vector<uint8_t>& model, const LoadRewriteOptions& opt);

// Prints the log line of every rewrite that changed the graph, in the load sequence's order.
void logLoadRewrites(const LoadRewriteReport& r, const std::string& modelName);

}  // namespace ka
