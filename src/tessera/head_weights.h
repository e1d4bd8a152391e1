// The blend head's weights file and serving configuration.
//
// The weights travel as the training side's checkpoint: a ZIP archive of stored entries holding a
// pickled state dictionary of float tensors. Exactly that subset is read; every name and shape is
// checked against the one architecture served, and anything else is refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka::tessera {

struct HeadWeights {
  std::vector<float> cand0_w, cand0_b;  // 16x7x3x3, 16
  std::vector<float> cand2_w, cand2_b;  // 16x16x3x3, 16
  std::vector<float> cand4_w, cand4_b;  // 1x16x3x3, 1
  std::vector<float> syn0_w, syn0_b;    // 16x3x3x3, 16 (empty for the candidate-only head)
  std::vector<float> syn2_w, syn2_b;    // 1x16x3x3, 1 (empty for the candidate-only head)
  float envelope = 12.0f / 255.0f;

  // Total float count: 4,082 for the full head, 3,489 for the candidate-only head.
  int params() const;
};

// Reads a checkpoint's bytes; throws std::runtime_error with a "teeth: ..." text.
HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

struct ServeConfig {
  int kshort = 512;
  double aperture_tol = 0.3;
  int cut = 96;
  int K = 64;
  int hysteresis = 8;
  int lookahead = 8;
  double bright_threshold = 100.0;
  double grey_tolerance = 25.0;
  int min_teeth_px = 32;
  double decay = 0.6;
  bool lookahead_enabled = true;

  // Reads the head configuration member's text.
  static ServeConfig fromHeadMemberJson(const std::string& text);
};

}  // namespace ka::tessera
