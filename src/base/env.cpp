#include "base/env.h"

#include <cstdlib>
#include <cstring>

namespace ka::env {

std::string text(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool is(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

bool firstIs(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

}  // namespace ka::env
