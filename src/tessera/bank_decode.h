// The reference bank's video track decoded from memory: one frame per donor, each a stored patch
// of stored_w x stored_h RGB pixels, delivered in donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka::tessera {

// Decodes the track `bytes` (a container holding one video stream) into n x stored_h x stored_w x 3
// bytes, frame k of the track going to donor slot trackOrder[k]. Throws std::runtime_error naming
// the refusal ("reference bank ...", "bank track ...").
std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int stored_w, int stored_h, int n,
                                     const std::vector<int>& trackOrder);

// "libavcodec <version built against> / <configuration>".
std::string bankDecoderBuild();

}  // namespace ka::tessera
