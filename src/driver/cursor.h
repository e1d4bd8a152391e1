// The driver cursor: plays a bundle video member frame by frame, by index, with a look-ahead
// thread and a small ring of frame buffers, never expanding the member into memory or onto disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/source.h"

namespace ka {

// A driving video as its bundle lays it out: the JPEG directory (one "frame_%06d.jpg" per frame)
// and the video member, each by the name messages give it and the path to open; NT frames of
// W x H.
struct DrivingVideo {
  std::string dirName, dirPath;
  std::string videoName, videoPath;
  int NT = 0, W = 0, H = 0;
};

// A warp prior video: the member's name for messages, its path; NT frames of crop x crop.
struct PriorVideo {
  std::string name, path;
  int NT = 0, crop = 0;
};

// Frames are handed out by index. Sequential pulls loop 0, 1, ..., NT-1, 0, ... without seeking
// the member; a frame still held in the ring (recent history or look-ahead) is served at once;
// anything else makes the look-ahead thread seek.
//
// A pointer returned by a pull stays valid while the consumer makes up to `history` further
// pulls. The consumer-side calls (pulls and seek) are serialised by the cursor and may come from
// any thread; position(), seeks() and residentBytes() may be called at any time.
//
// Failures of the member (decode errors, a member shorter than NT, a seek that fails) end the
// look-ahead thread; frames decoded before the failure are still delivered, and the call that
// needs a frame beyond them throws the failure's text, as does every consumer call after it.
class DriverCursor {
 public:
  // The driving video: the JPEG directory when its last frame exists, else the video member;
  // KA_DRIVER_PREFER_MP4=1 prefers the video.
  static std::unique_ptr<DriverCursor> open(const DrivingVideo& v, int lookahead, int history);
  // The HEVC warp prior, crop x crop.
  static std::unique_ptr<DriverCursor> openPrior(const PriorVideo& v, int lookahead, int history);
  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> src, int lookahead, int history);

  // Starts the look-ahead thread, which fills max(1, lookahead) frames from frame 0; keeps
  // max(0, history) handed-out frames for re-delivery.
  DriverCursor(std::unique_ptr<driver::Source> src, int lookahead, int history);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  const int NT;
  const int W;
  const int H;
  const uint64_t frameBytes;
  const std::string name;

  // The frame at position() (copied into dst, or a pointer into the ring); returns its index.
  int pull(uint8_t* dst);
  const uint8_t* pull(int& index);
  // As pull, but writable; the frame is then never served again from the ring.
  uint8_t* pullMut(int& index);
  // Frame i exactly.
  int pullAt(int i, uint8_t* dst);
  const uint8_t* pullAt(int i, int& index);
  uint8_t* pullMutAt(int i, int& index);
  // Off by default. When on, the look-ahead copies a frame still held untouched in the ring (a
  // loop of at most `lookahead + history` frames comes round again) instead of decoding it again.
  void reuseHeldFrames(bool on);
  // Moves position() to i (throws outside [0, NT)).
  void seek(int i);

  int position() const;
  uint64_t seeks() const;  // real seeks of the member so far
  uint64_t residentBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
