#include "driver/ff_source.h"
#include "base/env.h"
#include "base/log.h"
#include "driver/ff_log.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/macros.h>
#include <libavutil/pixdesc.h>
}

#include "ops/simd.h"

namespace ka {
namespace {

// The libavcodec this library is compiled against, e.g. "59.37.100".
const char* const kLavcVersion = AV_STRINGIFY(LIBAVCODEC_VERSION);
const char* const kHwDecoder = "h264_cuvid";

std::string fmtName(int fmt) {
  const char* n = av_get_pix_fmt_name(AVPixelFormat(fmt));
  return n ? n : "?";
}

[[noreturn]] void fail(const std::string& text) { throw std::runtime_error(text); }

enum Kind { kDriverVideo = 0, kWarpPrior = 1 };

class FfSource final : public driver::Source {
 public:
  FfSource(Kind kind, std::string path, int nt, int w, int h)
      : kind_(kind), path_(std::move(path)), nt_(nt), w_(w), h_(h) {
    if (kind_ == kWarpPrior)
      for (int v = 0; v < 256; ++v) lut_[v] = f32ToF16(float(v) / 255.0f);
  }
  ~FfSource() override { close(); }

  void open();

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  uint64_t frameBytes() const override { return uint64_t(w_) * uint64_t(h_) * 3u * (kind_ == kWarpPrior ? 2u : 1u); }
  bool next(uint8_t* dst) override;
  void rewind() override;
  void seek(int i) override;
  std::string name() const override { return name_; }
  uint64_t residentBytes() const override {
    const uint64_t picture = kind_ == kWarpPrior ? uint64_t(w_) * h_ * 3 : uint64_t(w_) * h_ * 3 / 2;
    return picture * uint64_t(framesHeld_.load()) + uint64_t(maxPacket_.load());
  }

 private:
  void close();
  bool openHardware(const AVCodecParameters* par);
  void convertDriver(const AVFrame* f, uint8_t* dst) const;
  void convertPrior(const AVFrame* f, uint8_t* dst) const;

  const Kind kind_;
  const std::string path_;
  const int nt_, w_, h_;
  uint16_t lut_[256] = {};
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool drained_ = false;
  int decoded_ = 0;
  std::string name_;
  // Read by residentBytes() from the consumer's side while the look-ahead thread decodes.
  std::atomic<int> maxPacket_{0};
  std::atomic<int> framesHeld_{6};
  std::vector<uint8_t> scratch_;
};

void FfSource::close() {
  av_frame_free(&frame_);
  av_packet_free(&pkt_);
  avcodec_free_context(&dec_);
  avformat_close_input(&fmt_);
  stream_ = -1;
}

bool FfSource::openHardware(const AVCodecParameters* par) {
  const AVCodec* hw = avcodec_find_decoder_by_name(kHwDecoder);
  if (!hw) return false;
  dec_ = avcodec_alloc_context3(hw);
  if (!dec_) fail("ka_driver: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec_, par) < 0) fail("ka_driver: avcodec_parameters_to_context failed");
  dec_->thread_count = 1;
  int opened;
  {
    // A machine without the hardware says so through FFmpeg's log; the fallback line below is the one
    // line a failed probe prints.
    driver::QuietFfmpegLog quiet;
    opened = avcodec_open2(dec_, hw, nullptr);
  }
  if (opened < 0) {
    avcodec_free_context(&dec_);
    log::printf(
        log::Level::Warning,
        "[ka-driver] %s refused %s \xE2\x80\x94 falling back to the software h264 decoder (same samples, more CPU)\n",
        kHwDecoder, path_.c_str());
    return false;
  }
  return true;
}

void FfSource::open() {
  driver::routeFfmpegLog();
  // Only regular files: a FIFO or device planted under the member's name would block the open.
  struct stat fileStat;
  if (::stat(path_.c_str(), &fileStat) != 0 || !S_ISREG(fileStat.st_mode) ||
      avformat_open_input(&fmt_, path_.c_str(), nullptr, nullptr) < 0)
    fail("ka_driver: " + path_ + " is not a readable container");
  if (avformat_find_stream_info(fmt_, nullptr) < 0) fail("ka_driver: " + path_ + " carries no stream info");
  stream_ = -1;
  for (unsigned i = 0; i < fmt_->nb_streams; ++i)
    if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = int(i);
      break;
    }
  if (stream_ < 0) fail("ka_driver: " + path_ + " has no video stream");
  const AVStream* st = fmt_->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != w_ || par->height != h_)
    fail("ka_driver: " + path_ + " is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
         ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
         " \xE2\x80\x94 refusing to rescale the driver");
  if (st->nb_frames >= 1 && st->nb_frames != nt_)
    fail("ka_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
         " frames, the manifest says NT=" + std::to_string(nt_) + " \xE2\x80\x94 member/manifest mismatch, refusing");

