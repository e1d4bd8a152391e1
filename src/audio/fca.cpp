#include "audio/fca.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "audio/samples.h"
#include "audio/w2v.h"
#include "base/units.h"
#include "ops/pool.h"
#include "runtime/ort_env.h"
#include "runtime/session_options.h"

namespace ka {

namespace {
constexpr int kState = 384;
constexpr int kFirstLayer = 4, kPooled = 6;  // layers 4..9
constexpr int kOffFirst = -1, kOffs = 7;     // frames t - 1 ... t + 5
constexpr int kQuietSeed = 7;
}  // namespace

struct FcaEngine::Impl {
  Ort::Env env = makeOrtEnv("ka_fca");
  Ort::SessionOptions options;
  std::unique_ptr<w2v::Model> encoder, model;
};

FcaEngine::FcaEngine(const std::string& w2vPath, const std::string& fcaPath, int threads)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  SessionSettings settings;
  settings.threadName = "ka-ort-fca";
  if (threads >= 1) settings.intraThreads = pool::boundThreads(threads, "ka_fca_create");
  m.options = makeSessionOptions(settings);
  m.encoder = w2v::openModel(m.env, w2vPath, m.options);
  m.encoder->requireInputs({"input_values"});
  m.encoder->requireOutputs({"audio_emb"});
  m.model = w2v::openModel(m.env, fcaPath, m.options);
  m.model->requireInputs({"cond", "prev", "h"});
  m.model->requireOutputs({"m", "hn"});
}

FcaEngine::~FcaEngine() = default;

int FcaEngine::deltas(const float* samples, int count, float* out, int max) {
  if (count <= 0) return 0;
  const int64_t F = framesOf(count);
  if (F > max) return -1;
  requireFiniteSamples(samples, count);
  const size_t D = w2v::kDim;

  // Pooled features, one 768-value row per frame.
  std::vector<float> feat(size_t(F) * D, 0.0f);
  w2v::clipFrames(*impl_->encoder, samples, count, F, [&](int64_t f, const float* emb, int64_t i) {
    float* dst = &feat[size_t(f) * D];
    for (int l = kFirstLayer; l < kFirstLayer + kPooled; ++l) {
      const float* src = &emb[(size_t(l) * w2v::kWindowFrames + size_t(i)) * D];
      for (size_t c = 0; c < D; ++c) dst[c] += src[c];
    }
    for (size_t c = 0; c < D; ++c) dst[c] /= float(kPooled);
  });

  // Causal quiet baseline removed from each frame.
  std::vector<float> cond(feat.size());
  std::vector<double> sorted, quietSum(D, 0.0);
  sorted.reserve(size_t(F));
  int64_t quiet = 0;
  for (int64_t t = 0; t < F; ++t) {
    const float* x = &feat[size_t(t) * D];
    double ss = 0.0;
    for (size_t c = 0; c < D; ++c) ss += double(x[c]) * double(x[c]);
    const double v = std::sqrt(ss);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), v), v);
    bool join;
    if (t < kQuietSeed) {
      join = v > 0.0;
    } else {
      const double p = 0.2 * double(t);
      const size_t lo = size_t(std::floor(p));
      const size_t hi = std::min(lo + 1, size_t(t));
      const double q = sorted[lo] + (p - double(lo)) * (sorted[hi] - sorted[lo]);
      join = v <= q;
    }
    if (join) {
      for (size_t c = 0; c < D; ++c) quietSum[c] += x[c];
      ++quiet;
    }
    const double n = double(std::max<int64_t>(1, quiet));
    float* y = &cond[size_t(t) * D];
    for (size_t c = 0; c < D; ++c) y[c] = x[c] - float(quietSum[c] / n);
  }

  // The autoregressive pass.
  std::vector<float> in(size_t(kOffs) * D), prev(kKeypointValues, 0.0f), state(kState, 0.0f);
  std::vector<float> rows(size_t(F) * kKeypointValues);
  const w2v::Model& model = *impl_->model;
  for (int64_t t = 0; t < F; ++t) {
    for (int k = 0; k < kOffs; ++k) {
      const int64_t src = std::min(std::max<int64_t>(t + kOffFirst + k, 0), F - 1);
      std::memcpy(&in[size_t(k) * D], &cond[size_t(src) * D], D * sizeof(float));
    }
    std::vector<Ort::Value> inputs;
    inputs.push_back(w2v::tensor(in.data(), in.size(), {1, int64_t(in.size())}));
    inputs.push_back(w2v::tensor(prev.data(), prev.size(), {1, kKeypointValues}));
    inputs.push_back(w2v::tensor(state.data(), state.size(), {1, 1, kState}));
    auto res = model.run({"cond", "prev", "h"}, inputs, {"m", "hn"});
    const float* m = w2v::floatsOf(res[0], kKeypointValues, model.path, "m");
    const float* h = w2v::floatsOf(res[1], kState, model.path, "hn");
    std::memcpy(prev.data(), m, kKeypointValues * sizeof(float));
    std::memcpy(state.data(), h, kState * sizeof(float));
    std::memcpy(&rows[size_t(t) * kKeypointValues], m, kKeypointValues * sizeof(float));
  }
  std::memcpy(out, rows.data(), rows.size() * sizeof(float));
  return static_cast<int>(F);
}

}  // namespace ka
