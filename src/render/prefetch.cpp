#include "render/prefetch.h"
#include "base/env.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "graph/prune_initializers.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "bundle/identity.h"
#include "graph/source_cone.h"
#include "runtime/session_options.h"

namespace ka {

int PlaybackPredictor::next(int v, int frames) {
  const int prev = last_;
  last_ = v;
  if (frames <= 1) return v;
  auto wrap = [frames](int x) { return ((x % frames) + frames) % frames; };
  if (prev == frames - 1 && v == 0) {
    wrapped_ = true;
    if (frames == 2) {
      step_ = -1;
      return 1;
    }
    return wrap(step_);
  }
  if (prev >= 0 && (v - prev == 1 || v - prev == -1)) step_ = v - prev;
  const int t = v + step_;
  if (wrapped_) return wrap(t);
  if (t < 0) return 1;
  if (t >= frames) return frames - 2;
  return t;
}

namespace {

// Why the prep session does not fit the ring: empty when it does.
std::string prepShapeProblem(Ort::Session& prep, int64_t dims[4]) {
  const auto in = prep.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  if (in.size() != 4 || in[0] != 1)
    return "batch-1 lever; this graph declares batch " + std::to_string(in.empty() ? int64_t(0) : in[0]);
  const auto out = prep.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  bool fixed = out.size() == 4;
  for (size_t i = 0; fixed && i < 4; ++i) fixed = out[i] > 0;
  if (!fixed) return "boundary shape is not static";
  for (int i = 0; i < 4; ++i) dims[i] = out[size_t(i)];
  return {};
}

}  // namespace

bool splitSourceCone(Ort::Env& env, const std::vector<uint8_t>& model, const SourceConeHoistRequest& req,
                     SourceConeSplit& split) {
  const char* name = req.modelName.c_str();
  if (req.coreml && (req.coremlUnitWord == "all" || req.coremlUnitWord == "gpu")) {
    log::printf(log::Level::Info,
                "[ka] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU "
                "and the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an "
                "M4) \xE2\x80\x94 the cone stays in the graph\n",
                name, req.coremlUnitWord.c_str());
    return false;
  }
  if (req.warpApplied) {
    log::printf(log::Level::Info,
                "[ka] source-cone hoist SKIPPED (%s): the warp node subsumes the cone \xE2\x80\x94 there is nothing "
                "left to hoist\n",
                name);
    return false;
  }
  if (!req.hasPrior || model.empty()) return false;

  std::string reason;
  try {
    std::string boundary;
    std::vector<uint8_t> prepBytes;
    const size_t found = findSourceConeBoundary(model, boundary);
    if (found != 1) {
      reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(found);
    } else if (buildSourceConePrep(model, boundary, prepBytes, reason)) {
      pruneUnusedInitializers(prepBytes);
      SessionSettings settings;
      settings.threadName = "ka-ort-prep";
      settings.intraThreads = 1;
      settings.spinning = false;
      settings.disableKleidiai = true;
      Ort::SessionOptions so = makeSessionOptions(settings);
      auto prep = std::make_unique<Ort::Session>(env, prepBytes.data(), prepBytes.size(), so);
      int64_t dims[4];
      reason = prepShapeProblem(*prep, dims);
      std::vector<uint8_t> perFrame;
      if (reason.empty() && buildSourceConePerFrame(model, boundary, dims, 4, perFrame, reason)) {
        pruneUnusedInitializers(perFrame);
        split.prep = std::move(prep);
        split.boundary = boundary;
        for (int i = 0; i < 4; ++i) split.dims[i] = dims[i];
        split.perFrame = std::move(perFrame);
        log::printf(log::Level::Info,
                    "[ka] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is "
                    "prefetched per SOURCE FRAME on one spare core (%s)\n",
                    boundary.c_str(), static_cast<long long>(dims[0]), static_cast<long long>(dims[1]),
                    static_cast<long long>(dims[2]), static_cast<long long>(dims[3]), name);
        return true;
      }
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  split = SourceConeSplit();
  log::printf(log::Level::Info, "[ka] source-cone hoist NOT applied (%s): %s\n", name, reason.c_str());
  return false;
}

size_t coneKeepBytes() {
  constexpr size_t kDefaultMiB = 256, kMaxMiB = 65536;
  const std::string v = env::text("KA_CONE_KEEP_MIB");
  if (v.empty()) return kDefaultMiB << 20;
  size_t mib = 0;
  bool ok = v.size() <= 5;
  for (char c : v) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) mib = mib * 10 + size_t(c - '0');
  }
  if (!ok || mib > kMaxMiB) {
    log::printf(log::Level::Warning, "[ka] KA_CONE_KEEP_MIB='%s' is not a whole number of MiB in 0..%zu; keeping %zu\n",
                v.c_str(), kMaxMiB, kDefaultMiB);
    return kDefaultMiB << 20;
  }
  return mib << 20;
}

struct ConeKeepBudget::Share::Pool {
  std::mutex mu;
  size_t left = 0;
  void giveBack(size_t bytes) {
    std::lock_guard<std::mutex> lk(mu);
    left += bytes;
  }
};

ConeKeepBudget::ConeKeepBudget(size_t bytes) : pool_(std::make_shared<Share::Pool>()) { pool_->left = bytes; }

ConeKeepBudget& ConeKeepBudget::process() {
  static ConeKeepBudget budget(coneKeepBytes());
  return budget;
}

ConeKeepBudget::Share ConeKeepBudget::take(size_t perFrame, int frames) {
  if (perFrame == 0 || frames <= 0) return Share();
  std::lock_guard<std::mutex> lk(pool_->mu);
  const size_t n = std::min(pool_->left / perFrame, size_t(frames));
  pool_->left -= n * perFrame;
  return n > 0 ? Share(pool_, n * perFrame) : Share();
}

size_t ConeKeepBudget::left() const {
  std::lock_guard<std::mutex> lk(pool_->mu);
  return pool_->left;
}

ConeKeepBudget::Share::~Share() {
  if (from_) from_->giveBack(bytes_);
}

ConeKeepBudget::Share::Share(Share&& o) noexcept : from_(std::move(o.from_)), bytes_(o.bytes_) { o.bytes_ = 0; }

ConeKeepBudget::Share& ConeKeepBudget::Share::operator=(Share&& o) noexcept {
  if (this != &o) {
    if (from_) from_->giveBack(bytes_);
    from_ = std::move(o.from_);
    bytes_ = o.bytes_;
    o.from_.reset();
    o.bytes_ = 0;
  }
  return *this;
}

struct SourceConeRing::Impl {
  struct Slot {
    int source = -1;  // whose boundary the slot holds; -1 when empty or being filled
    std::vector<float> buf;
    Ort::Value tensor{nullptr};
  };
  // Slots 0 and 1 take turns; slot kKept + v belongs to source frame v < kept and, once filled,
  // is never written again.
  static constexpr int kKept = 2;

