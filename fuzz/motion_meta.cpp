// Fuzzes the motion directory's meta.json reader and float table reader over arbitrary bytes.
//
// Whatever parses must keep the reader's promises: counts within 1..kMaxMotionRows, finite
// values within their limits; a table read back holds exactly the count asked for, all finite.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/motion_dir.h"

#define KA_FUZZ_CHECK(cond)                                                     \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "ka_fuzz_motion_meta: broken promise: %s\n", #cond); \
      std::abort();                                                             \
    }                                                                           \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const ka::MotionMeta m = ka::parseMotionMeta(text);
    for (int32_t n : {m.nt, m.nSrc, m.nEmo}) KA_FUZZ_CHECK(n >= 1 && n <= ka::kMaxMotionRows);
    KA_FUZZ_CHECK(std::isfinite(m.sBridge) && std::fabs(m.sBridge) <= 1000.0f);
    KA_FUZZ_CHECK(std::isfinite(m.deltaPitch) && std::fabs(m.deltaPitch) <= 180.0f);
  } catch (const std::runtime_error&) {
  }

  // A scratch file for the process, removed when it ends.
  static const struct Scratch {
    std::string path = "/tmp/ka_fuzz_motion_table." + std::to_string(getpid());
    ~Scratch() { unlink(path.c_str()); }
  } scratch;
  const std::string& path = scratch.path;
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (uint64_t count : {uint64_t{size / 4}, uint64_t{8}}) {
      try {
        const std::vector<float> v = ka::readFloatTable(path, count);
        KA_FUZZ_CHECK(v.size() == count && size == count * 4);
        for (float x : v) KA_FUZZ_CHECK(std::isfinite(x));
      } catch (const std::runtime_error&) {
      }
    }
  }
  return 0;
}
