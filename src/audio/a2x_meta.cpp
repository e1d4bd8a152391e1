#include "audio/a2x_meta.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/json.h"

namespace ka {

namespace {

// Position of the value of the first occurrence of "key" used as a key, or npos.
size_t valueAt(const std::string& text, const char* key) {
  const std::vector<json::KeyHit> hits = json::keyHits(text, key);
  return hits.empty() ? std::string::npos : static_cast<size_t>(hits.front().pos);
}

bool readInt(const std::string& text, size_t at, int& out) {
  const char* start = text.c_str() + at;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(start, &end, 10);
  if (end == start) return false;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int metaInt(const std::string& text, const char* key, int fallback) {
  size_t at = valueAt(text, key);
  int v = fallback;
  if (at == std::string::npos || !readInt(text, at, v)) return fallback;
  return v;
}

A2xMeta parseA2xMeta(const std::string& text) {
  A2xMeta m;
  m.h = metaInt(text, "h", 256);
  m.window = metaInt(text, "window", -1);
  m.left = metaInt(text, "left", -1);
  m.layers = metaInt(text, "layers", 6);
  m.silencePrime = metaInt(text, "silence_prime", 0);
  size_t at = valueAt(text, "width");
  if (at != std::string::npos) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (text.compare(at, 4, "true") == 0)
      m.width = 1;
    else if (text.compare(at, 5, "false") == 0)
      m.width = 0;
    else if (!readInt(text, at, m.width))
      m.width = 0;
  }
  return m;
}

}  // namespace ka
