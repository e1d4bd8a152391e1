// Names for the library's threads, so a profiler or /proc/<pid>/task/*/comm says whose a thread is.
#pragma once

namespace ka {

// The longest name the kernel keeps (without the terminating zero).
constexpr int kThreadNameMax = 15;

// Names the calling thread; a longer name is cut to kThreadNameMax characters. A null name is
// ignored. Never fails loudly: a name is a diagnostic aid, not a function of the thread.
void nameThisThread(const char* name);

}  // namespace ka
