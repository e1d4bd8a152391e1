// Still images through stb: JPEG/PNG decoding to 8-bit RGB, and PNG writing for debugging.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// Decodes a PNG or JPEG to width x height x 3 bytes of RGB; throws "decode failed: " + path.
std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height);

// Writes 8-bit RGB (row stride width * 3) as PNG; throws "png write failed: " + path.
void writePNG(const std::string& path, const uint8_t* rgb, int width, int height);

}  // namespace ka
