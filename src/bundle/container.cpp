#include "bundle/container.h"
#include "base/env.h"
#include "base/log.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace ka {

namespace bundle_path {

std::string rstripSlash(const std::string& p) {
  size_t n = p.size();
  while (n > 1 && p[n - 1] == '/') --n;
  return p.substr(0, n);
}

std::string baseName(const std::string& p) {
  std::string s = rstripSlash(p);
  size_t k = s.rfind('/');
  return k == std::string::npos ? s : s.substr(k + 1);
}

std::string dirName(const std::string& p) {
  std::string s = rstripSlash(p);
  size_t k = s.rfind('/');
  if (k == std::string::npos) return ".";
  if (k == 0) return "/";
  return s.substr(0, k);
}

bool mkdirs(const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = dirName(dir);
  if (parent != dir && parent != "." && parent != "/") mkdirs(parent);
  ::mkdir(dir.c_str(), 0755);
  return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void rmTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {  // files and links alike: the link goes, its target stays
    ::unlink(path.c_str());
    return;
  }
  // The directory is closed even when building a child's path throws.
  if (std::unique_ptr<DIR, int (*)(DIR*)> d{::opendir(path.c_str()), &::closedir}) {
    while (dirent* e = ::readdir(d.get())) {
      if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
      rmTree(path + "/" + e->d_name);
    }
  }
  ::rmdir(path.c_str());
}

}  // namespace bundle_path

using namespace bundle_path;

namespace {

constexpr size_t kCopyPiece = 8u << 20;
constexpr uint64_t kSyntheticManifestMax = 4u << 20;

std::mutex& unpackLock() {
  static std::mutex m;
  return m;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint64_t le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }

 private:
  int fd_;
};