  bool hardware = false;
  if (env::is("KA_DRIVER_HWDEC", "0")) {
    log::printf(log::Level::Info,
                "[ka-driver] KA_DRIVER_HWDEC=0 \xE2\x80\x94 %s not attempted; the software decoder is the one decoder "
                "on this fleet (same samples)\n",
                kHwDecoder);
  } else if (kind_ == kDriverVideo && par->codec_id == AV_CODEC_ID_H264) {
    hardware = openHardware(par);
  }
  if (!hardware) {
    const AVCodec* sw = avcodec_find_decoder(par->codec_id);
    if (!sw) fail("ka_driver: no decoder for " + path_ + " (codec id " + std::to_string(int(par->codec_id)) + ")");
    dec_ = avcodec_alloc_context3(sw);
    if (!dec_) fail("ka_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(dec_, par) < 0) fail("ka_driver: avcodec_parameters_to_context failed");
    dec_->thread_count = 4;
    dec_->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(dec_, sw, nullptr) < 0) {
      avcodec_free_context(&dec_);
      fail("ka_driver: could not open the decoder for " + path_);
    }
  }
  framesHeld_ = dec_->thread_count > 0 ? dec_->thread_count + 5 : 6;

  pkt_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!pkt_ || !frame_) fail("ka_driver: out of memory");
  drained_ = false;
  decoded_ = 0;
  name_ = std::string(kind_ == kWarpPrior ? "hevc444/libavcodec " : "mp4/libavcodec ") + kLavcVersion + " " +
          dec_->codec->name;
}

bool FfSource::next(uint8_t* dst) {
  if (!dec_) fail("ka_driver: " + path_ + " has no open decoder");
  for (;;) {
    const int r = avcodec_receive_frame(dec_, frame_);
    if (r == 0) {
      if (frame_->width != w_ || frame_->height != h_) {
        av_frame_unref(frame_);
        fail("ka_driver: " + path_ + " changed size mid-stream \xE2\x80\x94 refusing");
      }
      try {
        if (kind_ == kWarpPrior)
          convertPrior(frame_, dst);
        else
          convertDriver(frame_, dst);
      } catch (...) {
        av_frame_unref(frame_);
        throw;
      }
      av_frame_unref(frame_);
      ++decoded_;
      return true;
    }
    if (r == AVERROR_EOF) return false;
    if (r != AVERROR(EAGAIN))
      fail("ka_driver: " + path_ + " decode fault at frame " + std::to_string(decoded_) + " (" + avErrorText(r) + ")");
    if (drained_) return false;
    const int rr = av_read_frame(fmt_, pkt_);
    if (rr == AVERROR_EOF) {
      drained_ = true;
      avcodec_send_packet(dec_, nullptr);
      continue;
    }
    if (rr < 0) fail("ka_driver: " + path_ + " read fault (" + avErrorText(rr) + ")");
    if (pkt_->stream_index == stream_) {
      if (pkt_->size > maxPacket_.load()) maxPacket_ = pkt_->size;
      const int s = avcodec_send_packet(dec_, pkt_);
      if (s < 0 && s != AVERROR(EAGAIN)) {
        av_packet_unref(pkt_);
        fail("ka_driver: " + path_ + " packet refused (" + avErrorText(s) + ")");
      }
    }
    av_packet_unref(pkt_);
  }
}

