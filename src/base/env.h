// The environment reader: every switch of the library read from an environment variable at the
// point of use goes through these, so each kind of test ("set to exactly 1", "starts with 0", "the
// text or empty") means one thing everywhere.
#pragma once

#include <string>

namespace ka::env {

// The variable's value, or "" when it is unset.
std::string text(const char* name);

// True when the variable is set to exactly `value`.
bool is(const char* name, const char* value);

// True when the variable is set and its first character is `c`.
bool firstIs(const char* name, char c);

}  // namespace ka::env
