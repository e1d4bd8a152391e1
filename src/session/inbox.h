// What the host sends the render loop: pushed speech (as floats, sample x 2^-15), the times of the
// latest and of the utterance's first push, the end-of-utterance flag and the interrupt
// generation. Host threads write it; the render loop takes from it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace ka {

class LoopSignal;

class Inbox {
 public:
  struct Taken {
    std::vector<float> audio;
    bool end = false;
    double firstPushMs = -1.0;  // of the audio taken; -1 when none was taken
    double lastPushMs = -1.0;   // the latest push, taken or not; -1 before any
    uint64_t gen = 0;
  };

  explicit Inbox(LoopSignal& signal);
  ~Inbox();
  Inbox(const Inbox&) = delete;
  Inbox& operator=(const Inbox&) = delete;

  // count >= 0 samples pushed at nowMs (zero samples only refresh the push time).
  void push(const int16_t* samples, int count, double nowMs);
  void end();
  // Drops the audio and the end flag not yet taken; returns the new generation.
  uint64_t interrupt();
  uint64_t generation();
  // The audio and the end flag when takeAudio (else both stay), with the push times and generation;
  // nothing but the generation when it is no longer `gen` (the caller sees the interrupt first).
  Taken take(bool takeAudio, uint64_t gen);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
