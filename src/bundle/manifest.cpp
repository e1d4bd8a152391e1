#include "bundle/manifest.h"
#include "base/env.h"
#include "base/log.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "base/regular_file.h"
#include "bundle/container.h"
#include "bundle/members.h"

namespace ka {
namespace {

// The lookup's own marker for "no such number".
constexpr double kAbsentNumber = -1e300;

// Numbers in the manifest always use a full stop, whatever locale the host has set.
double parseNumberC(const char* s) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(s, nullptr, cLocale);
}

std::string ambiguous(const char* key, const std::vector<uint64_t>& at) {
  std::string list;
  for (size_t i = 0; i < at.size(); ++i) {
    if (i) list += ", ";
    list += "byte " + std::to_string(at[i]);
  }
  return std::string("manifest: key \"") + key + "\" is AMBIGUOUS \xE2\x80\x94 " + std::to_string(at.size()) +
         " scalar occurrences (" + list +
         "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a "
         "nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, "
         "amount, sigma, ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce "
         "the bundle with the legacy manifest layout.";
}

// The number at a key's value, or kAbsentNumber when the key has no deciding scalar occurrence.
double numberOrAbsent(const std::string& text, const char* key) {
  uint64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) return kAbsentNumber;
  return parseNumberC(text.c_str() + pos);
}

// Integer fields take the value truncated toward zero. A value that no int32 can hold (or NaN)
// would make that conversion meaningless, so it is refused by name instead.
int32_t toInt(double v, const std::string& key) {
  if (!(v > -2147483649.0 && v < 2147483648.0))
    throw std::runtime_error("manifest: value of " + key + " is not a 32-bit integer");
  return static_cast<int32_t>(v);
}

}  // namespace

namespace manifest_key {

uint64_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<uint64_t> all, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    all.push_back(h.pos);
    if (h.depth == 1) top.push_back(h.pos);
  }
  if (top.size() == 1) return top[0];
  if (top.size() > 1) throw std::runtime_error(ambiguous(key, top));
  if (all.size() == 1) return all[0];
  if (all.size() > 1) throw std::runtime_error(ambiguous(key, all));
  return kAbsent;
}

}  // namespace manifest_key

uint64_t findKey(const std::string& text, const char* key) {
  uint64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return pos;
}

std::string strField(const std::string& text, const char* key) {
  size_t p = findKey(text, key);
  size_t open = text.find('"', p);
  if (open == std::string::npos) throw std::runtime_error(std::string("manifest: bad string ") + key);
  size_t close = text.find('"', open + 1);
  if (close == std::string::npos) throw std::runtime_error(std::string("manifest: bad string ") + key);
  return text.substr(open + 1, close - open - 1);
}

double numField(const std::string& text, const char* key) { return parseNumberC(text.c_str() + findKey(text, key)); }

double numFieldEither(const std::string& text, const char* key, const char* alias) {
  double v = numberOrAbsent(text, key);
  if (v != kAbsentNumber) return v;
  v = numberOrAbsent(text, alias);
  if (v != kAbsentNumber) return v;
  throw std::runtime_error(std::string("manifest: missing key ") + key + "/" + alias);
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  uint64_t p = manifest_key::scalarValuePos(text, key);
  if (p == manifest_key::kAbsent || p >= text.size() || text[p] != '"') return false;
  size_t close = text.find('"', p + 1);
  if (close == std::string::npos) return false;
  out = text.substr(p + 1, close - p - 1);
  return !out.empty();
}

namespace {

// A manifest or lip template is a few kilobytes; a text far beyond that is not one, and reading it
// whole would only exhaust memory.
constexpr uint64_t kMaxTextBytes = 64ull << 20;

}  // namespace

std::string readFile(const std::string& path) {
  const std::vector<char> bytes = readRegularFile(path, kMaxTextBytes);
  return std::string(bytes.begin(), bytes.end());
}

std::string readText(const std::string& path) { return readFile(path); }

std::string Manifest::modelPath(const std::string& name) const { return resolveMember(dir, "model_" + name + ".onnx"); }

Manifest loadManifest(const std::string& path) {
  const std::string dir = resolveBundlePath(path);
  const std::string text = readFile(dir + "/manifest.json");
  if (strField(text, "format") != "ka-bundle-v0") throw std::runtime_error("not an ka-bundle-v0: " + dir);

  Manifest m;
  m.dir = dir;
  m.agent = strField(text, "agent");
  m.NT = toInt(numFieldEither(text, "NT", "frame_count"), "NT");
  m.H = toInt(numField(text, "H"), "H");
  m.W = toInt(numField(text, "W"), "W");
  m.crop = toInt(numFieldEither(text, "crop", "crop_size"), "crop");
  m.amount = static_cast<float>(numField(text, "amount"));
  m.sigma = static_cast<float>(numField(text, "sigma"));
  m.ksize = toInt(numField(text, "ksize"), "ksize");
  m.frames = toInt(numField(text, "frames"), "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) throw std::runtime_error("manifest: bad dims");
  // A kernel wider than the face crop blurs nothing a crop-wide one does not, and its buffers grow
  // with its square.
  if (m.ksize > m.crop)
    throw std::runtime_error("manifest: ksize " + std::to_string(m.ksize) + " is wider than the face crop: at most " +
                             std::to_string(m.crop) + " (crop)");

  double sw = numberOrAbsent(text, "M_src_w");
  if (sw == kAbsentNumber) sw = numberOrAbsent(text, "paste_source_width");
  double sh = numberOrAbsent(text, "M_src_h");
  if (sh == kAbsentNumber) sh = numberOrAbsent(text, "paste_source_height");
  if (sw == kAbsentNumber || sh == kAbsentNumber) {
    if (!env::is("NIMBREL2_MSRC_MISSING_OK", "1")) {
      throw std::runtime_error(
          dir +
          "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka paste_source_width/height) "
          "\xE2\x80\x94 the canvas is " +
          std::to_string(m.W) + "x" + std::to_string(m.H) +
          ", so M cannot be placed: absence is not evidence that M was authored at that size. Re-stamp the "
          "bundle (models/nimbrel-2/inference/backfill_msrc), or set NIMBREL2_MSRC_MISSING_OK=1 to restore the "
          "legacy assumption.");
    }
    log::printf(log::Level::Warning,
                "[ka] WARNING NIMBREL2_MSRC_MISSING_OK=1: %s/manifest.json carries no paste-space stamp; "
                "ASSUMING M was authored on this %dx%d canvas. If it was not, the face pastes off-target "
                "(zp#144) and nothing will say so.\n",
                dir.c_str(), m.W, m.H);
    sw = m.W;
    sh = m.H;
  }
  const char* badStamp = "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)";
  if (!(sw >= 1.0 && sh >= 1.0)) throw std::runtime_error(badStamp);
  m.mSrcW = toInt(sw, "M_src_w");
  m.mSrcH = toInt(sh, "M_src_h");

  const std::string lip = resolveMember(dir, "lip_template.v1.json");
  if (canOpenForReading(lip)) m.lipTemplateJson = readFile(lip);
  return m;
}

}  // namespace ka
