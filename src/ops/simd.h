// ka::simd: the vectorised inner loops of the compositor, the video decoder and the teeth pass.
//
// Each kernel is written once against Highway and compiled for the x86 targets SSSE3, SSE4, AVX2,
// AVX3 (AVX-512 F/BW/DQ/VL) and AVX3_DL (AVX-512 with VNNI/VBMI2/BITALG, Ice Lake and later),
// plus Highway's portable scalar fallback. Those are all the x86 targets the installed Highway can
// generate. The public functions below dispatch at run time to the best compiled target the
// processor supports; the choice is made once per process, on the first call.
//
// Every kernel reproduces its plain scalar formula bit for bit on every target: rounding points
// and summation order are part of the contract, and no target fuses a multiply with an add.
//
// Half-precision values are IEEE 754 binary16 bit patterns held in unsigned shorts. Conversions
// from float round to nearest, ties to even (overflow to infinity, gradual underflow to
// subnormals, NaN stays NaN with its quiet bit set and its top mantissa bits kept, sign always
// kept); conversions to float are exact, and a NaN comes back quiet with its payload (as the
// processors' F16C unit returns it).
//
// The compositor's Lanczos row resampler (pasteLanczos8Row) lives beside the compositor in
// src/paste/ and is dispatched the same way.
//
// All kernels are reentrant; none allocates, except conv3x3Range's per-thread staging buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ka {
namespace simd {

// out[i] = binary16(in[i]).
void f32ToF16(const float* in, unsigned short* out, size_t n);

// out[i] = float(in[i]), exact (NaNs quieted, payload kept).
void f16ToF32(const unsigned short* in, float* out, size_t n);

// out[i] = float(binary16(a[i])) * b[i]; the product is not rounded again.
void roundF16Mul(const float* a, const float* b, float* out, size_t n);

// Interleaved 8-bit RGB to three half-precision planes:
// out[c * planeStride + i] = binary16(rgb[3 * i + c] / 255.0f), for c in 0..2, i in [0, n).
void rgb8ToPlanarF16(const uint8_t* rgb, unsigned short* out, size_t planeStride, size_t n);

// Retrieval term over three half-precision planes of n elements each (plane stride n), with
// half-precision weights: per element, d_c = |binary16(float(a) - float(b))|,
// m = binary16((d_0 + d_1 + d_2) / 3), term = binary16(m * float(w[i])). The terms are added to a
// float total in increasing index order, starting from 0.
float retrieveTermPooled(const unsigned short* a, const unsigned short* b, const unsigned short* w, size_t n);

// As above over elements [lo, hi) of planes planeStride apart, with float weights and
// term = m * w[i] not rounded again; an element whose weight is exactly zero adds nothing, even
// where its difference is infinite or NaN.
float retrieveTermExactRange(const unsigned short* a, const unsigned short* b, const float* w, size_t planeStride,
                             size_t lo, size_t hi);

// retrieveTermExactRange(a, b, w, n, 0, n).
float retrieveTermExact(const unsigned short* a, const unsigned short* b, const float* w, size_t n);

// Direct 3x3 convolution, stride 1, padding 1, over N x Cin planes of H x W floats (NCHW), with
// weights Cout x Cin x 3 x 3 and one bias per output channel; no activation. Computes output
// planes p in [lo, hi) (batch item p / Cout, channel p % Cout) at out + p * H * W. Each value is
// acc + bias, acc accumulated from 0 over the in-image kernel rows ky, then kx = 0..2, then
// ci = 0..Cin-1, one rounding per multiply and per add; columns beyond the edges read as zero.
// The input planes of one batch item are staged (zero-bordered) in a per-thread buffer that grows
// as needed and lives until the thread exits; consecutive planes of the same item within one call
// share the staged copy. Each call stages afresh, so the caller may refill `in` between calls.
// A null bias adds nothing.
void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight, const float* bias, int Cout,
                  float* out, size_t lo, size_t hi);

// One row of YUV 4:2:0 to packed RGB24. Pixel x takes Y = y[x] and U, V at chromaStep * (x / 2)
// (chromaStep 1 for planar chroma rows; 2 for an interleaved UV row, with v = u + 1). With
// C = 298 (Y - 16) + 128: R = (C + 409 (V - 128)) >> 8, G = (C - 100 (U - 128) - 208 (V - 128)) >> 8,
// B = (C + 516 (U - 128)) >> 8, arithmetic shifts, each clamped to 0..255.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int chromaStep, uint8_t* rgb);

// Name of the target the kernels dispatch to ("SSSE3", "SSE4", "AVX2", "AVX3", "AVX3_DL", or
// "SCALAR" for the portable fallback), a constant string for log lines.
const char* target();

}  // namespace simd
}  // namespace ka
