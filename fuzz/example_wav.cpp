// The WAV reader the speech examples share (examples/wav.h), on arbitrary bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "../examples/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)&wav_read;  // the path reader is the examples' entry point, not fuzzed here
  if (size == 0) return 0;
  FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (!f) return 0;
  int16_t* pcm = nullptr;
  int count = 0;
  if (wav_read_file(f, "fuzz", &pcm, &count) && count > 0) {
    volatile int16_t sink = pcm[count - 1];
    (void)sink;
  }
  std::free(pcm);
  std::fclose(f);
  return 0;
}
