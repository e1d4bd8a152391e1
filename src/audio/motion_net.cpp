#include "audio/motion_net.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/env.h"
#include "base/regular_file.h"
#include "runtime/session_options.h"

namespace ka {
namespace {

int64_t elements(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? "," : "") + std::to_string(shape[i]);
  return s + "]";
}

// The shape to feed for a declared shape: the expected one when the rank is unknown (no shape
// declared) or every declared dimension is free or equal to it, the declared one when it is fixed
// and holds as many elements; else empty.
std::vector<int64_t> feedShape(const Ort::ConstTensorTypeAndShapeInfo& info, const std::vector<int64_t>& expected) {
  if (!info.HasShape()) return expected;
  const std::vector<int64_t> declared = info.GetShape();
  bool fits = declared.size() == expected.size();
  for (size_t i = 0; fits && i < declared.size(); ++i) fits = declared[i] < 0 || declared[i] == expected[i];
  if (fits) return expected;
  bool fixed = !declared.empty();
  for (int64_t d : declared) fixed = fixed && d > 0 && d <= (int64_t{1} << 31);
  if (fixed && elements(declared) == elements(expected)) return declared;
  return {};
}

std::string dirOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

struct MotionNet::Impl {
  std::string path;
  std::unique_ptr<Ort::Session> session;
  std::vector<NetPort> inputs;
  std::vector<std::vector<int64_t>> feed;
  std::vector<const char*> inNames;
  NetPort output;
  const char* outName = nullptr;
  int64_t outCount = 0;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  double seconds = 0.0;

  [[noreturn]] void refuse(const std::string& why) const { throw std::runtime_error(path + ": " + why); }
  void check();
};

void MotionNet::Impl::check() {
  if (session->GetInputCount() != inputs.size() || session->GetOutputCount() != 1) {
    std::string want;
    for (const NetPort& p : inputs) want += (want.empty() ? "" : ", ") + p.name + shapeText(p.shape);
    refuse(std::to_string(session->GetInputCount()) + " inputs and " + std::to_string(session->GetOutputCount()) +
           " outputs, expected inputs " + want + " and one output");
  }
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names(inputs.size());
  std::vector<Ort::TypeInfo> types;
  for (size_t i = 0; i < inputs.size(); ++i) {
    names[i] = session->GetInputNameAllocated(i, alloc).get();
    types.push_back(session->GetInputTypeInfo(i));
    if (types[i].GetONNXType() != ONNX_TYPE_TENSOR) refuse("input '" + names[i] + "' is not a tensor");
    if (types[i].GetTensorTypeAndShapeInfo().GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      refuse("input '" + names[i] + "' is not float");
  }
  feed.resize(inputs.size());
  for (size_t k = 0; k < inputs.size(); ++k) {
    size_t i = 0;
    while (i < names.size() && names[i] != inputs[k].name) ++i;
    if (i == names.size()) refuse("no input '" + inputs[k].name + "' (first input is '" + names[0] + "')");
    const auto ti = types[i].GetTensorTypeAndShapeInfo();
    feed[k] = feedShape(ti, inputs[k].shape);
    if (feed[k].empty())
      refuse("input '" + inputs[k].name + "' is " + shapeText(ti.GetShape()) + ", expected " +
             shapeText(inputs[k].shape));
    inNames.push_back(inputs[k].name.c_str());
  }
  Ort::TypeInfo info = session->GetOutputTypeInfo(0);
  if (info.GetONNXType() != ONNX_TYPE_TENSOR) refuse("output is not a tensor");
  auto ti = info.GetTensorTypeAndShapeInfo();
  if (ti.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) refuse("output is not float");
  if (feedShape(ti, output.shape).empty())
    refuse("output is " + shapeText(ti.GetShape()) + ", expected " + shapeText(output.shape));
  output.name = session->GetOutputNameAllocated(0, alloc).get();
  outName = output.name.c_str();
  outCount = elements(output.shape);
}

MotionNet::MotionNet(Ort::Env& env, const std::string& path, int threads, const std::string& ep,
                     std::vector<NetPort> inputs, NetPort output)
    : impl_(new Impl) {
  impl_->path = path;
  impl_->inputs = std::move(inputs);
  impl_->output = std::move(output);
  if (!ep.empty() && ep.rfind("coreml", 0) != 0) throw std::runtime_error("ka_motion: unknown ep '" + ep + "'");
  SessionSettings settings;
  settings.threadName = "ka-ort-motion";
  settings.intraThreads = threads;
  settings.spinning = env::is("KA_ORT_SPIN", "1");
  // The compiled-model cache lives beside the models, in the motion directory.
  settings.coreml = ep;
  settings.coremlCacheBase = dirOf(path);
  Ort::SessionOptions options = makeSessionOptions(settings);
  requireRegularFile(path);
  try {
    impl_->session.reset(new Ort::Session(env, path.c_str(), options));
  } catch (const Ort::Exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  impl_->check();
}

MotionNet::~MotionNet() = default;

void MotionNet::run(const float* const* inputs, float* out) {
  Impl& s = *impl_;
  std::vector<Ort::Value> values;
  values.reserve(s.inputs.size());
  for (size_t k = 0; k < s.inputs.size(); ++k) {
    const std::vector<int64_t>& shape = s.feed[k];
    values.push_back(Ort::Value::CreateTensor<float>(s.mem, const_cast<float*>(inputs[k]),
                                                     static_cast<size_t>(elements(shape)), shape.data(), shape.size()));
  }
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<Ort::Value> result =
      s.session->Run(Ort::RunOptions{nullptr}, s.inNames.data(), values.data(), values.size(), &s.outName, 1);
  s.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  auto ti = result[0].GetTensorTypeAndShapeInfo();
  if (static_cast<int64_t>(ti.GetElementCount()) != s.outCount)
    throw std::runtime_error(s.path + ": output holds " + std::to_string(ti.GetElementCount()) + " values, expected " +
                             std::to_string(s.outCount));
  std::memcpy(out, result[0].GetTensorData<float>(), sizeof(float) * static_cast<size_t>(s.outCount));
}

double MotionNet::runSeconds() const { return impl_->seconds; }

}  // namespace ka
