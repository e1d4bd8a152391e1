// Fuzzes the JSON reader and everything built on it: the members cross-checks between a
// bank sidecar and a manifest, the unified pi block and the head serving configuration.
//
// Input: a sidecar text, a NUL byte, then a manifest text (without a NUL the whole input serves as
// both).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/json.h"
#include "tessera/head_weights.h"
#include "face/json.h"
#include "tessera/members.h"
#include "face/unified_pi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* p = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(p, 0, size);
  const size_t cut = nul ? static_cast<size_t>(static_cast<const char*>(nul) - p) : size;
  const std::string sidecar(p, cut);
  const std::string manifest = nul ? std::string(p + cut + 1, size - cut - 1) : sidecar;

  try {
    ka::json::parseText(sidecar);
  } catch (const std::exception&) {
  }
  try {
    ka::tessera::json::parseText(sidecar);
  } catch (const std::exception&) {
  }
  try {
    ka::TesseraAttachInputs m;
    m.manifest_json = manifest;
    ka::tessera::crossCheckMembers(m, "bundle", "bundle/tessera_bank.v1.json", sidecar, "bundle/manifest.json");
    // A record that passed every check must reorder without touching memory outside the bank.
    if (m.bandBytes() <= (int64_t{1} << 22)) {
      std::string track(static_cast<size_t>(m.bandBytes()), '\1'), out(track.size(), '\0');
      ka::reorderTrackToDonor(m, reinterpret_cast<const uint8_t*>(track.data()), reinterpret_cast<uint8_t*>(&out[0]));
    }
  } catch (const std::exception&) {
  }
  try {
    const ka::tessera::UnifiedPi pi = ka::tessera::UnifiedPi::fromManifestJson(manifest, 16);
    float kp[63];
    for (int k = 0; k < 63; ++k) kp[k] = static_cast<float>(k % 7) * 0.1f - 0.3f;
    uint8_t mask[16 * 16];
    int dy = 0, dx = 0;
    const double canon[2] = {8.0, 8.0};
    pi.piU8AndShift(kp, canon, mask, &dy, &dx);
  } catch (const std::exception&) {
  }
  try {
    ka::tessera::ServeConfig::fromHeadMemberJson(manifest);
  } catch (const std::exception&) {
  }
  return 0;
}
