// The library's one log. Every diagnostic line goes through it to the host's callback, or by default
// to standard error exactly as written; ONNX Runtime's and FFmpeg's logs are routed into it too.
#pragma once

#include <string>

#include "ka/ka_common.h"

namespace ka::log {

enum class Level { Error = KA_LOG_ERROR, Warning = KA_LOG_WARNING, Info = KA_LOG_INFO };

// Delivers `text` (one or more lines; a trailing newline is optional) at `level`.
void write(Level level, const std::string& text);
// printf-style write.
void printf(Level level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Whether a line at `level` would be delivered.
bool enabled(Level level);

// Installs the callback (nullptr: the standard-error default) and the level.
void setSink(ka_log_fn callback, void* user);
void setLevel(Level level);

}  // namespace ka::log
