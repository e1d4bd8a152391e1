#include "audio/a2x.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "audio/a2x_meta.h"
#include "audio/samples.h"
#include "audio/w2v.h"
#include "base/env.h"
#include "base/log.h"
#include "base/regular_file.h"
#include "base/units.h"
#include "bundle/container.h"
#include "bundle/members.h"
#include "ops/simd.h"
#include "runtime/ort_env.h"

namespace ka {

namespace {

constexpr int64_t kBlockSamples = 5120;  // 320 ms
constexpr int kBlockFrames = 8;
constexpr int kLiveStep = 8, kLegacyStep = 64;
constexpr int kLiveChunk = 64, kClipChunk = 24;
constexpr uint64_t kMaxMemberBytes = uint64_t(1) << 30;

// Rows [base, end) of `width` floats; rows before a point can be released, and the storage is
// compacted once the released part far outweighs what is still held.
class RowBuffer {
 public:
  explicit RowBuffer(size_t width = 1) : w_(width) {}
  void setWidth(size_t width) {
    w_ = width;
    clear();
  }
  void clear() {
    data_.clear();
    data_.shrink_to_fit();
    base_ = 0;
  }
  int64_t end() const { return base_ + static_cast<int64_t>(data_.size() / w_); }
  int64_t base() const { return base_; }
  float* row(int64_t r) { return data_.data() + static_cast<size_t>(r - base_) * w_; }
  const float* row(int64_t r) const { return data_.data() + static_cast<size_t>(r - base_) * w_; }
  void growTo(int64_t endRow) {
    if (endRow > end()) data_.resize(static_cast<size_t>(endRow - base_) * w_, 0.0f);
  }
  void append(const float* v, size_t rows) { data_.insert(data_.end(), v, v + rows * w_); }
  void release(int64_t before) {
    const int64_t n = std::min(before, end()) - base_;
    if (n <= 0) return;
    const size_t drop = static_cast<size_t>(n) * w_;
    // Compact once the released rows are four times what is still held: each held value is then
    // moved a quarter of a time per value released, on average.
    if (drop < 4 * (data_.size() - drop)) return;
    data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(drop));
    base_ += n;
  }
  size_t capacityBytes() const { return data_.capacity() * sizeof(float); }

 private:
  size_t w_;
  int64_t base_ = 0;
  std::vector<float> data_;
};

std::vector<float> readFloats(const std::string& path) {
  RegularFile f(path);
  if (!f.ok() || f.size() > kMaxMemberBytes) return {};
  std::vector<float> v(static_cast<size_t>(f.size() / sizeof(float)));
  if (!f.readExactly(v.data(), v.size() * sizeof(float))) return {};
  return v;
}

std::string readMeta(const std::string& path) {
  RegularFile f(path);
  std::string text;
  if (!f.ok()) return text;
  char buf[4096];
  for (;;) {
    ssize_t got = ::read(f.fd(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<size_t>(got));
    if (text.size() > (size_t(1) << 20)) throw std::runtime_error(path + ": larger than 1 MiB");
  }
  return text;
}

}  // namespace

struct A2xStream::Impl {
  Ort::Env env = makeOrtEnv("ka_a2x");
  Ort::SessionOptions options;
  std::shared_ptr<const w2v::Model> legacy;
  std::shared_ptr<w2v::WindowPair> win;
  std::string w2vPath;
  int w2vThreads = 0;
  std::unique_ptr<w2v::Model> enc, dec;

  int H = 256, window = 0, left = 0, NT = 0, P = 0;
  int64_t ctxLeft = 0, ctxRight = 0, audioRight = 12, blockRight = 12;
  bool shortWin = false;
  std::vector<float> pos, normMean, normStd, target;
  std::string out0, out1;
  bool hasWidth = false;
  std::vector<float> widthOffline;

  std::string failure;  // why the last extend stopped short, until taken
  RowBuffer audio{1};
  bool finished = false;
  int phase = 0, direction = 1, wrap = 1, eager = -1;
  RowBuffer feat{w2v::kFrameFloats};
  int64_t winStart = 0, filled = 0;
  RowBuffer encoded{1};
  int64_t nEncoded = 0;
  RowBuffer widthStream{1};
  RowBuffer deltas{kKeypointValues};
  std::vector<float> prev, state, primedPrev, primedState;
  int64_t decoded = 0, pulled = 0;

