#include "bundle/identity.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "base/regular_file.h"
#include "bundle/identity_impl.h"
#include "bundle/members.h"
#include "ops/simd.h"

namespace ka {

// ---- mapping ---------------------------------------------------------------------------------

Mapping::~Mapping() {
  if (base) ::munmap(base, length);
}

void Mapping::map(const std::string& path, uint64_t expected) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("cannot open " + path);
  if (f.size() != expected || expected == 0) throw std::runtime_error("size mismatch " + path);
  void* p = ::mmap(nullptr, static_cast<size_t>(expected), PROT_READ, MAP_PRIVATE, f.fd(), 0);
  if (p == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  base = p;
  length = static_cast<size_t>(expected);
}

namespace {

// a * b * ..., or ~0 when the product does not fit: such a size can never match a real file.
uint64_t bytesOf(std::initializer_list<uint64_t> factors) {
  uint64_t v = 1;
  for (uint64_t f : factors)
    if (__builtin_mul_overflow(v, f, &v)) return ~uint64_t{0};
  return v;
}

template <class T>
std::vector<T> readRaw(const std::string& path, size_t count) {
  RegularFile f(path);
  if (!f.ok()) throw std::runtime_error("cannot open " + path);
  // Sizes are compared before allocating, so a count far beyond the file never becomes one.
  if (bytesOf({count, sizeof(T)}) != f.size()) throw std::runtime_error("size mismatch " + path);
  std::vector<T> out(count);
  if (!f.readExactly(out.data(), count * sizeof(T))) throw std::runtime_error("size mismatch " + path);
  return out;
}

bool memberExists(const std::string& dir, const char* legacy) { return pathExists(resolveMember(dir, legacy)); }

}  // namespace

void halfToFloat(const uint16_t* src, float* dst, size_t count) { simd::f16ToF32(src, dst, count); }

std::vector<float> readRawF32(const std::string& path, size_t count) { return readRaw<float>(path, count); }
std::vector<int32_t> readRawI32(const std::string& path, size_t count) { return readRaw<int32_t>(path, count); }

// ---- refusals --------------------------------------------------------------------------------

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = readText(m.dir + "/manifest.json");
  std::string rawName = "P.f16";
  std::string named;
  if (optStr(text, "P_rgb", named)) rawName = named;

  const bool haveP = memberExists(m.dir, "P.f16");
  const bool haveFs = memberExists(m.dir, "fs_red.f16");
  if (rawName != "P.f16" && memberExists(m.dir, rawName.c_str()) && !haveP && !haveFs) {
    throw std::runtime_error(
        "this bundle's manifest names its raw warp prior '" + rawName +
        "' (P_rgb) but ka::Identity maps the welded name P.f16 and would find nothing \xE2\x80\x94 it maps "
        "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING rather than "
        "rendering off a prior nothing will read.");
  }
  if (!haveP && !haveFs) {
    std::string hevc;
    if (!optStr(text, "P_hevc", hevc)) {
      throw std::runtime_error("this bundle carries neither " + rawName +
                               " nor fs_red.f16, and its manifest names no P_hevc member to play one from "
                               "\xE2\x80\x94 the renderer has no warp prior and ka::Identity would hand it a null "
                               "pointer. REFUSING to create a session.");
    }
    const std::string path = resolveMember(m.dir, hevc);
    if (!pathExists(path)) {
      throw std::runtime_error("this bundle's manifest names P_hevc '" + hevc + "' and the file is not there (" + path +
                               ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");
    }
  }
}

// ---- identity --------------------------------------------------------------------------------

Identity::Identity(const Manifest& m) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  s.NT = m.NT;
  s.crop = m.crop;
  s.manifest = m;
  ensureIdentityMembers(m);

  const uint64_t nt = static_cast<uint64_t>(m.NT), c = static_cast<uint64_t>(m.crop);
  s.pooled.map(resolveMember(m.dir, "pooled64.f16"), bytesOf({nt, 131072}));
  if (memberExists(m.dir, "P.f16")) {
    s.P.map(resolveMember(m.dir, "P.f16"), bytesOf({nt, c, c, 6}));
  } else if (!memberExists(m.dir, "fs_red.f16")) {
    std::string hevc;
    if (optStr(readText(m.dir + "/manifest.json"), "P_hevc", hevc)) {
      const std::string path = resolveMember(m.dir, hevc);
      if (pathExists(path)) s.priorPath = path;
    }
  }
  if (memberExists(m.dir, "fs_red.f16")) s.fsRed.map(resolveMember(m.dir, "fs_red.f16"), bytesOf({nt, 524288}));

  s.M = readRawF32(resolveMember(m.dir, "M.f32"), static_cast<size_t>(nt) * 6);
  if (m.mSrcW < 1 || m.mSrcH < 1) {
    throw std::runtime_error(
        "ka::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 refusing to paste M "
        "without knowing the space it was authored in");
  }
  if (m.mSrcW != m.W || m.mSrcH != m.H) {
    const double rx = static_cast<double>(m.W) / static_cast<double>(m.mSrcW);
    const double ry = static_cast<double>(m.H) / static_cast<double>(m.mSrcH);
    for (size_t f = 0; f < static_cast<size_t>(nt); ++f) {
      float* r = s.M.data() + f * 6;
      for (int k = 0; k < 3; ++k) r[k] = static_cast<float>(static_cast<double>(r[k]) * rx);
      for (int k = 3; k < 6; ++k) r[k] = static_cast<float>(static_cast<double>(r[k]) * ry);
    }
  }
}

Identity::~Identity() = default;

int32_t Identity::NT() const { return impl_->NT; }
int32_t Identity::crop() const { return impl_->crop; }
const Manifest& Identity::manifest() const { return impl_->manifest; }
bool Identity::hasP() const { return impl_->P.base != nullptr; }
bool Identity::hasFsRed() const { return impl_->fsRed.base != nullptr; }
const std::string& Identity::priorPath() const { return impl_->priorPath; }

const uint16_t* Identity::pooled64(int si) const {
  return static_cast<const uint16_t*>(impl_->pooled.base) + static_cast<size_t>(si) * 65536;
}

const uint16_t* Identity::fsRed(int si) const {
  if (!impl_->fsRed.base) return nullptr;
  return static_cast<const uint16_t*>(impl_->fsRed.base) + static_cast<size_t>(si) * 262144;
}

const float* Identity::M(int si) const { return impl_->M.data() + static_cast<size_t>(si) * 6; }

// ---- driving table ---------------------------------------------------------------------------

Drive loadDrive(const Manifest& m) {
  Drive d;
  d.frames = m.frames;
  const std::string xs = resolveMember(m.dir, "drive/xs.f32");
  if (m.frames < 0) {
    // A missing table is reported as such first; then the count itself is refused.
    if (!canOpenForReading(xs)) throw std::runtime_error("cannot open " + xs);
    throw std::runtime_error("drive: frames " + std::to_string(m.frames) + " is negative");
  }
  const size_t n = static_cast<size_t>(m.frames);
  d.xs = readRawF32(xs, n * 63);
  d.xd = readRawF32(resolveMember(m.dir, "drive/xd.f32"), n * 63);
  d.si = readRawI32(resolveMember(m.dir, "drive/si.i32"), n);
  for (int32_t v : d.si)
    if (v < 0 || v >= m.NT) throw std::runtime_error("drive: si out of range");
  return d;
}

}  // namespace ka
