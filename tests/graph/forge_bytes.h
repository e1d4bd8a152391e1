// Forges one model into a scratch directory and returns its bytes, without the test framework:
// for benchmarks, which make their inputs when they start and keep no files.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace ka::test {

// Runs `forge.py <command> <scratch file> <args>` (args already shell-safe) and reads the file.
inline std::vector<uint8_t> forgeBytes(const std::string& command, const std::string& args) {
  char tmpl[] = "/tmp/ka_forge_XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  const std::string dir = tmpl, path = dir + "/model.onnx";
  const std::string cmd =
      std::string(KA_PYTHON) + " " + KA_SOURCE_DIR + "/tools/forge/forge.py " + command + " " + path + " " + args;
  const int rc = std::system(cmd.c_str());
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  rmdir(dir.c_str());
  if (rc != 0 || bytes.empty()) throw std::runtime_error("forge failed: " + cmd);
  return bytes;
}

}  // namespace ka::test
