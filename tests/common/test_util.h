// Helpers shared by every test binary: scratch directories, the fixture forge, small file and
// environment utilities.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ka::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Runs the fixture forge (tools/forge/forge.py) with `args` under the project's Python; fails the
// calling test (ADD_FAILURE) and returns false when it exits non-zero. Its output goes to the
// test's log.
bool forge(const std::vector<std::string>& args);

// The text of the exception `f` throws, or "(no error)".
std::string errorOf(const std::function<void()>& f);

// Runs a shell command line; returns its exit status (or -1 when it could not run).
int runCommand(const std::string& cmd);

std::string shellQuote(const std::string& s);

std::vector<uint8_t> readBytes(const std::string& path);
std::string readString(const std::string& path);
void writeBytes(const std::string& path, const void* data, size_t n);
void writeString(const std::string& path, const std::string& s);
bool exists(const std::string& path);

// A raw little-endian member as elements of T, and back.
template <class T>
std::vector<T> readAs(const std::string& path) {
  const std::vector<uint8_t> b = readBytes(path);
  std::vector<T> v(b.size() / sizeof(T));
  std::memcpy(v.data(), b.data(), v.size() * sizeof(T));
  return v;
}
template <class T>
void writeAs(const std::string& path, const std::vector<T>& v) {
  writeBytes(path, v.data(), v.size() * sizeof(T));
}
void removeTree(const std::string& path);

// `seconds` of 16 kHz speech-like 16-bit audio: a voiced tone under a slow swell, deterministic.
std::vector<int16_t> speechPcm16(double seconds);

// Sets (or with nullopt unsets) an environment variable for the scope, restoring it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace ka::test
