// The face renderer: one ONNX Runtime session over a bundle's director model, turning per-frame
// keypoints into face crops.
//
// Construction does everything that can fail: provider choice, session options, custom operators,
// the load-time graph rewrites, the input contract against the host's 21 keypoint rows, and every
// buffer and binding, made once. `render` only copies into the bound buffers and runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ka {

struct Manifest;
class Identity;

class Renderer {
 public:
  // modelName selects the member "model_" + modelName + ".onnx". intraOpThreads < 1 takes the
  // worker pool's size. ep: "" (ORT CPU), "coreml[:unit]" (falls back to CPU where CoreML is not
  // available), "neon" (not on this platform: served by ORT). The identity must outlive the
  // renderer.
  Renderer(const Manifest& m, Identity& identity, const std::string& modelName, int intraOpThreads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // Renders n (1..batch()) frames: sourceIndices[n], kpSource and kpDriving n x 63 floats. Returns
  // batch() crops of 3 x crop x crop floats (planar, 0..1), valid until the next render; slots
  // n..batch()-1 repeat frame n-1.
  const float* render(const int* sourceIndices, const float* kpSource, const float* kpDriving, int n);
  // One frame written straight into `out` (3 x crop x crop floats), which the caller keeps: no
  // copy of the renderer's own buffer. Batch-1 renderers only.
  void renderInto(int sourceIndex, const float* kpSource, const float* kpDriving, float* out);
  // With the source cone hoisted: computes the boundaries this renderer keeps in the background
  // now, instead of as their frames first come (see SourceConeRing::fillKept). Thread-safe.
  void fillKeptCone();

  int batch() const;
  const std::string& ep() const;  // "cpu", or the accepted "coreml..." string
  std::string backend() const;    // "ort" on this platform
  const std::string& directorNote() const;
  bool featSynth() const;          // the graph takes "fs_red" features
  bool sessionFromBytes() const;   // false when no rewrite changed the graph (created from the path)
  double runMilliseconds() const;  // total time inside Session::Run
  int64_t runs() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
