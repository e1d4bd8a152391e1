#include "mp4_writer.h"

#include "av_error.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ka::cli {
namespace {

// One encoder feeding one stream of the file.
struct Track {
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  ~Track() {
    av_frame_free(&frame);
    avcodec_free_context(&enc);
  }
};

}  // namespace

struct Mp4Writer::Impl {
  AVFormatContext* fmt = nullptr;
  Track video, audio;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int W = 0, H = 0;
  int64_t next = 0;
  int64_t audioNext = 0;
  std::vector<float> audioQueue;
  bool finished = false;
  bool headerWritten = false;

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
  }

  void drain(Track& t, const AVFrame* f) {
    avCheck(avcodec_send_frame(t.enc, f), "encoding");
    for (;;) {
      int rc = avcodec_receive_packet(t.enc, pkt);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      avCheck(rc, "encoding");
      // A video packet without a duration would make the muxer's edit list end at the last
      // frame's start, and players would drop that frame: each lasts one tick of 1/fps.
      if (pkt->duration <= 0 && t.enc->codec_type == AVMEDIA_TYPE_VIDEO) pkt->duration = 1;
      av_packet_rescale_ts(pkt, t.enc->time_base, t.stream->time_base);
      pkt->stream_index = t.stream->index;
      avCheck(av_interleaved_write_frame(fmt, pkt), "writing a packet");
    }
  }

  void openAudio(int rate, int channels) {
    if (channels < 1 || channels > 2) throw std::runtime_error("the audio track takes 1 or 2 channels");
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) throw std::runtime_error("this FFmpeg has no AAC encoder");
    audio.stream = avformat_new_stream(fmt, nullptr);
    audio.enc = avcodec_alloc_context3(codec);
    if (!audio.stream || !audio.enc) throw std::runtime_error("out of memory opening the AAC encoder");
    audio.enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    audio.enc->sample_rate = rate;
    av_channel_layout_default(&audio.enc->ch_layout, channels);
    audio.enc->bit_rate = 64000 * channels;
    audio.enc->time_base = AVRational{1, rate};
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) audio.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    avCheck(avcodec_open2(audio.enc, codec, nullptr), "cannot open the AAC encoder at " + std::to_string(rate) + " Hz");
    avCheck(avcodec_parameters_from_context(audio.stream->codecpar, audio.enc), "AAC encoder parameters");
    audio.stream->time_base = audio.enc->time_base;
    audio.frame = av_frame_alloc();
    if (!audio.frame) throw std::runtime_error("out of memory opening the AAC encoder");
    audio.frame->format = AV_SAMPLE_FMT_FLTP;
    audio.frame->sample_rate = rate;
    av_channel_layout_default(&audio.frame->ch_layout, channels);
    audio.frame->nb_samples = audio.enc->frame_size > 0 ? audio.enc->frame_size : 1024;
    avCheck(av_frame_get_buffer(audio.frame, 0), "audio frame buffer");
  }

  // Encodes whole AAC frames of the queued (interleaved) audio, one plane a channel; with `all`,
  // the tail too, padded with silence.
  void encodeAudio(bool all) {
    if (!audio.enc) return;
    const size_t ch = static_cast<size_t>(audio.enc->ch_layout.nb_channels);
    const size_t n = static_cast<size_t>(audio.frame->nb_samples);
    size_t at = 0;  // sample frames taken
    const size_t queued = audioQueue.size() / ch;
    while (queued - at >= n || (all && at < queued)) {
      avCheck(av_frame_make_writable(audio.frame), "audio frame buffer");
      const size_t take = std::min(n, queued - at);
      for (size_t c = 0; c < ch; ++c) {
        float* dst = reinterpret_cast<float*>(audio.frame->data[c]);
        for (size_t k = 0; k < take; ++k) dst[k] = audioQueue[(at + k) * ch + c];
        std::fill(dst + take, dst + n, 0.0f);
      }
      audio.frame->pts = audioNext;
      audioNext += static_cast<int64_t>(n);
      at += take;
      drain(audio, audio.frame);
    }
    at *= ch;
    audioQueue.erase(audioQueue.begin(), audioQueue.begin() + static_cast<ptrdiff_t>(at));
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int W, int H, int fps, int audioRate, int audioChannels)
    : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  if (W < 2 || H < 2 || (W | H) & 1)
    throw std::runtime_error("H.264 4:2:0 needs an even frame size, and the frames are " + std::to_string(W) + "x" +
                             std::to_string(H));
  s.W = W;
  s.H = H;
  avCheck(avformat_alloc_output_context2(&s.fmt, nullptr, "mp4", path.c_str()), "cannot start " + path);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("this FFmpeg has no H.264 encoder");
  Track& v = s.video;
  v.stream = avformat_new_stream(s.fmt, nullptr);
  v.enc = avcodec_alloc_context3(codec);
  if (!v.stream || !v.enc) throw std::runtime_error("out of memory opening the encoder");
  v.enc->width = W;
  v.enc->height = H;
  v.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  v.enc->time_base = AVRational{1, fps};
  v.enc->framerate = AVRational{fps, 1};
  v.enc->gop_size = 2 * fps;
  if (s.fmt->oformat->flags & AVFMT_GLOBALHEADER) v.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(v.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(v.enc->priv_data, "crf", "20", 0);
  avCheck(avcodec_open2(v.enc, codec, nullptr), "cannot open the H.264 encoder");
  avCheck(avcodec_parameters_from_context(v.stream->codecpar, v.enc), "encoder parameters");
  v.stream->time_base = v.enc->time_base;
  if (audioRate > 0) s.openAudio(audioRate, audioChannels);
  avCheck(avio_open(&s.fmt->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  avCheck(avformat_write_header(s.fmt, nullptr), "cannot write the header of " + path);
  s.headerWritten = true;

  v.frame = av_frame_alloc();
  s.pkt = av_packet_alloc();
  if (!v.frame || !s.pkt) throw std::runtime_error("out of memory opening the encoder");
  v.frame->format = AV_PIX_FMT_YUV420P;
  v.frame->width = W;
  v.frame->height = H;
  avCheck(av_frame_get_buffer(v.frame, 0), "frame buffer");
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
  AVFrame* f = s.video.frame;
  avCheck(av_frame_make_writable(f), "frame buffer");
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {s.W * 3};
  sws_scale(s.sws, src, stride, 0, s.H, f->data, f->linesize);
  f->pts = s.next++;
  s.drain(s.video, f);
}

void Mp4Writer::writeAudio(const float* samples, size_t n) {
  Impl& s = *impl_;
  if (!s.audio.enc || s.finished) return;
  s.audioQueue.insert(s.audioQueue.end(), samples,
                      samples + n * static_cast<size_t>(s.audio.enc->ch_layout.nb_channels));
  s.encodeAudio(false);
}

void Mp4Writer::finish() {
  Impl& s = *impl_;
  if (s.finished || !s.headerWritten) return;
  s.finished = true;
  s.drain(s.video, nullptr);
  if (s.audio.enc) {
    s.encodeAudio(true);
    s.drain(s.audio, nullptr);
  }
  avCheck(av_write_trailer(s.fmt), "cannot finish the file");
}

std::string Mp4Writer::encoderName() const { return impl_->video.enc->codec->name; }

}  // namespace ka::cli
