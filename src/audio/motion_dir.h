// The motion directory: meta.json and the raw float32 tables the audio-to-motion engine reads at
// create. Every table's size is checked to the byte and every value must be finite.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/units.h"

namespace ka {

constexpr int kMotionDim = 265;  // motion row: 202 head-motion values, then the 63 expression values
constexpr int kMotionHead = 202;
constexpr int kKpInfo = 328;      // keypoint info row: exp 63, kp 63, pitch 66, roll 66, scale 1, t 3, yaw 66
constexpr int kAudioFeat = 1024;  // encoder features per frame
constexpr int kEmoDim = 8;
constexpr int kFeatDim =
    kAudioFeat + kEmoDim + 2 + 6 + kKeypointValues;  // 1103: audio, emotion, eye open, eye ball, ch_sc

// Offsets inside a keypoint info row.
namespace kp_info {
constexpr int kExp = 0, kKp = kExp + kKeypointValues, kPitch = 126, kRoll = 192, kScale = 258, kT = 259, kYaw = 262;
}

// The numbers of meta.json.
struct MotionMeta {
  int32_t nt = 0;
  int32_t nSrc = 0;
  int32_t nEmo = 0;
  float sBridge = 1.0f;
  float deltaPitch = 0.0f;
};

constexpr int32_t kMaxMotionRows = 1 << 20;  // nt, n_src and n_emo above this are refused

// Parses meta.json text: "meta.json: missing <key>" for an absent required key, "meta.json: bad
// <key>" for a key whose value is not a finite number in range (an array, an object, a string or
// a literal, for optional keys as well) (counts are whole numbers in
// 1..kMaxMotionRows; |delta_pitch| <= 180; |s_bridge| <= 1000).
MotionMeta parseMotionMeta(const std::string& text);

// The file as exactly `count` finite float32 values: "cannot open <path>", "<path>: <n> floats,
// expected <m>" (also for a size that is not a whole number of floats), "short read",
// "<path>: value <i> is not finite".
std::vector<float> readFloatTable(const std::string& path, uint64_t count);

// Everything of a motion directory except its models.
struct MotionTables {
  MotionMeta meta;
  std::vector<float> window;     // 512
  std::vector<float> binmat;     // 257 x 80
  std::vector<float> fmean;      // 1024
  std::vector<float> fstd;       // 1024
  std::vector<float> emo;        // n_emo x 8
  std::vector<float> chXsInfo;   // 328
  std::vector<float> chSc;       // 63
  std::vector<float> eyeOpen;    // 2
  std::vector<float> eyeBall;    // 6
  std::vector<float> vMinMax;    // 2 x 265: minimum row, then maximum row
  std::vector<float> srcXsInfo;  // nt x 328
  std::vector<float> xsTarget;   // nt x 63
};

// Reads and checks the directory's meta.json and tables ("ka_motion: n_src != nt unsupported").
MotionTables loadMotionTables(const std::string& dir);

}  // namespace ka
