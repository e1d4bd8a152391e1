// Fuzzes container unpacking: the input is written as a container file and resolved into a
// scratch unwrap root, which is removed afterwards.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "bundle/container.h"

namespace {

// A scratch directory for the process, removed when it ends.
struct Scratch {
  std::string dir;
  Scratch() {
    char tmpl[] = "/tmp/ka_fuzz_imx_XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    setenv("KA_IMX_UNWRAP_ROOT", (dir + "/root").c_str(), 1);
  }
  ~Scratch() { ka::bundle_path::rmTree(dir); }
};

const std::string& scratch() {
  static const Scratch s;
  return s.dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string c = scratch() + "/in.imx";
  if (FILE* f = std::fopen(c.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  try {
    ka::resolveBundlePath(c);
  } catch (const std::exception&) {
  }
  ka::bundle_path::rmTree(scratch() + "/root");
  return 0;
}
