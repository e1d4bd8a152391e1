// The ONNX Runtime description of com.zephrane::GridSampleFast: two float inputs (X: N x C x H x W,
// grid: N x H x W x 2), one float output with X's shape, on the CPU execution provider.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace ka {

// The process-wide operator description; it lives until the process exits.
const OrtCustomOp* gridSampleFastCustomOp();

}  // namespace ka
