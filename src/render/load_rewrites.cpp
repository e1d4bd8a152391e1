#include "render/load_rewrites.h"

#include <cstdio>

#include "graph/gridsample_rewrite.h"

namespace ka {

LoadRewriteReport applyLoadRewrites(std::vector<uint8_t>& model, const LoadRewriteOptions& opt) {
  LoadRewriteReport r;
  // The warp-block rewrite (KA_WARP_NODE) arrives with its kernel; until then the graph keeps its
  // warp block, as it does whenever the switch is off.
  if (opt.cpuProvider && opt.gridSampleRewrite) r.gridSample = rewriteGridSampleToFast(model);
  r.blend = normaliseStudentBlend(model);
  // The head's cubic resize and the lip-contour binding join here, in that order.
  return r;
}

void logLoadRewrites(const LoadRewriteReport& r, const std::string& modelName) {
  const char* name = modelName.c_str();
  if (r.gridSample)
    std::fprintf(stderr, "[ka] std GridSample -> com.zephrane::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                 r.gridSample, name);
  if (r.blend)
    std::fprintf(stderr,
                 "[ka] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xE2\x80\x94 a "
                 "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML "
                 "unit that includes the GPU\n",
                 r.blend, name);
}

}  // namespace ka
