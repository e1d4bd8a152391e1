// ka speak: a whole audio file through the offline stream into a talking MP4. ka encode: the
// writing half of it, for frames rendered in another process (the batch renderer).
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio_file.h"
#include "cli_util.h"
#include "commands.h"
#include "ka/ka_stream.h"
#include "mp4_writer.h"

namespace ka::cli {
namespace {

struct SpeakOutput {
  Mp4Writer* writer = nullptr;
  FrameAudio* sound = nullptr;
  int skip = 0;
  int total = 0;
  int written = 0;
  bool quiet = false;
  std::chrono::steady_clock::time_point t0;
  std::string error;
};

// Frame n of the run shows clip frame n + skip: its audio, at the source's quality, goes into the
// file beside it.
void onFrame(void* user, int n, const unsigned char* rgb, int, int) {
  auto& o = *static_cast<SpeakOutput*>(user);
  if (!o.error.empty()) return;
  try {
    o.writer->write(rgb);
    o.writer->writeAudio(o.sound->frame(int64_t{n} + o.skip).data(), o.sound->frameSamples());
    ++o.written;
    if (!o.quiet) progress(o.written, o.total, secondsSince(o.t0));
  } catch (const std::exception& e) {
    o.error = e.what();
  }
}

// The clip's 16 kHz mono samples; false (with a message) when the file cannot be read or holds
// more samples than the stream's run takes.
bool readClip(const char* command, const char* path, std::vector<float>& audio) {
  try {
    audio = readSpeech(path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ka %s: %s\n", command, e.what());
    return false;
  }
  if (audio.size() > 0x7fffffffu) {
    std::fprintf(stderr, "ka %s: %s is too long (%zu samples)\n", command, path, audio.size());
    return false;
  }
  return true;
}

// Reads exactly n bytes; false at the end of the input.
bool readAll(FILE* f, unsigned char* p, size_t n) { return std::fread(p, 1, n, f) == n; }

}  // namespace

int speak(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: ka speak BUNDLE AUDIO --w2v W2V.onnx --out OUT.mp4 [--skip N] [--scale S] [--threads N]\n");
    return 2;
  }
  const char* bundle = argv[2];
  const char* audioPath = argv[3];
  std::string w2v, out;
  int skip = 0, threads = 0;
  float scale = 1.0f;
  for (int i = 4; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--w2v")
      w2v = flagValue(argc, argv, i, "speak");
    else if (a == "--out")
      out = flagValue(argc, argv, i, "speak");
    else if (a == "--skip")
      skip = intValue(argc, argv, i, "speak", 0, kMaxFramesOption);
    else if (a == "--scale")
      scale = static_cast<float>(numberValue(argc, argv, i, "speak", -10.0, 10.0));
    else if (a == "--threads")
      threads = intValue(argc, argv, i, "speak", 0, kMaxThreadsOption);
    else {
      std::fprintf(stderr, "ka speak: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (w2v.empty() || out.empty()) {
    std::fprintf(stderr, "ka speak: --w2v and --out are required\n");
    return 2;
  }

  std::vector<float> audio;
  if (!readClip("speak", audioPath, audio)) return 1;
  ka_stream* s = ka_stream_create(bundle, w2v.c_str(), threads, skip, scale);
  if (!s) {
    std::fprintf(stderr, "ka speak: %s\n", ka_stream_last_error());
    return 1;
  }
  int rc = 0;
  try {
    FrameAudio sound(audioPath, audio);
    Mp4Writer writer(out, ka_stream_width(s), ka_stream_height(s), 25, sound.format().rate, sound.format().channels);
    SpeakOutput o;
    o.writer = &writer;
    o.sound = &sound;
    o.skip = skip;
    const int frames = static_cast<int>((audio.size() + 639) / 640);
    o.total = frames > skip ? frames - skip : 0;
    o.t0 = std::chrono::steady_clock::now();
    const int n = ka_stream_run(s, audio.data(), static_cast<int>(audio.size()), onFrame, &o);
    const std::string failure = ka_stream_last_error();
    writer.finish();
    const double secs = secondsSince(o.t0);
    if (n < 0 || !failure.empty() || !o.error.empty()) {
      std::fprintf(stderr, "\nka speak: %s\n", !o.error.empty() ? o.error.c_str() : failure.c_str());
      rc = 1;
    }
    std::fprintf(stderr, "ka speak: %d frames (%.2f s of speech) -> %s in %.1f s, %.1f fps\n", o.written,
                 audio.size() / double(kSpeechRate), out.c_str(), secs, secs > 0 ? o.written / secs : 0.0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nka speak: %s\n", e.what());
    rc = 1;
  }
  ka_stream_destroy(s);
  return rc;
}

int encode(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ka encode AUDIO --size WxH --out OUT.mp4 [--skip N]\n");
    return 2;
  }
  const char* audioPath = argv[2];
  std::string out;
  int W = 0, H = 0, skip = 0;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--out")
      out = flagValue(argc, argv, i, "encode");
    else if (a == "--skip")
      skip = intValue(argc, argv, i, "encode", 0, kMaxFramesOption);
    else if (a == "--size") {
      const char* v = flagValue(argc, argv, i, "encode");
      if (std::sscanf(v, "%dx%d", &W, &H) != 2) W = H = 0;
    } else {
      std::fprintf(stderr, "ka encode: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  if (out.empty() || W < 2 || H < 2 || W > 8192 || H > 8192) {
    std::fprintf(stderr, "ka encode: --out and --size WxH (2..8192 each) are required\n");
    return 2;
  }
  std::vector<float> audio;
  if (!readClip("encode", audioPath, audio)) return 1;
  // The renderer gets the very samples `ka speak` would render, so its frames are the same.
  std::fprintf(stdout, "samples %zu\n", audio.size());
  if (std::fwrite(audio.data(), sizeof(float), audio.size(), stdout) != audio.size() || std::fflush(stdout) != 0) {
    std::fprintf(stderr, "ka encode: the renderer stopped reading the samples\n");
    return 1;
  }
  const int frames = static_cast<int>((audio.size() + 639) / 640);
  const int total = frames > skip ? frames - skip : 0;
  std::string error;
  try {
    FrameAudio sound(audioPath, audio);
    Mp4Writer writer(out, W, H, 25, sound.format().rate, sound.format().channels);
    SpeakOutput o;
    o.writer = &writer;
    o.sound = &sound;
    o.skip = skip;
    o.total = total;
    o.quiet = true;
    std::vector<unsigned char> rgb(static_cast<size_t>(W) * H * 3);
    while (o.error.empty() && readAll(stdin, rgb.data(), rgb.size())) {
      if (o.written == total) {
        o.error = "more frames than the audio's " + std::to_string(total);
        break;
      }
      onFrame(&o, o.written, rgb.data(), W, H);
    }
    writer.finish();
    if (o.error.empty() && o.written != total)
      o.error = "the renderer stopped after " + std::to_string(o.written) + " of " + std::to_string(total) + " frames";
    error = o.error;
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (error.empty()) return 0;
  std::fprintf(stderr, "ka encode: %s\n", error.c_str());
  ::unlink(out.c_str());  // an unfinished file is not left behind
  return 1;
}

}  // namespace ka::cli
