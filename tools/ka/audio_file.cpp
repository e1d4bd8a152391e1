#include "audio_file.h"

#include "av_error.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace ka::cli {

AudioFormat keepQuality(int sourceRate, int sourceChannels) {
  static const int kAacRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
  AudioFormat f;
  f.channels = sourceChannels >= 2 ? 2 : 1;
  f.rate = 48000;
  for (int r : kAacRates)
    if (r >= sourceRate) {
      f.rate = r;
      break;
    }
  return f;
}

struct AudioReader::Impl {
  std::string path;
  AudioFormat out;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwrContext* swr = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  int si = -1;
  // The resampler's input, as the decoded frames have it.
  int inRate = 0, inFormat = -1;
  AVChannelLayout inLayout{};
  bool held = false;      // `frame` holds decoded samples
  int frameAt = 0;        // of which this many are converted
  bool sentEnd = false;   // the decoder was told the stream ended
  bool ended = false;     // everything is converted
  double inSeconds = 0;   // source audio converted so far
  int64_t outFrames = 0;  // sample frames the resampler gave
  std::vector<float> pending;
  size_t pendingAt = 0;

  ~Impl() {
    av_channel_layout_uninit(&inLayout);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }

  std::runtime_error fail(const std::string& why) const { return std::runtime_error(path + ": " + why); }

  // seconds < 0: the length is not known, only that it passes the limit.
  std::runtime_error tooLong(double seconds) const {
    char length[64];
    if (seconds >= 0)
      std::snprintf(length, sizeof length, "%.1f s", seconds);
    else
      std::snprintf(length, sizeof length, "more than %d s", kMaxAudioSeconds);
    return fail(std::string(length) + " of audio, longer than the " + std::to_string(kMaxAudioSeconds) +
                " s the tool takes");
  }

  void open(AudioFormat want) {
    int rc = avformat_open_input(&fmt, path.c_str(), nullptr, nullptr);
    if (rc < 0) throw fail("cannot open (" + avError(rc) + ")");
    rc = avformat_find_stream_info(fmt, nullptr);
    if (rc < 0) throw fail("cannot read (" + avError(rc) + ")");
    const AVCodec* codec = nullptr;
    si = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (si < 0 || !codec) throw fail("no audio stream FFmpeg can decode");
    const AVStream* st = fmt->streams[si];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
      const double seconds = st->duration * av_q2d(st->time_base);
      if (seconds > kMaxAudioSeconds) throw tooLong(seconds);
    } else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
      const double seconds = fmt->duration / double(AV_TIME_BASE);
      if (seconds > kMaxAudioSeconds) throw tooLong(seconds);
    }
    dec = avcodec_alloc_context3(codec);
    if (!dec) throw fail("out of memory");
    rc = avcodec_parameters_to_context(dec, st->codecpar);
    if (rc >= 0) rc = avcodec_open2(dec, codec, nullptr);
    if (rc < 0) throw fail("cannot open the " + std::string(codec->name) + " decoder (" + avError(rc) + ")");
    out = want.rate > 0 ? want : keepQuality(dec->sample_rate, dec->ch_layout.nb_channels);
    pkt = av_packet_alloc();
    frame = av_frame_alloc();
    if (!pkt || !frame) throw fail("out of memory");
  }

  // The next decoded frame into `frame`, reading packets as the decoder asks; false at the end.
  bool nextFrame() {
    for (;;) {
      const int r = avcodec_receive_frame(dec, frame);
      if (r == 0) return true;
      if (r == AVERROR_EOF || (r == AVERROR(EAGAIN) && sentEnd)) return false;
      if (r != AVERROR(EAGAIN)) throw fail("cannot decode (" + avError(r) + ")");
      int rc;
      while ((rc = av_read_frame(fmt, pkt)) >= 0 && pkt->stream_index != si) av_packet_unref(pkt);
      if (rc == AVERROR_EOF) {
        avcodec_send_packet(dec, nullptr);
        sentEnd = true;
        continue;
      }
      if (rc < 0) throw fail("cannot read (" + avError(rc) + ")");
      const int s = avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
      if (s < 0 && s != AVERROR(EAGAIN)) throw fail("cannot decode (" + avError(s) + ")");
    }
  }

  // Sets the resampler up for the held frame's rate, layout and sample format (again when they
  // change midway, after passing on what it still holds).
  void followFrame() {
    if (frame->sample_rate < 1) throw fail("a frame declares no sample rate");
    if (frame->ch_layout.nb_channels < 1) throw fail("a frame declares no channels");
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int n = frame->ch_layout.nb_channels;
      av_channel_layout_uninit(&frame->ch_layout);
      av_channel_layout_default(&frame->ch_layout, n);
    }
    if (swr && frame->sample_rate == inRate && frame->format == inFormat &&
        av_channel_layout_compare(&frame->ch_layout, &inLayout) == 0)
      return;
    if (swr) convert(nullptr, 0);
    swr_free(&swr);
    inRate = frame->sample_rate;
    inFormat = frame->format;
    av_channel_layout_uninit(&inLayout);
    if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0) throw fail("out of memory");
    AVChannelLayout layout;
    av_channel_layout_default(&layout, out.channels);
    int rc = swr_alloc_set_opts2(&swr, &layout, AV_SAMPLE_FMT_FLT, out.rate, &inLayout,
                                 static_cast<AVSampleFormat>(inFormat), inRate, 0, nullptr);
    if (rc >= 0) rc = swr_init(swr);
    if (rc < 0)
      throw fail("cannot resample " + std::to_string(inRate) + " Hz to " + std::to_string(out.rate) + " Hz, " +
                 std::to_string(out.channels) + " channel(s) (" + avError(rc) + ")");
  }

  // Passes n input samples (nullptr: the resampler's tail) through the resampler into `pending`.
  void convert(const uint8_t** in, int n) {
    pending.erase(pending.begin(), pending.begin() + static_cast<ptrdiff_t>(pendingAt));
    pendingAt = 0;
    const int room = swr_get_out_samples(swr, n);
    if (room < 0) throw fail("resampling failed");
    const size_t at = pending.size();
    const size_t ch = static_cast<size_t>(out.channels);
    pending.resize(at + static_cast<size_t>(room) * ch);
    uint8_t* dst = reinterpret_cast<uint8_t*>(pending.data() + at);
    const int got = swr_convert(swr, &dst, room, in, n);
    if (got < 0) throw fail("resampling failed (" + avError(got) + ")");
    pending.resize(at + static_cast<size_t>(got) * ch);
    outFrames += got;
    if (outFrames > int64_t{kMaxAudioSeconds} * out.rate + out.rate / 25) throw tooLong(-1);
  }

  // Converts at most one second of the held frame (a frame of a 1 Hz file is never expanded at
  // once), decoding the next frame when it is used up, and at the end the resampler's tail. False
  // when nothing is left.
  bool convertSome() {
    while (!ended) {
      if (!held || frameAt >= frame->nb_samples) {
        av_frame_unref(frame);
        held = nextFrame();
        frameAt = 0;
        if (held) {
          followFrame();
          continue;
        }
        ended = true;
        if (swr) convert(nullptr, 0);
        return true;
      }
      const int n = std::min(frame->nb_samples - frameAt, inRate);
      inSeconds += n / double(inRate);
      if (inSeconds > kMaxAudioSeconds) throw tooLong(-1);
      const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(inFormat));
      const int planes = planar ? inLayout.nb_channels : 1;
      const size_t step = static_cast<size_t>(av_get_bytes_per_sample(static_cast<AVSampleFormat>(inFormat))) *
                          static_cast<size_t>(planar ? 1 : inLayout.nb_channels);
      std::vector<const uint8_t*> in(static_cast<size_t>(planes));
      for (int p = 0; p < planes; ++p) in[static_cast<size_t>(p)] = frame->extended_data[p] + step * frameAt;
      convert(in.data(), n);
      frameAt += n;
      return true;
    }
    return false;
  }
};

