// Binding the lip contour into the director graph at load: a new graph input "lip_delivery" (one
// float mask per frame, E x E) limits the compose alpha through Min(alpha, lip_delivery) in front
// of the compose tail's two readers of the alpha, so the mouth composes inside the rasterised lip
// contour rather than the graph's own ellipse.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// The names the binding adds to the graph.
extern const char* const kLipDeliveryInput;    // "lip_delivery"
extern const char* const kLipDeliveryMinNode;  // "tessera_lipdel_min"
extern const char* const kLipDeliveryAlpha;    // "tessera_lipdel_alpha"

// Returns 1 and rewrites `model` when bound, storing the compose canvas edge in `*canvas`; returns
// 0 with the reason in `*reason` (model untouched) when the graph cannot be bound. Malformed bytes
// throw the wire reader's errors.
int rewriteBindLipContour(std::vector<uint8_t>& model, std::string* reason, int* canvas);

}  // namespace ka
