// Still images through stb: JPEG/PNG decoding to 8-bit RGB, and PNG writing for debugging.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// Decodes a PNG or JPEG to width x height x 3 bytes of RGB; throws "decode failed: " + path.
std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height);

// The size an image file's header declares, read without decoding the pixels; throws
// "decode failed: " + path.
void imageSize(const std::string& path, int& width, int& height);

// Decodes an image that must be exactly W x H into dst (W * H * 3 bytes). The header is read first:
// when it declares another size, nothing is decoded, width and height tell the declared size and
// the result is false. Throws "decode failed: " + path.
bool loadImageRGBExact(const std::string& path, int W, int H, uint8_t* dst, int& width, int& height);

// Writes 8-bit RGB (row stride width * 3) as PNG; throws "png write failed: " + path.
void writePNG(const std::string& path, const uint8_t* rgb, int width, int height);

}  // namespace ka