  Identity& identity;
  size_t imageElems;
  size_t boundaryElems = 0;
  int64_t dims[4] = {0, 0, 0, 0};
  int kept = 0;
  ConeKeepBudget::Share keepShare;  // the bytes the kept slots may take
  std::unique_ptr<Ort::Session> prep;
  std::unique_ptr<Ort::IoBinding> prepBinding;
  std::vector<float> prior;  // P_rgb of the prep run in flight
  Ort::Value priorTensor{nullptr};
  std::string boundary;
  std::vector<Slot> slots;  // sized once: kKept + kept

  std::mutex mu;
  std::condition_variable cv;
  int requestSource = -1, requestSlot = -1;
  int inUse = -1;
  std::string error;
  bool stop = false;
  int64_t hits = 0, misses = 0, runs = 0;
  bool running = false;  // a prep run is in flight (one at a time: they share the binding)
  bool filling = false;  // fillKept() asked, and kept frames fillNext.. may still be missing
  int fillNext = 0;
  int acquiring = 0;            // rendering threads inside acquire()
  PlaybackPredictor predictor;  // the rendering thread's alone
  std::thread thread;

  Impl(Identity& id, int crop) : identity(id), imageElems(3 * size_t(crop) * size_t(crop)) {}

  // The turn slot not in use (a kept slot in use leaves both free).
  int otherSlot() const { return inUse == 0 ? 1 : 0; }
  // Where source v's boundary goes when computed.
  int slotToFill(int v) const { return v < kept ? kKept + v : otherSlot(); }
  // The slot holding source v's boundary, or -1.
  int holding(int v) const {
    if (v < kept) return slots[size_t(kKept + v)].source == v ? kKept + v : -1;
    for (int k = 0; k < kKept; ++k)
      if (slots[size_t(k)].source == v) return k;
    return -1;
  }

  void allocate(Slot& slot) {
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    slot.buf.assign(boundaryElems, 0.0f);
    slot.tensor = Ort::Value::CreateTensor<float>(mem, slot.buf.data(), slot.buf.size(), dims, 4);
  }

  // Runs the prep session for `source` into `slot` with the mutex dropped; the caller holds `lk`.
  // The slot is this run's alone until its source is set.
  void runPrepL(int source, int slot, std::unique_lock<std::mutex>& lk) {
    ++runs;
    running = true;
    lk.unlock();
    std::string failure;
    try {
      Slot& s = slots[size_t(slot)];
      if (s.buf.empty()) allocate(s);
      halfToFloat(identity.P(source), prior.data(), imageElems);
      prepBinding->BindOutput(boundary.c_str(), s.tensor);
      prep->Run(Ort::RunOptions{nullptr}, *prepBinding);
    } catch (const std::exception& e) {
      failure = *e.what() ? e.what() : "prep run failed";
    } catch (...) {
      failure = "prep run failed";
    }
    lk.lock();
    running = false;
    if (!failure.empty()) {
      if (error.empty()) error = failure;
    } else {
      slots[size_t(slot)].source = source;
    }
    cv.notify_all();
  }

