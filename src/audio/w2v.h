// The audio encoders shared by every audio engine of the process, and the ONNX Runtime plumbing the
// audio engines share.
//
// Two front ends turn 16 kHz audio into 12 hidden-state layers of 768 values per 40 ms frame:
//  - the legacy encoder ("input_values" [1, 128000] -> "audio_emb", 12 layers x 200 frames x 768,
//    layer-major) over 8 s windows;
//  - the short-window pair: a trunk ("input_values" [1, 32000] -> float16 [1, 640, LT]) and a head
//    ("x" [8, 640] -> "emb", 8 frames x 12 x 768).
// One session of each is loaded per process under one mutex and then run without a lock (ONNX
// Runtime sessions may run concurrently). The short-window pair is looked for once per process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "base/units.h"

namespace ka {
namespace w2v {

constexpr int kLayers = 12;
constexpr int kDim = 768;
constexpr int kFrameFloats = kLayers * kDim;  // 9 216 floats per frame, layer-major
constexpr int kWindowSamples = 128000;        // legacy window: 8 s
constexpr int kWindowFrames = 200;
constexpr int kTrunkSamples = 32000;  // short window: 2 s
constexpr int kTrunkChannels = 640;
constexpr int kHeadFrames = 8;

// Intra-op thread count: `requested` when 1 <= requested < pool size, else the pool size.
int resolveThreads(int requested);

// Session options of the audio engines: the resolved thread count, one inter-op thread, no
// spinning, full graph optimisation; CUDA is tried only for the tag "w2v" (see the engine notes).
Ort::SessionOptions makeOptions(int threads, const char* tag);

// A loaded model with the names its graph declares.
struct Model {
  std::string path;
  std::unique_ptr<Ort::Session> session;
  std::vector<std::string> inputs, outputs;
  // Wall time spent inside Session::Run, for the engines' overhead figures.
  mutable std::atomic<uint64_t> runNanos{0};

  // Throws "<path>: model lacks input "<name>"" unless every name is declared.
  void requireInputs(std::initializer_list<const char*> names) const;
  void requireOutputs(std::initializer_list<const char*> names) const;
  // Runs the model; outputs in the order asked.
  std::vector<Ort::Value> run(const std::vector<const char*>& inNames, const std::vector<Ort::Value>& in,
                              const std::vector<const char*>& outNames) const;
};

// Opens `path` (which must be a regular file). When optimisation produces a float16 Gelu this
// runtime cannot run, says so and reopens at basic optimisation (lowering `options`).
std::unique_ptr<Model> openModel(const Ort::Env& env, const std::string& path, Ort::SessionOptions& options);

// The float values of `v`, which must hold exactly `count` of them; otherwise throws naming the
// model and output.
const float* floatsOf(const Ort::Value& v, size_t count, const std::string& path, const char* name);

// An input tensor over caller memory.
Ort::Value tensor(float* data, size_t count, const std::vector<int64_t>& shape);

// x <- (x - mean) / sqrt(var + 1e-7) with mean and variance over all n values in double precision
// and the square root taken in single precision.
void normalise(float* x, size_t n);

// Rounds every value to half precision and back.
void roundF16(float* x, size_t n);

// The short-window pair and what was learnt about it.
struct WindowPair {
  std::unique_ptr<Model> trunk, head;
  std::string trunkOut;
  std::atomic<int> lt{0};  // trunk steps; 0 until the first run when the graph does not declare them
};

// The process-wide legacy encoder, loaded from `path` on first use (the first path wins).
// Throws the load failure.
std::shared_ptr<const Model> sharedLegacy(const std::string& path, int threads);

// The process-wide short-window pair beside `w2vPath` (or named by the environment); null when it
// is not deployed or failed to load. Looked for once per process; notices go to standard error.
std::shared_ptr<WindowPair> sharedWindow(const std::string& w2vPath, int threads);

// Runs the legacy encoder on one 8 s window (128 000 normalised samples); the output holds
// 12 x 200 x 768 floats, layer-major (checked), read through legacyFloats.
Ort::Value runLegacy(const Model& m, float* window);
const float* legacyFloats(const Model& m, const Ort::Value& out);

// Frame i of a legacy window's output as one feature row (12 x 768, layer-major), every value
// rounded to half precision.
void frameOf(const float* emb, int64_t i, float* dst);

// Runs the legacy encoder over a whole clip of `frames` frames: windows at frames 0, 100, 200, ...
// while the start is below `frames` (each normalised over its 128 000 samples, zero-padded past the
// clip), each frame taken from the first window that covers it past that window's first 50 frames
// (the first window from its start): take(f, emb, i), emb the window's output, i the frame's row.
// After each window, windowDone(n) (when given) learns that frames [0, n) have been taken.
void clipFrames(const Model& m, const float* samples, int64_t count, int64_t frames,
                const std::function<void(int64_t f, const float* emb, int64_t i)>& take,
                const std::function<void(int64_t n)>& windowDone = nullptr);

// The legacy encoder's output for 8 s of silence, computed once per process.
std::shared_ptr<const std::vector<float>> silenceEmbedding(const Model& m);

// A read-only tensor over caller memory.
Ort::Value constTensor(const float* data, size_t count, const std::vector<int64_t>& shape);

// Trunk steps of the pair, learnt from a first run when the graph does not declare them.
int windowSteps(WindowPair& p, const Ort::Value& trunkOut);

// Forgets every process-wide session and flag, so a test can load another set. Streams that hold
// sessions keep them alive until they are destroyed.
void forgetShared();

}  // namespace w2v
}  // namespace ka
