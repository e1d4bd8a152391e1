#include "ops/int8_conv_op.h"

#include <cstdint>
#include <string>
#include <vector>

#include "ops/custom_op_base.h"
#include "ops/int8_conv.h"

namespace ka {

namespace {

// An integer-list attribute of `count` values, or `fallback` when the node does not carry it.
void readInts(const Ort::ConstKernelInfo& info, const char* name, int64_t* out, size_t count) {
  std::vector<int64_t> v;
  try {
    v = info.GetAttributes<int64_t>(name);
  } catch (const Ort::Exception&) {
    return;  // absent: keep the default
  }
  if (v.size() != count)
    throw Ort::Exception(std::string("Int8ConvVNNI: attribute '") + name + "' holds " + std::to_string(v.size()) +
                             " values, not " + std::to_string(count),
                         ORT_INVALID_ARGUMENT);
  for (size_t i = 0; i < count; ++i) out[i] = v[i];
}

Int8ConvAttrs readAttrs(const OrtKernelInfo* raw) {
  Ort::ConstKernelInfo info(raw);
  Int8ConvAttrs a;
  readInts(info, "strides", a.strides, 2);
  readInts(info, "pads", a.pads, 4);
  readInts(info, "dilations", a.dilations, 2);
  try {
    a.group = info.GetAttribute<int64_t>("group");
  } catch (const Ort::Exception&) {
    a.group = 1;
  }
  return a;
}

struct Int8ConvKernel : GuardedCompute<Int8ConvKernel> {
  static constexpr const char* kErrorPrefix = "com.zephrane.int8::Int8ConvVNNI";
  explicit Int8ConvKernel(const Int8ConvAttrs& a) : conv(a) {}
  Int8Conv conv;

  void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    Ort::ConstValue xv = ctx.GetInput(0), wv = ctx.GetInput(1), sv = ctx.GetInput(2), bv = ctx.GetInput(3);
    const std::vector<int64_t> xs = xv.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> ws = wv.GetTensorTypeAndShapeInfo().GetShape();
    if (xs.size() != 4 || ws.size() != 4)
      throw Ort::Exception("Int8ConvVNNI: X and Wq must be 4-D, got X " + opShapeText(xs) + " and Wq " +
                               opShapeText(ws),
                           ORT_INVALID_ARGUMENT);
    const size_t cout = size_t(ws[0] < 0 ? 0 : ws[0]);
    if (sv.GetTensorTypeAndShapeInfo().GetElementCount() != cout ||
        bv.GetTensorTypeAndShapeInfo().GetElementCount() != cout)
      throw Ort::Exception("Int8ConvVNNI: w_scale and bias must hold one value per output channel (" +
                               std::to_string(cout) + ")",
                           ORT_INVALID_ARGUMENT);
    int64_t ys[4];
    try {
      conv.outputShape(xs.data(), ws.data(), ys);
    } catch (const std::invalid_argument& e) {
      throw Ort::Exception(e.what(), ORT_INVALID_ARGUMENT);
    }
    Ort::UnownedValue yv = ctx.GetOutput(0, ys, 4);
    conv.run(xv.GetTensorData<float>(), xs.data(), wv.GetTensorData<int8_t>(), ws.data(), sv.GetTensorData<float>(),
             bv.GetTensorData<float>(), yv.GetTensorMutableData<float>());
  }
};

struct Int8ConvOp : Ort::CustomOpBase<Int8ConvOp, Int8ConvKernel, true> {
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const noexcept {
    try {
      *kernel = new Int8ConvKernel(readAttrs(info));
      return nullptr;
    } catch (const Ort::Exception& e) {
      return api.CreateStatus(e.GetOrtErrorCode(), e.what());
    } catch (const std::exception& e) {
      return api.CreateStatus(ORT_INVALID_ARGUMENT, e.what());
    }
  }
  const char* GetName() const { return kInt8ConvOp; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 4; }
  ONNXTensorElementDataType GetInputType(size_t i) const {
    return i == 1 ? ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8 : ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
};

}  // namespace

const OrtCustomOp* int8ConvCustomOp() { return customOpInstance<Int8ConvOp>(); }

}  // namespace ka
