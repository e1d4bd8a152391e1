// ka: the command-line face of the engine.
//
//   ka info BUNDLE      resolve a bundle (directory or container), print its manifest, every
//                       member it carries and whether the identity and driving table open.
//   ka render BUNDLE --drive --out OUT.mp4 [--model KEY] [--threads N] [--frames N]
//                       render the bundle's idle loop through its director model, paste every
//                       crop onto its background frame and write an H.264 MP4 at 25 fps.
//   ka speak BUNDLE AUDIO --w2v W2V.onnx --out OUT.mp4 [--skip N] [--scale S]
//                       speak an audio file through the offline stream into a talking MP4.
//   ka encode AUDIO --size WxH --out OUT.mp4 [--skip N]
//                       the writing half of ka speak, for frames rendered elsewhere (ka_core.batch).
//   ka live BUNDLE AUDIO --motion DIR --out OUT.mp4 [--realtime] [--interrupt-at SECONDS]
//                       speak it through an utterance session, fed 20 ms at a time.
//   ka serve BUNDLE --motion DIR [--w2v W2V.onnx] [--port 8080] [--host 127.0.0.1] [--max-sessions N]
//                       talk to the avatar in a browser: hands over to the Python package's server
//                       (python3 -m ka_core.serve), with this tool's library and package found.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "api/handles.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "ka/ka.h"
extern "C" {
#include <libavutil/log.h>
}

#include "cli_util.h"
#include "commands.h"
#include "mp4_writer.h"
#include "runtime/ort_env.h"

namespace {

int usage() {
  std::fprintf(
      stderr,
      "usage: ka info BUNDLE\n"
      "       ka render BUNDLE --drive --out OUT.mp4 [--model KEY] [--threads N] [--frames N]\n"
      "       ka speak BUNDLE AUDIO --w2v W2V.onnx --out OUT.mp4 [--skip N] [--scale S] [--threads N]\n"
      "       ka encode AUDIO --size WxH --out OUT.mp4 [--skip N]   (frames on standard input)\n"
      "       ka live BUNDLE AUDIO --motion DIR --out OUT.mp4 [--realtime] [--interrupt-at SECONDS]\n"
      "       ka serve BUNDLE --motion DIR [--w2v W2V.onnx] [--port 8080] [--host 127.0.0.1] [--max-sessions N]\n"
      "                [--agent-port N] [--drain-seconds S]\n"
      "  BUNDLE is a bundle directory or an IMX container file; KEY selects the member\n"
      "  model_KEY.onnx (default b1); --frames limits the driving rows rendered\n");
  return 2;
}

// The server is Python (aiohttp); it gets this tool's library and the source tree's package unless
// the environment already names them ($KA_PYTHON picks the interpreter).
int serve(int argc, char** argv) {
  // The tool carries the library's objects itself; the server loads the shared library: beside an
  // installed tool (../lib), else the build tree's.
  std::string library = KA_CORE_BUILD_LIBRARY;
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    const std::string path(exe, static_cast<size_t>(n));
    const std::string installed =
        path.substr(0, path.find_last_of('/') + 1) + "../" KA_INSTALL_LIBDIR "/libka_core.so.0";
    if (access(installed.c_str(), R_OK) == 0) library = installed;
  }
  setenv("KA_CORE_LIBRARY", library.c_str(), 0);
#ifdef KA_PYTHON_PACKAGE_DIR
  setenv("PYTHONPATH", KA_PYTHON_PACKAGE_DIR, 0);
#endif
  const char* py = std::getenv("KA_PYTHON");
  if (!py || !*py) py = "/usr/bin/python3";
  std::vector<std::string> words{py, "-m", "ka_core.serve"};
  words.insert(words.end(), argv + 2, argv + argc);
  std::vector<char*> args;
  for (auto& w : words) args.push_back(w.data());
  args.push_back(nullptr);
  execvp(py, args.data());
  std::fprintf(stderr, "ka serve: cannot run %s: %s\n", py, std::strerror(errno));
  return 1;
}

