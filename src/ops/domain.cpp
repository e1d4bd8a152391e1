#include "ops/domain.h"

#include "ops/gridsample_fast_op.h"
#include "ops/int8_conv_op.h"
#include "ops/op_names.h"
#include "ops/warp_director_op.h"

namespace ka {

namespace {

OrtCustomOpDomain* createZephraneDomain() {
  Ort::CustomOpDomain domain(kZephraneDomain);
  domain.Add(gridSampleFastCustomOp());
  domain.Add(warpDirectorCustomOp());
  return domain.release();
}

}  // namespace

OrtCustomOpDomain* zephraneDomain() {
  // Created once under the guard of a function-local static and deliberately never released.
  static OrtCustomOpDomain* const domain = createZephraneDomain();
  return domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(zephraneDomain()); }

void registerWarpDirector(Ort::SessionOptions& options) { options.Add(zephraneDomain()); }

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  // Created, with its one operator, on the first call; never released (sessions refer to it).
  static OrtCustomOpDomain* const domain = [] {
    Ort::CustomOpDomain d(kInt8Domain);
    d.Add(int8ConvCustomOp());
    return d.release();
  }();
  options.Add(domain);
}

}  // namespace ka
