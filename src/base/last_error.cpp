#include "base/last_error.h"

namespace ka {

std::string& coreLastError() {
  thread_local std::string text;
  return text;
}

}  // namespace ka
