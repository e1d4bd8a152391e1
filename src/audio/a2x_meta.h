// The stream's settings file, a2x_meta.json: a flat JSON object read through the JSON reader's key
// scan (the first occurrence of the key used as a key, then a base-10 integer at its value), so any
// producer's formatting is accepted.
#pragma once

#include <string>

namespace ka {

struct A2xMeta {
  int h = 256;
  int window = -1;
  int left = -1;
  int layers = 6;
  int width = 0;  // "width": true / false or an integer; missing counts as false
  int silencePrime = 0;
};

// The integer after "key": in `text`, or `fallback` when the key, its colon or a number is missing.
// Values beyond the int range are clamped to it.
int metaInt(const std::string& text, const char* key, int fallback);

// Every setting of a meta text.
A2xMeta parseA2xMeta(const std::string& text);

}  // namespace ka
