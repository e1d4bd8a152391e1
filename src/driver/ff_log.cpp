#include "driver/ff_log.h"

#include <cstdarg>
#include <string>

#include "base/log.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ka::driver {
namespace {

thread_local bool t_quiet = false;

void ffmpegLine(void* avcl, int level, const char* format, va_list args) {
  if (level > av_log_get_level() || t_quiet) return;
  const log::Level ours = level <= AV_LOG_ERROR     ? log::Level::Error
                          : level <= AV_LOG_WARNING ? log::Level::Warning
                                                    : log::Level::Info;
  if (!log::enabled(ours)) return;
  // FFmpeg hands a line over in pieces; a piece without a newline waits for the rest.
  thread_local std::string pending;
  thread_local int printPrefix = 1;
  char piece[1024];
  av_log_format_line2(avcl, level, format, args, piece, sizeof piece, &printPrefix);
  pending += piece;
  if (pending.size() > 4096 || (!pending.empty() && pending.back() == '\n')) {
    log::write(ours, pending);
    pending.clear();
  }
}

}  // namespace

void routeFfmpegLog() {
  // Taken again at every open, not once: another FFmpeg user in the process (a binding imported
  // after the library loaded) may have set its own callback since, and would print our probes.
  av_log_set_callback(ffmpegLine);
}

QuietFfmpegLog::QuietFfmpegLog() : previous_(t_quiet) { t_quiet = true; }
QuietFfmpegLog::~QuietFfmpegLog() { t_quiet = previous_; }

}  // namespace ka::driver
