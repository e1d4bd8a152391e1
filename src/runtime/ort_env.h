// ONNX Runtime environment construction shared by everything that runs a network.
#pragma once

#include <string>

#include <onnxruntime_cxx_api.h>

namespace ka {

// A new environment logging at warning level under `logId` ("ka" for the renderer).
Ort::Env makeOrtEnv(const char* logId);

// The version string of the ONNX Runtime library actually loaded (not the headers').
std::string ortRuntimeVersion();

}  // namespace ka
