// FFmpeg error codes as text, for the tool's messages.
#pragma once

#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/error.h>
}

namespace ka::cli {

inline std::string avError(int rc) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(rc, buf, sizeof buf);
  return buf;
}

// Throws "<what>: <FFmpeg's text>" for a negative return code.
inline void avCheck(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + avError(rc));
}

}  // namespace ka::cli
