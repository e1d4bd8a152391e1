#include "base/thread_name.h"

#include <pthread.h>

#include <cstring>

namespace ka {

void nameThisThread(const char* name) {
  if (!name) return;
  char cut[kThreadNameMax + 1] = {};
  std::strncpy(cut, name, kThreadNameMax);
#if defined(__APPLE__)
  pthread_setname_np(cut);
#else
  pthread_setname_np(pthread_self(), cut);
#endif
}

}  // namespace ka
