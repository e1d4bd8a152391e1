// FFmpeg error codes as text, for the tool's messages.
#pragma once

#include <stdexcept>
#include <string>

#include "driver/ff_source.h"

namespace ka::cli {

inline std::string avError(int rc) { return avErrorText(rc); }

// Throws "<what>: <FFmpeg's text>" for a negative return code.
inline void avCheck(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + avError(rc));
}

}  // namespace ka::cli
