// The C interface's handles over the library's objects, defined here only, for the C floor.
#pragma once

#include <memory>

#include "audio/a2x.h"
#include "audio/fca.h"
#include "audio/motion.h"
#include "context/context.h"
#include "session/utterance.h"

struct ka_ctx {
  std::unique_ptr<ka::Context> context;
};

struct ka_utt {
  std::unique_ptr<ka::UtteranceSession> session;
};

struct ka_a2x {
  ka::A2xStream stream;
  ka_a2x(const char* bundle, int threads) : stream(bundle, threads) {}
};

struct ka_motion {
  ka::Motion engine;
  ka_motion(const char* dir, int threads, const char* ep) : engine(dir, threads, ep ? ep : "") {}
};

struct ka_fca {
  ka::FcaEngine engine;
  ka_fca(const char* w2v, const char* fca, int threads) : engine(w2v, fca, threads) {}
};

namespace ka {

// The stream behind a C handle, for the tests and benchmarks that look inside it.
inline A2xStream& a2xStream(ka_a2x* s) { return s->stream; }

}  // namespace ka
