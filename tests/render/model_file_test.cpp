// The bounded model reader: bytes come back whole, and a file no ONNX model can be is refused by
// name before anything is allocated for it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "runtime/model_file.h"

namespace {

using ka::test::errorOf;

TEST(ModelFile, ReadsWholeAndRefusesWhatCannotBeAModel) {
  ka::test::TempDir dir;
  const std::string small = dir / "small.onnx";
  std::vector<uint8_t> bytes(70001);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  ka::test::writeBytes(small, bytes.data(), bytes.size());
  EXPECT_EQ(ka::readModelBytes(small, "Renderer"), bytes);

  // One byte past 2 GiB, sparse: refused from its size alone (a read would take seconds and 2 GiB).
  const std::string big = dir / "big.onnx";
  ka::test::writeBytes(big, "x", 1);
  ASSERT_EQ(::truncate(big.c_str(), (off_t{1} << 31) + 1), 0);
  EXPECT_EQ(errorOf([&] { ka::readModelBytes(big, "Renderer"); }),
            "Renderer: " + big + " is 2147483649 bytes, more than the 2 GiB one ONNX model can hold");

  EXPECT_EQ(errorOf([&] { ka::readModelBytes(dir / "none.onnx", "Renderer"); }),
            "Renderer: cannot open " + dir / "none.onnx");
  const std::string fifo = dir / "fifo.onnx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(errorOf([&] { ka::readModelBytes(fifo, "Renderer"); }), fifo + ": not a regular file");
}

}  // namespace
