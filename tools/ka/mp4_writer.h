// Writes RGB24 frames as an H.264 (yuv420p) MP4 through libavformat and libavcodec.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ka::cli {

class Mp4Writer {
 public:
  // Opens `path` for W x H frames at `fps`; throws std::runtime_error naming what failed.
  Mp4Writer(const std::string& path, int W, int H, int fps);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  void write(const uint8_t* rgb);  // one frame, W * 3 bytes per row
  void finish();                   // flushes the encoder and writes the trailer (also on destruction)
  std::string encoderName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka::cli
