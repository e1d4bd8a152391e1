#include "ops/pool.h"
#include "base/log.h"
#include "base/thread_name.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ka {
namespace pool {
namespace {

// A request read from the environment: decimal text, anything <= 0 or unparsable becomes 1.
long long parseRequest(const char* text) {
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || v <= 0) return 1;
  return v;
}

int computeThreads() {
  long long request = 4;
  const char* core = std::getenv("KA_CORE_THREADS");
  const char* paste = std::getenv("KA_PASTE_THREADS");
  if (core && *core) {
    request = parseRequest(core);
  } else if (paste && *paste) {
    request = parseRequest(paste);
  }
  const long long hw = static_cast<long long>(std::thread::hardware_concurrency());
  if (hw > 0 && hw < request) request = hw;
  // Without a hardware count an absurd request is still bounded.
  return static_cast<int>(std::min<long long>(request, threadCeiling()));
}

constexpr int kCeilingPerHardwareThread = 4;
constexpr int kCeilingWithoutHardwareCount = 64;

// Bounds of part k of P over [0, total): ceil(total / P) items each, the last possibly shorter.
// Returns false when the part starts at or beyond total.
bool partBounds(uint64_t total, int P, int k, uint64_t& begin, uint64_t& end) {
  const uint64_t chunk = total / uint64_t(P) + (total % uint64_t(P) != 0 ? 1 : 0);
  const unsigned __int128 b = static_cast<unsigned __int128>(chunk) * uint64_t(k);
  if (b >= total) return false;
  begin = static_cast<uint64_t>(b);
  end = total - begin < chunk ? total : begin + chunk;
  return true;
}

// Set on every thread that is executing part of a job (callers while their job runs, workers
// always), so a parallel call made from inside a range function runs inline.
thread_local bool inParallel = false;

// This thread's WidthLimit cap.
thread_local int widthCap = INT_MAX;

class ThreadPool {
 public:
  explicit ThreadPool(int n) {
    workers_.reserve(size_t(n > 1 ? n - 1 : 0));
    for (int k = 1; k < n; ++k) workers_.emplace_back([this, k] { workerLoop(k); });
  }

  ~ThreadPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++generation_;
      stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  void run(uint64_t total, int P, const RangeFn& fn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fn_ = &fn;
      total_ = total;
      partCount_ = P;
      pending_ = int(workers_.size());
      error_ = nullptr;
      ++generation_;
    }
    wake_.notify_all();

    std::exception_ptr callerError;
    uint64_t begin = 0, end = 0;
    if (partBounds(total, P, 0, begin, end)) {
      try {
        fn(begin, end);
      } catch (...) {
        callerError = std::current_exception();
      }
    }

    std::exception_ptr workerError;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [this] { return pending_ == 0; });
      fn_ = nullptr;
      workerError = error_;
      error_ = nullptr;
    }
    // Every part has finished before anything propagates: the range function may hold the
    // caller's stack.
    if (callerError) std::rethrow_exception(callerError);
    if (workerError) std::rethrow_exception(workerError);
  }

 private:
  void workerLoop(int k) {
    nameWorkerThread(("ka-pool-" + std::to_string(k)).c_str());
    inParallel = true;
    uint64_t seen = 0;
    for (;;) {
      const RangeFn* fn;
      uint64_t total;
      int P;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
        if (stop_) return;
        fn = fn_;
        total = total_;
        P = partCount_;
      }
      std::exception_ptr error;
      uint64_t begin = 0, end = 0;
      if (k < P && partBounds(total, P, k, begin, end)) {
        try {
          (*fn)(begin, end);
        } catch (...) {
          error = std::current_exception();
        }
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error && !error_) error_ = error;
        if (--pending_ == 0) done_.notify_one();
      }
    }
  }

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable done_;
  const RangeFn* fn_ = nullptr;
  uint64_t total_ = 0;
  int partCount_ = 0;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

// This thread's pool, built on its first parallel call; destroyed (workers stopped and joined)
// when the thread exits.
ThreadPool& threadPool() {
  thread_local std::unique_ptr<ThreadPool> pool;
  if (!pool) pool = std::make_unique<ThreadPool>(threads());
  return *pool;
}

struct ParallelScope {
  ParallelScope() { inParallel = true; }
  ~ParallelScope() { inParallel = false; }
};

}  // namespace

int threads() {
  static const int n = computeThreads();
  return n;
}

int threadCeiling() {
  static const int ceiling = [] {
    const unsigned hw = std::thread::hardware_concurrency();
    if (hw == 0) return kCeilingWithoutHardwareCount;
    return static_cast<int>(std::min<long long>(static_cast<long long>(hw) * kCeilingPerHardwareThread, 1 << 20));
  }();
  return ceiling;
}

int boundThreads(long long requested, const char* who) {
  const int ceiling = threadCeiling();
  if (requested <= ceiling) return static_cast<int>(std::max<long long>(requested, INT_MIN));
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw > 0)
    log::printf(log::Level::Warning, "[ka] %s: %lld threads requested, lowered to %d (%d x %u hardware threads)\n",
                who ? who : "threads", requested, ceiling, kCeilingPerHardwareThread, hw);
  else
    log::printf(log::Level::Warning,
                "[ka] %s: %lld threads requested, lowered to %d (the hardware thread count is unknown)\n",
                who ? who : "threads", requested, ceiling);
  return ceiling;
}

bool available() { return true; }

int parts(uint64_t total, uint64_t minChunk) {
  const int n = std::min(threads(), widthCap);
  if (n <= 1) return 1;
  const uint64_t q = total / (minChunk == 0 ? 1 : minChunk);
  if (q <= 1) return 1;
  return q < uint64_t(n) ? int(q) : n;
}

void parallelRange(uint64_t total, uint64_t minChunk, const RangeFn& fn) {
  const int P = inParallel ? 1 : parts(total, minChunk);
  if (P < 2) {
    fn(0, total);
    return;
  }
  ThreadPool& pool = threadPool();
  ParallelScope scope;
  pool.run(total, P, fn);
}

WidthLimit::WidthLimit(int width) : previous_(widthCap) { widthCap = std::max(width, 1); }

WidthLimit::~WidthLimit() { widthCap = previous_; }

}  // namespace pool
}  // namespace ka