void FfSource::convertDriver(const AVFrame* f, uint8_t* dst) const {
  int step;
  if (f->format == AV_PIX_FMT_YUV420P)
    step = 1;
  else if (f->format == AV_PIX_FMT_NV12)
    step = 2;
  else
    fail("ka_driver: " + path_ + " decoded to " + fmtName(f->format) +
         ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) \xE2\x80\x94 refusing rather "
         "than pasting onto a different pixel domain");
  const size_t rowBytes = size_t(w_) * 3;
  for (int r = 0; r < h_; ++r) {
    const uint8_t* y = f->data[0] + ptrdiff_t(r) * f->linesize[0];
    const uint8_t* u = f->data[1] + ptrdiff_t(r / 2) * f->linesize[1];
    const uint8_t* v = step == 1 ? f->data[2] + ptrdiff_t(r / 2) * f->linesize[2] : u + 1;
    simd::yuv420RowToRgb24(y, u, v, w_, step, dst + r * rowBytes);
  }
}

void FfSource::convertPrior(const AVFrame* f, uint8_t* dst) const {
  if (f->format != AV_PIX_FMT_YUV444P)
    fail(
        "ka_driver: " + path_ + " decoded to " + fmtName(f->format) +
        ", not the yuv444p a warp prior is authored in \xE2\x80\x94 a subsampled prior is a different mouth, refusing");
  const size_t plane = size_t(w_) * size_t(h_);
  uint16_t* R = reinterpret_cast<uint16_t*>(dst);
  uint16_t* G = R + plane;
  uint16_t* B = G + plane;
  auto clamp = [](int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); };
  for (int r = 0; r < h_; ++r) {
    const uint8_t* yr = f->data[0] + ptrdiff_t(r) * f->linesize[0];
    const uint8_t* ur = f->data[1] + ptrdiff_t(r) * f->linesize[1];
    const uint8_t* vr = f->data[2] + ptrdiff_t(r) * f->linesize[2];
    const size_t o = size_t(r) * w_;
    for (int x = 0; x < w_; ++x) {
      const int32_t c = 76312 * (int32_t(yr[x]) - 16);
      const int32_t u = int32_t(ur[x]) - 128, v = int32_t(vr[x]) - 128;
      R[o + x] = lut_[clamp((c + 104600 * v + 32768) >> 16)];
      G[o + x] = lut_[clamp((c - 25672 * u - 53280 * v + 32768) >> 16)];
      B[o + x] = lut_[clamp((c + 132200 * u + 32768) >> 16)];
    }
  }
}

void FfSource::rewind() {
  if (fmt_ && dec_ && av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
    avcodec_flush_buffers(dec_);
    drained_ = false;
    decoded_ = 0;
    return;
  }
  close();
  open();
  decoded_ = 0;
}

void FfSource::seek(int i) {
  if (i < 0 || i >= nt_) fail("ka_driver: seek outside the member");
  if (i < decoded_) rewind();
  if (decoded_ < i && scratch_.empty()) scratch_.assign(frameBytes(), 0);
  while (decoded_ < i)
    if (!next(scratch_.data()))
      fail("ka_driver: " + path_ + " ended at frame " + std::to_string(decoded_) + " while seeking to " +
           std::to_string(i));
}

std::unique_ptr<driver::Source> openKind(Kind kind, const std::string& path, int nt, int w, int h) {
  auto src = std::make_unique<FfSource>(kind, path, nt, w, h);
  src->open();
  return src;
}

}  // namespace

namespace driver {

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return openKind(kDriverVideo, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int S) {
  return openKind(kWarpPrior, path, NT, S, S);
}

}  // namespace driver

std::string movieDecoderBuild() { return std::string("libavcodec ") + kLavcVersion + " / " + avcodec_configuration(); }

uint16_t f32ToF16(float v) {
  unsigned short h;
  simd::f32ToF16(&v, &h, 1);
  return h;
}

std::string avErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE];
  if (av_strerror(err, buf, sizeof buf) < 0) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

}  // namespace ka
