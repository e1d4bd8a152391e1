// FFmpeg's log, routed into the library's.
#pragma once

namespace ka::driver {

// Routes FFmpeg's log (process-wide) into the library's; called before each use of FFmpeg.
void routeFfmpegLog();

// While alive, FFmpeg lines from the calling thread are dropped: for a probe that may fail and has
// its own line for the failure.
class QuietFfmpegLog {
 public:
  QuietFfmpegLog();
  ~QuietFfmpegLog();
  QuietFfmpegLog(const QuietFfmpegLog&) = delete;
  QuietFfmpegLog& operator=(const QuietFfmpegLog&) = delete;

 private:
  bool previous_;
};

}  // namespace ka::driver
