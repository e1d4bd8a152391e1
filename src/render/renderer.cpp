#include "render/renderer.h"
#include "base/env.h"
#include "base/log.h"
#include "base/units.h"
#include "graph/prune_initializers.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "base/regular_file.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "graph/gridsample_rewrite.h"
#include "graph/lip_contour_bind.h"
#include "ops/domain.h"
#include "ops/pool.h"
#include "render/lip_feed.h"
#include "render/load_rewrites.h"
#include "render/prefetch.h"
#include "runtime/model_file.h"
#include "runtime/ort_env.h"
#include "runtime/session_options.h"

namespace ka {
namespace {

constexpr size_t kPooledPerFrame = 65536;  // 64 x 32 x 32
constexpr size_t kFsRedPerFrame = 262144;  // 64 x 64 x 64
constexpr size_t kKpPerFrame = kKeypointValues;

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// Frames per run the renderer sizes its buffers for. The graph declares its batch; a declaration
// beyond this would size gigabytes of buffers from a number in a file.
constexpr int64_t kMaxBatch = 64;

std::string xnnpackRefusal(const std::string& ep) {
  return "Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to Zephrane custom-domain nodes "
         "(com.zephrane::GridSampleFast, and com.zephrane::WarpDirector wherever KA_WARP_NODE is on), and ORT's "
         "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them \xE2\x80\x94 measured "
         "2026-09-15 on a published nimbrel2-android AAR, null deref inside libonnxruntime.so at session create, "
         "on both a door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so "
         "it cannot be caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle "
         "on the same bytes.";
}

std::string bakedGridSampleRefusal(const std::string& path) {
  return "Renderer: KA_GS_FAST=0 (or ZEPHRANE_NIMBREL2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " + path +
         " has com.zephrane::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, "
         "so there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is "
         "not a registered function/op'. There is no standard-GridSample arm on this bundle to measure: the "
         "artifact itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
         "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.";
}

std::string warpWithoutDomainRefusal(const std::string& path) {
  return "Renderer: KA_WARP_NODE is on and moved the warp block of " + path +
         " into one com.zephrane::WarpDirector node, but KA_GS_FAST=0 leaves the com.zephrane domain unregistered, "
         "so that node would have no kernel and the session would die inside ORT. REFUSING AT LOAD: unset "
         "KA_WARP_NODE (or set it to 0) to measure the standard graph, or unset KA_GS_FAST to run the warp node.";
}

std::string kpContractRefusal(const std::string& path, const std::string& input, int64_t rows) {
  std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path + " \xE2\x80\x94 the graph declares " +
                    input + " with " + std::to_string(rows) + " keypoint rows, and this renderer feeds " +
                    std::to_string(kKeypointRows) + " (ka::kHostKpRows, ka/ka). ";
  if (rows == 22) {
    msg += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kKeypointRows) +
           " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This engine has no width "
           "feed (see ka_a2x_width / ka_a2x_pull_wn in ka/ka_a2x, which nothing on this path calls yet), so it "
           "cannot drive this director. ";
  }
  return msg +
         "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published "
         "to a host that links this renderer: training/recipe/host_kp_contract is the publish gate that exists to "
         "prevent it.";
}

const char* kNoWarpPrior =
    "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a P_hevc.mov "
    "to play in place is present, so ka::Identity mapped NOTHING and Identity::P(si) would be an offset from a null "
    "pointer \xE2\x80\x94 a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.";

}  // namespace

struct Renderer::Impl {
  std::string epName;
  Ort::Env env = makeOrtEnv("ka");
  Ort::SessionOptions options;
  std::unique_ptr<Ort::Session> session;
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions runOptions;
  bool profiling = false;
  double runMs = 0.0;
  int64_t runCount = 0;

  Identity& identity;
  int B = 0;
  int C = 0;
  int threads = 1;
  size_t imageElems = 0;
  bool featSynth = false;
  bool fromBytes = false;
  std::string note;
  std::string modelName;
  std::string modelPath;
  std::string bundleDir;

  std::vector<float> pooled, prior, kpDriving, kpSource, rgb;
  std::vector<Ort::Value> tensors;
  size_t rgbTensor = 0;                  // the output's entry in tensors
  std::unique_ptr<LipFeed> lip;          // the lip contour, bound into the graph or not
  std::unique_ptr<SourceConeRing> ring;  // the source-cone hoist, when in force

  explicit Impl(Identity& id) : identity(id) {}

  void buildSession(const std::string& ep);
  void checkContractAndBind(bool hoisted);
  const float* renderHoisted(int v, const float* kpSource, const float* kpDriving);
  void runTimed();
};

