// ka: the command-line face of the engine.
//
//   ka info BUNDLE      resolve a bundle (directory or container), print its manifest, every
//                       member it carries and whether the identity and driving table open.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "bundle/members.h"
#include "ka/ka.h"
#include "render/ort_env.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: ka info BUNDLE\n"
               "  BUNDLE is a bundle directory or an IMX container file\n");
  return 2;
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
    std::printf("identity       opens: warp prior %s\n",
                id.hasP() ? "mapped from P.f16"
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
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 3 && std::strcmp(argv[1], "info") == 0) return info(argv[2]);
  return usage();
}
