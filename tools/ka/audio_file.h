// Reads the audio of any file FFmpeg opens (WAV, MP3, Ogg, the audio track of a video...): as
// 16 kHz mono float samples in [-1, 1] for the models, and streamed at the source's own quality
// for the MP4 beside the frames.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ka::cli {

constexpr int kSpeechRate = 16000;
// The longest audio the tool takes (an utterance session's own limit): a file declaring more is
// refused when it opens, one that runs past it while it is decoded.
constexpr int kMaxAudioSeconds = 3600;

// Interleaved float samples at a rate and channel count.
struct AudioFormat {
  int rate = kSpeechRate;
  int channels = 1;
};

// The MP4's audio for a source: its channels up to stereo, at the AAC rate that holds its rate, up
// to 48 kHz.
AudioFormat keepQuality(int sourceRate, int sourceChannels);

// The first audio stream of a file, decoded and converted a piece at a time: memory holds what one
// read asks for, never the whole file. Throws std::runtime_error naming the file and the reason
// (missing, unreadable, no audio stream, undecodable, longer than kMaxAudioSeconds).
class AudioReader {
 public:
  // `want` with rate 0: the source's quality (keepQuality).
  AudioReader(const std::string& path, AudioFormat want);
  ~AudioReader();
  AudioReader(const AudioReader&) = delete;
  AudioReader& operator=(const AudioReader&) = delete;

  const AudioFormat& format() const;
  // Up to `frames` sample frames (format().channels samples each) into dst; fewer only at the end.
  size_t read(float* dst, size_t frames);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The whole first audio stream of `path`, downmixed and resampled to 16 kHz mono.
std::vector<float> readSpeech(const std::string& path);

// The source's audio at its own quality, one video frame (1/25 s) at a time for the MP4. A regular
// file is read a second time; anything else (a pipe reads once) is served from `speech`, the
// 16 kHz mono samples already read, which must outlive this object.
class FrameAudio {
 public:
  FrameAudio(const std::string& path, const std::vector<float>& speech);
  const AudioFormat& format() const { return format_; }
  size_t frameSamples() const { return chunk_.size() / static_cast<size_t>(format_.channels); }
  // The audio shown with frame k of the clip (k counts from the clip's start): silence past the
  // end, and for a frame before one already taken (the file is read forward only).
  const std::vector<float>& frame(int64_t k);

 private:
  std::unique_ptr<AudioReader> reader_;
  const std::vector<float>& speech_;
  AudioFormat format_;
  std::vector<float> chunk_;
  int64_t next_ = 0;  // the frame the reader stands at
};

// Float samples to signed 16-bit, rounded to nearest and clamped.
std::vector<int16_t> toPcm16(const std::vector<float>& samples);

}  // namespace ka::cli