int render(int argc, char** argv) {
  const char* bundle = argv[2];
  std::string out, model = "b1";
  bool drive = false;
  int threads = 0, limit = -1;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char*) { return ka::cli::flagValue(argc, argv, i, "render"); };
    if (a == "--drive")
      drive = true;
    else if (a == "--out")
      out = value("--out");
    else if (a == "--model")
      model = value("--model");
    else if (a == "--threads")
      threads = ka::cli::intValue(argc, argv, i, "render", 0, ka::cli::kMaxThreadsOption);
    else if (a == "--frames")
      limit = ka::cli::intValue(argc, argv, i, "render", 0, 1 << 30);
    else
      return usage();
  }
  if (!drive || out.empty()) return usage();

  ka_ctx* ctx = ka_create(bundle, model.c_str(), threads, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "ka render: %s\n", ka_last_error());
    return 1;
  }
  int rc = 0;
  try {
    const int W = ka_width(ctx), H = ka_height(ctx);
    const int total = limit >= 0 && limit < ka_drive_frames(ctx) ? limit : ka_drive_frames(ctx);
    ka::cli::Mp4Writer writer(out, W, H, 25);
    const ka::Drive& d = ctx->context->drive();
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < total; ++i) {
      const unsigned char* frame = ka_render_drive_crop(ctx, i) ? ka_paste_last(ctx, d.si[i]) : nullptr;
      if (!frame) throw std::runtime_error(std::string("frame ") + std::to_string(i) + ": " + ka_last_error());
      writer.write(frame);
      ka::cli::progress(i + 1, total, ka::cli::secondsSince(t0));
    }
    writer.finish();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::fprintf(stderr, "ka render: %d frames %dx%d -> %s (%s) in %.1f s\n", total, W, H, out.c_str(),
                 writer.encoderName().c_str(), secs);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nka render: %s\n", e.what());
    rc = 1;
  }
  ka_destroy(ctx);
  return rc;
}

std::string sizeText(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return "absent";
  if (S_ISDIR(st.st_mode)) return "directory";
  return std::to_string(static_cast<long long>(st.st_size)) + " bytes";
}

int info(const char* bundle) {
  std::vector<char> dir(4096);
  if (ka_bundle_resolve_handle(bundle, dir.data(), dir.size()) != 1) {
    std::fprintf(stderr, "ka info: %s\n", ka_last_error());
    return 1;
  }
  ka::Manifest m;
  try {
    m = ka::loadManifest(dir.data());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ka info: %s\n", e.what());
    return 1;
  }
  std::printf("bundle         %s\n", bundle);
  std::printf("directory      %s\n", m.dir.c_str());
  std::printf("agent          %s\n", m.agent.c_str());
  std::printf("canvas         %dx%d (paste transforms authored on %dx%d)\n", m.W, m.H, m.mSrcW, m.mSrcH);
  std::printf("face crop      %dx%d\n", m.crop, m.crop);
  std::printf("source frames  %d\n", m.NT);
  std::printf("idle loop      %d driving frames\n", m.frames);
  std::printf("unsharp        amount %g, sigma %g, kernel %d\n", m.amount, m.sigma, m.ksize);
  std::printf("lip template   %s\n",
              m.lipTemplateJson.empty() ? "none" : (std::to_string(m.lipTemplateJson.size()) + " bytes").c_str());

  std::printf("members\n");
  static const char* kMembers[] = {"pooled64.f16", "P.f16",        "fs_red.f16",    "P_hevc.mov",
                                   "M.f32",        "mask_512.u8",  "xs_target.bin", "drive/xs.f32",
                                   "drive/xd.f32", "drive/si.i32", "target_frames", "target_frames_mp4"};
  for (const char* name : kMembers) {
    std::vector<char> path(4096);
    int found = ka_bundle_resolve_member(bundle, name, path.data(), path.size());
    const char* at = std::strrchr(path.data(), '/');
    std::printf("  %-18s %-34s %s\n", name, found == 1 && at ? at + 1 : "-",
                found == 1 ? sizeText(path.data()).c_str() : "absent");
  }

  int rc = 0;
  try {
    ka::Identity id(m);
    std::printf("identity       opens: warp prior %s\n", id.hasP()       ? "mapped from P.f16"
                                                         : id.hasFsRed() ? "from fs_red.f16"
                                                                         : ("played from " + id.priorPath()).c_str());
  } catch (const std::exception& e) {
    std::printf("identity       REFUSED: %s\n", e.what());
    rc = 1;
  }
  try {
    ka::Drive d = ka::loadDrive(m);
    std::printf("driving table  %d rows\n", d.frames);
  } catch (const std::exception& e) {
    std::printf("driving table  REFUSED: %s\n", e.what());
    rc = 1;
  }
  std::printf("runtime        ONNX Runtime %s\n", ka::ortRuntimeVersion().c_str());
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoder's and decoders' chatter is not the tool's output
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return info(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "render") == 0) return render(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "speak") == 0) return ka::cli::speak(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "live") == 0) return ka::cli::live(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "encode") == 0) return ka::cli::encode(argc, argv);
  if (argc >= 2 && std::strcmp(argv[1], "serve") == 0) return serve(argc, argv);
  return usage();
}
