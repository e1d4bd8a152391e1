// Names for the library's threads, so a profiler or /proc/<pid>/task/*/comm says whose a thread is.
#pragma once

namespace ka {

// The longest name the kernel keeps (without the terminating zero).
constexpr int kThreadNameMax = 15;

// Names the calling thread; a longer name is cut to kThreadNameMax characters. A null name is
// ignored. Never fails loudly: a name is a diagnostic aid, not a function of the thread.
void nameThisThread(const char* name);

// Names the calling thread (as above) and marks it as a worker of the library: on Linux its
// scheduling policy becomes SCHED_BATCH (same priority, same share of the CPU), so waking it never
// preempts the thread that woke it - a host's push or frame call returns before the work it
// started runs. Threads this thread starts inherit the policy.
void nameWorkerThread(const char* name);

}  // namespace ka
