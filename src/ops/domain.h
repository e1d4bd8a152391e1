// The custom operator domain "com.zephrane" and its registration on ONNX Runtime session options.
//
// The domain is created once per process (thread-safe) with every operator whose kernel the
// library carries, and is never released while the process runs: sessions keep referring to it.
// Registering on several session options adds the same domain object each time; the operators are
// added to it exactly once.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace ka {

// The "com.zephrane" domain, created with its operators on first use.
OrtCustomOpDomain* zephraneDomain();

// Each adds the whole "com.zephrane" domain (GridSampleFast and WarpDirector) to `options`, so
// either makes both operators available. Failures of ONNX Runtime calls throw Ort::Exception.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// Adds the "com.zephrane.int8" domain (Int8ConvVNNI) to `options`; the domain is created, and the
// operator added to it, once per process.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

}  // namespace ka
