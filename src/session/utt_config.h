// The utterance session's options after defaults and environment overrides are applied.
#pragma once

#include <string>

#include "ka/ka_utt.h"

namespace ka {

struct UttConfig {
  std::string motionDir;
  int threads = 1;  // engine threads
  std::string engineOpt;
  std::string steadyModel;   // "" when there is no chunk renderer
  bool hybrid = false;       // eager hysteresis on, engine replies collected while rendering
  int fixedEager = 0;        // with hybrid off: the eager value the engine is given (0: none)
  double silenceMs = 600.0;  // negative: an utterance never ends by silence
  int endRamp = 6;
  int interruptRamp = 4;
};

// Resolves `o` (motion_dir must be set) against $KA_STEADY_MODEL and $KA_UTT_HYBRID;
// ctxThreads stands in for a thread count below 1.
UttConfig resolveUttConfig(const ka_utt_opts& o, int ctxThreads);

// $KA_UTT_HYBRID read as the session reads it: unset or empty off; "0" followed by anything on;
// "0" alone off; otherwise the value of the first digit (non-digits count as 0).
bool hybridFromEnv(const char* value);

// Whether the paste stage runs on its own thread: by default exactly for the audio-to-expression
// engine; $KA_UTT_PIPELINE_PASTE (an integer, non-zero = on) decides when set.
bool pipelinedPaste(bool expressionEngine);

}  // namespace ka
