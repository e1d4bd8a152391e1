// ka::pool: the engine's data-parallel facility.
//
// The pool size is fixed once per process from KA_CORE_THREADS (or, when that is unset or empty,
// KA_PASTE_THREADS; otherwise 4), capped by the hardware thread count. Every thread that makes a
// parallel call owns its own set of size - 1 persistent workers, built lazily on its first call
// that splits into two or more parts and torn down (stopped and joined) when that thread exits, so
// two threads never share workers and can run jobs at the same time.
//
// parallelRange(total, minChunk, fn) splits [0, total) into P = parts(total, minChunk) contiguous
// parts of ceil(total / P) items (the last may be shorter; a part starting at or beyond total is
// skipped). The calling thread runs part 0 and worker k runs part k; the call returns only after
// every part has finished, so fn may use the caller's stack. A call made from inside a range
// function (on any thread of a job) runs inline as one call fn(0, total).
#pragma once

#include <cstdint>
#include <functional>

namespace ka {
namespace pool {

// Processes items begin <= i < end. Range functions are expected not to throw; if one does
// anyway, the first exception is rethrown by parallelRange after every part has finished.
using RangeFn = std::function<void(uint64_t begin, uint64_t end)>;

// The pool size n (>= 1), computed on first use and never changed afterwards.
int threads();

// The most threads any one request (a host's worker count, an intra-op count, an engine's thread
// argument) may start: 4 x the hardware thread count, or 64 when the hardware does not say.
int threadCeiling();

// A thread count asked for by a caller, bounded by threadCeiling(). When the request is lowered,
// one line on standard error says so: "[ka] <who>: <requested> threads requested, lowered to
// <ceiling> (4 x <hardware> hardware threads)". Requests below 1 are returned unchanged (each
// family has its own rule for those).
int boundThreads(long long requested, const char* who);

// Always true: the pool exists on every platform.
bool available();

// The number of parts [0, total) is split into when no part may hold fewer than minChunk items
// (minChunk 0 counts as 1): 1 when n <= 1 or total / minChunk <= 1, else min(total / minChunk, n),
// where n is the pool size lowered to this thread's WidthLimit, if any.
int parts(uint64_t total, uint64_t minChunk);

// Runs fn over [0, total) split as described above and returns when every part has finished.
void parallelRange(uint64_t total, uint64_t minChunk, const RangeFn& fn);

// For its lifetime, caps the parts of the parallel calls the constructing thread makes at `width`
// (values below 1 count as 1); the cap before it comes back when it ends, so limits nest. A stage
// of a pipeline that has a core of its own uses 1: its calls then run inline and wake no worker.
class WidthLimit {
 public:
  explicit WidthLimit(int width);
  ~WidthLimit();
  WidthLimit(const WidthLimit&) = delete;
  WidthLimit& operator=(const WidthLimit&) = delete;

 private:
  int previous_;
};

}  // namespace pool
}  // namespace ka
