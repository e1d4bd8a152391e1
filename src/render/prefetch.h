// The source-cone hoist of the renderer: the load step that splits the director model into a prep
// session (P_rgb -> boundary, once per source frame) and a per-frame model, and the two-slot ring
// whose prefetch thread runs the prep session one source frame ahead of the frame being rendered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

namespace ka {

class Identity;

// Guesses the next source index from the ones seen: a step of +1 or -1 is followed, any other
// jump keeps the last step; before the first wrap from N - 1 to 0 the ends turn back (ping-pong),
// after it the walk wraps modulo N.
class PlaybackPredictor {
 public:
  // Records v (a source index in [0, frames)) and returns the predicted next one.
  int next(int v, int frames);

 private:
  int last_ = -1;
  int step_ = 1;
  bool wrapped_ = false;
};

// The split the hoist made at load.
struct SourceConeSplit {
  std::unique_ptr<Ort::Session> prep;  // P_rgb -> boundary, one thread
  std::string boundary;                // the boundary tensor's name
  int64_t dims[4] = {0, 0, 0, 0};      // its static shape
  std::vector<uint8_t> perFrame;       // the per-frame model bytes
};

// What the load sequence knows when it decides on the hoist.
struct SourceConeHoistRequest {
  std::string modelName;
  bool coreml = false;         // the CoreML provider serves the director
  std::string coremlUnitWord;  // its unit word ("all" when none was given)
  bool warpApplied = false;    // the warp node took the cone with it
  bool hasPrior = false;       // the identity carries a warp prior (P.f16 or a prior video)
};

// The hoist decision of the load sequence. Prints the line that says whether the hoist applies and
// why not; true with `split` filled when it does. Never throws: a failure, an exception included,
// is a reason and the model stays whole.
bool splitSourceCone(Ort::Env& env, const std::vector<uint8_t>& model, const SourceConeHoistRequest& req,
                     SourceConeSplit& split);

// The kept-boundary budget: KA_CONE_KEEP_MIB (whole MiB, 0 .. 65536; 0 keeps none), else 256 MiB.
// Text that is not such a number is refused with a warning and the default stands.
size_t coneKeepBytes();

// A budget of bytes for kept boundaries that every ring drawing on it shares: a ring takes whole
// boundaries up to what is left, so many contexts in one process keep no more than the budget in
// all. Thread-safe.
class ConeKeepBudget {
 public:
  explicit ConeKeepBudget(size_t bytes);
  // The process's budget (coneKeepBytes(), read at first use).
  static ConeKeepBudget& process();

  // A share of the budget, given back when it is destroyed.
  class Share {
   public:
    Share() = default;
    ~Share();
    Share(Share&& o) noexcept;
    Share& operator=(Share&& o) noexcept;
    size_t bytes() const { return bytes_; }

   private:
    friend class ConeKeepBudget;
    struct Pool;
    Share(std::shared_ptr<Pool> from, size_t bytes) : from_(std::move(from)), bytes_(bytes) {}
    std::shared_ptr<Pool> from_;  // outlives the budget object if need be (static teardown)
    size_t bytes_ = 0;
  };
  // At most `frames` boundaries of `perFrame` bytes, as many whole ones as are left.
  Share take(size_t perFrame, int frames);
  size_t left() const;

 private:
  std::shared_ptr<Share::Pool> pool_;
};

// The ring of two boundary slots and the prefetch thread that fills them, plus kept boundaries: a
// source frame's boundary depends on that frame alone, so the first frames of the video (as many
// as the ring's share of `keep` holds) keep theirs once computed. A background that loops within the budget then
// runs its prep session once per frame of the loop, not once per frame shown; a longer one keeps
// its first frames and cycles the rest through the two slots. Kept slots are allocated when first
// filled. Used by one rendering thread; its own thread is joined by the destructor.
class SourceConeRing {
 public:
  // Takes the prep session over; `identity` (whose P(i) feeds the prep session) must outlive the
  // ring, and crop is its side C. Takes its share of `keep` (none without one), given back by the
  // destructor. Starts the prefetch thread.
  SourceConeRing(SourceConeSplit& split, Identity& identity, int crop, ConeKeepBudget* keep = nullptr);
  ~SourceConeRing();
  SourceConeRing(const SourceConeRing&) = delete;
  SourceConeRing& operator=(const SourceConeRing&) = delete;

  // The tensor holding the boundary of source frame v, computed here when no slot holds it. Stays
  // valid until the next acquire. Throws "Renderer: the hoisted source cone failed in ORT — ..."
  // once any prep run has failed, and "Renderer: source-cone ring exhausted" when no slot is free.
  Ort::Value& acquire(int v);
  // Asks the prefetch thread for the frame predicted to follow v (call after acquire(v)).
  void prefetchAfter(int v);
  // Has the prefetch thread fill every kept boundary not yet held, one after another whenever it
  // has nothing asked of it, so the memory they take is taken now rather than over the first lap.
  // Any thread may call it.
  void fillKept();

  const std::string& boundary() const;
  int64_t hits() const;
  int64_t misses() const;
  // Prep runs so far (on demand and prefetched), and how many source frames may keep theirs.
  int64_t prepRuns() const;
  int keptFrames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
