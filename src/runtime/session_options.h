// The one place ONNX Runtime session options are built. Every model of the library (the director,
// its source-cone prep, the audio encoders and engines) describes what it needs in a
// `SessionSettings` and gets its options from `makeSessionOptions`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace ka {

struct SessionSettings {
  int intraThreads = 0;  // intra-op threads; 0 leaves ONNX Runtime's default
  int interThreads = 1;
  GraphOptimizationLevel level = GraphOptimizationLevel::ORT_ENABLE_ALL;
  bool spinning = true;          // false: "session.intra_op.allow_spinning" = "0"
  bool disableKleidiai = false;  // "mlas.disable_kleidiai" = "1"
  std::string profilePrefix;     // non-empty: profiling on, its files named from this prefix
  // Custom operator domains to add, each through its registration function.
  std::vector<void (*)(Ort::SessionOptions&)> customOps;
  // A "coreml..." provider string: the CoreML provider (MLProgram, the units the string names,
  // its compiled-model cache under coremlCacheBase). Empty: none.
  std::string coreml;
  std::string coremlCacheBase;
  // Non-zero: the CUDA provider on device 0 with this memory limit (throws when it cannot be added).
  size_t cudaMemBytes = 0;
  // The name of the session's pool threads (a string literal; 15 characters are kept). The library
  // starts them itself, named, with the scheduling of the thread that opens the session, and joins
  // them when ONNX Runtime releases the pool.
  const char* threadName = "ka-ort";
};

// The options `s` describes. Failures of ONNX Runtime calls throw Ort::Exception.
Ort::SessionOptions makeSessionOptions(const SessionSettings& s);

// The CoreML model cache directory of a bundle: dir + "/.coreml_cache/ort" + ORT's version.
std::string coremlCacheDir(const std::string& bundleDir);

// The CoreML compute-unit set named by a "coreml..." provider string: the word after its first
// seven characters ("all" when there is none): cpu -> CPUOnly, gpu -> CPUAndGPU,
// ane -> CPUAndNeuralEngine, anything else -> ALL.
std::string coremlUnits(const std::string& ep);

}  // namespace ka