  std::vector<float> scratch;

  int64_t samples() const { return audio.end(); }
  int64_t usable() const {
    const int64_t n = samples();
    if (finished) return n;
    if (!shortWin) return (n / kBlockSamples) * kBlockSamples;
    return std::min(n, ((n + kFrameSamples - 1) / kBlockSamples) * kBlockSamples);
  }
  int64_t ready() const {
    if (finished) return framesOf(samples());
    return std::max<int64_t>(0, framesOf(usable()) - (ctxRight + audioRight));
  }
  int walk(int64_t k) const {
    if (NT <= 1) return 0;
    const int64_t g = direction * k + phase;
    if (wrap != 0) return static_cast<int>(((g % NT) + NT) % NT);
    const int64_t period = 2 * (static_cast<int64_t>(NT) - 1);
    const int64_t e = ((g % period) + period) % period;
    return static_cast<int>(e <= NT - 1 ? e : period - e);
  }
  int posRow(int64_t f) const {
    if (f < P) return static_cast<int>(f);
    const int64_t half = P / 2;
    return static_cast<int>((f - P) % (P - half) + half);
  }

  const w2v::Model& legacyModel() {
    if (!legacy) {
      try {
        legacy = w2v::sharedLegacy(w2vPath, w2vThreads);
      } catch (const std::exception& e) {
        throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2vPath + ")");
      }
    }
    return *legacy;
  }

  void open(const std::string& bundle, int threads);
  void resetState(int ph, int dir, int wr);
  void prime(int count);

  void extend(int64_t F);
  void fillLegacy(int64_t target);
  void fillShort(int64_t target);
  void releaseOld();
  // Encoder over feature rows [a, a + T) (row i at rows + i * 9216): T x H outputs, T widths.
  void runEncoder(const float* rows, int64_t a, int64_t T, std::vector<float>& out, std::vector<float>& wn);
  // One decoder step from ctx; updates p (63) and s (H); writes the de-normalised row.
  void decodeStep(const float* ctx, std::vector<float>& p, std::vector<float>& s, float* row);
};

