// The ONNX Runtime description of com.zephrane.int8::Int8ConvVNNI: inputs X (float,
// N x Cin x H x W), Wq (int8, Cout x Cin/group x KH x KW), w_scale (float, Cout) and bias (float,
// Cout); one float output N x Cout x Hout x Wout; on the CPU execution provider. The attributes
// "strides", "pads" (top, left, bottom, right), "dilations" and "group" are read when the kernel
// is created; an absent one takes the convolution default (1s, 0s, 1s, 1).
#pragma once

#include <onnxruntime_cxx_api.h>

#include "ops/op_names.h"

namespace ka {

// The process-wide operator description; it lives until the process exits.
const OrtCustomOp* int8ConvCustomOp();

}  // namespace ka
