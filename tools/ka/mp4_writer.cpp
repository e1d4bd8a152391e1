#include "mp4_writer.h"

#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ka::cli {
namespace {

std::string avError(int rc) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(rc, buf, sizeof buf);
  return buf;
}

void check(int rc, const std::string& what) {
  if (rc < 0) throw std::runtime_error(what + ": " + avError(rc));
}

}  // namespace

struct Mp4Writer::Impl {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int W = 0, H = 0;
  int64_t next = 0;
  bool finished = false;
  bool headerWritten = false;

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
  }

  void drain(bool flush) {
    check(avcodec_send_frame(enc, flush ? nullptr : frame), "encoding a frame");
    for (;;) {
      int rc = avcodec_receive_packet(enc, pkt);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      check(rc, "encoding a frame");
      av_packet_rescale_ts(pkt, enc->time_base, stream->time_base);
      pkt->stream_index = stream->index;
      check(av_interleaved_write_frame(fmt, pkt), "writing a packet");
    }
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int W, int H, int fps) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  if (W < 2 || H < 2 || (W | H) & 1)
    throw std::runtime_error("H.264 4:2:0 needs an even frame size, and the frames are " + std::to_string(W) + "x" +
                             std::to_string(H));
  s.W = W;
  s.H = H;
  check(avformat_alloc_output_context2(&s.fmt, nullptr, "mp4", path.c_str()), "cannot start " + path);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("this FFmpeg has no H.264 encoder");
  s.stream = avformat_new_stream(s.fmt, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.stream || !s.enc) throw std::runtime_error("out of memory opening the encoder");
  s.enc->width = W;
  s.enc->height = H;
  s.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  s.enc->time_base = AVRational{1, fps};
  s.enc->framerate = AVRational{fps, 1};
  s.enc->gop_size = 2 * fps;
  if (s.fmt->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(s.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(s.enc->priv_data, "crf", "20", 0);
  check(avcodec_open2(s.enc, codec, nullptr), "cannot open the H.264 encoder");
  check(avcodec_parameters_from_context(s.stream->codecpar, s.enc), "encoder parameters");
  s.stream->time_base = s.enc->time_base;
  check(avio_open(&s.fmt->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  check(avformat_write_header(s.fmt, nullptr), "cannot write the header of " + path);
  s.headerWritten = true;

  s.frame = av_frame_alloc();
  s.pkt = av_packet_alloc();
  if (!s.frame || !s.pkt) throw std::runtime_error("out of memory opening the encoder");
  s.frame->format = AV_PIX_FMT_YUV420P;
  s.frame->width = W;
  s.frame->height = H;
  check(av_frame_get_buffer(s.frame, 0), "frame buffer");
  s.sws = sws_getContext(W, H, AV_PIX_FMT_RGB24, W, H, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!s.sws) throw std::runtime_error("cannot convert RGB24 to yuv420p");
}

Mp4Writer::~Mp4Writer() {
  try {
    finish();
  } catch (...) {
  }
}

void Mp4Writer::write(const uint8_t* rgb) {
  Impl& s = *impl_;
  check(av_frame_make_writable(s.frame), "frame buffer");
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {s.W * 3};
  sws_scale(s.sws, src, stride, 0, s.H, s.frame->data, s.frame->linesize);
  s.frame->pts = s.next++;
  s.drain(false);
}

void Mp4Writer::finish() {
  Impl& s = *impl_;
  if (s.finished || !s.headerWritten) return;
  s.finished = true;
  s.drain(true);
  check(av_write_trailer(s.fmt), "cannot finish the file");
}

std::string Mp4Writer::encoderName() const { return impl_->enc->codec->name; }

}  // namespace ka::cli
