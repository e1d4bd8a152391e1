#include "cli_util.h"

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

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace ka::cli
