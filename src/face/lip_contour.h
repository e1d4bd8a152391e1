// The lip contour: a polygon following the inner lips, read from the bundle's lip template,
// deformed onto each frame from a few face keypoints, rasterised and feathered outward. It serves
// as the soft mouth mask in place of the pi ellipse, for the renderer's compose alpha and for the
// teeth borrow's delivery mask.
//
// Keypoints are 21 (x, y, z) float triples in [-1, 1]. Canvas arrays are canvas x canvas, rows
// top to bottom. Byte masks round half to even.
//
// A LipContour rewrites its scratch buffers on every mask call: one object serves one thread at a
// time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "face/unified_pi.h"

namespace ka::tessera {

class LipContour {
 public:
  // The canonical outline `uCanon` (2 * nv values, x and y per vertex) placed by the keypoint rows
  // `anchors` (anchorCount of them).
  LipContour(int canvas, float featherPx, const double* uCanon, int nv, const int* anchors, int anchorCount);

  // Reads a template's text for an engine canvas; throws std::runtime_error
  // "lip_template.v1.json: ..." naming what is wrong.
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  // Attaches the anchor-linear map: W (rows x cols, row-major), b (rows), placed by the keypoint
  // rows `mapAnchors`. rows must be 2 * nv and cols 2 * count with 1 <= count <= 8.
  void attachMap(const double* W, const double* b, int rows, int cols, const int* mapAnchors, int count);

  int canvas() const { return canvas_; }
  int nv() const { return nv_; }
  float featherPx() const { return feather_; }
  bool hasMap() const { return !W_.empty(); }
  const std::vector<int>& anchors() const { return anchors_; }

  // The 2 * nv vertex coordinates in canvas pixels for one frame's keypoints.
  void polygon(const float* kp, double* out) const;
  // The vertices' bounding box grown by the feather and 2 pixels, clipped to the canvas.
  Box box(const double* polygon) const;
  // The polygon's raster in the box's own coordinates (box width x height bytes, 255 inside).
  void fillScanline(const double* polygon, const Box& box, uint8_t* out) const;
  // The feathered contour of the box written into a canvas-sized array at the box position; the
  // rest of the array is left as it is.
  void contourF32(const double* polygon, const Box& box, float* canvasOut);
  // The whole canvas: zeros, and the feathered contour of this frame in its box.
  void contourF32Canvas(const float* kp, float* canvasOut);

  // The pi shrunk by the contour: round(min(contour, pi) * 255) inside the pi's support box.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // Within `box`, bytes outside the contour's box become 0, inside round(min(byte/255, contour) *
  // 255). False when the two boxes do not overlap.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  // The pi byte mask and the shift of its centroid from c_canon, then shrunk by the contour over
  // the pi's support box. True only when both steps succeed.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double c_canon[2], uint8_t* out, int* dy,
                           int* dx);

 private:
  int canvas_ = 0;
  float feather_ = 1.0f;
  int nv_ = 0;
  std::vector<double> uCanon_;
  std::vector<int> anchors_;
  std::vector<double> W_, b_;  // the anchor-linear map, when attached
  int mapCols_ = 0;
  // Scratch: polygon, box raster, its distance field, a canvas float mask.
  std::vector<double> poly_;
  std::vector<uint8_t> raster_;
  std::vector<float> dist_;
  std::vector<float> canvasF_;

  void featherBox(const Box& box, float* canvasOut);
};

}  // namespace ka::tessera
