// Runs model bytes in ONNX Runtime on float inputs, for comparing a rewritten graph with its
// original or a custom kernel with ONNX Runtime's own operator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "ops/domain.h"

namespace ka::test {

struct OrtFeed {
  const char* name;
  const std::vector<float>* data;
  std::vector<int64_t> shape;
};

// One run of `model` on the CPU provider with `threads` intra-op threads; the "com.zephrane"
// domain is registered when `zephrane` is set. Returns output `output` as a flat vector.
inline std::vector<float> ortRun(Ort::Env& env, const std::vector<uint8_t>& model, bool zephrane, int threads,
                                 const std::vector<OrtFeed>& feeds, const char* output) {
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(threads);
  opts.SetInterOpNumThreads(1);
  opts.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (zephrane) ka::registerGridSampleFast(opts);
  Ort::Session session(env, model.data(), model.size(), opts);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (const auto& f : feeds) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(f.data->data()), f.data->size(),
                                                     f.shape.data(), f.shape.size()));
    names.push_back(f.name);
  }
  auto out = session.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &output, 1);
  const float* y = out[0].GetTensorData<float>();
  return std::vector<float>(y, y + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

}  // namespace ka::test
