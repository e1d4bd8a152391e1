#include "session/offline_stream.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/samples.h"
#include "bundle/context.h"
#include "bundle/members.h"
#include "ops/pool.h"
#include "session/target_rows.h"
#include "ka/ka.h"
#include "ka/ka_fca.h"

namespace ka {
namespace {

constexpr int kKp = 63;
constexpr int kSlots = 4;

}  // namespace

struct OfflineStream::Impl {
  ka_ctx* ctx = nullptr;
  ka_fca* fca = nullptr;
  std::vector<float> target;
  int NT = 0, W = 0, H = 0, S = 0;
  int skip = 0;
  float scale = 1.0f;

  ~Impl() {
    ka_fca_destroy(fca);
    ka_destroy(ctx);
  }
};

OfflineStream::OfflineStream(const std::string& bundle, const std::string& w2vPath, int threads, int skip, float scale)
    : impl_(std::make_unique<Impl>()) {
  if (skip < 0) throw std::runtime_error("skip must not be negative, got " + std::to_string(skip));
  Impl& s = *impl_;
  // Bounded once here, so the context and the FCA engine get the same count and one line says so.
  if (threads > 0) threads = pool::boundThreads(threads, "ka_stream_create");
  s.ctx = ka_create(bundle.c_str(), "render", threads, "");
  if (!s.ctx) throw std::runtime_error(std::string("ka_create: ") + ka_last_error());
  s.NT = ka_nt(s.ctx);
  s.W = ka_width(s.ctx);
  s.H = ka_height(s.ctx);
  s.S = ka_crop(s.ctx);
  const std::string dir = s.ctx->manifest.dir;
  s.fca = ka_fca_create(w2vPath.c_str(), resolveMember(dir, "fca_stream.onnx").c_str(), threads);
  if (!s.fca) throw std::runtime_error(std::string("ka_fca_create: ") + ka_fca_last_error());
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
  const int F = static_cast<int>((static_cast<int64_t>(count) + 639) / 640);
  std::vector<float> deltas(static_cast<size_t>(F) * kKp);
  if (ka_fca_deltas(s.fca, samples, count, deltas.data(), F) != F) {
    *error = std::string("ka_fca_deltas: ") + ka_fca_last_error();
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
  const int delivered = overlapRenderDeliver(
      D, cropElems,
      [&](int j) {
        const size_t r = static_cast<size_t>(j) * kKp;
        return ka_render_kp_crop(s.ctx, idx[static_cast<size_t>(j)], base.data() + r, drive.data() + r);
      },
      [&](int j, const float* crop) {
        if (!ka_paste_crop(s.ctx, idx[static_cast<size_t>(j)], crop, rgb.data(), rgb.size())) return false;
        if (cb) cb(user, j, rgb.data(), s.W, s.H);
        return true;
      },
      &failed);
  if (failed) *error = "ka_stream_run: render/paste failed";
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
    for (int j = 0; j < count && !failed.load(); ++j) {
      const float* crop = render(j);
      if (!crop) {
        failed = true;
        break;
      }
      std::unique_lock<std::mutex> lk(mu);
      slotFree.wait(lk, [&] { return produced - consumed <= kSlots - 1 || failed.load(); });
      if (failed.load()) break;
      lk.unlock();
      std::memcpy(ring.data() + static_cast<size_t>(produced % kSlots) * cropElems, crop, cropElems * sizeof(float));
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
