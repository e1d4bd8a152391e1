#include "driver/image.h"

#include <sys/stat.h>

#include <stdexcept>

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

std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height) {
  int w = 0, h = 0, n = 0;
  // Only regular files: reading a FIFO planted under a frame's name would block.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("decode failed: " + path);
  stbi_uc* px = stbi_load(path.c_str(), &w, &h, &n, 3);
  if (!px || w <= 0 || h <= 0) {
    stbi_image_free(px);
    throw std::runtime_error("decode failed: " + path);
  }
  std::vector<uint8_t> out(px, px + size_t(w) * size_t(h) * 3);
  stbi_image_free(px);
  width = w;
  height = h;
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int width, int height) {
  if (!rgb || width <= 0 || height <= 0 ||
      !stbi_write_png(path.c_str(), width, height, 3, rgb, width * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace ka
