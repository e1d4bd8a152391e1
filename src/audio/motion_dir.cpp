#include "audio/motion_dir.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "base/regular_file.h"
#include "bundle/manifest.h"
#include "bundle/members.h"

namespace ka {
namespace {

constexpr uint64_t kMaxMetaBytes = 1 << 16;

[[noreturn]] void badKey(const char* key) { throw std::runtime_error(std::string("meta.json: bad ") + key); }

// The number at the value of `key`, or false when the key is absent. A key that is there with a
// value that is no number (an array, an object, a string) is bad, not absent.
bool metaNumber(const std::string& text, const char* key, double& out) {
  for (const manifest_key::KeyHit& h : manifest_key::keyHits(text, key))
    if (h.depth == 1 && !h.scalar) badKey(key);
  const uint64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos == manifest_key::kAbsent) return false;
  const char* begin = text.data() + pos;
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(begin, end, out);
  const bool ended = r.ptr == end || *r.ptr == ',' || *r.ptr == '}' || *r.ptr == ' ' || *r.ptr == '\n' ||
                     *r.ptr == '\r' || *r.ptr == '\t';
  if (r.ec != std::errc() || !ended || !std::isfinite(out)) badKey(key);
  return true;
}

int32_t metaCount(const std::string& text, const char* key) {
  double v = 0;
  if (!metaNumber(text, key, v)) throw std::runtime_error(std::string("meta.json: missing ") + key);
  if (v != std::floor(v) || v < 1 || v > kMaxMotionRows) badKey(key);
  return static_cast<int32_t>(v);
}

float metaOptional(const std::string& text, const char* key, double fallback, double limit) {
  double v = fallback;
  metaNumber(text, key, v);
  if (std::fabs(v) > limit) badKey(key);
  return static_cast<float>(v);
}

}  // namespace

MotionMeta parseMotionMeta(const std::string& text) {
  MotionMeta m;
  m.nt = metaCount(text, "nt");
  m.nSrc = metaCount(text, "n_src");
  m.nEmo = metaCount(text, "n_emo");
  m.sBridge = metaOptional(text, "s_bridge", 1.0, 1000.0);
  m.deltaPitch = metaOptional(text, "delta_pitch", 0.0, 180.0);
  return m;
}

std::vector<float> readFloatTable(const std::string& path, uint64_t count) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("cannot open " + path);
  // The size must be exactly the expected bytes: a few stray bytes past the last whole float are
  // as wrong as a missing float.
  if (f.size() != count * sizeof(float))
    throw std::runtime_error(path + ": " + std::to_string(f.size() / sizeof(float)) +
                             (f.size() % sizeof(float)
                                  ? " floats and " + std::to_string(f.size() % sizeof(float)) + " bytes"
                                  : std::string(" floats")) +
                             ", expected " + std::to_string(count));
  std::vector<float> v(static_cast<size_t>(count));
  if (!f.readExactly(v.data(), v.size() * sizeof(float))) throw std::runtime_error("short read");
  for (size_t i = 0; i < v.size(); ++i)
    if (!std::isfinite(v[i])) throw std::runtime_error(path + ": value " + std::to_string(i) + " is not finite");
  return v;
}

MotionTables loadMotionTables(const std::string& dir) {
  MotionTables t;
  const std::vector<char> meta = readRegularFile(dir + "/meta.json", kMaxMetaBytes);
  t.meta = parseMotionMeta(std::string(meta.begin(), meta.end()));
  if (t.meta.nSrc != t.meta.nt) throw std::runtime_error("ka_motion: n_src != nt unsupported");
  const uint64_t nt = static_cast<uint64_t>(t.meta.nt);
  auto table = [&dir](const char* name, uint64_t count) { return readFloatTable(dir + "/" + name, count); };
  t.window = table("hubert_stft_window.bin", 512);
  t.binmat = table("hubert_stft_binmat.bin", 257 * 80);
  t.fmean = table("hubert_fmean.bin", kAudioFeat);
  t.fstd = table("hubert_fstd.bin", kAudioFeat);
  t.emo = table("emo.bin", static_cast<uint64_t>(t.meta.nEmo) * kEmoDim);
  t.chXsInfo = table("ch_xs_info.bin", kKpInfo);
  t.chSc = table("ch_sc.bin", 63);
  t.eyeOpen = table("ch_eye_open.bin", 2);
  t.eyeBall = table("ch_eye_ball.bin", 6);
  t.vMinMax = table("v_min_max.bin", 2 * kMotionDim);
  t.srcXsInfo = table("src_xs_info.bin", nt * kKpInfo);
  t.xsTarget = readFloatTable(resolveMember(dir, "xs_target.bin"), nt * 63);
  return t;
}

}  // namespace ka
