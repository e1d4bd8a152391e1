#include "runtime/session_options.h"

#include <cstdio>
#include <thread>

#include "base/thread_name.h"

namespace ka {
namespace {

void appendCuda(Ort::SessionOptions& options, size_t memBytes) {
  char bytes[32];
  std::snprintf(bytes, sizeof bytes, "%zu", memBytes);
  const OrtApi& api = Ort::GetApi();
  OrtCUDAProviderOptionsV2* cuda = nullptr;
  try {
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&cuda));
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit", "cudnn_conv_use_max_workspace",
                          "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", bytes, "0", "0"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda, keys, values, 5));
    options.AppendExecutionProvider_CUDA_V2(*cuda);
  } catch (...) {
    if (cuda) api.ReleaseCUDAProviderOptions(cuda);
    throw;
  }
  api.ReleaseCUDAProviderOptions(cuda);
}

// ONNX Runtime's pool threads, started here so that they carry a name. They keep the scheduling
// of the thread that opened the session, as threads ONNX Runtime starts itself would: the pool of a
// model the host runs through the core interface helps the host's own call and should wake as
// promptly as the host; one opened on a library worker is a worker too. Null (a refusal ONNX
// Runtime reports) when no thread can be started.
OrtCustomThreadHandle startPoolThread(void* name, OrtThreadWorkerFn work, void* param) {
  try {
    auto* t = new std::thread([name, work, param] {
      nameThisThread(static_cast<const char*>(name));
      work(param);
    });
    return reinterpret_cast<OrtCustomThreadHandle>(t);
  } catch (...) {
    return nullptr;
  }
}

void joinPoolThread(OrtCustomThreadHandle handle) {
  auto* t = reinterpret_cast<std::thread*>(const_cast<OrtCustomHandleType*>(handle));
  if (t->joinable()) t->join();
  delete t;
}

}  // namespace

Ort::SessionOptions makeSessionOptions(const SessionSettings& s) {
  Ort::SessionOptions o;
  if (s.intraThreads > 0) o.SetIntraOpNumThreads(s.intraThreads);
  o.SetInterOpNumThreads(s.interThreads);
  o.SetGraphOptimizationLevel(s.level);
  o.SetCustomCreateThreadFn(startPoolThread);
  o.SetCustomThreadCreationOptions(const_cast<char*>(s.threadName ? s.threadName : "ka-ort"));
  o.SetCustomJoinThreadFn(joinPoolThread);
  if (!s.spinning) o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (s.disableKleidiai) o.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (!s.profilePrefix.empty()) o.EnableProfiling(s.profilePrefix.c_str());
  for (auto add : s.customOps) add(o);
  if (!s.coreml.empty())
    o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                         {"MLComputeUnits", coremlUnits(s.coreml)},
                                         {"ModelCacheDirectory", coremlCacheDir(s.coremlCacheBase)}});
  if (s.cudaMemBytes) appendCuda(o, s.cudaMemBytes);
  return o;
}

std::string coremlUnits(const std::string& ep) {
  const std::string word = ep.size() > 7 ? ep.substr(7) : "all";
  if (word == "cpu") return "CPUOnly";
  if (word == "gpu") return "CPUAndGPU";
  if (word == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

std::string coremlCacheDir(const std::string& bundleDir) {
  const char* v = OrtGetApiBase()->GetVersionString();
  return bundleDir + "/.coreml_cache/ort" + ((v && *v) ? v : "unknown");
}

}  // namespace ka
