// Frame sources of the driver cursor: one decoder per kind of bundle video member.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ka {
namespace driver {

// A member played frame by frame from its start. Used by one thread at a time (the cursor's
// look-ahead thread); every failure is a std::runtime_error.
class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes of one delivered frame; 8-bit interleaved RGB unless a source says otherwise.
  virtual uint64_t frameBytes() const { return uint64_t(W()) * uint64_t(H()) * 3u; }
  // Decodes the next frame into dst (frameBytes() bytes); false at the end of the member.
  virtual bool next(uint8_t* dst) = 0;
  // The next next() delivers frame 0.
  virtual void rewind() = 0;
  // The next next() delivers frame i; throws outside [0, NT).
  virtual void seek(int i) = 0;
  // Short description of the decoder, for log lines and messages.
  virtual std::string name() const = 0;
  // Memory the source itself keeps resident (decoder state). Safe to call from any thread.
  virtual uint64_t residentBytes() const = 0;
};

// One JPEG per frame: "<dir>/frame_%06d.jpg" for frames 0 .. NT-1, each exactly W x H.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);

// Reads the header of one frame file of such a directory and refuses ("ka_driver: <path> is wxh, the
// manifest says WxH ...") a frame of another size, before any frame buffer is sized from W x H.
void checkJpgFrameSize(const std::string& path, int W, int H);

}  // namespace driver
}  // namespace ka