  // Under the lock: turns the next kept frame not yet held into a request, when filling.
  bool requestUnkept() {
    if (acquiring > 0) return false;
    for (; filling && error.empty() && fillNext < kept; ++fillNext) {
      if (slots[size_t(kKept + fillNext)].source == fillNext) continue;
      requestSource = fillNext;
      requestSlot = kKept + fillNext;
      return true;
    }
    filling = false;
    return false;
  }

  void loop() {
    nameWorkerThread("ka-prefetch");
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      if (stop) return;
      if (running || (requestSource < 0 && !requestUnkept())) {
        cv.wait(lk);
        continue;
      }
      runPrepL(requestSource, requestSlot, lk);
      requestSource = requestSlot = -1;
      cv.notify_all();
    }
  }
};

SourceConeRing::SourceConeRing(SourceConeSplit& split, Identity& identity, int crop, ConeKeepBudget* keep)
    : impl_(std::make_unique<Impl>(identity, crop)) {
  Impl& s = *impl_;
  s.prep = std::move(split.prep);
  s.boundary = split.boundary;
  s.boundaryElems = 1;
  for (int i = 0; i < 4; ++i) {
    s.dims[i] = split.dims[i];
    s.boundaryElems *= size_t(split.dims[i]);
  }
  const size_t perFrame = s.boundaryElems * sizeof(float);
  if (keep) s.keepShare = keep->take(perFrame, identity.NT());
  s.kept = perFrame > 0 ? int(s.keepShare.bytes() / perFrame) : 0;
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  s.prior.assign(s.imageElems, 0.0f);
  const int64_t c = crop, priorShape[4] = {1, 3, c, c};
  s.priorTensor = Ort::Value::CreateTensor<float>(mem, s.prior.data(), s.prior.size(), priorShape, 4);
  s.prepBinding = std::make_unique<Ort::IoBinding>(*s.prep);
  s.prepBinding->BindInput(kHoistSource, s.priorTensor);
  s.slots.resize(size_t(Impl::kKept + s.kept));
  for (int k = 0; k < Impl::kKept; ++k) s.allocate(s.slots[size_t(k)]);
  s.thread = std::thread([&s] { s.loop(); });
}

SourceConeRing::~SourceConeRing() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.stop = true;
  }
  s.cv.notify_all();
  if (s.thread.joinable()) s.thread.join();
}

Ort::Value& SourceConeRing::acquire(int v) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lk(s.mu);
  s.inUse = -1;
  // While this waits, filling steps aside; it resumes once this is served.
  ++s.acquiring;
  struct Served {
    Impl& s;
    ~Served() {
      --s.acquiring;
      if (s.filling) s.cv.notify_all();
    }
  } served{s};
  while (s.error.empty()) {
    const int held = s.holding(v);
    if (held >= 0) {
      ++s.hits;
      s.inUse = held;
      return s.slots[size_t(held)].tensor;
    }
    if (s.requestSource < 0 && !s.running) {
      // No prefetch in flight: compute it here, in v's kept slot or the turn slot not in use.
      const int k = s.slotToFill(v);
      if (k == s.inUse) throw std::runtime_error("Renderer: source-cone ring exhausted");
      ++s.misses;
      s.slots[size_t(k)].source = -1;
      s.runPrepL(v, k, lk);
      continue;
    }
    s.cv.wait(lk);
  }
  throw std::runtime_error("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + s.error);
}

void SourceConeRing::prefetchAfter(int v) {
  Impl& s = *impl_;
  const int p = s.predictor.next(v, s.identity.NT());
  std::lock_guard<std::mutex> lk(s.mu);
  if (s.requestSource >= 0 || !s.error.empty() || s.holding(p) >= 0) return;
  const int k = s.slotToFill(p);
  s.slots[size_t(k)].source = -1;
  s.requestSource = p;
  s.requestSlot = k;
  s.cv.notify_one();
}

void SourceConeRing::fillKept() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    if (s.kept == 0) return;
    s.filling = true;
    s.fillNext = 0;
  }
  s.cv.notify_all();
}

const std::string& SourceConeRing::boundary() const { return impl_->boundary; }

int64_t SourceConeRing::hits() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->hits;
}

int64_t SourceConeRing::misses() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->misses;
}

int64_t SourceConeRing::prepRuns() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->runs;
}

int SourceConeRing::keptFrames() const { return impl_->kept; }

}  // namespace ka
