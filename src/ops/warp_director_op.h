// The ONNX Runtime description of com.zephrane::WarpDirector: two float inputs (the 3-channel
// source, N x 3 x H x W, and the sampling grid, N x H x W x 2), one float output with the source's
// shape, on the CPU execution provider. Each kernel instance keeps its plane scratch between runs.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace ka {

// The process-wide operator description; it lives until the process exits.
const OrtCustomOp* warpDirectorCustomOp();

}  // namespace ka
