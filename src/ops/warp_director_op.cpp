#include "ops/warp_director_op.h"

#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "ops/custom_op_base.h"
#include "ops/op_names.h"
#include "ops/warp_director.h"

namespace ka {

namespace {

struct PassJob {
  const float* src;
  const float* grid;
  float* planes;
  float* out;
  int W, H;
};

void planesTask(void* job, size_t band) {
  const auto* j = static_cast<const PassJob*>(job);
  const int r0 = int(band) * kWarpBandRows;
  warpDirectorPlanesBand(j->src, j->planes, j->W, j->H, r0, r0 + kWarpBandRows);
}

void gatherTask(void* job, size_t band) {
  const auto* j = static_cast<const PassJob*>(job);
  const int r0 = int(band) * kWarpBandRows;
  warpDirectorGatherBand(j->planes, j->grid, j->out, j->W, j->H, r0, r0 + kWarpBandRows);
}

struct WarpDirectorKernel : GuardedCompute<WarpDirectorKernel> {
  static constexpr const char* kErrorPrefix = "com.zephrane::WarpDirector";

  int lastW = 0, lastH = 0;
  std::vector<float> scratch;  // the planes of the batch item being warped; only grows
  // ONNX Runtime may run one session from several threads at once; the scratch is this instance's,
  // so such runs take turns here instead of resizing it under each other.
  std::mutex busy;

  void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    Ort::ConstValue sv = ctx.GetInput(0);
    Ort::ConstValue gv = ctx.GetInput(1);
    const std::vector<int64_t> ss = sv.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = gv.GetTensorTypeAndShapeInfo().GetShape();
    if (ss.size() != 4)
      throw Ort::Exception("com.zephrane::WarpDirector: the source must be N x 3 x H x W, got " + opShapeText(ss),
                           ORT_INVALID_ARGUMENT);
    if (ss[1] != 3)
      throw Ort::Exception(
          "com.zephrane::WarpDirector: this node warps the director's 3-channel source and the "
          "graph handed it C=" +
              std::to_string(ss[1]) + ". REFUSING rather than writing a frame nobody asked for.",
          ORT_INVALID_ARGUMENT);
    // The kernel reads 2 H W grid values per item; a grid of another shape is refused, not trusted.
    if (gs != std::vector<int64_t>{ss[0], ss[2], ss[3], 2})
      throw Ort::Exception(
          "com.zephrane::WarpDirector: grid must be N x H x W x 2 = " + opShapeText({ss[0], ss[2], ss[3], 2}) +
              " for source " + opShapeText(ss) + ", got " + opShapeText(gs),
          ORT_INVALID_ARGUMENT);
    // Plane offsets are 32-bit: 12 H W must stay below 2^31.
    if (ss[2] > 0 && ss[3] > 0 && ss[2] * ss[3] > int64_t(std::numeric_limits<int32_t>::max() / 12))
      throw Ort::Exception("com.zephrane::WarpDirector: source " + opShapeText(ss) + " is too large",
                           ORT_INVALID_ARGUMENT);
    std::lock_guard<std::mutex> lock(busy);
    Ort::UnownedValue ov = ctx.GetOutput(0, ss);
    const int64_t N = ss[0];
    const int H = int(ss[2]), W = int(ss[3]);
    if (N == 0 || H == 0 || W == 0) return;
    lastW = W;
    lastH = H;
    if (scratch.size() < warpPlanesFloats(W, H)) scratch.resize(warpPlanesFloats(W, H));
    const size_t image = size_t(3) * H * W, gridItem = size_t(2) * H * W;
    const float* src = sv.GetTensorData<float>();
    const float* grid = gv.GetTensorData<float>();
    float* out = ov.GetTensorMutableData<float>();
    const size_t bands = size_t(H + kWarpBandRows - 1) / kWarpBandRows;
    for (int64_t n = 0; n < N; ++n) {
      PassJob job{src + n * image, grid + n * gridItem, scratch.data(), out + n * image, W, H};
      // A gather band reads planes of its neighbouring rows: the planes pass completes first.
      ctx.ParallelFor(planesTask, bands, 0, &job);
      ctx.ParallelFor(gatherTask, bands, 0, &job);
    }
  }
};

struct WarpDirectorOp : FloatCustomOp<WarpDirectorOp, WarpDirectorKernel, 2> {
  const char* GetName() const { return kWarpDirectorOp; }
};

}  // namespace

const OrtCustomOp* warpDirectorCustomOp() { return customOpInstance<WarpDirectorOp>(); }

}  // namespace ka
