// The C interface's handles over the library's objects, defined here only, for the C floor.
#pragma once

#include <memory>

#include "context/context.h"
#include "session/utterance.h"

struct ka_ctx {
  std::unique_ptr<ka::Context> context;
};

struct ka_utt {
  std::unique_ptr<ka::UtteranceSession> session;
};
