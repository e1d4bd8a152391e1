// Fuzzes the head weights reader: the ZIP archive walk, the pickle machine and the state
// dictionary checks.
//
// Inputs whose first byte is even are taken as a whole archive; odd ones as the pickle alone,
// wrapped in an archive beside ten float storages so that mutations reach the state dictionary.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/head_weights.h"

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) { b.push_back(v & 0xff), b.push_back(v >> 8 & 0xff); }
void put32(std::vector<uint8_t>& b, uint32_t v) { put16(b, v & 0xffff), put16(b, v >> 16); }

std::vector<uint8_t> wrap(const uint8_t* pkl, size_t n) {
  static const uint32_t kFloats[10] = {1008, 16, 2304, 16, 144, 1, 432, 16, 144, 1};
  std::vector<std::pair<std::string, std::vector<uint8_t>>> entries;
  entries.emplace_back("archive/data.pkl", std::vector<uint8_t>(pkl, pkl + n));
  for (int k = 0; k < 10; ++k)
    entries.emplace_back("archive/data/" + std::to_string(k), std::vector<uint8_t>(kFloats[k] * 4, 0x3f));
  std::vector<uint8_t> out, cd;
  for (const auto& e : entries) {
    const uint32_t at = static_cast<uint32_t>(out.size()), len = static_cast<uint32_t>(e.second.size());
    put32(out, 0x04034b50), put16(out, 20), put16(out, 0), put16(out, 0), put32(out, 0), put32(out, 0);
    put32(out, len), put32(out, len), put16(out, static_cast<uint32_t>(e.first.size())), put16(out, 0);
    out.insert(out.end(), e.first.begin(), e.first.end());
    out.insert(out.end(), e.second.begin(), e.second.end());
    put32(cd, 0x02014b50), put16(cd, 20), put16(cd, 20), put16(cd, 0), put16(cd, 0), put32(cd, 0), put32(cd, 0);
    put32(cd, len), put32(cd, len), put16(cd, static_cast<uint32_t>(e.first.size()));
    put16(cd, 0), put16(cd, 0), put16(cd, 0), put16(cd, 0), put32(cd, 0), put32(cd, at);
    cd.insert(cd.end(), e.first.begin(), e.first.end());
  }
  const uint32_t cdAt = static_cast<uint32_t>(out.size());
  out.insert(out.end(), cd.begin(), cd.end());
  put32(out, 0x06054b50), put16(out, 0), put16(out, 0), put16(out, 11), put16(out, 11);
  put32(out, static_cast<uint32_t>(cd.size())), put32(out, cdAt), put16(out, 0);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::vector<uint8_t> bytes =
      (data[0] & 1) ? wrap(data + 1, size - 1) : std::vector<uint8_t>(data + 1, data + size);
  try {
    const ka::tessera::HeadWeights w = ka::tessera::loadHeadPt(bytes);
    if (w.params() != 4082 && w.params() != 3489) __builtin_trap();
  } catch (const std::exception&) {
  }
  return 0;
}
