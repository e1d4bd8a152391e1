#include "ops/gridsample_fast_op.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "ops/custom_op_base.h"
#include "ops/op_names.h"
#include "ops/gridsample_fast.h"

namespace ka {

namespace {

struct BandJob {
  const float* x;
  const float* grid;
  float* y;
  int C, H, W;
};

void runBand(void* job, size_t band) {
  const auto* j = static_cast<const BandJob*>(job);
  const int r0 = int(band) * kGridSampleBandRows;
  gridsample_fast_band(j->x, j->grid, j->y, j->C, j->H, j->W, r0, r0 + kGridSampleBandRows);
}

struct GridSampleFastKernel : GuardedCompute<GridSampleFastKernel> {
  static constexpr const char* kErrorPrefix = "GridSampleFast";

  void compute(OrtKernelContext* context) {
    Ort::KernelContext ctx(context);
    Ort::ConstValue xv = ctx.GetInput(0);
    Ort::ConstValue gv = ctx.GetInput(1);
    const std::vector<int64_t> xs = xv.GetTensorTypeAndShapeInfo().GetShape();
    const std::vector<int64_t> gs = gv.GetTensorTypeAndShapeInfo().GetShape();
    if (xs.size() != 4)
      throw Ort::Exception("GridSampleFast: input X must be N x C x H x W, got " + opShapeText(xs),
                           ORT_INVALID_ARGUMENT);
    // The kernel samples a grid of the input's own height and width; anything else would read
    // past the grid, so it is refused rather than trusted.
    if (gs != std::vector<int64_t>{xs[0], xs[2], xs[3], 2})
      throw Ort::Exception("GridSampleFast: grid must be N x H x W x 2 = " + opShapeText({xs[0], xs[2], xs[3], 2}) +
                               " for X " + opShapeText(xs) + ", got " + opShapeText(gs),
                           ORT_INVALID_ARGUMENT);
    constexpr int64_t kMax = std::numeric_limits<int>::max();
    if (xs[1] > kMax || xs[2] > kMax || xs[3] > kMax)
      throw Ort::Exception("GridSampleFast: input X " + opShapeText(xs) + " is too large", ORT_INVALID_ARGUMENT);
    Ort::UnownedValue yv = ctx.GetOutput(0, xs);
    const int64_t N = xs[0];
    const int C = int(xs[1]), H = int(xs[2]), W = int(xs[3]);
    if (N == 0 || C == 0 || H == 0 || W == 0) return;
    const size_t image = size_t(C) * H * W, gridItem = size_t(H) * W * 2;
    const float* x = xv.GetTensorData<float>();
    const float* grid = gv.GetTensorData<float>();
    float* y = yv.GetTensorMutableData<float>();
    const size_t bands = size_t(H + kGridSampleBandRows - 1) / kGridSampleBandRows;
    for (int64_t n = 0; n < N; ++n) {
      BandJob job{x + n * image, grid + n * gridItem, y + n * image, C, H, W};
      ctx.ParallelFor(runBand, bands, 0, &job);
    }
  }
};

struct GridSampleFastOp : FloatCustomOp<GridSampleFastOp, GridSampleFastKernel, 2> {
  const char* GetName() const { return kGridSampleFastOp; }
};

}  // namespace

const OrtCustomOp* gridSampleFastCustomOp() { return customOpInstance<GridSampleFastOp>(); }

}  // namespace ka
