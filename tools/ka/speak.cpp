// ka speak: a whole audio file through the offline stream into a talking MP4.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
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
    progress(o.written, o.total, secondsSince(o.t0));
  } catch (const std::exception& e) {
    o.error = e.what();
  }
}

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
  try {
    audio = readSpeech(audioPath);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ka speak: %s\n", e.what());
    return 1;
  }
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

}  // namespace ka::cli
