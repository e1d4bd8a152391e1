// The names of the custom operators the library's kernels implement: the domains they are
// registered under and the op_type each answers to. The load-time rewrites write these names into
// a model's nodes; the operator descriptions return them to ONNX Runtime.
#pragma once

namespace ka {

// The domain of the engine's float kernels and its operators.
inline constexpr const char* kZephraneDomain = "com.zephrane";
inline constexpr const char* kGridSampleFastOp = "GridSampleFast";
inline constexpr const char* kWarpDirectorOp = "WarpDirector";

// The domain of the int8 convolution and its operator.
inline constexpr const char* kInt8Domain = "com.zephrane.int8";
inline constexpr const char* kInt8ConvOp = "Int8ConvVNNI";

}  // namespace ka
