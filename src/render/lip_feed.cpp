#include "render/lip_feed.h"
#include "base/log.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "graph/lip_contour_bind.h"
#include "graph/onnx_wire.h"
#include "face/lip_contour.h"

namespace ka {

LipFeed::LipFeed(const std::string& templateText, int crop) : crop_(crop) {
  if (!templateText.empty())
    contour_ = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(templateText, crop));
}

LipFeed::~LipFeed() = default;

size_t LipFeed::bind(std::vector<uint8_t>& model, const std::string& modelName) {
  bound_ = false;
  if (!contour_) {
    log::printf(log::Level::Warning,
                "[ka] !!! compose alpha: ELLIPSE (%s) \xE2\x80\x94 this bundle carries no %s, so the director "
                "generates the over-covering elliptical region the contour replaces. BACKFILL IT: "
                "models/nimbrel-2/tools/carry_lip_template_fleet\n",
                modelName.c_str(), "lip_template.v1.json");
    return 0;
  }
  std::string reason;
  int canvas = 0;
  std::vector<int64_t> dims;
  // A FeatSynth graph has no frame path for the mask: its contour stays unbound.
  const int n = ldInputDims(gsGraphOf(GsSlice(model)), "fs_red", dims)
                    ? (reason = "a FeatSynth graph (fs_red input) takes no lip_delivery input", 0)
                    : rewriteBindLipContour(model, &reason, &canvas);
  if (n == 0) {
    log::printf(log::Level::Warning,
                "[ka] !!! lip contour NOT bound to the compose alpha (%s): %s \xE2\x80\x94 this session serves the "
                "graph's own ELLIPSE\n",
                modelName.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    return 0;
  }
  if (canvas != crop_)
    throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                             " and this bundle's manifest declares crop " + std::to_string(crop_) +
                             " \xE2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
  bound_ = true;
  return static_cast<size_t>(n);
}

void LipFeed::logBound(const std::string& modelName) const {
  if (!bound_) return;
  log::printf(log::Level::Info,
              "[ka] compose alpha: LIP CONTOUR (%s) \xE2\x80\x94 Min(a, lip_delivery) bound at load, %d verts, feather "
              "%.1f px; the graph's ellipse is not reachable in this session\n",
              modelName.c_str(), contour_->nv(), static_cast<double>(contour_->featherPx()));
}

std::vector<float>& LipFeed::buffer(int batch) {
  buf_.assign(static_cast<size_t>(batch) * crop_ * crop_, 1.0f);
  return buf_;
}

void LipFeed::fill(int slot, const float* kpDriving) {
  contour_->contourF32Canvas(kpDriving, buf_.data() + static_cast<size_t>(slot) * crop_ * crop_);
}

void LipFeed::repeat(int from, int to) {
  const size_t plane = static_cast<size_t>(crop_) * crop_;
  std::copy_n(buf_.data() + from * plane, plane, buf_.data() + to * plane);
}

}  // namespace ka