// Reads exactly n bytes at the current position unless the file ends first; returns bytes read.
size_t readFully(int fd, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::read(fd, static_cast<char*>(buf) + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

size_t preadFully(int fd, void* buf, size_t n, uint64_t off) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::pread(fd, static_cast<char*>(buf) + got, n - got, static_cast<off_t>(off + got));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

bool writeFully(int fd, const void* buf, size_t n) {
  size_t put = 0;
  while (put < n) {
    ssize_t w = ::write(fd, static_cast<const char*>(buf) + put, n - put);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    put += static_cast<size_t>(w);
  }
  return true;
}

std::string trimBlanks(const std::string& s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// The marker is a few dozen bytes; anything far larger cannot match and is not read whole.
bool markerMatches(const std::string& marker, const std::string& stamp) {
  Fd fd(::open(marker.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 65536) return false;
  std::string text(static_cast<size_t>(st.st_size), '\0');
  text.resize(readFully(fd.get(), text.data(), text.size()));
  return trimBlanks(text) == stamp;
}

struct TocEntry {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// A name as it can be shown in a message: control bytes (a NUL would cut the text short at the C
// boundary) are written as \xNN; everything else is left as it is.
std::string printable(const std::string& n) {
  std::string out;
  for (unsigned char ch : n) {
    if (ch < 0x20 || ch == 0x7f) {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

// Opens (creating as needed) the directory `rel` below the directory `rootFd`, one component at a
// time and never following a symbolic link, so that nothing planted inside the unwrap directory
// can redirect a member outside it. Returns -1 on failure.
int openSubdirNoFollow(int rootFd, const std::string& rel) {
  Fd cur(::dup(rootFd));
  if (cur.get() < 0) return -1;
  size_t b = 0;
  while (b < rel.size()) {
    size_t e = rel.find('/', b);
    if (e == std::string::npos) e = rel.size();
    std::string comp = rel.substr(b, e - b);
    b = e + 1;
    if (comp.empty() || comp == ".") continue;
    if (::mkdirat(cur.get(), comp.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    int next = ::openat(cur.get(), comp.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return -1;
    cur.reset(next);
  }
  return cur.release();
}

std::string statStamp(const std::string& c, const struct stat& st) {
  unsigned long long ns = static_cast<unsigned long long>(st.st_mtim.tv_sec) * 1000000000ull +
                          static_cast<unsigned long long>(st.st_mtim.tv_nsec);
  return "imx-unwrapped.v2 " + baseName(c) + " " + std::to_string(static_cast<unsigned long long>(st.st_size)) + " " +
         std::to_string(ns) + " " + std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::string unwrapDir(const std::string& c) {
  std::string name = baseName(c);
  if (endsWith(name, ".imx")) name.resize(name.size() - 4);
  if (!endsWith(name, ".kabundle")) name += ".kabundle";
  std::string r = env::text("KA_IMX_UNWRAP_ROOT");
  if (r.empty()) r = dirName(c);
  r = rstripSlash(r);
  if (r == "/") return "/" + name;
  return r + "/" + name;
}

std::vector<TocEntry> readToc(int fd, const std::string& c, uint16_t count) {
  std::vector<TocEntry> toc;
  toc.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t len[2];
    if (readFully(fd, len, 2) != 2) throw std::runtime_error(c + ": truncated TOC at member " + std::to_string(i));
    TocEntry e;
    e.name.resize(le16(len));
    if (readFully(fd, e.name.data(), e.name.size()) != e.name.size())
      throw std::runtime_error(c + ": truncated member name at " + std::to_string(i));
    uint8_t fields[16];
    if (readFully(fd, fields, 16) != 16) throw std::runtime_error(c + ": truncated TOC offsets at member " + e.name);
    e.offset = le64(fields);
    e.size = le64(fields + 8);
    toc.push_back(std::move(e));
  }
  return toc;
}

bool isSyntheticManifest(int fd, const TocEntry& e) {
  if (e.name != "manifest.json" || e.size < 1 || e.size > kSyntheticManifestMax) return false;
  std::string payload(e.size, '\0');
  if (preadFully(fd, payload.data(), payload.size(), e.offset) != payload.size()) return false;
  return payload.find("_imx_synthetic_manifest") != std::string::npos;
}

void writeMember(int cfd, int rootFd, const std::string& c, const std::string& d, const TocEntry& e,
                 std::vector<char>& buf) {
  const std::string target = d + "/" + e.name;
  size_t slash = e.name.rfind('/');
  std::string sub = slash == std::string::npos ? std::string() : e.name.substr(0, slash);
  std::string leaf = slash == std::string::npos ? e.name : e.name.substr(slash + 1);

  Fd dirFd(openSubdirNoFollow(rootFd, sub));
  if (dirFd.get() < 0) throw std::runtime_error("cannot create " + (sub.empty() ? d : d + "/" + sub));
  if (::lseek(cfd, static_cast<off_t>(e.offset), SEEK_SET) < 0 || e.offset > static_cast<uint64_t>(INT64_MAX))
    throw std::runtime_error(c + ": cannot seek to member " + e.name);

  const std::string part = leaf + ".part";
  Fd out(::openat(dirFd.get(), part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (out.get() < 0) throw std::runtime_error("cannot write " + target + ".part");
  auto fail = [&](const std::string& msg) {
    out.reset();
    ::unlinkat(dirFd.get(), part.c_str(), 0);
    throw std::runtime_error(msg);
  };
  uint64_t left = e.size;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, buf.size()));
    size_t got = readFully(cfd, buf.data(), want);
    if (got == 0) fail(c + ": truncated payload for member " + e.name);
    if (!writeFully(out.get(), buf.data(), got)) fail("short write materialising " + target);
    left -= got;
  }
  if (::close(out.release()) != 0) fail("flush failed materialising " + target);
  if (::renameat(dirFd.get(), part.c_str(), dirFd.get(), leaf.c_str()) != 0) {
    ::unlinkat(dirFd.get(), part.c_str(), 0);
    throw std::runtime_error("cannot place member " + target);
  }
}

void writeMarker(const std::string& marker, const std::string& stamp) {
  ::unlink(marker.c_str());  // never write through a link planted at the marker's name
  Fd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (fd.get() < 0) throw std::runtime_error("cannot write unwrap marker " + marker);
  if (!writeFully(fd.get(), stamp.data(), stamp.size()) || ::close(fd.release()) != 0)
    throw std::runtime_error("short write on unwrap marker " + marker);
}

std::string realPath(const std::string& p) {
  const std::unique_ptr<char, void (*)(void*)> r{::realpath(p.c_str(), nullptr), &std::free};
  return r ? std::string(r.get()) : std::string();
}

// Unpacking starts by removing the unwrap directory. A container that *is* that path (a file
// named x.kabundle) or lives inside it would be deleted by its own unpacking, so that layout is
// refused before anything is touched.
void refuseSelfOverlap(const std::string& c, const std::string& d) {
  const std::string rd = realPath(d);
  const std::string rc = realPath(dirName(c)) + "/" + baseName(c);
  if (rd.empty()) return;
  if (rc == rd || rc.compare(0, rd.size() + 1, rd + "/") == 0)
    throw std::runtime_error(c + ": refusing to unpack into " + d + ", which holds the container itself");
}

// Creates the unwrap directory `d` and writes every member of container `c` into it.
void materialise(const std::string& c, const std::string& d) {
  if (!mkdirs(d)) throw std::runtime_error("cannot create unwrap dir " + d);
  Fd rootFd(::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (rootFd.get() < 0) throw std::runtime_error("cannot create unwrap dir " + d);

  // Non-blocking: the container was seen as a regular file, but it may have been swapped since.
  Fd cfd(::open(c.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat ost;
  if (cfd.get() < 0 || ::fstat(cfd.get(), &ost) != 0 || !S_ISREG(ost.st_mode))
    throw std::runtime_error("cannot open container " + c);
  uint8_t head[8];
  if (readFully(cfd.get(), head, 8) != 8 || std::memcmp(head, "IMX\0", 4) != 0)
    throw std::runtime_error(c + ": not an IMX\\0 container");
  if (le16(head + 4) != 2)
    throw std::runtime_error(c + ": unsupported IMX container version " + std::to_string(le16(head + 4)));

  const std::vector<TocEntry> toc = readToc(cfd.get(), c, le16(head + 6));

  // Every name and every payload's extent is checked before the first byte is written, so a
  // refused container leaves no members behind, and a size far beyond the file is refused at once
  // instead of after a long copy.
  const uint64_t csize = static_cast<uint64_t>(ost.st_size);
  uint64_t largest = 0;
  for (const TocEntry& e : toc) {
    if (unsafeMemberName(e.name))
      throw std::runtime_error(c + ": refusing unsafe member name '" + printable(e.name) + "'");
    if (e.offset > csize || e.size > csize - e.offset)
      throw std::runtime_error(c + ": truncated payload for member " + e.name);
    largest = std::max(largest, e.size);
  }

  std::vector<char> buf(static_cast<size_t>(std::min<uint64_t>(kCopyPiece, std::max<uint64_t>(largest, 1))));
  for (const TocEntry& e : toc) {
    if (isSyntheticManifest(cfd.get(), e)) continue;
    writeMember(cfd.get(), rootFd.get(), c, d, e, buf);
  }
}

std::string unpack(const std::string& c) {
  const std::string d = unwrapDir(c);
  const std::string marker = d + ".imx_unwrapped";
  std::lock_guard<std::mutex> lock(unpackLock());

  struct stat cst;
  if (::lstat(c.c_str(), &cst) != 0) throw std::runtime_error("cannot stat container " + c);
  const std::string stamp = statStamp(c, cst);

  struct stat dst;
  if (::lstat(d.c_str(), &dst) == 0 && S_ISDIR(dst.st_mode) && markerMatches(marker, stamp)) return d;
  refuseSelfOverlap(c, d);

  try {
    ::unlink(marker.c_str());
    rmTree(d);
    materialise(c, d);
    writeMarker(marker, stamp);
  } catch (...) {  // a failed unpack leaves nothing half-written behind
    ::unlink(marker.c_str());
    rmTree(d);
    throw;
  }
  log::printf(log::Level::Info, "[ka] unwrapped %s -> %s\n", c.c_str(), d.c_str());
  return d;
}

bool isDirectory(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

bool isImxV2File(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  uint8_t head[8];
  return readFully(fd.get(), head, 8) == 8 && std::memcmp(head, "IMX\0", 4) == 0 && le16(head + 4) == 2;
}

std::string resolveBundlePath(const std::string& p) {
  if (p.empty()) return p;
  const std::string stripped = rstripSlash(p);
  if (isDirectory(p)) {
    struct stat st;
    if (::stat((stripped + ".imx_unwrapped").c_str(), &st) != 0) return p;
  }
  if (endsWith(p, ".imx") && isImxV2File(p)) return unpack(p);
  if (isImxV2File(stripped + ".imx")) return unpack(stripped + ".imx");
  if (isImxV2File(p)) return unpack(p);
  return p;
}

// Beyond the absolute, "..", backslash-led and NUL cases, a name whose last component is empty or
// "." names a directory, not a member file, and is refused the same way.
bool unsafeMemberName(const std::string& n) {
  if (n.empty() || n[0] == '/' || n[0] == '\\') return true;
  if (n.find("..") != std::string::npos || n.find('\0') != std::string::npos) return true;
  size_t k = n.rfind('/');
  std::string leaf = k == std::string::npos ? n : n.substr(k + 1);
  return leaf.empty() || leaf == ".";
}

}  // namespace ka
