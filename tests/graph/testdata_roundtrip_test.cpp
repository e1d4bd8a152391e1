// The wire toolkit over Debian's libonnx-testdata: over a thousand real models written by others.
// Rebuilding with an empty edit must reproduce each byte for byte; edits must equal the onnx
// package's own edits; the rewrites and the probe must read each without error.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "graph/gridsample_rewrite.h"
#include "graph/onnx_wire.h"

namespace {

namespace fs = std::filesystem;

const char* kTestdataRoot = "/usr/share/libonnx-testdata/data";

std::vector<std::string> testdataModels() {
  std::vector<std::string> out;
  std::error_code ec;
  if (!fs::is_directory(kTestdataRoot, ec)) return out;
  for (const auto& e : fs::recursive_directory_iterator(kTestdataRoot, ec))
    if (e.is_regular_file() && e.path().extension() == ".onnx") out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

class OnnxTestdata : public ::testing::Test {
 protected:
  void SetUp() override {
    models_ = testdataModels();
    if (models_.empty()) GTEST_SKIP() << "libonnx-testdata is not installed (" << kTestdataRoot << ")";
    // The package ships 1072 models; a short list means the walk went wrong.
    ASSERT_GE(models_.size(), 1000u);
  }
  std::vector<std::string> models_;
};

TEST_F(OnnxTestdata, EmptyEditReproducesEveryModel) {
  size_t same = 0;
  std::vector<uint8_t> out;
  for (const auto& path : models_) {
    std::vector<uint8_t> model = ka::test::readBytes(path);
    ASSERT_NO_THROW(ka::gsRebuild(ka::GsSlice(model), ka::GsGraphEdit{}, out)) << path;
    if (out == model)
      ++same;
    else
      ADD_FAILURE() << "rebuild differs: " << path;
    ASSERT_FALSE(ka::gsGraphOf(ka::GsSlice(model)).empty()) << path;
  }
  EXPECT_EQ(same, models_.size());
}

TEST_F(OnnxTestdata, EditsMatchTheOnnxPackage) {
  ka::test::TempDir dir;
  std::ofstream list(dir / "edits.txt");
  std::vector<uint8_t> out;
  size_t serial = 0;
  for (const auto& path : models_) {
    std::vector<uint8_t> model = ka::test::readBytes(path);
    ka::GsGraphEdit dropOutputs;
    dropOutputs.dropOutputs = true;
    ka::GsGraphEdit dropNode0;
    dropNode0.dropNodes = {1};
    ka::GsGraphEdit addVi;
    addVi.addName = "ka_extra";
    addVi.addDims = {2, -1};
    addVi.addFieldNo = 13;
    const std::pair<const char*, const ka::GsGraphEdit*> edits[] = {
        {"drop-outputs", &dropOutputs}, {"drop-node0", &dropNode0}, {"add-vi", &addVi}};
    for (const auto& [kind, edit] : edits) {
      ka::gsRebuild(ka::GsSlice(model), *edit, out);
      std::string dst = dir / (std::to_string(serial++) + ".onnx");
      ka::test::writeBytes(dst, out.data(), out.size());
      list << path << ' ' << dst << ' ' << kind << '\n';
    }
  }
  list.close();
  EXPECT_TRUE(ka::test::forge({"verify-edits", dir / "edits.txt"}));
}

TEST_F(OnnxTestdata, RewritesReadEveryModel) {
  // The package's GridSample models all rely on a default mode or padding, or use another one, so
  // none qualifies; no MatMul is named /s2/blend; nothing carries GridSampleFast.
  size_t gridSampleModels = 0;
  for (const auto& path : models_) {
    std::vector<uint8_t> model = ka::test::readBytes(path);
    const std::vector<uint8_t> before = model;
    std::string reason;
    EXPECT_EQ(ka::rewriteGridSampleToFast(model, &reason), 0u) << path;
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(ka::normaliseStudentBlend(model), 0u) << path;
    EXPECT_FALSE(ka::graphHasBakedGridSampleFast(ka::GsSlice(model))) << path;
    EXPECT_EQ(model, before) << path;
    if (path.find("gridsample") != std::string::npos) ++gridSampleModels;
  }
  EXPECT_GE(gridSampleModels, 5u);
}

}  // namespace
