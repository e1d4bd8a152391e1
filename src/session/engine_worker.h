// The model worker: the one thread that calls the audio engine once warm-up has handed it over,
// behind a single-slot mailbox. The render loop posts a request and later takes the reply; the
// reply's rows live in buffers the worker owns, valid until the next request.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ka {

class LoopSignal;
class SpeechEngine;

struct EngineRequest {
  bool reset = false;  // reset(phase, direction, 1) first
  int phase = 0, direction = 1;
  int eager = 0;  // set-eager(value) when non-zero
  std::vector<float> audio;
  bool finish = false;
  int wanted = 0;  // rows to pull at most
};

struct EngineReply {
  int pulled = 0;         // rows in idx/base/drive
  int enginePending = 0;  // rows the engine still holds
  int total = -1;         // rows the utterance gives in all, -1 while unknown
  bool failed = false;    // the engine threw: it delivers no more rows of this utterance
  std::vector<int> idx;
  std::vector<float> base, drive;  // pulled x 63 floats each
};

class EngineWorker {
 public:
  // maxRows: the most rows one request may want. onFail receives the text of an engine failure.
  EngineWorker(int maxRows, LoopSignal& signal, std::function<void(const std::string&)> onFail);
  // Stops and joins the thread; the engine goes with it.
  ~EngineWorker();
  EngineWorker(const EngineWorker&) = delete;
  EngineWorker& operator=(const EngineWorker&) = delete;

  // Hands over the engine warm-up created; before the first request.
  void install(std::unique_ptr<SpeechEngine> engine);
  // Posts a request; the previous reply must have been taken.
  void post(EngineRequest&& request);
  // The reply to the last request once it is ready, else null. Valid until the next post.
  const EngineReply* reply();
  // Stops and joins the thread (after the engine call it is in).
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
