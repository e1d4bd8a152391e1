// The entry points every family shares: the version and the log.
#include "base/log.h"
#include "driver/ff_log.h"
#include "ka/ka_common.h"

extern "C" const char* ka_version(void) { return KA_VERSION_STRING; }

extern "C" void ka_log_set(ka_log_fn callback, void* user) {
  ka::log::setSink(callback, user);
  ka::driver::routeFfmpegLog();
}

extern "C" int ka_log_set_level(int level) {
  if (level < KA_LOG_ERROR || level > KA_LOG_INFO) return 0;
  ka::log::setLevel(static_cast<ka::log::Level>(level));
  ka::driver::routeFfmpegLog();
  return 1;
}
