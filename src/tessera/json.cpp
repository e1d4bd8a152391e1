#include "tessera/json.h"

#include <locale.h>
#include <stdlib.h>

#include <climits>
#include <cmath>
#include <stdexcept>

#include "bundle/members.h"
#include "bundle/regular_file.h"

namespace ka::tessera::json {
namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(what); }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

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
  explicit DepthGuard(int& d) : d_(d) {
    if (++d_ > kMaxDepth) {
      --d_;
      throw std::runtime_error("teeth: JSON nested deeper than " + std::to_string(kMaxDepth) + " levels");
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

void JParser::blanks() {
  while (i_ < s_.size() && isBlank(s_[i_])) ++i_;
}

double JParser::number() {
  const char* start = s_.c_str() + i_;
  char* end = nullptr;
  double v = strtod_l(start, &end, cLocale());
  if (end == start) fail("teeth: bad JSON number");
  // strtod stops at the string's terminator, so it never reads past the text.
  i_ += static_cast<size_t>(end - start);
  return v;
}

std::string JParser::strv() {
  if (i_ >= s_.size()) fail("teeth: JSON truncated");
  if (s_[i_] != '"') fail("teeth: JSON string expected");
  ++i_;
  std::string out;
  for (;;) {
    if (i_ >= s_.size()) fail("teeth: JSON truncated inside a string");
    char c = s_[i_++];
    if (c == '"') return out;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i_ >= s_.size()) fail("teeth: JSON truncated inside a string");
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
        if (s_.size() - i_ < 4) fail("teeth: JSON truncated inside a string");
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
  DepthGuard guard(depth_);
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
    if (i_ >= s_.size() || s_[i_] != '"') fail("teeth: malformed JSON object");
    std::string key = strv();
    blanks();
    if (i_ >= s_.size() || s_[i_] != ':') fail("teeth: malformed JSON object");
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
    fail("teeth: malformed JSON object");
  }
}

JVal JParser::arrv() {
  DepthGuard guard(depth_);
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
    fail("teeth: malformed JSON array");
  }
}

JVal JParser::val() {
  blanks();
  if (i_ >= s_.size()) fail("teeth: JSON truncated");
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

JVal parseText(const std::string& text) {
  JParser p(text);
  return p.val();
}

std::string optStr(const JVal& object, const std::string& key, const std::string& def) {
  const JVal* v = object.get(key);
  return v && v->kind == JVal::String ? v->str : def;
}

double reqNum(const JVal& object, const std::string& key, const std::string& context) {
  const JVal* v = object.get(key);
  if (!v || v->kind != JVal::Number) throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->num;
}

const JVal& memberKey(const JVal& object, const std::string& key) {
  const JVal* v = object.get(key);
  if (!v) throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
  return *v;
}

double memberNum(const JVal& object, const std::string& key) {
  const JVal& v = memberKey(object, key);
  if (v.kind != JVal::Number) throw std::runtime_error("teeth: member JSON key '" + key + "' is not a number");
  return v.num;
}

int truncInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace ka::tessera::json

namespace ka::tessera {

std::string slurp(const std::string& path) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("teeth: cannot open " + path);
  if (f.size() > kMaxMemberBytes)
    throw std::runtime_error("teeth: " + path + " is " + std::to_string(f.size()) + " bytes, more than the " +
                             std::to_string(kMaxMemberBytes) + " a tessera member may hold");
  std::string bytes(static_cast<size_t>(f.size()), '\0');
  if (!f.readExactly(&bytes[0], bytes.size())) throw std::runtime_error("teeth: short read " + path);
  return bytes;
}

json::JVal parseFile(const std::string& text, const std::string& path) {
  try {
    return json::parseText(text);
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + path + " is not readable JSON: " + e.what());
  }
}

std::string manifestPath(const std::string& dir) {
  for (const char* name : {"/manifest.json", "/meta.json"}) {
    std::string p = dir + name;
    if (canOpenForReading(p)) return p;
  }
  return std::string();
}

}  // namespace ka::tessera
