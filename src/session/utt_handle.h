// The utterance session's C handle, shared by the family's entry points.
#pragma once

#include <memory>

#include "session/utterance.h"

struct ka_utt {
  std::unique_ptr<ka::UtteranceSession> session;
};
