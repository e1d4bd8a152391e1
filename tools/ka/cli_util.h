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

// Seconds since `t0`.
double secondsSince(std::chrono::steady_clock::time_point t0);

}  // namespace ka::cli
