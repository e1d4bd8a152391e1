// The JSON every tessera member and face geometry file goes through (the library's reader, base/json.h, with the teeth
// borrow's failure texts), and the file helpers around it.
#pragma once

#include <cstdint>
#include <string>

#include "base/json.h"

namespace ka::tessera::json {

using ka::json::JVal;
using ka::json::kMaxDepth;
using ka::json::truncInt;

// The library's JSON reader with "teeth: " before every failure text: skips leading blanks and
// reads one value; text after it is ignored.
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
