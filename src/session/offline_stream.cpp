#include "session/offline_stream.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/fca.h"
#include "audio/samples.h"
#include "base/thread_name.h"
#include "base/units.h"
#include "base/last_error.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "context/context.h"
#include "ops/pool.h"
#include "session/target_rows.h"

namespace ka {
namespace {

constexpr int kKp = kKeypointValues;
constexpr int kSlots = 4;

}  // namespace

struct OfflineStream::Impl {
  std::unique_ptr<Context> ctx;
  std::unique_ptr<FcaEngine> fca;
  std::vector<float> target;
  int NT = 0, W = 0, H = 0, S = 0;
  int skip = 0;
  float scale = 1.0f;
};

OfflineStream::OfflineStream(const std::string& bundle, const std::string& w2vPath, int threads, int skip, float scale)
    : impl_(std::make_unique<Impl>()) {
  if (skip < 0) throw std::runtime_error("skip must not be negative, got " + std::to_string(skip));
  Impl& s = *impl_;
  // Bounded once here, so the context and the FCA engine get the same count and one line says so.
  if (threads > 0) threads = pool::boundThreads(threads, "ka_stream_create");
  s.ctx = named("ka_create", [&] { return std::make_unique<Context>(bundle, "render", threads, ""); });
  const Manifest& m = s.ctx->manifest();
  s.NT = m.NT;
  s.W = m.W;
  s.H = m.H;
  s.S = m.crop;
  const std::string dir = m.dir;
  s.fca = named("ka_fca_create",
                [&] { return std::make_unique<FcaEngine>(w2vPath, resolveMember(dir, "fca_stream.onnx"), threads); });
  s.target = readTargetRows(dir, s.NT);
  if (s.target.empty()) throw std::runtime_error("cannot read xs_target.bin (NT*63 f32)");
  s.skip = skip;
  s.scale = scale;
}

OfflineStream::~OfflineStream() = default;

int OfflineStream::width() const { return impl_->W; }
int OfflineStream::height() const { return impl_->H; }

int OfflineStream::run(const float* samples, int count, ka_stream_frame_cb cb, void* user, std::string* error) {
  Impl& s = *impl_;
  requireFiniteSamples(samples, count);
  const int F = static_cast<int>(framesOf(count));
  std::vector<float> deltas(static_cast<size_t>(F) * kKp);
  try {
    if (s.fca->deltas(samples, count, deltas.data(), F) != F) throw std::runtime_error("short of frames");
  } catch (const std::exception& e) {
    *error = std::string("ka_fca_deltas: ") + e.what();
    return 0;
  }
  const int D = F - s.skip;
  if (D <= 0) return 0;

  const size_t d = static_cast<size_t>(D);
  std::vector<int> idx(d);
  std::vector<float> base(d * kKp), drive(d * kKp);
  for (int i = s.skip; i < F; ++i) {
    const size_t j = static_cast<size_t>(i - s.skip);
    idx[j] = s.NT <= 1 ? 0 : i % s.NT;
    const float* row = s.target.data() + static_cast<size_t>(idx[j]) * kKp;
    const float* delta = deltas.data() + static_cast<size_t>(i) * kKp;
    for (int k = 0; k < kKp; ++k) {
      base[j * kKp + static_cast<size_t>(k)] = row[k];
      drive[j * kKp + static_cast<size_t>(k)] = row[k] + s.scale * delta[k];
    }
  }

  const size_t cropElems = static_cast<size_t>(s.S) * static_cast<size_t>(s.S) * 3;
  std::vector<uint8_t> rgb(static_cast<size_t>(s.W) * static_cast<size_t>(s.H) * 3);
  bool failed = false;
  // What stopped the run: written by the step that failed (the render step on the render thread,
  // read here after that thread was joined).
  std::string renderFailure, pasteFailure;
  // The render thread keeps the other core: pasting over the pool as well only lets the two sides
  // take each other's cores (as the session's paste stage).
  const pool::WidthLimit pasteWidth(1);
  const int delivered = overlapRenderDeliver(
      D, cropElems,
      [&](int j, float* into) {
        const size_t r = static_cast<size_t>(j) * kKp;
        try {
          s.ctx->renderKpCropInto(idx[static_cast<size_t>(j)], base.data() + r, drive.data() + r, into);
          return true;
        } catch (const std::exception& e) {
          renderFailure = e.what();
          return false;
        }
      },
      [&](int j, const float* crop) {
        try {
          s.ctx->pasteCrop(idx[static_cast<size_t>(j)], crop, rgb.data());
        } catch (const std::exception& e) {
          pasteFailure = e.what();
          return false;
        }
        if (cb) cb(user, j, rgb.data(), s.W, s.H);
        return true;
      },
      &failed);
  if (failed) {
    const std::string& why = pasteFailure.empty() ? renderFailure : pasteFailure;
    *error = "ka_stream_run: render/paste failed" + (why.empty() ? std::string() : ": " + why);
  }
  return delivered;
}

int overlapRenderDeliver(int count, size_t cropElems, const RenderStep& render, const DeliverStep& deliver,
                         bool* failedOut) {
  std::vector<float> ring(kSlots * cropElems);
  std::mutex mu;
  std::condition_variable cropReady, slotFree;
  int produced = 0, consumed = 0;
  bool done = false;
  std::atomic<bool> failed{false};

  std::thread renderThread([&] {
    nameWorkerThread("ka-stream-rend");
    for (int j = 0; j < count && !failed.load(); ++j) {
      std::unique_lock<std::mutex> lk(mu);
      slotFree.wait(lk, [&] { return produced - consumed <= kSlots - 1 || failed.load(); });
      if (failed.load()) break;
      float* slot = ring.data() + static_cast<size_t>(produced % kSlots) * cropElems;
      lk.unlock();
      // The slot is the render thread's until `produced` counts it.
      if (!render(j, slot)) {
        failed = true;
        break;
      }
      lk.lock();
      ++produced;
      cropReady.notify_one();
    }
    std::lock_guard<std::mutex> lk(mu);
    done = true;
    cropReady.notify_one();
  });
  auto stopRenderer = [&] {
    {
      std::lock_guard<std::mutex> lk(mu);
      slotFree.notify_one();
    }
    renderThread.join();
  };

  // The consumer stops only once nothing waits and the render thread is done, or its own step
  // fails: a render failure does not strand the crops rendered before it.
  int delivered = 0;
  try {
    for (int j = 0; j < count; ++j) {
      std::unique_lock<std::mutex> lk(mu);
      cropReady.wait(lk, [&] { return produced > consumed || done; });
      if (produced == consumed) break;
      lk.unlock();
      if (!deliver(j, ring.data() + static_cast<size_t>(consumed % kSlots) * cropElems)) {
        failed = true;
        break;
      }
      lk.lock();
      ++consumed;
      slotFree.notify_one();
      lk.unlock();
      ++delivered;
    }
  } catch (...) {
    failed = true;
    stopRenderer();
    throw;
  }
  stopRenderer();
  *failedOut = failed.load();
  return delivered;
}

}  // namespace ka
