// The C boundary's error convention, shared by every family of the C interface.
//
// Each family keeps its own thread-local last-error text. Every fallible entry point empties it on
// entry, runs its body inside `guarded`, and on an exception stores "<entry>: <what>" and returns
// the family's failure value. Nothing thrown inside the engine ever crosses into C.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace ka {

// The core family's text (ka_last_error). Created on first use on a thread, freed at thread exit.
std::string& coreLastError();

// The text of the family whose handle type is `Handle` (ka_a2x, ka_utt, ...), likewise per thread.
template <class Handle>
std::string& familyError() {
  thread_local std::string text;
  return text;
}

// Runs `body` and returns its result; on any exception stores `entry` + ": " + the exception's
// text in `slot` and returns `fail`.
template <class R, class F>
R guarded(std::string& slot, const char* entry, R fail, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (const std::exception& e) {
    try {
      slot = std::string(entry) + ": " + e.what();
    } catch (...) {
    }
  } catch (...) {
    try {
      slot = std::string(entry) + ": unknown failure";
    } catch (...) {
    }
  }
  return fail;
}

// Runs `step` inside the library; a std::exception it throws is rethrown as a runtime error whose
// text starts with `entry` + ": ", the text the entry point of that name would give it.
template <class F>
auto named(const char* entry, F&& step) -> decltype(step()) {
  try {
    return std::forward<F>(step)();
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(entry) + ": " + e.what());
  }
}

// Stores a fixed argument-failure text; never throws (an allocation failure leaves it empty).
inline void setError(std::string& slot, const char* text) noexcept {
  try {
    slot = text;
  } catch (...) {
    slot.clear();
  }
}

}  // namespace ka
