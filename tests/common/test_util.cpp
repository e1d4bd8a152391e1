#include "common/test_util.h"

#include "bundle/container.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

namespace ka::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/ka_test_XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed for " + tmpl);
  path_ = buf.data();
}

TempDir::~TempDir() { removeTree(path_); }

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

int runCommand(const std::string& cmd) {
  int rc = std::system(cmd.c_str());
  if (rc == -1) return -1;
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
}

bool forge(const std::vector<std::string>& args) {
  std::string cmd = shellQuote(KA_PYTHON) + " " + shellQuote(std::string(KA_SOURCE_DIR) + "/tools/forge/forge.py");
  for (const auto& a : args) cmd += " " + shellQuote(a);
  int rc = runCommand(cmd);
  if (rc != 0) {
    ADD_FAILURE() << "forge failed (exit " << rc << "): " << cmd;
    return false;
  }
  return true;
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("test: cannot read " + path);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::string readString(const std::string& path) {
  auto b = readBytes(path);
  return std::string(b.begin(), b.end());
}

void writeBytes(const std::string& path, const void* data, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("test: cannot write " + path);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
  if (!f) throw std::runtime_error("test: short write " + path);
}

void writeString(const std::string& path, const std::string& s) { writeBytes(path, s.data(), s.size()); }

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void removeTree(const std::string& path) { bundle_path::rmTree(path); }

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* v = std::getenv(name)) old_ = v;
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::vector<int16_t> speechPcm16(double seconds) {
  std::vector<int16_t> a(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < a.size(); ++i)
    a[i] = static_cast<int16_t>(6000.0 * std::sin(i * 0.05) * (0.6 + 0.4 * std::sin(i * 0.0007)));
  return a;
}

}  // namespace ka::test
