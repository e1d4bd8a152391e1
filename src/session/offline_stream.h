// The offline stream: a whole audio clip to every frame of the avatar speaking it. Expression
// deltas for the clip come from the FCA engine at once; faces are rendered on a thread of the run
// while the caller's thread pastes them (one core each) and hands them on, through a ring of four
// crops.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "ka/ka_stream.h"

namespace ka {

// The overlap of one run: `render(j, into)` on a thread of its own for j = 0 .. count-1, writing
// crop j (cropElems floats) straight into a free slot of a ring of four (false on failure), and
// `deliver(j, crop)` on the calling thread in order (false on failure). Every crop rendered before
// a render failure is still delivered; a delivery failure stops both sides. Returns the frames
// delivered; *failed tells whether either side failed.
using RenderStep = std::function<bool(int, float*)>;
using DeliverStep = std::function<bool(int, const float*)>;
int overlapRenderDeliver(int count, size_t cropElems, const RenderStep& render, const DeliverStep& deliver,
                         bool* failed);

class OfflineStream {
 public:
  // Throws std::runtime_error with the texts of the C interface (without its entry-point name).
  OfflineStream(const std::string& bundle, const std::string& w2vPath, int threads, int skip, float scale);
  ~OfflineStream();
  OfflineStream(const OfflineStream&) = delete;
  OfflineStream& operator=(const OfflineStream&) = delete;

  // Delivers every frame of the clip to cb. Returns the frames delivered; *error receives the
  // failure text when a step failed (the frames before it are still delivered).
  int run(const float* samples, int count, ka_stream_frame_cb cb, void* user, std::string* error);

  int width() const;
  int height() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
