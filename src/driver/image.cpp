#include "driver/image.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "base/regular_file.h"

// The only translation unit that compiles stb_image and stb_image_write.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_NO_STDIO_WARNINGS
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace ka {

namespace {

// Frame files are compressed images of at most a few megabytes; the bound only keeps a huge file
// from being read whole.
constexpr uint64_t kMaxImageFileBytes = 256ull << 20;

[[noreturn]] void decodeFailed(const std::string& path) { throw std::runtime_error("decode failed: " + path); }

// The file's bytes; only regular files (a FIFO planted under a frame's name would block).
std::vector<char> imageBytes(const std::string& path) {
  try {
    return readRegularFile(path, kMaxImageFileBytes);
  } catch (const std::exception&) {
    decodeFailed(path);
  }
}

const stbi_uc* asStb(const std::vector<char>& b) { return reinterpret_cast<const stbi_uc*>(b.data()); }

void headerSize(const std::vector<char>& bytes, const std::string& path, int& width, int& height) {
  int w = 0, h = 0, n = 0;
  if (bytes.size() > size_t(INT32_MAX) || !stbi_info_from_memory(asStb(bytes), int(bytes.size()), &w, &h, &n) ||
      w <= 0 || h <= 0)
    decodeFailed(path);
  width = w;
  height = h;
}

// Decodes to 3 channels; the caller copies the pixels out and frees them.
stbi_uc* decode(const std::vector<char>& bytes, const std::string& path, int& width, int& height) {
  int w = 0, h = 0, n = 0;
  stbi_uc* px = bytes.size() > size_t(INT32_MAX)
                    ? nullptr
                    : stbi_load_from_memory(asStb(bytes), int(bytes.size()), &w, &h, &n, 3);
  if (!px || w <= 0 || h <= 0) {
    stbi_image_free(px);
    decodeFailed(path);
  }
  width = w;
  height = h;
  return px;
}

}  // namespace

std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height) {
  const std::vector<char> bytes = imageBytes(path);
  int w = 0, h = 0;
  stbi_uc* px = decode(bytes, path, w, h);
  std::vector<uint8_t> out(px, px + size_t(w) * size_t(h) * 3);
  stbi_image_free(px);
  width = w;
  height = h;
  return out;
}

void imageSize(const std::string& path, int& width, int& height) { headerSize(imageBytes(path), path, width, height); }

bool loadImageRGBExact(const std::string& path, int W, int H, uint8_t* dst, int& width, int& height) {
  const std::vector<char> bytes = imageBytes(path);
  headerSize(bytes, path, width, height);
  if (width != W || height != H) return false;
  int w = 0, h = 0;
  stbi_uc* px = decode(bytes, path, w, h);
  const bool same = w == W && h == H;
  if (same) std::copy(px, px + size_t(w) * size_t(h) * 3, dst);
  stbi_image_free(px);
  width = w;
  height = h;
  return same;
}

void writePNG(const std::string& path, const uint8_t* rgb, int width, int height) {
  if (!rgb || width <= 0 || height <= 0 || !stbi_write_png(path.c_str(), width, height, 3, rgb, width * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace ka
