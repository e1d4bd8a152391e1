// Fuzzes the JSON reader's key scan and the loader's readers over arbitrary text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/json.h"
#include "bundle/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  static const char* kKeys[] = {"NT", "frame_count", "W", "H", "crop", "format", "agent", "P_hevc", ""};
  for (const char* key : kKeys) {
    try {
      ka::json::keyHits(text, key);
      ka::manifest_key::scalarValuePos(text, key);
      std::string out;
      ka::optStr(text, key, out);
      ka::strField(text, key);
      ka::numFieldEither(text, key, "frame_count");
    } catch (const std::exception&) {
    }
  }
  return 0;
}
