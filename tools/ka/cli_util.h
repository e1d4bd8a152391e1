// Small helpers shared by the subcommands of the `ka` tool.
#pragma once

#include <chrono>
#include <string>

namespace ka::cli {

// A progress bar on standard error, redrawn at most every quarter second (and at the end), so a
// log file gets a few lines, not one per frame. total < 0: the count is not known in advance.
void progress(int done, int total, double seconds);

// The value after flag argv[i] (advancing i); exits with a message when it is missing.
const char* flagValue(int argc, char** argv, int& i, const char* command);

// The value of numeric option argv[i] (advancing i): the whole text must be a finite number within
// [lo, hi] (a whole number for intValue); anything else exits with a message naming the option.
double numberValue(int argc, char** argv, int& i, const char* command, double lo, double hi);
int intValue(int argc, char** argv, int& i, const char* command, int lo, int hi);

// Bounds the options share: a thread count, and a count of 25 fps frames (an hour of them).
constexpr int kMaxThreadsOption = 65536;
constexpr int kMaxFramesOption = 25 * 3600;

// Seconds since `t0`.
double secondsSince(std::chrono::steady_clock::time_point t0);

}  // namespace ka::cli
