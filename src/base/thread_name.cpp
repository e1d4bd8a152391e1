#include "base/thread_name.h"

#include <pthread.h>
#include <sched.h>

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

void nameWorkerThread(const char* name) {
  nameThisThread(name);
#if defined(__linux__)
  sched_param none{};
  none.sched_priority = 0;
  pthread_setschedparam(pthread_self(), SCHED_BATCH, &none);  // a hint: a refusal changes nothing else
#endif
}

}  // namespace ka
