// The small JSON reader every tessera member goes through, and the file helpers around it.
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

namespace ka::tessera::json {

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
// with a "teeth: ..." text.
class JParser {
 public:
  explicit JParser(const std::string& text, size_t pos = 0) : s_(text), i_(pos) {}
  JVal val();
  JVal objv();
  JVal arrv();
  std::string strv();
  size_t pos() const { return i_; }

 private:
  void blanks();
  double number();
  const std::string& s_;
  size_t i_;
  int depth_ = 0;
};

// Skips leading blanks and reads one value; text after it is ignored.
JVal parseText(const std::string& text);

// The string value of the first member `key` when it is a string, else `def`.
std::string optStr(const JVal& object, const std::string& key, const std::string& def);
// The number of the first member `key`; "teeth: <context> lacks numeric '<key>'" otherwise.
double reqNum(const JVal& object, const std::string& key, const std::string& context);
// The number of a required member: "teeth: member JSON lacks key '<key>'" when it is absent,
// "teeth: member JSON key '<key>' is not a number" when it is something else.
double memberNum(const JVal& object, const std::string& key);
// A required member: "teeth: member JSON lacks key '<key>'" when absent.
const JVal& memberKey(const JVal& object, const std::string& key);

// A number truncated toward zero into an int, saturating at the int range (NaN gives 0), so that
// no value read from a file makes the conversion undefined.
int truncInt(double v);

}  // namespace ka::tessera::json

namespace ka::tessera {

// Largest file a tessera member may be for reading it whole. The real members are kilobytes; the
// bound keeps a hostile one from growing into gigabytes of parsed values.
constexpr uint64_t kMaxMemberBytes = 16ull << 20;

// The whole file, opened as a regular file without blocking: "teeth: cannot open <path>",
// "teeth: short read <path>", or a size refusal before any allocation.
std::string slurp(const std::string& path);
// Parses `text` read from `path`; a failure becomes "teeth: <path> is not readable JSON: <why>".
json::JVal parseFile(const std::string& text, const std::string& path);
// "<dir>/manifest.json", else "<dir>/meta.json", whichever opens for reading first; "" if none.
std::string manifestPath(const std::string& dir);

}  // namespace ka::tessera
