#include "face/json.h"

#include <stdexcept>

#include "base/regular_file.h"

namespace ka::tessera::json {

JVal parseText(const std::string& text) { return ka::json::parseText(text, "teeth: "); }

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