void A2xStream::Impl::open(const std::string& bundle, int threads) {
  const int n = w2v::resolveThreads(threads);
  options = w2v::makeOptions(n, "enc/dec");
  static std::once_flag cadenceOnce;
  std::call_once(cadenceOnce, [n] {
    log::printf(log::Level::Info,
                "[ka_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, threads=%d\n",
                320, 8, n);
  });
  const std::string dir = resolveBundlePath(bundle);
  const std::string metaText = readMeta(dir + "/a2x_meta.json");
  if (metaText.empty()) throw std::runtime_error("a2x_meta.json missing in " + dir);
  const A2xMeta meta = parseA2xMeta(metaText);
  if (meta.window < 0 || meta.left < 0) throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  if (meta.h < 1 || meta.h > 65536 || meta.layers < 0 || meta.layers > 1024 || meta.window > 100000 ||
      meta.left > 100000)
    throw std::runtime_error("meta h/layers/window/left out of range");
  H = meta.h;
  window = meta.window;
  left = meta.left;
  ctxLeft = int64_t(meta.layers) * meta.left;
  ctxRight = int64_t(meta.layers) * meta.window;
  audioRight = 12;
  if (const char* r = std::getenv("KA_A2X_W2V_RIGHT")) {
    char* end = nullptr;
    long v = std::strtol(r, &end, 10);
    if (end != r) audioRight = std::min<long>(std::max<long>(v, 0), 100000);
  }

  pos = readFloats(resolveMember(dir, "a2x_pos.f32"));
  std::vector<float> norm = readFloats(resolveMember(dir, "a2x_norm.f32"));
  target = readFloats(resolveMember(dir, "xs_target.bin"));
  if (pos.size() < size_t(2) * H || norm.size() < 2 * kKeypointValues || target.size() < kKeypointValues)
    throw std::runtime_error("pos/norm/xs_target read failed");
  P = static_cast<int>(std::min<size_t>(pos.size() / H, std::numeric_limits<int>::max()));
  normMean.assign(norm.begin(), norm.begin() + kKeypointValues);
  normStd.assign(norm.begin() + kKeypointValues, norm.begin() + 2 * kKeypointValues);
  NT = static_cast<int>(std::min<size_t>(target.size() / kKeypointValues, std::numeric_limits<int>::max()));
  target.resize(size_t(NT) * kKeypointValues);

  w2vPath = env::text("W2V_ONNX");
  if (w2vPath.empty()) throw std::runtime_error("$W2V_ONNX not set");
  w2vThreads = threads;
  win = w2v::sharedWindow(w2vPath, threads);
  if (win) {
    shortWin = true;
    blockRight = audioRight;
    audioRight += kBlockFrames;
  } else {
    try {
      legacy = w2v::sharedLegacy(w2vPath, threads);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("shared w2v load failed: ") + e.what());
    }
  }

  enc = w2v::openModel(env, resolveMember(dir, "a2x_enc_stream.onnx"), options);
  enc->requireInputs({"feat", "pos_window", "attn"});
  if (enc->outputs.empty()) throw std::runtime_error(enc->path + ": model declares no output");
  out0 = enc->outputs[0];
  hasWidth = enc->outputs.size() > 1;
  if (hasWidth) out1 = enc->outputs[1];
  if ((meta.width != 0) != hasWidth)
    log::printf(log::Level::Warning,
                "[ka_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) \xE2\x80\x94 serving "
                "the GRAPH (width=%d). Repackage this bundle.\n",
                meta.width, enc->outputs.size(), hasWidth ? 1 : 0);
  dec = w2v::openModel(env, resolveMember(dir, "a2x_dec.onnx"), options);
  dec->requireInputs({"ctx_t", "prev", "h"});
  dec->requireOutputs({"m", "h_out"});
  encoded.setWidth(size_t(H));

  int primeCount = meta.silencePrime;
  if (const char* sp = std::getenv("KA_A2X_SILENCE_PRIME")) {
    if (*sp) primeCount = static_cast<int>(std::strtol(sp, nullptr, 10));
  }
  if (primeCount > 0) {
    if (!legacy) {
      try {
        legacy = w2v::sharedLegacy(w2vPath, threads);
      } catch (const std::exception& e) {
        throw std::runtime_error(std::string("shared w2v load failed (silence_prime): ") + e.what());
      }
    }
    prime(primeCount);
  }
  resetState(0, 1, 1);
}

