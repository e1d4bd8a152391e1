// Reading an ONNX model's bytes, bounded before anything is allocated for them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// One ONNX model is one protobuf message, which cannot exceed 2 GiB; a larger file is not a model.
constexpr uint64_t kMaxModelBytes = uint64_t{1} << 31;

// The bytes of the model at `path`, read through the regular-file reader and refused before any
// allocation when over kMaxModelBytes. `who` starts every message: "<who>: cannot open <path>",
// "<who>: <path> is <n> bytes, more than the 2 GiB one ONNX model can hold", "<who>: short read on
// <path>".
std::vector<uint8_t> readModelBytes(const std::string& path, const char* who);

}  // namespace ka
