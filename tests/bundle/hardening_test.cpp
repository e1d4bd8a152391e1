// Hostile bundles and arguments: a FIFO under any member's name, ring, thread and kernel sizes far
// beyond what the bundle or the machine has. Each must be refused or bounded promptly, with a
// message, and without sizing memory or threads from the number first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "bundle/driving.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "driver/cursor.h"
#include "ka/ka.h"
#include "ka/ka_prior.h"
#include "ops/pool.h"
#include "paste/paste.h"

namespace {

using ka::test::errorOf;
using ka::test::TempDir;

// Runs f while a watchdog waits: if f has not returned after a few seconds it is taken to be stuck
// on the FIFO, and the watchdog opens the FIFO's writing end (and closes it) until f returns, so a
// failing test ends instead of hanging. Returns false when f had to be released.
template <class F>
bool returnsPromptly(const std::string& fifo, F&& f) {
  std::atomic<bool> done{false};
  std::atomic<bool> released{false};
  std::thread dog([&] {
    const auto t0 = std::chrono::steady_clock::now();
    while (!done.load()) {
      if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(5)) {
        released = true;
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  f();
  done = true;
  dog.join();
  return !released.load();
}

// The process's resident memory in bytes.
uint64_t residentBytes() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

std::string quietly(const std::function<void()>& f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

class HardeningConcurrent : public ::testing::Test {
 protected:
  static std::unique_ptr<TempDir> tmp_;
  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    for (const char* names : {"legacy", "canonical"}) {
      const std::string b = *tmp_ / names;
      ASSERT_TRUE(ka::test::forge({"bundle", b, "--names", names, "--background", "jpeg"}));
      ASSERT_TRUE(ka::test::forge({"director-into", b, "--batch", "1", "--names", names}));
    }
    ASSERT_TRUE(ka::test::forge({"bundle", *tmp_ / "hevc", "--prior", "hevc", "--background", "none"}));
  }
  static void TearDownTestSuite() { tmp_.reset(); }

  // Puts a FIFO in the place of `member` (moving a real file aside), runs f, and puts things back.
  template <class F>
  void withFifo(const std::string& bundle, const std::string& member, F&& f) {
    const std::string path = bundle + "/" + member;
    const bool had = ka::test::exists(path);
    if (had) {
      ASSERT_EQ(std::rename(path.c_str(), (path + ".aside").c_str()), 0) << path;
    }
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0) << path;
    EXPECT_TRUE(returnsPromptly(path, [&] { f(path); })) << member << ": blocked on the FIFO";
    ::unlink(path.c_str());
    if (had) {
      ASSERT_EQ(std::rename((path + ".aside").c_str(), path.c_str()), 0) << path;
    }
  }
};

std::unique_ptr<TempDir> HardeningConcurrent::tmp_;

TEST_F(HardeningConcurrent, FifoUnderAnyMemberNameIsRefusedAtCreate) {
  const std::vector<std::pair<const char*, std::vector<const char*>>> bundles = {
      {"legacy",
       {"manifest.json", "M.f32", "mask_512.u8", "pooled64.f16", "P.f16", "drive/si.i32", "drive/xs.f32",
        "drive/xd.f32", "lip_template.v1.json"}},
      {"canonical",
       {"paste_transform.f32", "paste_mask.u8", "pooled_features.f16", "source_frames.f16",
        "idle_loop/source_index.i32", "idle_loop/source_keypoints.f32", "idle_loop/driven_keypoints.f32"}},
  };
  for (const auto& [names, members] : bundles) {
    const std::string b = *tmp_ / names;
    for (const char* member : members) {
      withFifo(b, member, [&](const std::string& path) {
        ka_ctx* ctx = nullptr;
        quietly([&] { ctx = ka_create(b.c_str(), "b1", 1, nullptr); });
        EXPECT_EQ(ctx, nullptr) << member;
        EXPECT_EQ(std::string(ka_last_error()), "ka_create: " + path + ": not a regular file") << member;
        ka_destroy(ctx);
      });
    }
  }
}

TEST_F(HardeningConcurrent, FifoInPlaceOfTheDirectorIsRefusedAtFirstRender) {
  for (const char* names : {"legacy", "canonical"}) {
    const std::string b = *tmp_ / names;
    const std::string model = std::string(names) == "legacy" ? "model_b1.onnx" : "render_model.batch1.onnx";
    withFifo(b, model, [&](const std::string& path) {
      ka_ctx* ctx = nullptr;
      quietly([&] { ctx = ka_create(b.c_str(), "b1", 1, nullptr); });
      ASSERT_NE(ctx, nullptr) << ka_last_error();
      quietly([&] { EXPECT_EQ(ka_render_drive_crop(ctx, 0), nullptr); });
      EXPECT_EQ(std::string(ka_last_error()), "ka_render_kp_crop: " + path + ": not a regular file");
      ka_destroy(ctx);
    });
  }
}

TEST_F(HardeningConcurrent, PriorRingsAreBoundedByTheFrameCount) {
  const std::string b = *tmp_ / "hevc";
  // Rows of the forged prior are 64 x 64 x 3 halves (24 KiB): a ring of 6001 of them would be
  // 141 MiB; bounded by the 6 frames it is a few hundred KiB.
  const uint64_t before = residentBytes();
  ka_prior* p = nullptr;
  quietly([&] { p = ka_prior_open(b.c_str(), 3000, 3000); });
  ASSERT_NE(p, nullptr) << ka_last_error();
  const uint64_t grown = residentBytes() - before;
  ka_prior_close(p);
  ASSERT_LT(grown, 48ull << 20) << "the ring was sized from the arguments";

  // Any size a host may pass opens, serves every row and wraps.
  quietly([&] { p = ka_prior_open(b.c_str(), 1048576, 1048576); });
  ASSERT_NE(p, nullptr) << ka_last_error();
  std::vector<uint8_t> row(ka_prior_row_bytes(p));
  for (int si : {0, 1, 2, 3, 4, 5, 0, 5, 2}) EXPECT_EQ(ka_prior_row(p, si, row.data(), row.size()), 1) << si;
  ka_prior_close(p);
}

TEST_F(HardeningConcurrent, WorkerCountIsBoundedByTheMachine) {
  const int ceiling = ka::pool::threadCeiling();
  EXPECT_GE(ceiling, 1);
  EXPECT_LE(ceiling, 4 * int(std::max(1u, std::thread::hardware_concurrency())));

  const std::string b = *tmp_ / "legacy";
  ka_ctx* ctx = nullptr;
  const std::string log = quietly([&] { ctx = ka_create(b.c_str(), "b1", 100000, nullptr); });
  ASSERT_NE(ctx, nullptr) << ka_last_error();
  ASSERT_EQ(ctx->context->threads(), ceiling) << "the first render would start this many intra-op threads";
  EXPECT_NE(log.find("[ka] ka_create: 100000 threads requested, lowered to " + std::to_string(ceiling)),
            std::string::npos)
      << log;
  EXPECT_TRUE(ctx->context->threadsExplicit());
  ka_destroy(ctx);

  // Below the ceiling nothing changes and nothing is said; counts below 1 keep their own rules.
  std::string said = quietly([&] { EXPECT_EQ(ka::pool::boundThreads(ceiling, "t"), ceiling); });
  said += quietly([&] { EXPECT_EQ(ka::pool::boundThreads(0, "t"), 0); });
  said += quietly([&] { EXPECT_EQ(ka::pool::boundThreads(-7, "t"), -7); });
  EXPECT_EQ(said, "");
  said = quietly([&] { EXPECT_EQ(ka::pool::boundThreads(1LL << 40, "t"), ceiling); });
  EXPECT_EQ(said, "[ka] t: 1099511627776 threads requested, lowered to " + std::to_string(ceiling) + " (4 x " +
                      std::to_string(std::thread::hardware_concurrency()) + " hardware threads)\n");
}

TEST(Hardening, UnsharpKernelWiderThanTheCropIsRefused) {
  TempDir d;
  auto manifest = [&](int crop, long long ksize) {
    ka::test::writeString(d / "manifest.json",
                          R"({"format": "ka-bundle-v0", "agent": "a", "NT": 2, "H": 60, "W": 80, "crop": )" +
                              std::to_string(crop) + R"(, "amount": 1.3, "sigma": 2.0, "ksize": )" +
                              std::to_string(ksize) + R"(, "frames": 0, "M_src_w": 80, "M_src_h": 60})");
  };
  manifest(64, 2147483647);
  EXPECT_EQ(errorOf([&] { ka::loadManifest(d.path()); }),
            "manifest: ksize 2147483647 is wider than the face crop: at most 64 (crop)");
  manifest(64, 65);
  EXPECT_EQ(errorOf([&] { ka::loadManifest(d.path()); }),
            "manifest: ksize 65 is wider than the face crop: at most 64 (crop)");
  for (int k : {13, 63, 64}) {
    manifest(64, k);
    EXPECT_EQ(ka::loadManifest(d.path()).ksize, k);
  }
  // The compositor bounds it too, for callers that build one directly.
  EXPECT_EQ(errorOf([] {
              ka::Paste(std::vector<uint8_t>(16, 255), 4, ka::Unsharp{1.3f, 2.0f, 2051});
            }),
            "paste: ksize 2051 is more than 2049");
}

TEST(Hardening, DirectorBatchIsBounded) {
  TempDir t;
  const std::string b = t / "b";
  ASSERT_TRUE(ka::test::forge({"bundle", b, "--background", "jpeg"}));
  ASSERT_TRUE(ka::test::forge({"director-into", b, "--batch", "65", "--no-patterns"}));
  ka_ctx* ctx = nullptr;
  quietly([&] { ctx = ka_create(b.c_str(), "b65", 1, nullptr); });
  ASSERT_NE(ctx, nullptr) << ka_last_error();
  quietly([&] { EXPECT_EQ(ka_render_drive_crop(ctx, 0), nullptr); });
  EXPECT_NE(std::string(ka_last_error()).find("declares pooled64 with batch 65, more than the 64 frames per run"),
            std::string::npos)
      << ka_last_error();
  ka_destroy(ctx);
}

TEST(Hardening, BackgroundFrameSizeIsCheckedBeforeAnyBufferIsSized) {
  TempDir t;
  const std::string b = t / "b";
  ASSERT_TRUE(ka::test::forge({"bundle", b, "--background", "jpeg"}));
  ka::Manifest m = ka::loadManifest(b);
  m.W = 40000;  // 4.8 GB per ring slot if believed
  m.H = 40000;
  std::string error;
  quietly([&] { error = errorOf([&] { ka::DriverCursor::open(ka::drivingVideo(m), 2, 11); }); });
  EXPECT_EQ(error, "ka_driver: " + b +
                       "/target_frames/frame_000005.jpg is 160x120, the manifest says 40000x40000 "
                       "\xE2\x80\x94 refusing");
}

}  // namespace
