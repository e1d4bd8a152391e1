// What travels with a frame on its way into the delivered ring: its interrupt generation, kind,
// source frame, speech number and pose, and the times its statistics are measured from.
#pragma once

#include <array>
#include <cstdint>

#include "base/units.h"
#include "ka/ka_utt.h"

namespace ka {

using Pose = std::array<float, kKeypointValues>;

struct FrameTag {
  uint64_t gen = 0;
  int kind = KA_UTT_IDLE;
  int index = 0;
  int speechNo = -1;  // within the utterance; -1 for frames that are not speech
  Pose pose{};
  double renderStartMs = 0.0;  // speech: when its render began
  double uttStartMs = 0.0;     // speech: the utterance's first push
};

}  // namespace ka
