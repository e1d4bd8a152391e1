// The audio-to-motion engine behind ka_motion_*: speech samples in, one source index, base row and
// drive row per 40 ms frame out.
//
// Audio is cut into analysis windows of five frames (log-mel spectrogram, audio encoder), the
// feature rows feed the motion generator in 80-frame chunks every 70 frames (overlaps blended),
// and each pulled frame takes the generated lip expression onto the avatar's own source keypoints,
// walked forward or ping-pong, through the stitching network.
#pragma once

#include <memory>
#include <string>

namespace ka {

class Motion {
 public:
  // Reads and checks the motion directory and opens its three models. threads <= 0 takes the
  // pool size; ep "" is the CPU.
  Motion(const std::string& dir, int threads, const std::string& ep);
  ~Motion();
  Motion(const Motion&) = delete;
  Motion& operator=(const Motion&) = delete;

  static constexpr int kFailedTotal = -2;

  // A finish that throws leaves the utterance failed: push, finish, avail and pull throw, total
  // is kFailedTotal and failure() says why, until reset.
  void push(const float* samples, int count);  // throws after finish
  void finish();                               // runs every remaining window and chunk
  int avail();                                 // runs what the audio so far allows; frames ready
  int pull(int* indexOut, float* baseOut, float* driveOut, int n);
  int total() const;                   // -1 before finish, kFailedTotal after a failed one
  const std::string& failure() const;  // why the utterance failed; empty unless it did
  int reset(int start, int direction, int wrap);
  void setEager(int value);
  int nt() const;

  // Seconds spent inside the models' runs, and inside the engine's calls altogether.
  double modelSeconds() const;
  double busySeconds() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
