// The director head's cubic x2 Resize rewritten, at load time, into standard operators that the
// CPU provider runs fast and accelerator providers can claim: an edge Pad by 2, a depthwise 5x5
// convolution producing the four sub-pixel phases of every channel, and a DepthToSpace (CRD)
// interleaving them. The filter comes from the Resize's own cubic coefficient; the result equals
// the cubic half_pixel resize with edge clamping to float round-off.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ka {

// The four cubic weights of the taps at floor(x) - 1 .. floor(x) + 2 for fraction t and
// coefficient a, computed in double and normalised to sum 1.
std::array<double, 4> hcTaps(double t, double a);

// Replaces the one qualifying Resize (mode cubic, half_pixel, scales {1, 1, 2, 2} from a Constant
// node, read by one Conv whose channels match the bias above it); returns 1, or 0 with the bytes
// untouched when the graph holds no such Resize or more than one. Malformed bytes throw the wire
// errors.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

}  // namespace ka
