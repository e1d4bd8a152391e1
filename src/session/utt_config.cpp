#include "session/utt_config.h"

#include <cstdlib>

namespace ka {

bool hybridFromEnv(const char* v) {
  if (!v || !*v) return false;
  if (v[0] == '0') return v[1] != '\0';
  return v[0] >= '1' && v[0] <= '9';
}

bool pipelinedPaste(bool expressionEngine) {
  const char* v = std::getenv("KA_UTT_PIPELINE_PASTE");
  if (v && *v) return std::atoi(v) != 0;
  return expressionEngine;
}

UttConfig resolveUttConfig(const ka_utt_opts& o, int ctxThreads) {
  UttConfig c;
  c.motionDir = o.motion_dir ? o.motion_dir : "";
  c.threads = o.threads >= 1 ? o.threads : ctxThreads;
  c.engineOpt = o.engine_opt ? o.engine_opt : "";
  c.steadyModel = o.steady_model && *o.steady_model ? o.steady_model : "b24_fp32";
  const char* env = std::getenv("KA_STEADY_MODEL");
  if (env && *env) c.steadyModel = env;
  if (c.steadyModel == "-") c.steadyModel.clear();
  if (o.hybrid == -2) {
    c.hybrid = true;
  } else if (o.hybrid < 1) {
    c.hybrid = hybridFromEnv(std::getenv("KA_UTT_HYBRID"));
  } else {
    c.fixedEager = o.hybrid;
  }
  c.silenceMs = o.silence_timeout_s == 0.0 ? 600.0 : o.silence_timeout_s * 1000.0;
  c.endRamp = o.end_ramp_frames < 1 ? 6 : o.end_ramp_frames;
  c.interruptRamp = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;
  return c;
}

}  // namespace ka
