#include "tessera/bank_decode.h"

#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "driver/ff_source.h"

namespace ka::tessera {
namespace {

constexpr int kReaderBuffer = 65536;
// The decoded bank is held whole in memory; a geometry beyond this is not a bank.
constexpr uint64_t kMaxBankBytes = uint64_t{1} << 31;
// The scaler stores whole vectors, running past the end of a row whose bytes are not a whole
// vector: it converts into rows of whole 64-pixel blocks (each a multiple of 64 bytes, so every row
// starts aligned) with one spare row below, and the donor rows are copied out of them.
constexpr int kScratchPixels = 64;

[[noreturn]] void refuse(const std::string& text) { throw std::runtime_error(text); }

struct MemReader {
  const uint8_t* data = nullptr;
  size_t size = 0;
  int64_t pos = 0;
};

int readMem(void* opaque, uint8_t* buf, int want) {
  auto* r = static_cast<MemReader*>(opaque);
  const int64_t left = static_cast<int64_t>(r->size) - r->pos;
  if (left <= 0 || want <= 0) return AVERROR_EOF;
  const int n = static_cast<int>(std::min<int64_t>(left, want));
  std::memcpy(buf, r->data + r->pos, static_cast<size_t>(n));
  r->pos += n;
  return n;
}

int64_t seekMem(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<MemReader*>(opaque);
  const int64_t size = static_cast<int64_t>(r->size);
  if (whence & AVSEEK_SIZE) return size;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = r->pos;
      break;
    case SEEK_END:
      base = size;
      break;
    default:
      return -1;
  }
  if ((offset > 0 && base > INT64_MAX - offset) || (offset < 0 && base < INT64_MIN - offset)) return -1;
  const int64_t target = base + offset;
  if (target < 0 || target > size) return -1;
  r->pos = target;
  return target;
}

// Demuxers that open further resources (playlists, concatenations, external references) are given
// nothing to open: a bank is one self-contained track.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) { return AVERROR(EPERM); }

// The bank travels as an MP4 track; only the MP4/MOV demuxer reads it.
constexpr const char* kBankDemuxers = "mov,mp4,m4a,3gp,3g2,mj2";

// Owners of the FFmpeg objects, released in reverse order of their making.
struct Decode {
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  SwsContext* sws = nullptr;
  uint8_t* rgb = nullptr;  // the scaler's padded scratch frame
  ~Decode() {
    av_freep(&rgb);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&codec);
    avformat_close_input(&fmt);
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* bytes, size_t size, int stored_w, int stored_h, int n,
                                     const std::vector<int>& trackOrder) {
  if (!bytes || size == 0) refuse("reference bank track is empty \xE2\x80\x94 refusing to serve");
  if (stored_w < 1 || stored_h < 1 || n < 1)
    refuse("reference bank geometry is not positive \xE2\x80\x94 refusing to serve");
  if (trackOrder.size() != static_cast<size_t>(n))
    refuse("reference bank sidecar track_order has " + std::to_string(trackOrder.size()) + " entries, expected " +
           std::to_string(n) + " \xE2\x80\x94 sidecar/track mismatch, refusing to serve");
  const uint64_t frameBytes = static_cast<uint64_t>(stored_w) * static_cast<uint64_t>(stored_h) * 3;
  const size_t scratchStride =
      (static_cast<size_t>(stored_w) + kScratchPixels - 1) / kScratchPixels * kScratchPixels * 3;
  if (frameBytes * static_cast<uint64_t>(n) > kMaxBankBytes || scratchStride > static_cast<size_t>(INT_MAX))
    refuse("reference bank geometry " + std::to_string(stored_w) + "x" + std::to_string(stored_h) + " x " +
           std::to_string(n) + " donors is larger than a bank may be \xE2\x80\x94 refusing to serve");

  MemReader reader{bytes, size, 0};
  Decode d;
  auto* buf = static_cast<uint8_t*>(av_malloc(kReaderBuffer));
  if (!buf) refuse("reference bank decode: out of memory");
  d.io = avio_alloc_context(buf, kReaderBuffer, 0, &reader, readMem, nullptr, seekMem);
  if (!d.io) {
    av_free(buf);
    refuse("reference bank decode: avio_alloc_context failed");
  }
  d.fmt = avformat_alloc_context();
  if (!d.fmt) refuse("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  d.fmt->io_open = refuseNestedOpen;
  d.fmt->format_whitelist = av_strdup(kBankDemuxers);
  if (!d.fmt->format_whitelist) refuse("reference bank decode: out of memory");
  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0)  // frees fmt on failure
    refuse("reference bank track is not a readable container \xE2\x80\x94 refusing to serve");
  if (avformat_find_stream_info(d.fmt, nullptr) < 0)
    refuse("reference bank track carries no stream info \xE2\x80\x94 refusing to serve");
  int vs = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams && vs < 0; ++i)
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) vs = static_cast<int>(i);
  if (vs < 0) refuse("reference bank track has no video stream \xE2\x80\x94 refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[vs]->codecpar;
  if (par->width != stored_w || par->height != stored_h)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(stored_w) + "x" + std::to_string(stored_h) +
           " \xE2\x80\x94 geometry mismatch, refusing to serve");
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse(
        "no decoder for the reference bank track \xE2\x80\x94 this build must carry the h264 decoder (see "
        "build_ffmpeg_android); refusing to serve");
  d.codec = avcodec_alloc_context3(codec);
  if (!d.codec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.codec, par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  d.codec->thread_count = 1;  // frames come back in order, on this thread
  if (avcodec_open2(d.codec, codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder \xE2\x80\x94 refusing to serve");

  std::vector<char> used(static_cast<size_t>(n), 0);
  for (int slot : trackOrder) {
    if (slot < 0 || slot >= n) refuse("reference bank track_order is out of range \xE2\x80\x94 refusing to serve");
    if (used[static_cast<size_t>(slot)])
      refuse("reference bank track_order is not a permutation \xE2\x80\x94 refusing to serve");
    used[static_cast<size_t>(slot)] = 1;
  }

  std::vector<uint8_t> out(frameBytes * static_cast<uint64_t>(n));
  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.pkt || !d.frame) refuse("reference bank decode: out of memory");
  int k = 0, format = -1;
  auto receive = [&] {
    while (avcodec_receive_frame(d.codec, d.frame) == 0) {
      if (d.frame->width != stored_w || d.frame->height != stored_h)
        refuse("reference bank frame changed size mid-track \xE2\x80\x94 refusing to serve");
      if (!d.sws) {
        format = d.frame->format;
        d.sws = sws_getContext(stored_w, stored_h, static_cast<AVPixelFormat>(format), stored_w, stored_h,
                               AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!d.sws) refuse("reference bank decode: no rgb24 conversion \xE2\x80\x94 refusing to serve");
        d.rgb = static_cast<uint8_t*>(av_malloc(scratchStride * (static_cast<size_t>(stored_h) + 1)));
        if (!d.rgb) refuse("reference bank decode: out of memory");
      } else if (d.frame->format != format) {
        // The scaler was made for the first frame's layout and cannot read another one.
        refuse("reference bank frame changed pixel format mid-track \xE2\x80\x94 refusing to serve");
      }
      if (k >= n)
        refuse(
            "bank track carries more frames than the sidecar's n_donors \xE2\x80\x94 sidecar/track mismatch, "
            "refusing to serve");
      uint8_t* dst[4] = {d.rgb, nullptr, nullptr, nullptr};
      const int stride[4] = {static_cast<int>(scratchStride), 0, 0, 0};
      sws_scale(d.sws, d.frame->data, d.frame->linesize, 0, stored_h, dst, stride);
      uint8_t* slot = out.data() + static_cast<size_t>(trackOrder[static_cast<size_t>(k)]) * frameBytes;
      const size_t rowBytes = static_cast<size_t>(stored_w) * 3;
      for (int y = 0; y < stored_h; ++y) std::memcpy(slot + y * rowBytes, d.rgb + y * scratchStride, rowBytes);
      ++k;
      av_frame_unref(d.frame);
    }
  };
  while (av_read_frame(d.fmt, d.pkt) >= 0) {
    if (d.pkt->stream_index == vs) {
      avcodec_send_packet(d.codec, d.pkt);  // a packet that does not decode leaves a frame missing, counted below
      receive();
    }
    av_packet_unref(d.pkt);
  }
  avcodec_send_packet(d.codec, nullptr);
  receive();
  if (k != n)
    refuse("bank track decoded to " + std::to_string(k) + " frames, expected " + std::to_string(n) +
           " \xE2\x80\x94 geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() { return movieDecoderBuild(); }

}  // namespace ka::tessera
