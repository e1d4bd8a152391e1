// The units every floor shares: keypoint rows, audio rate, video frames of audio.
#pragma once

#include <cstdint>

namespace ka {

constexpr int kKeypointRows = 21;                   // keypoints per frame (ka_host_kp_rows)
constexpr int kKeypointValues = 3 * kKeypointRows;  // one keypoint row: 21 keypoints of (x, y, z)
constexpr int kSampleRate = 16000;                  // audio samples per second, mono
constexpr int kFrameSamples = 640;                  // samples per video frame (40 ms, 25 frames per second)

// Video frames of a clip of `samples` samples (the last one padded).
constexpr int64_t framesOf(int64_t samples) { return (samples + kFrameSamples - 1) / kFrameSamples; }

}  // namespace ka
