#include "base/json.h"

#include <locale.h>
#include <stdlib.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace ka::json {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The key scan's blanks: C's isspace set in the C locale.
bool isScanBlank(char c) { return isBlank(c) || c == '\v' || c == '\f'; }

// Numbers use a full stop whatever locale the host has set.
locale_t cLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

bool startsAt(const std::string& s, size_t i, const char* word) {
  return s.compare(i, std::char_traits<char>::length(word), word) == 0;
}

// Keeps the nesting count balanced whichever way a nested read leaves.
struct DepthGuard {
  DepthGuard(int& d, const char* prefix) : d_(d) {
    if (++d_ > kMaxDepth) {
      --d_;
      throw std::runtime_error(prefix + ("JSON nested deeper than " + std::to_string(kMaxDepth) + " levels"));
    }
  }
  ~DepthGuard() { --d_; }
  int& d_;
};

}  // namespace

const JVal* JVal::get(const std::string& key) const {
  if (kind != Object) return nullptr;
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const JVal* JVal::getObject(const std::string& key) const {
  const JVal* v = get(key);
  return v && v->kind == Object ? v : nullptr;
}

const JVal* JVal::getArray(const std::string& key) const {
  const JVal* v = get(key);
  return v && v->kind == Array ? v : nullptr;
}

void JParser::fail(const char* what) const { throw std::runtime_error(prefix_ + std::string(what)); }

void JParser::blanks() {
  while (i_ < s_.size() && isBlank(s_[i_])) ++i_;
}

double JParser::number() {
  const char* start = s_.c_str() + i_;
  char* end = nullptr;
  double v = strtod_l(start, &end, cLocale());
  if (end == start) fail("bad JSON number");
  // strtod stops at the string's terminator, so it never reads past the text.
  i_ += static_cast<size_t>(end - start);
  return v;
}

std::string JParser::strv() {
  if (i_ >= s_.size()) fail("JSON truncated");
  if (s_[i_] != '"') fail("JSON string expected");
  ++i_;
  std::string out;
  for (;;) {
    if (i_ >= s_.size()) fail("JSON truncated inside a string");
    char c = s_[i_++];
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i_ >= s_.size()) fail("JSON truncated inside a string");
    char e = s_[i_++];
    switch (e) {
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u':
        // The code point is not decoded: four characters stand for one "?".
        if (s_.size() - i_ < 4) fail("JSON truncated inside a string");
        i_ += 4;
        out.push_back('?');
        break;
      default:
        out.push_back(e);
        break;
    }
  }
}

JVal JParser::objv() {
  DepthGuard guard(depth_, prefix_);
  JVal v;
  v.kind = JVal::Object;
  ++i_;  // '{'
  blanks();
  if (i_ < s_.size() && s_[i_] == '}') {
    ++i_;
    return v;
  }
  for (;;) {
    blanks();
    if (i_ >= s_.size() || s_[i_] != '"') fail("malformed JSON object");
    std::string key = strv();
    blanks();
    if (i_ >= s_.size() || s_[i_] != ':') fail("malformed JSON object");
    ++i_;
    JVal item = val();
    v.obj.emplace_back(std::move(key), std::move(item));
    blanks();
    if (i_ < s_.size() && s_[i_] == ',') {
      ++i_;
      continue;
    }
    if (i_ < s_.size() && s_[i_] == '}') {
      ++i_;
      return v;
    }
    fail("malformed JSON object");
  }
}

JVal JParser::arrv() {
  DepthGuard guard(depth_, prefix_);
  JVal v;
  v.kind = JVal::Array;
  ++i_;  // '['
  blanks();
  if (i_ < s_.size() && s_[i_] == ']') {
    ++i_;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    blanks();
    if (i_ < s_.size() && s_[i_] == ',') {
      ++i_;
      continue;
    }
    if (i_ < s_.size() && s_[i_] == ']') {
      ++i_;
      return v;
    }
    fail("malformed JSON array");
  }
}

JVal JParser::val() {
  blanks();
  if (i_ >= s_.size()) fail("JSON truncated");
  JVal v;
  char c = s_[i_];
  if (c == '{') return objv();
  if (c == '[') return arrv();
  if (c == '"') {
    v.kind = JVal::String;
    v.str = strv();
  } else if (startsAt(s_, i_, "true")) {
    v.kind = JVal::Bool;
    v.b = true;
    i_ += 4;
  } else if (startsAt(s_, i_, "false")) {
    v.kind = JVal::Bool;
    i_ += 5;
  } else if (startsAt(s_, i_, "null")) {
    i_ += 4;
  } else {
    v.kind = JVal::Number;
    v.num = number();
  }
  return v;
}

JVal parseText(const std::string& text, const char* prefix) {
  JParser p(text, 0, prefix);
  return p.val();
}

int truncInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int>(v);
}

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  if (!key) throw std::logic_error("basic_string: construction from null is not valid");
  const size_t keyLen = std::strlen(key);
  const char* s = text.data();
  const size_t n = text.size();
  std::vector<KeyHit> hits;
  int32_t depth = 0;
  size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (c == '[' || c == '{') {
      ++depth;
      ++i;
    } else if (c == ']' || c == '}') {
      --depth;
      ++i;
    } else if (c == '"') {
      size_t j = i + 1;
      while (j < n && s[j] != '"') j += (s[j] == '\\') ? 2 : 1;
      if (j >= n) break;  // a string that never closes ends the scan
      size_t k = j + 1;
      while (k < n && isScanBlank(s[k])) ++k;
      if (k < n && s[k] == ':' && j - (i + 1) == keyLen && std::memcmp(s + i + 1, key, keyLen) == 0) {
        size_t v = k + 1;
        while (v < n && isScanBlank(s[v])) ++v;
        KeyHit h;
        h.pos = v;
        h.depth = depth;
        h.scalar = v < n && s[v] != '[' && s[v] != '{';
        hits.push_back(h);
      }
      i = j + 1;
    } else {
      ++i;
    }
  }
  return hits;
}

}  // namespace ka::json
