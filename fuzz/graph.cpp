// Fuzzes the ONNX wire toolkit and every load-time rewrite over arbitrary model bytes.
//
// Malformed bytes may only ever raise the wire errors; whatever parses must also keep the toolkit's
// promises: an empty edit reproduces the model, a rewrite that applied does not apply a second
// time, and a model the GridSample rewrite changed carries GridSampleFast.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/head_cubic_rewrite.h"
#include "graph/onnx_wire.h"
#include "graph/warp_rewrite.h"

namespace {

bool isWireError(const std::runtime_error& e) {
  return !std::strcmp(e.what(), "onnx: bad varint") || !std::strcmp(e.what(), "onnx: truncated") ||
         !std::strcmp(e.what(), "onnx: bad wire type");
}

#define KA_FUZZ_CHECK(cond)                                              \
  do {                                                                   \
    if (!(cond)) {                                                       \
      std::fprintf(stderr, "ka_fuzz_graph: broken promise: %s\n", #cond); \
      std::abort();                                                      \
    }                                                                    \
  } while (0)

// Runs `fn`, accepting only the wire errors.
template <class Fn>
void wireGuard(Fn&& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    KA_FUZZ_CHECK(isWireError(e));
  }
}

// Every lookup over every length-delimited field that might be a message, to depth 4.
void walk(ka::GsSlice msg, int depth) {
  wireGuard([&] {
    ka::GsReader r(msg);
    ka::GsField f;
    while (r.next(f)) {
      KA_FUZZ_CHECK(f.raw.p >= msg.p && f.raw.p + f.raw.n <= msg.p + msg.n);
      if (f.wt != ka::kWireBytes) continue;
      KA_FUZZ_CHECK(f.payload.p >= f.raw.p && f.payload.p + f.payload.n == f.raw.p + f.raw.n);
      if (depth < 4) walk(f.payload, depth + 1);
    }
  });
  wireGuard([&] {
    std::vector<float> floats;
    std::vector<int64_t> dims;
    std::vector<std::string> strs;
    ka::hcTensorFloats(msg, floats);
    ka::hcTensorDims(msg, dims);
    ka::hcReadAttrs(msg);
    ka::hcConstValue(msg);
    ka::hcPayload(msg);
    ka::gsAllStr(msg, 1, strs);
    ka::gsFirstStr(msg, 4);
    ka::ldInputDims(msg, "P_rgb", dims);
    ka::gsIsRewritableGridSample(msg);
    ka::gsIsStudentBlendMatMul(msg);
    ka::gsReadAttr(msg);
  });
}

// A rewrite that applied must not apply again and must leave parseable bytes.
void rewriteTwice(const std::vector<uint8_t>& model, size_t (*rewrite)(std::vector<uint8_t>&, std::string*)) {
  std::vector<uint8_t> bytes = model;
  size_t n = 0;
  wireGuard([&] { n = rewrite(bytes, nullptr); });
  if (n == 0) {
    KA_FUZZ_CHECK(bytes == model);
    return;
  }
  if (rewrite == ka::rewriteGridSampleToFast) KA_FUZZ_CHECK(ka::graphHasBakedGridSampleFast(ka::GsSlice(bytes)));
  const std::vector<uint8_t> once = bytes;
  std::string reason;
  KA_FUZZ_CHECK(rewrite(bytes, &reason) == 0);
  KA_FUZZ_CHECK(bytes == once && !reason.empty());
  // The rebuilder reads deeper than the rewrites (graph input names, value infos), so it may still
  // find malformed bytes the rewrite copied through untouched.
  std::vector<uint8_t> out;
  bool parsed = false;
  wireGuard([&] {
    ka::gsRebuild(ka::GsSlice(once), ka::GsGraphEdit{}, out);
    parsed = true;
  });
  if (parsed) KA_FUZZ_CHECK(out == once);
}

// The same promise for the rewrites that report through a reason string or none.
template <class Rewrite>
void appliesOnce(const std::vector<uint8_t>& model, Rewrite&& rewrite) {
  std::vector<uint8_t> bytes = model;
  size_t n = 0;
  wireGuard([&] { n = rewrite(bytes); });
  if (n == 0) {
    KA_FUZZ_CHECK(bytes == model);
    return;
  }
  const std::vector<uint8_t> once = bytes;
  wireGuard([&] { KA_FUZZ_CHECK(rewrite(bytes) == 0); });
  KA_FUZZ_CHECK(bytes == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Own copy, exactly sized, so reads past the end are caught.
  const std::vector<uint8_t> model(data, data + size);
  const ka::GsSlice in(model);
  walk(in, 0);

  std::vector<uint8_t> out;
  bool parsed = false;
  wireGuard([&] {
    ka::gsRebuild(in, ka::GsGraphEdit{}, out);
    parsed = true;
  });
  if (parsed) KA_FUZZ_CHECK(out == model);

  // An edit whose choices come from the input's first bytes.
  ka::GsGraphEdit edit;
  const uint8_t sel = size ? data[0] : 0;
  for (size_t i = 1; i < size && i < 9; ++i) edit.dropNodes.push_back(data[i] & 1);
  edit.dropPRgb = sel & 1;
  edit.keepOnlyPRgb = sel & 2;
  edit.dropOutputs = sel & 4;
  if (sel & 8) {
    edit.addName = (sel & 16) ? "P_rgb" : "boundary";
    edit.addDims = {1, -1, int64_t(sel), 0};
    edit.addFieldNo = (sel & 32) ? 11 : 12;
  }
  bool edited = false;
  wireGuard([&] {
    ka::gsRebuild(in, edit, out);
    edited = true;
  });
  if (edited) {
    // The edited model reads cleanly again, and an empty edit reproduces it.
    std::vector<uint8_t> again;
    ka::gsRebuild(ka::GsSlice(out), ka::GsGraphEdit{}, again);
    KA_FUZZ_CHECK(again == out);
  }

  rewriteTwice(model, ka::rewriteGridSampleToFast);
  rewriteTwice(model, ka::normaliseStudentBlend);
  wireGuard([&] { ka::graphHasBakedGridSampleFast(in); });
  appliesOnce(model, [](std::vector<uint8_t>& b) {
    std::string reason;
    const size_t n = ka::rewriteWarpBlockToCustomOp(b, reason);
    KA_FUZZ_CHECK(n != 0 || !reason.empty());
    return n;
  });
  appliesOnce(model, [](std::vector<uint8_t>& b) { return ka::rewriteHeadCubicResize(b); });
  return 0;
}
