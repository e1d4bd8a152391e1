#include "render/load_rewrites.h"
#include "base/env.h"
#include "base/log.h"

#include <cstdio>
#include <cstdlib>

#include "graph/gridsample_rewrite.h"
#include "graph/head_cubic_rewrite.h"
#include "graph/warp_rewrite.h"

namespace ka {

bool warpNodeRequested() {
  const std::string v = env::text("KA_WARP_NODE");
  return !v.empty() && v[0] != '0';
}

LoadRewriteReport applyLoadRewrites(std::vector<uint8_t>& model, const LoadRewriteOptions& opt) {
  LoadRewriteReport r;
  if (opt.warpNode && opt.cpuProvider) {
    std::string reason;
    r.warp = rewriteWarpBlockToCustomOp(model, reason);
    if (r.warp)
      log::printf(log::Level::Info,
                  "[ka] director warp -> com.zephrane::WarpDirector (%zu nodes removed, the source cone with "
                  "them)\n",
                  r.warp);
    else
      log::printf(log::Level::Info,
                  "[ka] director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads exactly as it did "
                  "before\n",
                  reason.empty() ? "no reason given" : reason.c_str());
  }
  if (opt.cpuProvider && opt.gridSampleRewrite) r.gridSample = rewriteGridSampleToFast(model);
  r.blend = normaliseStudentBlend(model);
  r.headCubic = rewriteHeadCubicResize(model);
  // The lip-contour binding joins here.
  return r;
}

void logLoadRewrites(const LoadRewriteReport& r, const std::string& modelName) {
  const char* name = modelName.c_str();
  if (r.gridSample)
    log::printf(log::Level::Info,
                "[ka] std GridSample -> com.zephrane::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
                r.gridSample, name);
  if (r.blend)
    log::printf(log::Level::Info,
                "[ka] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) \xE2\x80\x94 a "
                "pre-2026-09-11 student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML "
                "unit that includes the GPU\n",
                r.blend, name);
  if (r.headCubic)
    log::printf(
        log::Level::Info,
        "[ka] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) (%s) "
        "\xE2\x80\x94 the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
        "EP and no CoreML/NNAPI EP can claim it\n",
        r.headCubic, name);
}

}  // namespace ka