AudioReader::AudioReader(const std::string& path, AudioFormat want) : impl_(std::make_unique<Impl>()) {
  impl_->path = path;
  impl_->open(want);
}

AudioReader::~AudioReader() = default;

const AudioFormat& AudioReader::format() const { return impl_->out; }

size_t AudioReader::read(float* dst, size_t frames) {
  Impl& s = *impl_;
  const size_t ch = static_cast<size_t>(s.out.channels);
  const size_t want = frames * ch;
  while (s.pending.size() - s.pendingAt < want && s.convertSome()) {
  }
  const size_t take = std::min(want, s.pending.size() - s.pendingAt) / ch * ch;
  std::copy_n(s.pending.begin() + static_cast<ptrdiff_t>(s.pendingAt), take, dst);
  s.pendingAt += take;
  return take / ch;
}

std::vector<float> readSpeech(const std::string& path) {
  AudioReader reader(path, AudioFormat{});
  std::vector<float> out;
  const size_t piece = kSpeechRate;
  for (;;) {
    const size_t at = out.size();
    out.resize(at + piece);
    const size_t got = reader.read(out.data() + at, piece);
    out.resize(at + got);
    if (got < piece) break;
  }
  if (out.empty()) throw std::runtime_error(path + ": holds no audio samples");
  return out;
}

FrameAudio::FrameAudio(const std::string& path, const std::vector<float>& speech) : speech_(speech) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    reader_ = std::make_unique<AudioReader>(path, AudioFormat{0, 0});
    format_ = reader_->format();
  }
  chunk_.resize(static_cast<size_t>(format_.rate / 25 * format_.channels));
}

const std::vector<float>& FrameAudio::frame(int64_t k) {
  const size_t n = frameSamples();
  if (!reader_) {
    std::fill(chunk_.begin(), chunk_.end(), 0.0f);
    const size_t at = static_cast<size_t>(std::max<int64_t>(k, 0)) * n;
    if (k >= 0 && at < speech_.size())
      std::copy_n(speech_.begin() + static_cast<ptrdiff_t>(at), std::min(n, speech_.size() - at), chunk_.begin());
    return chunk_;
  }
  while (next_ < k && reader_->read(chunk_.data(), n) == n) ++next_;  // the frames before k, passed over
  std::fill(chunk_.begin(), chunk_.end(), 0.0f);
  if (next_ == k) {
    reader_->read(chunk_.data(), n);
    ++next_;
  }
  return chunk_;
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