void A2xStream::Impl::prime(int count) {
  try {
    auto silence = w2v::silenceEmbedding(*legacy);
    const int T = std::min(count, w2v::kWindowFrames);
    std::vector<float> rows(size_t(T) * w2v::kFrameFloats);
    for (int f = 0; f < T; ++f) w2v::frameOf(silence->data(), f, &rows[size_t(f) * w2v::kFrameFloats]);
    std::vector<float> out, wn;
    runEncoder(rows.data(), 0, T, out, wn);
    std::vector<float> p(kKeypointValues, 0.0f), s(size_t(H), 0.0f), row(kKeypointValues);
    for (int f = 0; f < T; ++f) decodeStep(&out[size_t(f) * H], p, s, row.data());
    primedPrev = p;
    primedState = s;
    log::printf(log::Level::Info, "[ka_a2x] silence-primed AR state cached (%d frames)\n", T);
  } catch (const std::exception& e) {
    log::printf(log::Level::Warning, "[ka_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    primedPrev.clear();
    primedState.clear();
  }
}

void A2xStream::Impl::resetState(int ph, int dir, int wr) {
  if (ph < 0) ph = walk(pulled);
  audio.clear();
  feat.clear();
  encoded.clear();
  widthStream.clear();
  deltas.clear();
  finished = false;
  winStart = filled = nEncoded = decoded = pulled = 0;
  prev = primedPrev.empty() ? std::vector<float>(kKeypointValues, 0.0f) : primedPrev;
  state = primedState.empty() ? std::vector<float>(size_t(H), 0.0f) : primedState;
  phase = ph;
  wrap = wr;
  direction = dir < 0 ? -1 : 1;
}

void A2xStream::Impl::runEncoder(const float* rows, int64_t a, int64_t T, std::vector<float>& out,
                                 std::vector<float>& wn) {
  std::vector<float> posIn(size_t(T) * H);
  for (int64_t i = 0; i < T; ++i)
    std::memcpy(&posIn[size_t(i) * H], &pos[size_t(posRow(a + i)) * H], size_t(H) * sizeof(float));
  std::vector<float> mask(size_t(T) * T);
  const float ninf = -std::numeric_limits<float>::infinity();
  for (int64_t i = 0; i < T; ++i)
    for (int64_t j = 0; j < T; ++j) mask[size_t(i) * T + j] = (j >= i - left && j <= i + window) ? 0.0f : ninf;
  std::vector<Ort::Value> in;
  in.push_back(w2v::constTensor(rows, size_t(T) * w2v::kFrameFloats, {1, T, w2v::kLayers, w2v::kDim}));
  in.push_back(w2v::tensor(posIn.data(), posIn.size(), {1, T, H}));
  in.push_back(w2v::tensor(mask.data(), mask.size(), {1, 1, T, T}));
  std::vector<const char*> outs{out0.c_str()};
  if (hasWidth) outs.push_back(out1.c_str());
  auto res = enc->run({"feat", "pos_window", "attn"}, in, outs);
  const float* o = w2v::floatsOf(res[0], size_t(T) * H, enc->path, out0.c_str());
  out.assign(o, o + size_t(T) * H);
  if (hasWidth) {
    const float* w = w2v::floatsOf(res[1], size_t(T), enc->path, out1.c_str());
    wn.assign(w, w + T);
  } else {
    wn.clear();
  }
}

void A2xStream::Impl::decodeStep(const float* ctx, std::vector<float>& p, std::vector<float>& s, float* row) {
  std::vector<Ort::Value> in;
  in.push_back(w2v::constTensor(ctx, size_t(H), {1, H}));
  in.push_back(w2v::tensor(p.data(), p.size(), {1, kKeypointValues}));
  in.push_back(w2v::tensor(s.data(), s.size(), {1, 1, H}));
  auto res = dec->run({"ctx_t", "prev", "h"}, in, {"m", "h_out"});
  const float* m = w2v::floatsOf(res[0], kKeypointValues, dec->path, "m");
  const float* h = w2v::floatsOf(res[1], size_t(H), dec->path, "h_out");
  for (int k = 0; k < kKeypointValues; ++k) {
    p[k] = m[k];
    row[k] = m[k] * normStd[k] + normMean[k];
  }
  std::memcpy(s.data(), h, size_t(H) * sizeof(float));
}

void A2xStream::Impl::fillLegacy(int64_t tgt) {
  const w2v::Model& m = legacyModel();
  const int64_t n = samples();
  while (filled < tgt) {
    const int64_t winEnd = winStart + w2v::kWindowFrames;
    // The first whole block boundary at which frame `filled` is final.
    const int64_t k = (filled + audioRight) / kBlockFrames + 1;
    int64_t horizon, limit;
    if (k * kBlockSamples <= n) {
      horizon = k * kBlockSamples;
      limit = std::min(winEnd, k * kBlockFrames - audioRight);
    } else if (finished) {
      horizon = n;
      limit = std::min(winEnd, framesOf(n));
    } else {
      break;
    }
    const int64_t s0 = winStart * kFrameSamples;
    scratch.assign(w2v::kWindowSamples, 0.0f);
    const int64_t s1 = std::min(horizon, s0 + w2v::kWindowSamples);
    if (s1 > s0) std::memcpy(scratch.data(), audio.row(s0), size_t(s1 - s0) * sizeof(float));
    w2v::normalise(scratch.data(), scratch.size());
    const Ort::Value out = w2v::runLegacy(m, scratch.data());
    const float* emb = w2v::legacyFloats(m, out);
    const int64_t first = std::max(filled, winStart == 0 ? int64_t(0) : winStart + 50);
    feat.growTo(limit);
    for (int64_t f = first; f < limit; ++f) {
      w2v::frameOf(emb, f - winStart, feat.row(f));
    }
    filled = std::max(filled, limit);
    if (limit >= winEnd) winStart += 100;
  }
}

void A2xStream::Impl::fillShort(int64_t tgt) {
  w2v::WindowPair& pair = *win;
  const int64_t n = samples();
  std::vector<float> x(size_t(w2v::kHeadFrames) * w2v::kTrunkChannels);
  while (filled < tgt) {
    const int64_t s = winStart;
    const int64_t e = (s + kBlockFrames + blockRight) * kFrameSamples;
    if (!finished && usable() < e) break;
    scratch.assign(w2v::kTrunkSamples, 0.0f);
    const int64_t s0 = e - w2v::kTrunkSamples;
    const int64_t lo = std::max(s0, int64_t(0)), hi = std::min(e, n);
    if (hi > lo) std::memcpy(&scratch[size_t(lo - s0)], audio.row(lo), size_t(hi - lo) * sizeof(float));
    w2v::normalise(scratch.data(), scratch.size());
    std::vector<Ort::Value> in;
    in.push_back(w2v::tensor(scratch.data(), scratch.size(), {1, w2v::kTrunkSamples}));
    auto res = pair.trunk->run({"input_values"}, in, {pair.trunkOut.c_str()});
    auto info = res[0].GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
      throw std::runtime_error(pair.trunk->path + ": trunk output is not float16");
    const int LT = w2v::windowSteps(pair, res[0]);
    if (info.GetElementCount() != size_t(w2v::kTrunkChannels) * LT)
      throw std::runtime_error(pair.trunk->path + ": trunk output is not [1, 640, " + std::to_string(LT) + "]");
    const uint16_t* v = static_cast<const uint16_t*>(res[0].GetTensorRawData());
    uint16_t h[2][w2v::kTrunkChannels];
    float a0[w2v::kTrunkChannels], a1[w2v::kTrunkChannels];
    for (int j = 0; j < w2v::kHeadFrames; ++j) {
      const int64_t f = s + j;
      int64_t base = 0, i = f;
      if (f >= 200) {
        const int64_t kk = f / 100 - 1;
        base = kk * 100 * kFrameSamples;
        i = f - kk * 100;
      }
      const double p = double(base - s0) / 80.0 + double(i) * 8.030150753768844;
      const double fl = std::floor(p);
      if (fl < 0 || fl >= LT) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int i0 = static_cast<int>(fl), i1 = std::min(i0 + 1, LT - 1);
      const double t = p - fl;
      for (int c = 0; c < w2v::kTrunkChannels; ++c) {
        h[0][c] = v[size_t(c) * LT + i0];
        h[1][c] = v[size_t(c) * LT + i1];
      }
      ka::simd::f16ToF32(h[0], a0, w2v::kTrunkChannels);
      ka::simd::f16ToF32(h[1], a1, w2v::kTrunkChannels);
      float* row = &x[size_t(j) * w2v::kTrunkChannels];
      for (int c = 0; c < w2v::kTrunkChannels; ++c)
        row[c] = static_cast<float>((1.0 - t) * double(a0[c]) + t * double(a1[c]));
    }
    w2v::roundF16(x.data(), x.size());
    std::vector<Ort::Value> hin;
    hin.push_back(w2v::tensor(x.data(), x.size(), {w2v::kHeadFrames, w2v::kTrunkChannels}));
    auto hres = pair.head->run({"x"}, hin, {"emb"});
    const float* out = w2v::floatsOf(hres[0], size_t(w2v::kHeadFrames) * w2v::kFrameFloats, pair.head->path, "emb");
    feat.growTo(s + kBlockFrames);
    for (int j = 0; j < w2v::kHeadFrames; ++j) {
      float* dst = feat.row(s + j);
      std::memcpy(dst, out + size_t(j) * w2v::kFrameFloats, w2v::kFrameFloats * sizeof(float));
      w2v::roundF16(dst, w2v::kFrameFloats);
    }
    winStart = filled = s + kBlockFrames;
  }
}

void A2xStream::Impl::releaseOld() {
  // Audio a later window reads; features a later encoder chunk reads; rows not yet used.
  int64_t keepAudio =
      shortWin ? (winStart + kBlockFrames + blockRight) * kFrameSamples - w2v::kTrunkSamples : winStart * kFrameSamples;
  audio.release(std::max<int64_t>(0, keepAudio));
  feat.release(std::max<int64_t>(0, nEncoded - ctxLeft));
  encoded.release(decoded);
  deltas.release(pulled);
  widthStream.release(pulled);
}

void A2xStream::Impl::extend(int64_t F) {
  if (F <= decoded) return;
  try {
    const int64_t usableFrames = framesOf(usable());
    const int64_t need = std::min(usableFrames, F + ctxRight);
    if (filled < need) {
      if (shortWin)
        fillShort(need);
      else
        fillLegacy(need);
    }
    if (filled < need) throw std::runtime_error("audio features fell short of the frames asked");
    std::vector<float> out, wn;
    while (nEncoded < F) {
      const int64_t c0 = nEncoded;
      int64_t c1 = std::min(F, c0 + kLiveChunk);
      const int64_t a = std::max<int64_t>(0, c0 - ctxLeft);
      int64_t b = std::min(usableFrames, c1 + ctxRight);
      if (c0 < P) {
        c1 = std::min<int64_t>(c1, P);
        b = std::min<int64_t>(b, P);
      }
      runEncoder(feat.row(a), a, b - a, out, wn);
      encoded.growTo(c1);
      std::memcpy(encoded.row(c0), &out[size_t(c0 - a) * H], size_t(c1 - c0) * H * sizeof(float));
      if (hasWidth) {
        widthStream.growTo(c1);
        for (int64_t f = c0; f < c1; ++f) widthStream.row(f)[0] = wn[size_t(f - a)];
      }
      nEncoded = c1;
    }
    deltas.growTo(F);
    for (int64_t f = decoded; f < F; ++f) {
      decodeStep(encoded.row(f), prev, state, deltas.row(f));
      decoded = f + 1;
    }
    releaseOld();
  } catch (const std::exception& e) {
    failure = e.what();
  }
}

A2xStream::A2xStream(const std::string& bundle, int threads) : impl_(std::make_unique<Impl>()) {
  impl_->open(bundle, threads);
}

A2xStream::~A2xStream() = default;

void A2xStream::push(const float* samples, int count) {
  if (count <= 0 || !samples) return;
  requireFiniteSamples(samples, count);
  impl_->audio.append(samples, size_t(count));
}

void A2xStream::finish() { impl_->finished = true; }

int A2xStream::avail() {
  Impl& s = *impl_;
  const int64_t R = s.ready();
  if (R > s.decoded) s.extend(std::min(R, s.decoded + (s.shortWin ? kLiveStep : kLegacyStep)));
  return static_cast<int>(std::min<int64_t>(std::max<int64_t>(0, s.decoded - s.pulled), INT32_MAX));
}

std::string A2xStream::takeFailure() {
  std::string f;
  f.swap(impl_->failure);
  return f;
}

int A2xStream::pull(int* index, float* base, float* drive, float* width, int n) {
  Impl& s = *impl_;
  const int64_t R = s.ready();
  if (s.pulled >= s.decoded) s.extend(std::min(R, s.pulled + n));
  const int64_t L = std::min(s.decoded, R);
  int got = 0;
  while (s.pulled < L && got < n) {
    const int idx = s.walk(s.pulled);
    index[got] = idx;
    const float* t = &s.target[size_t(idx) * kKeypointValues];
    const float* d = s.deltas.row(s.pulled);
    for (int k = 0; k < kKeypointValues; ++k) {
      base[size_t(got) * kKeypointValues + k] = t[k];
      drive[size_t(got) * kKeypointValues + k] = t[k] + d[k];
    }
    if (width) width[got] = (s.hasWidth && s.pulled < s.widthStream.end()) ? s.widthStream.row(s.pulled)[0] : 0.0f;
    ++s.pulled;
    ++got;
  }
  s.deltas.release(s.pulled);
  s.widthStream.release(s.pulled);
  return got;
}

int A2xStream::total() const {
  if (!impl_->finished) return -1;
  return static_cast<int>(std::min<int64_t>(framesOf(impl_->samples()), INT32_MAX));
}

int A2xStream::reset(int phase, int direction, int wrap) {
  impl_->resetState(phase, direction, wrap);
  return impl_->direction;
}

int A2xStream::nt() const { return impl_->NT; }
bool A2xStream::hasWidth() const { return impl_->hasWidth; }
void A2xStream::setEager(int flag) { impl_->eager = flag; }
bool A2xStream::shortWindow() const { return impl_->shortWin; }

size_t A2xStream::heldBytes() const {
  const Impl& s = *impl_;
  return s.audio.capacityBytes() + s.feat.capacityBytes() + s.encoded.capacityBytes() + s.widthStream.capacityBytes() +
         s.deltas.capacityBytes();
}

double A2xStream::modelSeconds() const {
  const Impl& s = *impl_;
  uint64_t ns = s.enc->runNanos + s.dec->runNanos;
  if (s.legacy) ns += s.legacy->runNanos;
  if (s.win) ns += s.win->trunk->runNanos + s.win->head->runNanos;
  return double(ns) * 1e-9;
}

int A2xStream::deltas(const float* samples, int count, float* out, float* width, int max) {
  Impl& s = *impl_;
  if (count <= 0) return 0;
  const int64_t F = framesOf(count);
  if (max < F) return -2;
  requireFiniteSamples(samples, count);
  const w2v::Model& m = s.legacyModel();
  // Features are kept only while a later encoder chunk reads them.
  RowBuffer feats(w2v::kFrameFloats);
  std::vector<float> encOut(size_t(F) * s.H);
  s.widthOffline.assign(s.hasWidth ? size_t(F) : 0, 0.0f);
  std::vector<float> o, wn;
  int64_t c0 = 0;
  auto encodeUpTo = [&](int64_t have) {
    while (c0 < F) {
      int64_t c1 = std::min(F, c0 + kClipChunk);
      const int64_t a = std::max<int64_t>(0, c0 - s.ctxLeft);
      int64_t b = std::min(F, c1 + s.ctxRight);
      if (c0 < s.P) {
        c1 = std::min<int64_t>(c1, s.P);
        b = std::min<int64_t>(b, s.P);
      }
      if (b > have) return;
      s.runEncoder(feats.row(a), a, b - a, o, wn);
      std::memcpy(&encOut[size_t(c0) * s.H], &o[size_t(c0 - a) * s.H], size_t(c1 - c0) * s.H * sizeof(float));
      if (s.hasWidth)
        for (int64_t f = c0; f < c1; ++f) s.widthOffline[size_t(f)] = wn[size_t(f - a)];
      c0 = c1;
      feats.release(std::max<int64_t>(0, c0 - s.ctxLeft));
    }
  };
  w2v::clipFrames(
      m, samples, count, F,
      [&](int64_t f, const float* emb, int64_t i) {
        feats.growTo(f + 1);
        w2v::frameOf(emb, i, feats.row(f));
      },
      encodeUpTo);
  encodeUpTo(F);
  std::vector<float> p = s.primedPrev.empty() ? std::vector<float>(kKeypointValues, 0.0f) : s.primedPrev;
  std::vector<float> st = s.primedState.empty() ? std::vector<float>(size_t(s.H), 0.0f) : s.primedState;
  std::vector<float> rows(size_t(F) * kKeypointValues);
  for (int64_t f = 0; f < F; ++f) s.decodeStep(&encOut[size_t(f) * s.H], p, st, &rows[size_t(f) * kKeypointValues]);
  std::memcpy(out, rows.data(), rows.size() * sizeof(float));
  if (width) {
    for (int64_t f = 0; f < F; ++f) width[f] = f < int64_t(s.widthOffline.size()) ? s.widthOffline[size_t(f)] : 0.0f;
  }
  return static_cast<int>(F);
}

}  // namespace ka
