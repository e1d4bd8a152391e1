#include "audio_file.h"

#include "av_error.h"

#include <cmath>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace ka::cli {
namespace {

struct Decoder {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  ~Decoder() {
    av_frame_free(&frame);
    av_packet_free(&pkt);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
};

}  // namespace

std::vector<float> readSpeech(const std::string& path) {
  Decoder d;
  auto fail = [&](const std::string& why) { return std::runtime_error(path + ": " + why); };
  int rc = avformat_open_input(&d.fmt, path.c_str(), nullptr, nullptr);
  if (rc < 0) throw fail("cannot open (" + avError(rc) + ")");
  rc = avformat_find_stream_info(d.fmt, nullptr);
  if (rc < 0) throw fail("cannot read (" + avError(rc) + ")");
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(d.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si < 0 || !codec) throw fail("no audio stream FFmpeg can decode");
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) throw fail("out of memory");
  rc = avcodec_parameters_to_context(d.dec, d.fmt->streams[si]->codecpar);
  if (rc >= 0) rc = avcodec_open2(d.dec, codec, nullptr);
  if (rc < 0) throw fail("cannot open the " + std::string(codec->name) + " decoder (" + avError(rc) + ")");
  if (d.dec->ch_layout.nb_channels < 1) av_channel_layout_default(&d.dec->ch_layout, 1);

  AVChannelLayout mono;
  av_channel_layout_default(&mono, 1);
  rc = swr_alloc_set_opts2(&d.swr, &mono, AV_SAMPLE_FMT_FLT, kSpeechRate, &d.dec->ch_layout, d.dec->sample_fmt,
                           d.dec->sample_rate, 0, nullptr);
  if (rc >= 0) rc = swr_init(d.swr);
  if (rc < 0)
    throw fail("cannot resample " + std::to_string(d.dec->sample_rate) + " Hz to 16 kHz mono (" + avError(rc) + ")");

  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.pkt || !d.frame) throw fail("out of memory");
  std::vector<float> out;
  auto convert = [&](const uint8_t** in, int n) {
    const int room = swr_get_out_samples(d.swr, n);
    if (room < 0) throw fail("resampling failed");
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(room));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + at);
    const int got = swr_convert(d.swr, &dst, room, in, n);
    if (got < 0) throw fail("resampling failed (" + avError(got) + ")");
    out.resize(at + static_cast<size_t>(got));
  };
  auto drain = [&]() {
    for (;;) {
      const int r = avcodec_receive_frame(d.dec, d.frame);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) throw fail("cannot decode (" + avError(r) + ")");
      convert(const_cast<const uint8_t**>(d.frame->extended_data), d.frame->nb_samples);
      av_frame_unref(d.frame);
    }
  };
  while ((rc = av_read_frame(d.fmt, d.pkt)) >= 0) {
    if (d.pkt->stream_index == si) {
      const int s = avcodec_send_packet(d.dec, d.pkt);
      if (s < 0 && s != AVERROR(EAGAIN)) {
        av_packet_unref(d.pkt);
        throw fail("cannot decode (" + avError(s) + ")");
      }
      drain();
    }
    av_packet_unref(d.pkt);
  }
  if (rc != AVERROR_EOF) throw fail("cannot read (" + avError(rc) + ")");
  avcodec_send_packet(d.dec, nullptr);
  drain();
  convert(nullptr, 0);  // what the resampler still holds
  if (out.empty()) throw fail("holds no audio samples");
  return out;
}

std::vector<int16_t> toPcm16(const std::vector<float>& samples) {
  std::vector<int16_t> out(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    const float v = std::isnan(samples[i]) ? 0.0f : std::nearbyint(samples[i] * 32768.0f);
    out[i] = static_cast<int16_t>(v > 32767.0f ? 32767.0f : v < -32768.0f ? -32768.0f : v);
  }
  return out;
}

}  // namespace ka::cli
