// GridSampleFast: bilinear grid sampling with border padding and align_corners 0, for a grid with
// the input's height and width (so the output has the input's shape).
//
// x: C planes of H x W floats; grid: H x W pairs (gx, gy) normalised to [-1, 1] (values outside
// read the border); y: C planes of H x W. For output pixel (i, j) with (gx, gy) = grid[i][j]:
//   px = ((1 + gx) * 0.5) * W - 0.5,  py = ((1 + gy) * 0.5) * H - 0.5
//   x0 = floor(px), y0 = floor(py), fx = px - x0, fy = py - y0
//   taps at columns clamp(x0, 0, W-1), clamp(x0+1, 0, W-1) and rows clamp(y0, ...), clamp(y0+1, ...)
//   y = ((w00*X[ya][xa] + w01*X[ya][xb]) + w10*X[yb][xa]) + w11*X[yb][xb]
// Clamping the tap indices while keeping the fractional weights is exactly border padding.
//
// The dispatched kernel runs a vectorised body for the best Highway target the processor supports
// (the choice is made once per process, on the first call) and reproduces the scalar formula bit
// for bit on every target. Positions beyond the 32-bit integer range (huge or non-finite grid
// values) give unspecified values but never read outside x.
#pragma once

namespace ka {

// One batch item, output rows [max(rowBegin, 0), min(rowEnd, H)).
void gridsample_fast_band(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin, int rowEnd);
// One batch item, all rows.
void gridsample_fast(const float* x, const float* grid, float* y, int C, int H, int W);

// The plain scalar formula, one output pixel at a time: the reference for tests and benchmarks.
void GridSampleFastBandScalar(const float* x, const float* grid, float* y, int C, int H, int W, int rowBegin,
                              int rowEnd);

// Name of the Highway target gridsample_fast_band dispatches to ("AVX2", "AVX3", "AVX3_DL", ...).
const char* gridSampleFastTarget();

// Output rows per parallel task of the ONNX Runtime kernel.
inline constexpr int kGridSampleBandRows = 16;

}  // namespace ka
