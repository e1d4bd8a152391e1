#include "session/engine_worker.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "base/thread_name.h"
#include "base/units.h"
#include "session/loop_signal.h"
#include "session/speech_engine.h"

namespace ka {

struct EngineWorker::Impl {
  const int maxRows;
  LoopSignal& signal;
  const std::function<void(const std::string&)> onFail;

  std::mutex mu;
  std::condition_variable cv;
  std::unique_ptr<SpeechEngine> engine;
  EngineRequest req;
  bool posted = false, ready = false, stopped = false;
  EngineReply rep;  // written by the worker between a post and ready, read by the loop after
  std::thread thread;

  Impl(int rows, LoopSignal& s, std::function<void(const std::string&)> f)
      : maxRows(rows), signal(s), onFail(std::move(f)) {
    rep.idx.resize(static_cast<size_t>(rows));
    rep.base.resize(static_cast<size_t>(rows) * kKeypointValues);
    rep.drive.resize(static_cast<size_t>(rows) * kKeypointValues);
  }

  void run() {
    std::unique_lock<std::mutex> lk(mu);
    for (;;) {
      cv.wait(lk, [&] { return stopped || posted; });
      if (stopped) return;
      EngineRequest r = std::move(req);
      req = EngineRequest();
      posted = false;
      SpeechEngine* eng = engine.get();
      lk.unlock();

      int pulled = 0, avail = 0, total = -1;
      bool failed = false;
      try {
        if (!eng) throw std::runtime_error("no engine was installed");
        if (r.reset) eng->reset(r.phase, r.direction, 1);
        if (r.eager != 0) eng->setEager(r.eager);
        if (!r.audio.empty()) eng->push(r.audio.data(), static_cast<int>(r.audio.size()));
        if (r.finish) eng->finish();
        avail = eng->avail();
        const int n = std::min({r.wanted, avail, maxRows});
        if (n >= 1) pulled = eng->pull(rep.idx.data(), rep.base.data(), rep.drive.data(), n);
        total = eng->total();
      } catch (const std::exception& e) {
        onFail(e.what());
        failed = true;
      }

      lk.lock();
      rep.failed = failed;
      rep.pulled = pulled;
      rep.enginePending = std::max(0, avail - pulled);
      rep.total = total;
      ready = true;
      lk.unlock();
      signal.raise();
      lk.lock();
    }
  }
};

EngineWorker::EngineWorker(int maxRows, LoopSignal& signal, std::function<void(const std::string&)> onFail)
    : impl_(std::make_unique<Impl>(maxRows, signal, std::move(onFail))) {
  impl_->thread = std::thread([this] {
    nameWorkerThread("ka-utt-engine");
    impl_->run();
  });
}

EngineWorker::~EngineWorker() { stop(); }

void EngineWorker::install(std::unique_ptr<SpeechEngine> engine) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->engine = std::move(engine);
}

void EngineWorker::post(EngineRequest&& request) {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lk(s.mu);
    s.req = std::move(request);
    s.posted = true;
    s.ready = false;
  }
  s.cv.notify_all();
}

const EngineReply* EngineWorker::reply() {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->ready ? &impl_->rep : nullptr;
}

void EngineWorker::stop() {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->stopped = true;
  }
  impl_->cv.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
}

}  // namespace ka
