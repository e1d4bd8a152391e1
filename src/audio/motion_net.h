// One ONNX model of the audio-to-motion engine: a session whose float inputs and single float
// output are checked against fixed names and shapes at open, run over caller buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace ka {

struct NetPort {
  std::string name;
  std::vector<int64_t> shape;
};

class MotionNet {
 public:
  // Opens `path` (which must be a regular file) on `env` with `threads` intra-op threads and the
  // provider string `ep` ("" for the CPU, "coreml..." for CoreML: "ka_motion: unknown ep '<ep>'"
  // otherwise). Refuses ("<path>: ...") a model whose inputs are not exactly `inputs` (by name;
  // no declared shape, each declared dimension free or equal, or a fixed shape of the same size)
  // or whose single output cannot hold `output`'s element count. An input without a declared
  // shape is fed the expected one.
  MotionNet(Ort::Env& env, const std::string& path, int threads, const std::string& ep, std::vector<NetPort> inputs,
            NetPort output);
  ~MotionNet();
  MotionNet(const MotionNet&) = delete;
  MotionNet& operator=(const MotionNet&) = delete;

  // Runs with one buffer per input (in the order given at open) and copies the output to `out`
  // (the output port's element count). Throws when the output's size differs.
  void run(const float* const* inputs, float* out);

  // Seconds spent inside Session::Run so far.
  double runSeconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
