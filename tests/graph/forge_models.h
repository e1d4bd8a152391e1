// Model helpers for the graph and operator tests: forged models as bytes, and the onnx package's
// own reading of model bytes as one line per entry (tools/forge graphs.py "onnx-summary").
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace ka::test {

// Runs forge command `cmd` writing `dir/name` with extra `args`, and returns the file's bytes.
inline std::vector<uint8_t> forgeModel(const TempDir& dir, const std::string& cmd, const std::string& name,
                                       std::vector<std::string> args = {}) {
  std::string path = dir / name;
  args.insert(args.begin(), {cmd, path});
  if (!forge(args)) return {};
  return readBytes(path);
}

// The onnx package's view of `model`: opset, input, output, value_info, init and node lines.
inline std::vector<std::string> onnxSummary(const TempDir& dir, const std::vector<uint8_t>& model) {
  static int serial = 0;
  std::string base = dir / ("summary" + std::to_string(serial++));
  writeBytes(base + ".onnx", model.data(), model.size());
  if (!forge({"onnx-summary", base + ".onnx", base + ".txt"})) return {};
  std::vector<std::string> lines;
  std::istringstream in(readString(base + ".txt"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A fixture with a scratch directory for forged models and their summaries.
class ForgeFixture : public ::testing::Test {
 protected:
  std::vector<uint8_t> forged(const std::string& cmd, std::vector<std::string> args = {}) {
    return forgeModel(dir_, cmd, "model" + std::to_string(serial_++) + ".onnx", std::move(args));
  }
  std::vector<std::string> summary(const std::vector<uint8_t>& model) { return onnxSummary(dir_, model); }
  TempDir dir_;
  int serial_ = 0;
};

// The lines of `lines` that start with `prefix`.
inline std::vector<std::string> linesStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  std::vector<std::string> out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  return out;
}

}  // namespace ka::test
