// The renderer's side of the lip contour: the contour read from the bundle's template, its binding
// into the director graph at load (with the load log's lines), and the per-frame mask it feeds to
// the bound "lip_delivery" input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ka {

namespace tessera {
class LipContour;
}

class LipFeed {
 public:
  // The contour of `templateText` (the bundle's lip template; empty: none) on a crop x crop
  // canvas. A template that does not read throws its refusal.
  LipFeed(const std::string& templateText, int crop);
  ~LipFeed();
  LipFeed(const LipFeed&) = delete;
  LipFeed& operator=(const LipFeed&) = delete;

  bool present() const { return contour_ != nullptr; }
  bool bound() const { return bound_; }

  // Binds the contour into `model` when there is one, printing why not otherwise. Returns the
  // nodes changed (0 or 1). Throws when the graph's compose canvas is not the crop.
  size_t bind(std::vector<uint8_t>& model, const std::string& modelName);
  // The load log's line for a bound contour (nothing when not bound).
  void logBound(const std::string& modelName) const;

  // Sizes the input for `batch` frames, every value 1.0 (a frame not rasterised keeps the alpha).
  std::vector<float>& buffer(int batch);
  // Rasterises slot `slot` from one frame's 63 driving keypoint floats.
  void fill(int slot, const float* kpDriving);
  // Copies slot `from` into slot `to`.
  void repeat(int from, int to);

 private:
  std::unique_ptr<tessera::LipContour> contour_;
  int crop_ = 0;
  bool bound_ = false;
  std::vector<float> buf_;
};

}  // namespace ka
