// Reads the audio of any file FFmpeg opens (WAV, MP3, Ogg, the audio track of a video...) as
// 16 kHz mono float samples in [-1, 1].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka::cli {

constexpr int kSpeechRate = 16000;

// The first audio stream of `path`, downmixed and resampled. Throws std::runtime_error naming the
// file and the reason (missing, unreadable, no audio stream, undecodable).
std::vector<float> readSpeech(const std::string& path);

// Float samples to signed 16-bit, rounded to nearest and clamped.
std::vector<int16_t> toPcm16(const std::vector<float>& samples);

}  // namespace ka::cli
