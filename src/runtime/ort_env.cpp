#include "runtime/ort_env.h"

#include <string>

#include "base/log.h"

namespace ka {
namespace {

// ONNX Runtime's lines, in the shape its own default logger gives them, through the library's log.
void ORT_API_CALL ortLine(void*, OrtLoggingLevel severity, const char* category, const char* logId,
                          const char* codeLocation, const char* message) {
  const log::Level level = severity >= ORT_LOGGING_LEVEL_ERROR     ? log::Level::Error
                           : severity == ORT_LOGGING_LEVEL_WARNING ? log::Level::Warning
                                                                   : log::Level::Info;
  static const char kTag[] = "VIWEF";
  const int s = static_cast<int>(severity);
  log::printf(level, "[%c:%s:%s, %s] %s", s >= 0 && s <= 4 ? kTag[s] : '?', category ? category : "",
              logId ? logId : "", codeLocation ? codeLocation : "", message ? message : "");
}

}  // namespace

Ort::Env makeOrtEnv(const char* logId) { return Ort::Env(ORT_LOGGING_LEVEL_WARNING, logId, ortLine, nullptr); }

std::string ortRuntimeVersion() { return OrtGetApiBase()->GetVersionString(); }

}  // namespace ka
