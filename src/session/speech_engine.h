// The audio engine an utterance session drives: the audio-to-expression stream or the
// audio-to-motion engine, behind one set of calls. Used by one thread at a time.
#pragma once

#include <memory>
#include <string>

namespace ka {

class SpeechEngine {
 public:
  enum Kind { kExpression = 1, kMotion = 2 };

  // The engine a model directory asks for: the expression stream when its member
  // "a2x_enc_stream.onnx" resolves and opens as a regular file, else the motion engine.
  static Kind kindOf(const std::string& dir);

  // Creates the engine of `kind` on `dir`; throws std::runtime_error with the text the engine's
  // family gives its failures. engineOpt goes to the motion engine.
  SpeechEngine(Kind kind, const std::string& dir, int threads, const std::string& engineOpt);
  ~SpeechEngine();
  SpeechEngine(const SpeechEngine&) = delete;
  SpeechEngine& operator=(const SpeechEngine&) = delete;

  Kind kind() const { return kind_; }
  // Each call throws std::runtime_error with the engine family's text when the engine fails.
  void reset(int phase, int direction, int wrap);
  void setEager(int value);
  void push(const float* samples, int count);
  void finish();
  int avail();
  int pull(int* index, float* base, float* drive, int n);
  int total() const;

 private:
  Kind kind_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
