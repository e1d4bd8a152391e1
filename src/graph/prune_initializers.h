// Drops the constants no node reads any more (a rewrite that replaces nodes leaves the initializers
// and Constant nodes only they read behind); the runtime would otherwise warn about each at session
// creation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ka {

// Removes from the model's first graph every initializer, and every Constant node, whose value no
// node (nor a subgraph's node) reads and that is neither a graph input nor a graph output. Returns
// how many it removed; the model is left byte for byte as it was when none is.
size_t pruneUnusedInitializers(std::vector<uint8_t>& model);

}  // namespace ka
