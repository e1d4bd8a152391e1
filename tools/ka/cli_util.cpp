#include "cli_util.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ka::cli {

void progress(int done, int total, double seconds) {
  static double shown = -1.0;
  const bool last = done == total;
  if (!last && shown >= 0 && seconds - shown < 0.25) return;
  shown = seconds;
  const double fps = seconds > 0 ? done / seconds : 0.0;
  if (total < 0) {
    std::fprintf(stderr, "\r%d frames  %.1f fps", done, fps);
    return;
  }
  const int width = 30;
  const int filled = total > 0 ? done * width / total : width;
  std::fprintf(stderr, "\r[%.*s%.*s] %d/%d frames  %.1f fps", filled, "##############################", width - filled,
               "..............................", done, total, fps);
  if (last) std::fputc('\n', stderr);
}

const char* flagValue(int argc, char** argv, int& i, const char* command) {
  if (i + 1 >= argc) {
    std::fprintf(stderr, "ka %s: %s needs a value\n", command, argv[i]);
    std::exit(2);
  }
  return argv[++i];
}

namespace {

// Reads all of `text` as a finite number within [lo, hi] (whole when asked); false otherwise.
bool parseNumber(const char* text, bool whole, double lo, double hi, double& v) {
  if (!*text || std::isspace(static_cast<unsigned char>(*text))) return false;
  char* end = nullptr;
  errno = 0;
  if (whole) {
    const long long n = std::strtoll(text, &end, 10);
    v = static_cast<double>(n);
  } else {
    v = std::strtod(text, &end);
  }
  return errno == 0 && *end == '\0' && std::isfinite(v) && v >= lo && v <= hi;
}

double checkedValue(int argc, char** argv, int& i, const char* command, bool whole, double lo, double hi) {
  const char* option = argv[i];
  const char* text = flagValue(argc, argv, i, command);
  double v = 0;
  if (!parseNumber(text, whole, lo, hi, v)) {
    std::fprintf(stderr, "ka %s: %s takes a %s from %.10g to %.10g, not '%s'\n", command, option,
                 whole ? "whole number" : "number", lo, hi, text);
    std::exit(2);
  }
  return v;
}

}  // namespace

double numberValue(int argc, char** argv, int& i, const char* command, double lo, double hi) {
  return checkedValue(argc, argv, i, command, false, lo, hi);
}

int intValue(int argc, char** argv, int& i, const char* command, int lo, int hi) {
  return static_cast<int>(checkedValue(argc, argv, i, command, true, lo, hi));
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace ka::cli
