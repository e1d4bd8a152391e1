// The library's one JSON reader: a document reader for members read as JSON, and the key scan
// that readers of loosely formed key/value texts (the bundle manifest, the audio meta files) build on.
//
// Objects keep their keys in text order with duplicates kept; a lookup takes the first match.
// Numbers are read with strtod in the C locale, so every form strtod accepts (hex, inf, nan,
// exponents) is a number. Nesting is bounded, so a hostile document cannot exhaust the stack.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ka::json {

// Deepest nesting of arrays and objects a document may have.
constexpr int kMaxDepth = 256;

struct JVal {
  enum Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isObject() const { return kind == Object; }
  bool isArray() const { return kind == Array; }
  bool isString() const { return kind == String; }
  bool isNumber() const { return kind == Number; }
  // The value of the first member named `key`; null when this is not an object or has none.
  const JVal* get(const std::string& key) const;
  // As get, but only when the value is an object (or an array).
  const JVal* getObject(const std::string& key) const;
  const JVal* getArray(const std::string& key) const;
};

// A recursive-descent reader over `text`, starting at `pos`. Failures throw std::runtime_error
// whose text is `prefix` followed by what is wrong ("malformed JSON object", "JSON truncated", ...).
class JParser {
 public:
  explicit JParser(const std::string& text, size_t pos = 0, const char* prefix = "")
      : s_(text), i_(pos), prefix_(prefix) {}
  JVal val();
  JVal objv();
  JVal arrv();
  std::string strv();
  size_t pos() const { return i_; }

 private:
  [[noreturn]] void fail(const char* what) const;
  void blanks();
  double number();
  const std::string& s_;
  size_t i_;
  const char* prefix_;
  int depth_ = 0;
};

// Skips leading blanks and reads one value; text after it is ignored. Failures as JParser's.
JVal parseText(const std::string& text, const char* prefix = "");

// A number truncated toward zero into an int, saturating at the int range (NaN gives 0), so that
// no value read from a file makes the conversion undefined.
int truncInt(double v);

// One occurrence of a key used as an object key.
struct KeyHit {
  uint64_t pos = 0;     // offset of the first non-blank byte after the colon (the value)
  int32_t depth = 0;    // bracket depth at the key; top-level keys are at depth 1
  bool scalar = false;  // the value begins with neither '[' nor '{'
};

// Every occurrence of `key` used as an object key (a string followed by blanks and a colon), in
// text order, found by a scan that needs no well-formed document around it: brackets only count
// depth, and a string that never closes ends the scan. A null key throws std::logic_error.
std::vector<KeyHit> keyHits(const std::string& text, const char* key);

}  // namespace ka::json
