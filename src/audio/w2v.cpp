#include "audio/w2v.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/env.h"
#include "base/log.h"
#include "base/regular_file.h"
#include "ops/pool.h"
#include "ops/simd.h"
#include "runtime/ort_env.h"
#include "runtime/session_options.h"

namespace ka {
namespace w2v {

namespace {

std::string dirOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

long long fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool opensAsRegularFile(const std::string& path) {
  try {
    RegularFile f(path);
    return f.ok();
  } catch (const std::exception&) {
    return false;
  }
}

// The CUDA provider's memory limit in bytes when $KA_A2X_CUDA is "1" and `tag` is "w2v"; else 0.
size_t cudaMemBytes(const char* tag) {
  if (!env::is("KA_A2X_CUDA", "1") || std::strcmp(tag, "w2v") != 0) return 0;
  size_t mib = 3072;
  const char* lim = std::getenv("KA_A2X_CUDA_MEM_MIB");
  if (lim && *lim) {
    char* end = nullptr;
    long v = std::strtol(lim, &end, 10);
    if (end != lim && v > 0) mib = static_cast<size_t>(v);
  }
  return mib * 1024 * 1024;
}

std::vector<std::string> namesOf(Ort::Session& s, bool inputs) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> out;
  size_t n = inputs ? s.GetInputCount() : s.GetOutputCount();
  for (size_t i = 0; i < n; ++i)
    out.emplace_back((inputs ? s.GetInputNameAllocated(i, alloc) : s.GetOutputNameAllocated(i, alloc)).get());
  return out;
}

// Process-wide encoder state, guarded by g_w2v_mtx.
struct Shared {
  std::unique_ptr<Ort::Env> env;
  std::shared_ptr<const Model> legacy;
  std::shared_ptr<WindowPair> window;
  bool windowTried = false;
};
std::mutex g_w2v_mtx;
Shared g_shared;

// The embedding of 8 s of silence, under its own mutex.
std::mutex g_silence_mtx;
std::shared_ptr<const std::vector<float>> g_silence;

const Ort::Env& sharedEnvLocked() {
  if (!g_shared.env) g_shared.env = std::make_unique<Ort::Env>(makeOrtEnv("ka_a2x_w2v"));
  return *g_shared.env;
}

}  // namespace

int resolveThreads(int requested) {
  const int pool = pool::threads();
  return (requested >= 1 && requested < pool) ? requested : pool;
}

Ort::SessionOptions makeOptions(int threads, const char* tag) {
  SessionSettings settings;
  settings.threadName = "ka-ort-w2v";
  settings.intraThreads = threads;
  settings.spinning = false;
  Ort::SessionOptions o = makeSessionOptions(settings);
  const size_t cuda = cudaMemBytes(tag);
  if (!cuda) return o;
  try {
    settings.cudaMemBytes = cuda;
    o = makeSessionOptions(settings);
    log::printf(log::Level::Info, "[ka_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag,
                cuda / (1024 * 1024));
  } catch (const std::exception& e) {
    log::printf(log::Level::Warning, "[ka_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
  return o;
}

void Model::requireInputs(std::initializer_list<const char*> names) const {
  for (const char* n : names) {
    bool found = false;
    for (const auto& i : inputs) found = found || i == n;
    if (!found) throw std::runtime_error(path + ": model lacks input \"" + n + "\"");
  }
}

void Model::requireOutputs(std::initializer_list<const char*> names) const {
  for (const char* n : names) {
    bool found = false;
    for (const auto& o : outputs) found = found || o == n;
    if (!found) throw std::runtime_error(path + ": model lacks output \"" + n + "\"");
  }
}

std::vector<Ort::Value> Model::run(const std::vector<const char*>& inNames, const std::vector<Ort::Value>& in,
                                   const std::vector<const char*>& outNames) const {
  const auto t0 = std::chrono::steady_clock::now();
  try {
    auto out =
        session->Run(Ort::RunOptions{nullptr}, inNames.data(), in.data(), in.size(), outNames.data(), outNames.size());
    runNanos +=
        uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count());
    return out;
  } catch (const Ort::Exception& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
}

std::unique_ptr<Model> openModel(const Ort::Env& env, const std::string& path, Ort::SessionOptions& options) {
  requireRegularFile(path);
  auto m = std::make_unique<Model>();
  m->path = path;
  try {
    m->session = std::make_unique<Ort::Session>(env, path.c_str(), options);
  } catch (const Ort::Exception& e) {
    const std::string what = e.what();
    if (what.find("Gelu") == std::string::npos || what.find("float16") == std::string::npos)
      throw std::runtime_error(path + ": " + what);
    log::printf(log::Level::Warning,
                "[ka_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime has "
                "no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                path.c_str());
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    m->session = std::make_unique<Ort::Session>(env, path.c_str(), options);
  }
  m->inputs = namesOf(*m->session, true);
  m->outputs = namesOf(*m->session, false);
  return m;
}

const float* floatsOf(const Ort::Value& v, size_t count, const std::string& path, const char* name) {
  auto info = v.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
    throw std::runtime_error(path + ": output \"" + name + "\" is not float");
  if (info.GetElementCount() != count)
    throw std::runtime_error(path + ": output \"" + name + "\" holds " + std::to_string(info.GetElementCount()) +
                             " values, expected " + std::to_string(count));
  return v.GetTensorData<float>();
}

Ort::Value tensor(float* data, size_t count, const std::vector<int64_t>& shape) {
  static const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return Ort::Value::CreateTensor<float>(mem, data, count, shape.data(), shape.size());
}

Ort::Value constTensor(const float* data, size_t count, const std::vector<int64_t>& shape) {
  // Inputs are only read by Session::Run.
  return tensor(const_cast<float*>(data), count, shape);
}

namespace {

// Sum of f(x[i]) in double over eight interleaved partial sums (independent chains, so the adds
// overlap), combined pairwise.
template <class F>
double sum8(const float* x, size_t n, F f) {
  double p[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (int k = 0; k < 8; ++k) p[k] += f(double(x[i + k]));
  for (int k = 0; i < n; ++i, ++k) p[k] += f(double(x[i]));
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

}  // namespace

void normalise(float* x, size_t n) {
  if (n == 0) return;
  const double mean = sum8(x, n, [](double v) { return v; }) / static_cast<double>(n);
  const double var = sum8(x, n, [mean](double v) { return (v - mean) * (v - mean); }) / static_cast<double>(n);
  const float sd = std::sqrt(static_cast<float>(var + 1e-7));
  const float m = static_cast<float>(mean);
  for (size_t i = 0; i < n; ++i) x[i] = (x[i] - m) / sd;
}

void roundF16(float* x, size_t n) {
  unsigned short tmp[256];
  for (size_t i = 0; i < n; i += 256) {
    const size_t k = n - i < 256 ? n - i : 256;
    simd::f32ToF16(x + i, tmp, k);
    simd::f16ToF32(tmp, x + i, k);
  }
}

std::shared_ptr<const Model> sharedLegacy(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (g_shared.legacy) return g_shared.legacy;
  const Ort::Env& env = sharedEnvLocked();
  Ort::SessionOptions o = makeOptions(resolveThreads(threads), "w2v");
  std::shared_ptr<Model> m = openModel(env, path, o);
  m->requireInputs({"input_values"});
  m->requireOutputs({"audio_emb"});
  g_shared.legacy = m;
  return g_shared.legacy;
}

std::shared_ptr<WindowPair> sharedWindow(const std::string& w2vPath, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (g_shared.windowTried) return g_shared.window;
  g_shared.windowTried = true;
  std::string trunk = env::text("KA_A2X_W2V_WIN_ONNX"), head = env::text("KA_A2X_W2V_HEAD_ONNX");
  if (trunk.empty() || head.empty()) {
    trunk.clear();
    head.clear();
    const std::string dir = dirOf(w2vPath);
    static const char* const kPairs[][2] = {
        {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
        {"w2v_trunk32.onnx", "w2v_head32.onnx"}};
    for (const auto& p : kPairs) {
      const std::string t = dir + "/" + p[0], h = dir + "/" + p[1];
      if (opensAsRegularFile(t) && opensAsRegularFile(h)) {
        trunk = t;
        head = h;
        break;
      }
    }
  }
  if (trunk.empty()) {
    log::printf(log::Level::Warning,
                "[ka_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                "KA_A2X_W2V_WIN_ONNX/KA_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
                "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
                "the LEGACY 8s window \xE2\x80\x94 same reference quality, 2.8-3.9x the audio hop cost. Ship the "
                "pair beside the encoder (tools/export_w2v_window).\n",
                w2vPath.c_str());
    return nullptr;
  }
  try {
    const Ort::Env& env = sharedEnvLocked();
    auto pair = std::make_shared<WindowPair>();
    Ort::SessionOptions o = makeOptions(resolveThreads(threads), "w2v");
    pair->trunk = openModel(env, trunk, o);
    pair->trunk->requireInputs({"input_values"});
    Ort::SessionOptions oh = makeOptions(resolveThreads(threads), "w2v");
    pair->head = openModel(env, head, oh);
    pair->head->requireInputs({"x"});
    pair->head->requireOutputs({"emb"});
    if (pair->trunk->outputs.empty()) throw std::runtime_error(trunk + ": model declares no output");
    pair->trunkOut = pair->trunk->outputs[0];
    auto shape = pair->trunk->session->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() == 3 && shape[2] > 0) pair->lt = static_cast<int>(shape[2]);
    const std::string lt = pair->lt > 0 ? std::to_string(pair->lt) : std::string("from-first-run");
    log::printf(log::Level::Info,
                "[ka_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n", lt.c_str(),
                trunk.c_str(), fileSize(trunk), head.c_str(), fileSize(head));
    g_shared.window = pair;
  } catch (const std::exception& e) {
    log::printf(log::Level::Warning, "[ka_a2x] short-window w2v load FAILED (%s) \xE2\x80\x94 legacy 8s path\n",
                e.what());
    return nullptr;
  }
  return g_shared.window;
}

int windowSteps(WindowPair& p, const Ort::Value& trunkOut) {
  int lt = p.lt.load();
  if (lt > 0) return lt;
  auto shape = trunkOut.GetTensorTypeAndShapeInfo().GetShape();
  if (shape.size() != 3 || shape[2] <= 0 || shape[2] > (1 << 20))
    throw std::runtime_error(p.trunk->path + ": trunk output is not [1, 640, LT]");
  lt = static_cast<int>(shape[2]);
  p.lt.store(lt);
  return lt;
}

Ort::Value runLegacy(const Model& m, float* window) {
  std::vector<Ort::Value> inputs;
  inputs.push_back(tensor(window, kWindowSamples, {1, kWindowSamples}));
  auto res = m.run({"input_values"}, inputs, {"audio_emb"});
  legacyFloats(m, res[0]);
  return std::move(res[0]);
}

const float* legacyFloats(const Model& m, const Ort::Value& out) {
  return floatsOf(out, static_cast<size_t>(kLayers) * kWindowFrames * kDim, m.path, "audio_emb");
}

void frameOf(const float* emb, int64_t i, float* dst) {
  for (int l = 0; l < kLayers; ++l)
    std::memcpy(dst + size_t(l) * kDim, &emb[(size_t(l) * kWindowFrames + size_t(i)) * kDim], kDim * sizeof(float));
  roundF16(dst, kFrameFloats);
}

void clipFrames(const Model& m, const float* samples, int64_t count, int64_t frames,
                const std::function<void(int64_t, const float*, int64_t)>& take,
                const std::function<void(int64_t)>& windowDone) {
  std::vector<float> win(kWindowSamples);
  int64_t have = 0;
  for (int64_t ws = 0; ws < frames; ws += 100) {
    std::fill(win.begin(), win.end(), 0.0f);
    const int64_t s0 = ws * kFrameSamples;
    for (int64_t i = s0; i < std::min<int64_t>(count, s0 + kWindowSamples); ++i) win[size_t(i - s0)] = samples[i];
    normalise(win.data(), win.size());
    const Ort::Value out = runLegacy(m, win.data());
    const float* emb = legacyFloats(m, out);
    const int64_t lo = std::max(have, ws == 0 ? int64_t(0) : ws + 50);
    const int64_t hi = std::min<int64_t>(frames, ws + kWindowFrames);
    for (int64_t f = lo; f < hi; ++f) take(f, emb, f - ws);
    have = std::max(have, hi);
    if (windowDone) windowDone(have);
  }
}

std::shared_ptr<const std::vector<float>> silenceEmbedding(const Model& m) {
  std::lock_guard<std::mutex> lock(g_silence_mtx);
  if (!g_silence) {
    std::vector<float> zeros(kWindowSamples, 0.0f);
    const Ort::Value out = runLegacy(m, zeros.data());
    const float* p = legacyFloats(m, out);
    g_silence = std::make_shared<std::vector<float>>(p, p + size_t(kLayers) * kWindowFrames * kDim);
  }
  return g_silence;
}

void forgetShared() {
  {
    std::lock_guard<std::mutex> lock(g_w2v_mtx);
    g_shared.legacy.reset();
    g_shared.window.reset();
    g_shared.windowTried = false;
  }
  std::lock_guard<std::mutex> lock(g_silence_mtx);
  g_silence.reset();
}

}  // namespace w2v
}  // namespace ka
