// The rendering context: one opened bundle with its identity, driving table, compositor, background
// cursor and (built on first use) renderer. The C handle ka_ctx wraps one; the sessions built on a
// context use it directly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ka {

struct Manifest;
struct Drive;
class Identity;
class Paste;
class DriverCursor;
class Renderer;

class Context {
 public:
  // Opens the bundle at `bundle` (directory or container) with the director model
  // "model_" + modelKey + ".onnx". threads < 1 takes the worker pool's size; ep "" is the CPU.
  // Throws the refusal text.
  Context(const std::string& bundle, const std::string& modelKey, int threads, const std::string& ep);
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  const Manifest& manifest() const;
  Identity& identity();
  const Drive& drive() const;
  Paste& paste();
  DriverCursor& cursor();
  // Built once, on first use (the caller's thread count when it chose one or named a provider,
  // else min(pool, 2)); a failed build leaves none, so the next call tries again.
  Renderer& renderer();
  // The pool size the context was opened with, whether the caller chose it, and the provider.
  int threads() const;
  bool threadsExplicit() const;
  const std::string& ep() const;
  // The intra-op thread count a director of this context runs with.
  int directorThreads() const;

  // The face crop of source frame si from 63 source and 63 driving keypoint floats (owned by the
  // renderer, valid until its next render). Throws on failure.
  const float* renderKpCrop(int si, const float* kpSource, const float* kpDriving);
  // The same crop written into `out` (3 x crop x crop floats) instead of the renderer's buffer.
  void renderKpCropInto(int si, const float* kpSource, const float* kpDriving, float* out);
  // Row i of the driving table rendered; its source frame in *si when si is not null.
  const float* renderDriveCrop(int i, int* si = nullptr);
  // Background frame si with `crop` pasted onto it, into out (W * H * 3 bytes).
  void pasteCrop(int si, const float* crop, uint8_t* out);
  // Whether a crop has been rendered (pasteLast has something to paste).
  bool hasRendered() const;
  // The last rendered crop pasted onto background frame si, into the context's own frame (valid
  // until its next paste). Throws when nothing was rendered yet.
  const uint8_t* pasteLast(int si);
  // Background frame si, valid until the cursor delivers its next frame.
  const uint8_t* targetFrame(int si);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The bundle's paste mask: exactly crop x crop bytes of "mask_512.u8" ("mask read failed").
std::vector<uint8_t> readPasteMask(const Manifest& m);

}  // namespace ka
