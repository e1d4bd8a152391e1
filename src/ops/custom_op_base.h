// The ONNX Runtime plumbing the engine's CPU operators share: a compute wrapper that turns
// exceptions into statuses, and a base for operators with float inputs and one float output of the
// first input's shape.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace ka {

// "[d0,d1,...]", for shape messages.
inline std::string opShapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

// Runs `kernel.compute(context)`; an ORT exception keeps its code, any other becomes ORT_FAIL with
// `prefix` + ": " + its text.
template <class Kernel>
OrtStatusPtr computeGuarded(Kernel& kernel, OrtKernelContext* context, const char* prefix) noexcept {
  try {
    kernel.compute(context);
    return nullptr;
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_FAIL, (std::string(prefix) + ": " + e.what()).c_str());
  }
}

// Base of a kernel `K` with `void compute(OrtKernelContext*)` and `static constexpr const char*
// kErrorPrefix`: gives it the ComputeV2 ONNX Runtime calls.
template <class K>
struct GuardedCompute {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) noexcept {
    return computeGuarded(static_cast<K&>(*this), context, K::kErrorPrefix);
  }
};

// The process-wide description of operator `Op`, never destroyed: sessions may still hold its
// kernels while the process exits.
template <class Op>
const OrtCustomOp* customOpInstance() {
  static const Op* op = new Op();
  return op;
}

// An operator description on the CPU provider whose kernels are default-constructed `Kernel`s.
// `Op` supplies GetName().
template <class Op, class Kernel, size_t Inputs>
struct FloatCustomOp : Ort::CustomOpBase<Op, Kernel, true> {
  FloatCustomOp() { OrtCustomOp::InferOutputShapeFn = &inferOutputShape; }

  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo*, void** kernel) const noexcept {
    try {
      *kernel = new Kernel();
      return nullptr;
    } catch (const std::exception& e) {
      return api.CreateStatus(ORT_FAIL, e.what());
    }
  }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return Inputs; }
  ONNXTensorElementDataType GetInputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const { return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT; }

  // The output has the first input's shape; telling ONNX Runtime so lets it plan the graph below.
  // Read through the C interface: the C++ wrapper's context takes ownership of the input shapes it
  // only borrows, so a throw while it copies them (an allocation failing) frees them twice.
  static OrtStatusPtr inferOutputShape(const OrtCustomOp*, OrtShapeInferContext* ctx) noexcept {
    const OrtApi& api = Ort::GetApi();
    try {
      OrtTensorTypeAndShapeInfo* in = nullptr;  // owned by ctx: never released here
      Ort::ThrowOnError(api.ShapeInferContext_GetInputTypeShape(ctx, 0, &in));
      size_t rank = 0;
      Ort::ThrowOnError(api.GetDimensionsCount(in, &rank));
      std::vector<int64_t> dims(rank);
      std::vector<const char*> names(rank);
      Ort::ThrowOnError(api.GetDimensions(in, dims.data(), rank));
      Ort::ThrowOnError(api.GetSymbolicDimensions(in, names.data(), rank));
      OrtTensorTypeAndShapeInfo* raw = nullptr;
      Ort::ThrowOnError(api.CreateTensorTypeAndShapeInfo(&raw));
      const Ort::TensorTypeAndShapeInfo out(raw);
      Ort::ThrowOnError(api.SetTensorElementType(raw, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT));
      Ort::ThrowOnError(api.SetDimensions(raw, dims.data(), rank));
      Ort::ThrowOnError(api.SetSymbolicDimensions(raw, names.data(), rank));
      return api.ShapeInferContext_SetOutputTypeShape(ctx, 0, raw);
    } catch (const Ort::Exception& e) {
      return api.CreateStatus(e.GetOrtErrorCode(), e.what());
    } catch (const std::exception& e) {
      return api.CreateStatus(ORT_FAIL, e.what());
    }
  }
};

}  // namespace ka