void Renderer::Impl::buildSession(const std::string& ep) {
  ring.reset();
  session.reset();
  binding.reset();
  tensors.clear();

  const bool coreml = !ep.empty() && startsWith(ep, "coreml");
  if (!ep.empty() && startsWith(ep, "xnnpack")) throw std::runtime_error(xnnpackRefusal(ep));
  if (!ep.empty() && !coreml) throw std::runtime_error("Renderer: unknown ep '" + ep + "'");
  const bool gsDomain = !env::firstIs("KA_GS_FAST", '0');
  SessionSettings settings;
  settings.threadName = "ka-ort-render";
  settings.intraThreads = threads;
  settings.spinning = env::firstIs("KA_ORT_SPIN", '1');
  settings.disableKleidiai = true;
  settings.profilePrefix = env::text("KA_ORT_PROFILE");
  profiling = !settings.profilePrefix.empty();
  // Int8 convolutions on every session: graphs baked with them need it.
  settings.customOps.push_back(registerInt8ConvVNNI);
  if (gsDomain) settings.customOps.push_back(registerGridSampleFast);
  if (coreml) {
    settings.coreml = ep;
    settings.coremlCacheBase = bundleDir;
  }
  options = makeSessionOptions(settings);

  bool gsRewrite = gsDomain;
  std::vector<uint8_t> bytes;
  if (!gsDomain) {
    bytes = readModelBytes(modelPath, "Renderer");
    bool baked = false;
    if (!bytes.empty()) {
      try {
        baked = graphHasBakedGridSampleFast(GsSlice(bytes));
      } catch (...) {
        baked = true;
      }
    }
    if (baked) throw std::runtime_error(bakedGridSampleRefusal(modelPath));
  } else if (env::firstIs("KA_GS_REWRITE", '0')) {
    gsRewrite = false;
    if (!coreml)
      log::printf(log::Level::Warning,
                  "[ka] KA_GS_REWRITE=0: load-time std GridSample -> com.zephrane::GridSampleFast rewrite "
                  "DISABLED (%s); the custom op is still registered, so a baked bundle loads and runs its baked "
                  "kernel. A standard bundle now runs ORT's own GridSample.\n",
                  modelName.c_str());
  }
  if (bytes.empty()) bytes = readModelBytes(modelPath, "Renderer");

  LoadRewriteOptions ro;
  ro.cpuProvider = !coreml;
  ro.warpNode = warpNodeRequested();
  ro.gridSampleRewrite = gsRewrite && !(coreml && ro.warpNode);
  LoadRewriteReport rep = applyLoadRewrites(bytes, ro);
  // KA_GS_FAST=0 leaves "com.zephrane" unregistered, so a WarpDirector node would have no kernel.
  if (rep.warpApplied() && !gsDomain) throw std::runtime_error(warpWithoutDomainRefusal(modelPath));
  rep.lip = lip->bind(bytes, modelName);
  if (rep.changedGraph()) pruneUnusedInitializers(bytes);

  SourceConeHoistRequest hoist;
  hoist.modelName = modelName;
  hoist.coreml = coreml;
  hoist.coremlUnitWord = ep.size() > 7 ? ep.substr(7) : "all";
  hoist.warpApplied = rep.warpApplied();
  hoist.hasPrior = identity.hasP() || !identity.priorPath().empty();
  SourceConeSplit split;
  const bool hoisted = splitSourceCone(env, bytes, hoist, split);

  logLoadRewrites(rep, modelName);
  lip->logBound(modelName);

  fromBytes = hoisted || rep.changedGraph();
  if (hoisted)
    session = std::make_unique<Ort::Session>(env, split.perFrame.data(), split.perFrame.size(), options);
  else if (fromBytes)
    session = std::make_unique<Ort::Session>(env, bytes.data(), bytes.size(), options);
  else {
    requireRegularFile(modelPath);  // the runtime opens the path itself: it must still be a plain file
    session = std::make_unique<Ort::Session>(env, modelPath.c_str(), options);
  }
  epName = coreml ? ep : "cpu";
  log::printf(log::Level::Info, "[ka] director ep=%s (%s)\n", epName.c_str(),
              coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph" : "ORT CPU EP");
  checkContractAndBind(hoisted);
  if (hoisted) {
    ring = std::make_unique<SourceConeRing>(split, identity, C, &ConeKeepBudget::process());
    if (ring->keptFrames() > 0)
      log::printf(log::Level::Info, "[ka] source cone (%s): the first %d of %d source frames keep their boundary\n",
                  modelName.c_str(), ring->keptFrames(), identity.NT());
  }
}

void Renderer::Impl::checkContractAndBind(bool hoisted) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::vector<std::string> names;
  std::vector<std::vector<int64_t>> shapes;
  for (size_t i = 0; i < session->GetInputCount(); ++i) {
    names.push_back(session->GetInputNameAllocated(i, alloc).get());
    Ort::TypeInfo ti = session->GetInputTypeInfo(i);
    shapes.push_back(ti.GetONNXType() == ONNX_TYPE_TENSOR ? ti.GetTensorTypeAndShapeInfo().GetShape()
                                                          : std::vector<int64_t>{});
  }
  auto find = [&](const char* n) -> const std::vector<int64_t>* {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == n) return &shapes[i];
    return nullptr;
  };

  featSynth = find("fs_red") != nullptr;
  const char* featName = featSynth ? "pooled" : "pooled64";
  const char* kdName = featSynth ? "kd" : "kp_driving";
  const char* ksName = featSynth ? "ks" : "kp_source";
  const auto* feat = find(featName);
  if (!feat || feat->size() != 4 || (*feat)[0] <= 0)
    throw std::runtime_error(std::string(featName) + " input not found / bad shape");
  if ((*feat)[0] > kMaxBatch)
    throw std::runtime_error("Renderer: " + modelPath + " declares " + featName + " with batch " +
                             std::to_string((*feat)[0]) + ", more than the " + std::to_string(kMaxBatch) +
                             " frames per run this renderer sizes its buffers for \xE2\x80\x94 refusing");
  B = static_cast<int>((*feat)[0]);
  for (const char* kp : {kdName, ksName}) {
    const auto* s = find(kp);
    if (s && s->size() == 3 && (*s)[1] > 0 && (*s)[1] != kKeypointRows)
      throw std::runtime_error(kpContractRefusal(modelPath, kp, (*s)[1]));
  }

  const size_t b = static_cast<size_t>(B);
  imageElems = 3 * static_cast<size_t>(C) * static_cast<size_t>(C);
  pooled.assign(b * kPooledPerFrame, 0.f);
  kpDriving.assign(b * kKpPerFrame, 0.f);
  kpSource.assign(b * kKpPerFrame, 0.f);
  rgb.assign(b * imageElems, 0.f);
  if (featSynth) {
    if (!identity.hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
    prior.assign(b * kFsRedPerFrame, 0.f);
  } else {
    if (!identity.hasP() && identity.priorPath().empty()) throw std::runtime_error(kNoWarpPrior);
    if (!hoisted) prior.assign(b * imageElems, 0.f);
  }

  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding = std::make_unique<Ort::IoBinding>(*session);
  auto bind = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape, bool output = false) {
    tensors.push_back(Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    if (output)
      binding->BindOutput(name, tensors.back());
    else
      binding->BindInput(name, tensors.back());
  };
  const int64_t B64 = B, C64 = C;
  if (featSynth) {
    bind("fs_red", prior, {B64, 64, 64, 64});
    bind("pooled", pooled, {B64, 64, 32, 32});
  } else {
    bind("pooled64", pooled, {B64, 64, 32, 32});
    if (!hoisted) bind("P_rgb", prior, {B64, 3, C64, C64});
  }
  bind(kdName, kpDriving, {B64, kKeypointRows, 3});
  bind(ksName, kpSource, {B64, kKeypointRows, 3});
  if (lip->bound() && !featSynth) bind(kLipDeliveryInput, lip->buffer(B), {B64, 1, C64, C64});
  bind("rgb", rgb, {B64, 3, C64, C64}, true);
  rgbTensor = tensors.size() - 1;
}

