#include "render/ort_env.h"

namespace ka {

Ort::Env makeOrtEnv(const char* logId) { return Ort::Env(ORT_LOGGING_LEVEL_WARNING, logId); }

std::string ortRuntimeVersion() { return OrtGetApiBase()->GetVersionString(); }

}  // namespace ka
