// Writes RGB24 frames as an H.264 (yuv420p) MP4 through libavformat and libavcodec, optionally
// with an AAC audio track (FFmpeg's own AAC encoder) muxed in step with the video.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ka::cli {

class Mp4Writer {
 public:
  // Opens `path` for W x H frames at `fps`; audioRate > 0 adds an audio track of float samples at
  // that rate with `audioChannels` (1 or 2) channels, at 64 kbit/s a channel. Throws
  // std::runtime_error naming what failed.
  Mp4Writer(const std::string& path, int W, int H, int fps, int audioRate = 0, int audioChannels = 1);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  void write(const uint8_t* rgb);  // one frame, W * 3 bytes per row
  // Appends n sample frames (interleaved, audioChannels samples each) to the audio track (ignored
  // without one). To keep the file interleaved, hand over each frame's audio as it is written.
  void writeAudio(const float* samples, size_t n);
  void finish();  // flushes the encoders and writes the trailer (also on destruction)
  std::string encoderName() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka::cli
