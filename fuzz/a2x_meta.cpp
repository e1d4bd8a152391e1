// Fuzzes the audio-to-expression meta reader (text search for "key": integer / true / false).
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/a2x_meta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const ka::A2xMeta m = ka::parseA2xMeta(text);
  (void)m;
  ka::metaInt(text, "", 0);
  return 0;
}
