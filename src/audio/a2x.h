// The audio-to-expression stream: speech pushed in chunks of any size, one expression keypoint row
// per 40 ms frame pulled after the look-ahead, through an audio encoder front end (shared, see
// w2v.h), a causal windowed encoder over those features and an autoregressive decoder (bundle
// members a2x_enc_stream.onnx and a2x_dec.onnx).
//
// Push-size invariance: the rows pulled are a function of the audio alone, never of how it was
// split into pushes or when avail/pull were called. To keep that, a frame is ready only when every
// input of it is final: its features are final once the audio front end's look-ahead is held, and
// the encoder reads `ctxRight` frames past it, so the two look-aheads add.
//  - Short-window front end: a block of 8 frames is computed once the audio up to its end plus the
//    block look-ahead is held, always from the same 2 s of audio.
//  - Legacy front end: each 8 s window is normalised over all of its samples, zero padding past
//    the audio included, so its output depends on how much audio it saw. A frame is therefore
//    always computed by the run at the first whole 320 ms block boundary at which it is final (with
//    the samples past that boundary zeroed); only frames past the last whole block held when the
//    stream is finished come from a run over the whole audio.
//
// Memory stays bounded over long utterances: only the audio a later window reads, the features a
// later encoder chunk reads, the encoder rows not yet decoded and the rows not yet pulled are kept.
//
// A stream is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ka {

class A2xStream {
 public:
  // Opens the stream of the bundle directory or container `bundle`; throws the refusal text.
  A2xStream(const std::string& bundle, int threads);
  ~A2xStream();
  A2xStream(const A2xStream&) = delete;
  A2xStream& operator=(const A2xStream&) = delete;

  void push(const float* samples, int count);
  void finish();
  // Frames ready to pull (runs the models as far as needed, a bounded step per call). A model
  // failure on the way stops the step short: the stream keeps what it had, and the failure is
  // kept for takeFailure.
  int avail();
  // Up to n frames; width may be null. Model failures as avail's.
  int pull(int* index, float* base, float* drive, float* width, int n);
  // The text of the model failure that last stopped avail or pull short (empty when none), which
  // is forgotten as it is taken.
  std::string takeFailure();
  // (samples + 639) / 640 once finished, else -1.
  int total() const;
  int reset(int phase, int direction, int wrap);
  int nt() const;
  bool hasWidth() const;
  void setEager(int flag);
  // Whole-clip deltas; see ka_a2x_deltas. width may be null. Throws on model failure.
  int deltas(const float* samples, int count, float* out, float* width, int max);

  // Bytes held by the stream's growing buffers (audio, features, encoder rows, deltas).
  size_t heldBytes() const;
  // Seconds spent inside Session::Run by the stream's models and the shared encoders it uses.
  double modelSeconds() const;
  bool shortWindow() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
