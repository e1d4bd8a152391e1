#include "driver/source.h"

#include <cstdio>
#include <stdexcept>

#include "driver/image.h"

namespace ka {
namespace driver {
namespace {

std::string frameSizeRefusal(const std::string& path, int w, int h, int W, int H) {
  return path + " is " + std::to_string(w) + "x" + std::to_string(h) + ", the manifest says " + std::to_string(W) +
         "x" + std::to_string(H) + " \xE2\x80\x94 refusing";
}

// One JPEG per frame. The frame geometry comes from the manifest, never from the files: a file of
// another size is refused, not rescaled.
class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }

  bool next(uint8_t* dst) override {
    if (next_ >= nt_) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", next_);
    const std::string path = dir_ + name;
    int w = 0, h = 0;
    if (!loadImageRGBExact(path, w_, h_, dst, w, h)) throw std::runtime_error(frameSizeRefusal(path, w, h, w_, h_));
    ++next_;
    return true;
  }

  void rewind() override { next_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= nt_) throw std::runtime_error("ka_driver: seek outside the member");
    next_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  uint64_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int nt_, w_, h_;
  int next_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

void checkJpgFrameSize(const std::string& path, int W, int H) {
  int w = 0, h = 0;
  imageSize(path, w, h);
  if (w != W || h != H) throw std::runtime_error("ka_driver: " + frameSizeRefusal(path, w, h, W, H));
}

}  // namespace driver
}  // namespace ka
