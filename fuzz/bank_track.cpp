// Fuzzes the bank decode: a container read from memory through the custom reader, demuxed,
// decoded and converted into donor slots.
//
// The first byte picks the donor count (1 + its low three bits) and reverses the track order when
// its top bit is set; the rest is the track. The stored patch is 28 x 14, the forged banks' size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <numeric>
#include <vector>

#include "tessera/bank_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int n = 1 + (data[0] & 7);
  std::vector<int> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  if (data[0] & 0x80) std::reverse(order.begin(), order.end());
  try {
    ka::tessera::decodeBankTrack(data + 1, size - 1, 28, 14, n, order);
  } catch (const std::exception&) {
  }
  return 0;
}