Renderer::Renderer(const Manifest& m, Identity& identity, const std::string& modelName, int intraOpThreads,
                   const std::string& epIn)
    : impl_(std::make_unique<Impl>(identity)) {
  Impl& s = *impl_;
  s.C = m.crop;
  s.threads = intraOpThreads < 1 ? pool::threads() : pool::boundThreads(intraOpThreads, "Renderer intra-op");
  s.modelName = modelName;
  s.modelPath = m.modelPath(modelName);
  s.bundleDir = m.dir;
  s.lip = std::make_unique<LipFeed>(m.lipTemplateJson, s.C);

  std::string ep = epIn;
  if (ep == "neon" || (ep.empty() && env::is("KA_CONV_BACKEND", "neon"))) {
    // The fp16 convolution backend exists only on ARM builds; here ORT serves the director.
    log::printf(log::Level::Warning, "[ka] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    ep.clear();
  }

  try {
    s.buildSession(ep);
  } catch (const std::exception& e) {
    if (!startsWith(ep, "coreml")) throw;
    log::printf(log::Level::Warning, "[ka] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n",
                e.what());
    s.buildSession("");
  }
}

Renderer::~Renderer() {
  Impl& s = *impl_;
  s.ring.reset();
  if (!s.profiling || !s.session) return;
  if (s.runCount > 0)
    log::printf(log::Level::Info, "[ka_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n",
                static_cast<long>(s.runCount), s.runMs / static_cast<double>(s.runCount));
  try {
    Ort::AllocatorWithDefaultOptions alloc;
    auto file = s.session->EndProfilingAllocated(alloc);
    log::printf(log::Level::Info, "[ka_ort_profile] %s\n", file.get());
  } catch (const std::exception& e) {
    log::printf(log::Level::Warning, "[ka_ort_profile] FAILED: %s\n", e.what());
  }
}

const float* Renderer::render(const int* sourceIndices, const float* kpSource, const float* kpDriving, int n) {
  Impl& s = *impl_;
  if (n < 1 || n > s.B) throw std::runtime_error("render: bad n");
  if (s.ring) return s.renderHoisted(sourceIndices[0], kpSource, kpDriving);
  const size_t priorPer = s.featSynth ? kFsRedPerFrame : s.imageElems;
  for (int j = 0; j < s.B; ++j) {
    const size_t sj = static_cast<size_t>(j);
    float* pooledJ = s.pooled.data() + sj * kPooledPerFrame;
    float* priorJ = s.prior.data() + sj * priorPer;
    const int c = j < n ? j : n - 1;
    if (j >= n) {
      const size_t last = static_cast<size_t>(n - 1);
      std::memcpy(pooledJ, s.pooled.data() + last * kPooledPerFrame, kPooledPerFrame * sizeof(float));
      std::memcpy(priorJ, s.prior.data() + last * priorPer, priorPer * sizeof(float));
    } else {
      const int si = sourceIndices[c];
      halfToFloat(s.identity.pooled64(si), pooledJ, kPooledPerFrame);
      halfToFloat(s.featSynth ? s.identity.fsRed(si) : s.identity.P(si), priorJ, priorPer);
    }
    std::memcpy(s.kpSource.data() + sj * kKpPerFrame, kpSource + static_cast<size_t>(c) * kKpPerFrame,
                kKpPerFrame * sizeof(float));
    std::memcpy(s.kpDriving.data() + sj * kKpPerFrame, kpDriving + static_cast<size_t>(c) * kKpPerFrame,
                kKpPerFrame * sizeof(float));
    if (s.lip->bound() && !s.featSynth) {
      if (j >= n)
        s.lip->repeat(n - 1, j);
      else
        s.lip->fill(j, kpDriving + static_cast<size_t>(c) * kKpPerFrame);
    }
  }
  s.runTimed();
  return s.rgb.data();
}

void Renderer::renderInto(int sourceIndex, const float* kpSource, const float* kpDriving, float* out) {
  Impl& s = *impl_;
  if (s.B != 1) throw std::runtime_error("render: renderInto needs a batch-1 director");
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t C64 = s.C, shape[4] = {1, 3, C64, C64};
  Ort::Value target = Ort::Value::CreateTensor<float>(mem, out, s.imageElems, shape, 4);
  s.binding->BindOutput("rgb", target);
  try {
    render(&sourceIndex, kpSource, kpDriving, 1);
  } catch (...) {
    s.binding->BindOutput("rgb", s.tensors[s.rgbTensor]);
    throw;
  }
  s.binding->BindOutput("rgb", s.tensors[s.rgbTensor]);
}

void Renderer::fillKeptCone() {
  if (impl_->ring) impl_->ring->fillKept();
}

// One frame with the source cone hoisted (batch 1): the boundary comes from the ring, and the
// frame predicted to follow is prefetched while the director runs.
const float* Renderer::Impl::renderHoisted(int v, const float* kpSrc, const float* kpDrv) {
  binding->BindInput(ring->boundary().c_str(), ring->acquire(v));
  halfToFloat(identity.pooled64(v), pooled.data(), kPooledPerFrame);
  std::memcpy(kpSource.data(), kpSrc, kKpPerFrame * sizeof(float));
  std::memcpy(kpDriving.data(), kpDrv, kKpPerFrame * sizeof(float));
  if (lip->bound() && !featSynth) lip->fill(0, kpDrv);
  ring->prefetchAfter(v);
  runTimed();
  return rgb.data();
}

void Renderer::Impl::runTimed() {
  const auto t0 = std::chrono::steady_clock::now();
  session->Run(runOptions, *binding);
  const auto t1 = std::chrono::steady_clock::now();
  runMs += static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()) / 1e6;
  ++runCount;
}

int Renderer::batch() const { return impl_->B; }
const std::string& Renderer::ep() const { return impl_->epName; }
std::string Renderer::backend() const { return "ort"; }
const std::string& Renderer::directorNote() const { return impl_->note; }
bool Renderer::featSynth() const { return impl_->featSynth; }
bool Renderer::sessionFromBytes() const { return impl_->fromBytes; }
double Renderer::runMilliseconds() const { return impl_->runMs; }
int64_t Renderer::runs() const { return impl_->runCount; }

}  // namespace ka
