// Load-time retyping of director graph nodes, on model bytes held in memory.
//
// - rewriteGridSampleToFast: standard GridSample nodes that sample bilinearly with border padding
//   and align_corners 0 become com.zephrane::GridSampleFast (the CPU provider's faster kernel).
// - normaliseStudentBlend: the MatMul named "/s2/blend" becomes a Gemm, which accelerators accept.
// - graphHasBakedGridSampleFast: whether a model already carries GridSampleFast nodes.
//
// Each rewrite returns the number of nodes it changed; 0 leaves the bytes untouched and, when
// `reason` is given, says why. Every byte not belonging to a retyped node is kept. Malformed model
// bytes throw the wire errors of graph/onnx_wire.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/onnx_wire.h"
#include "ops/op_names.h"

namespace ka {

// One NodeProto: op_type "GridSample" in the default domain (absent, "" or "ai.onnx"), attribute
// "mode" given as "bilinear" or "linear", "padding_mode" given as "border", and "align_corners"
// 0 when it carries an integer. A node relying on ONNX's defaults for mode or padding does not
// qualify.
bool gsIsRewritableGridSample(GsSlice node);

// One NodeProto: a default-domain "MatMul" named "/s2/blend" with exactly two inputs and no
// attributes.
bool gsIsStudentBlendMatMul(GsSlice node);

size_t rewriteGridSampleToFast(std::vector<uint8_t>& model, std::string* reason = nullptr);
size_t normaliseStudentBlend(std::vector<uint8_t>& model, std::string* reason = nullptr);

// True when some opset_import of the model names `domain`.
bool gsImportsDomain(GsSlice model, const char* domain);
// Appends an opset_import (ModelProto field 8) for `domain`, version 1.
void gsPutOpsetImport(GsSink& s, const char* domain);

// True when some graph node has op_type "GridSampleFast" in domain "com.zephrane".
bool graphHasBakedGridSampleFast(GsSlice model);

}  // namespace ka
