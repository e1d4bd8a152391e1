#include "bundle/last_error.h"

#include "ka/ka.h"

namespace ka {

std::string& coreLastError() {
  thread_local std::string text;
  return text;
}

}  // namespace ka

extern "C" const char* ka_last_error(void) { return ka::coreLastError().c_str(); }

extern "C" int ka_host_kp_rows(void) { return KA_HOST_KP_ROWS; }
