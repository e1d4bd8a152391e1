// WarpDirector: cubic resampling of the director's 3-channel source at the positions of a sampling
// grid, built from bilinear interpolation of each pixel's value and second differences, with the
// taps clamped to the image border.
//
// Two passes over one batch item:
// - planes: for every source pixel (r, c) and channel ch, with v(y, x) reading the channel at the
//   clamped row and column, in float and in this order
//     P0 = v(r, c)
//     P1 = (v(r, c-1) - 2 v(r, c)) + v(r, c+1)
//     P2 = (v(r-1, c) - 2 v(r, c)) + v(r+1, c)
//     P3 = (((v(r-1, c-1) - 2 v(r, c-1)) + v(r+1, c-1)) - 2 P2) + ((v(r-1, c+1) - 2 v(r, c+1)) + v(r+1, c+1))
//   stored per pixel (row-major) as 12 floats: channel ch's P0..P3 at offset 4 ch.
// - gather: for output pixel j = i W + x with (gx, gy) = grid[2j], grid[2j + 1]:
//     X = ((1 + gx) W - 1) 0.5, Y likewise with H
//     tx = X - floor(X), Nx = ((1 - tx) tx) 0.5 (Ny likewise): from the unclamped position
//     xc = 0 when X < 0 (or X is NaN), else min(X, W - 1); x0 = floor(xc), fx = xc - x0,
//     x1 = min(x0 + 1, W - 1) (rows likewise)
//     w00 = (1 - fx)(1 - fy), w01 = fx (1 - fy), w10 = (1 - fx) fy, w11 = fx fy
//     A_k = ((w00 P_k(y0,x0) + w01 P_k(y0,x1)) + w10 P_k(y1,x0)) + w11 P_k(y1,x1)
//     out = (Nx Ny) A3 + ((A0 - Nx A1) - Ny A2)
//   every product rounded on its own: no fused multiply-add on any target.
//
// The passes are vectorised through Highway on every x86 target and give the same bits as the
// formulas above on each; warpBody() names the target in use.
#pragma once

#include <cstddef>

namespace ka {

// Output rows per parallel task of the ONNX Runtime kernel.
inline constexpr int kWarpBandRows = 16;
// Floats of the planes of one W x H batch item.
inline size_t warpPlanesFloats(int W, int H) { return size_t(12) * size_t(W) * size_t(H); }

// Planes of source rows [rowBegin, rowEnd) (clamped to [0, H)), all three channels. `src` holds
// three planes of H x W floats; `planes` holds warpPlanesFloats(W, H).
void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int rowBegin, int rowEnd);
// Output rows [rowBegin, rowEnd) (clamped to [0, H)); `grid` holds H x W pairs, `out` three
// planes of H x W. Reads planes of any row, so the planes pass must be complete.
void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int rowBegin,
                            int rowEnd);

// The same sampling in one pass reading the source directly (plane values computed at each tap),
// for use outside ONNX Runtime; identical results.
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int rowBegin, int rowEnd);
void warpDirector(const float* src, const float* grid, float* out, int W, int H);

// The name of the kernel body in use (the vector target), for diagnostics.
const char* warpBody();

}  // namespace ka
