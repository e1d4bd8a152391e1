// What a host sees at the boundary: its log callback receives every line of a whole run (the
// library's own, ONNX Runtime's and FFmpeg's) while standard error stays empty; the default log
// writes the lines unchanged and the level filters them; the teeth borrow attaches from a bundle
// directory alone.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "common/test_util.h"
#include "graph/onnx_wire.h"
#include "graph/prune_initializers.h"
#include "ka/ka.h"
#include "ka/ka_common.h"
#include "ka/ka_utt.h"
#include "runtime/ort_env.h"
extern "C" {
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;
using ka::test::TempDir;

// A bundle with its director, a motion directory and teeth-borrow members fitted to its canvas.
struct Fixture {
  TempDir tmp;
  std::string bundle = tmp / "bundle";
  std::string motion = tmp / "bundle/motion";
  Fixture() {
    ka::test::forge({"bundle", bundle, "--size", "medium"});
    ka::test::forge({"director-into", bundle});
    ka::test::forge({"motion", motion, "--nt", "6", "--xs-target", bundle + "/xs_target.bin"});
    ka::test::forge({"tessera", bundle, "--n", "12", "--teeth", "--fit"});
  }
};

Fixture& fx() {
  static Fixture f;
  return f;
}

struct Lines {
  std::mutex mu;
  std::vector<std::pair<int, std::string>> got;
  bool has(int level, const std::string& part) {
    std::lock_guard<std::mutex> lk(mu);
    for (auto& l : got)
      if (l.first == level && l.second.find(part) != std::string::npos) return true;
    return false;
  }
};

void collect(void* user, int level, const char* line) {
  Lines* l = static_cast<Lines*>(user);
  std::lock_guard<std::mutex> lk(l->mu);
  l->got.emplace_back(level, line);
}

// Standard error (descriptor 2) goes into a file while this lives.
class StderrToFile {
 public:
  explicit StderrToFile(std::string path) : path_(std::move(path)) {
    std::fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrToFile() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::string text() {
    restore();
    return ka::test::readString(path_);
  }

 private:
  std::string path_;
  int saved_ = -1;
};

// The director model with one more initializer that no node reads.
std::vector<uint8_t> withOrphanInitializer(const std::vector<uint8_t>& model) {
  std::vector<uint8_t> extra;
  const float value = 1.f;
  ka::hcInit(extra, "ka_test_orphan", 1, {1}, ka::GsSlice(reinterpret_cast<const uint8_t*>(&value), sizeof value));
  std::vector<uint8_t> out;
  ka::gsRewriteFirstGraph(ka::GsSlice(model), out, [&](ka::GsSlice graph, ka::GsSink& s) {
    s.raw(graph);
    s.raw(ka::GsSlice(extra));
  });
  return out;
}

TEST(HostLog, CallbackTakesEveryLineOfAWholeRun) {
  Fixture& f = fx();
  TempDir tmp;
  Lines lines;
  ka_log_set(collect, &lines);
  StderrToFile err(tmp / "stderr.txt");

  ka_ctx* ctx = ka_create(f.bundle.c_str(), "b1", 1, nullptr);
  ASSERT_TRUE(ctx) << ka_last_error();
  std::vector<uint8_t> rgba(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 4);
  EXPECT_EQ(ka_render_drive_rgba(ctx, 0, rgba.data(), rgba.size()), 1) << ka_last_error();

  ka_utt_opts o{};
  o.motion_dir = f.motion.c_str();
  o.threads = 1;
  o.steady_model = "-";
  ka_utt* u = ka_utt_create(ctx, &o);
  ASSERT_TRUE(u) << ka_utt_last_error();
  const auto t0 = Clock::now();
  while (ka_utt_ready(u) == 0 && Clock::now() - t0 < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(ka_utt_ready(u), 1);
  char why[512] = "";
  EXPECT_EQ(ka_utt_tessera_attach_bundle(u, f.bundle.c_str(), why, sizeof why), 0) << why;
  const std::vector<int16_t> a = ka::test::speechPcm16(0.6);
  ka_utt_push_audio(u, a.data(), static_cast<int>(a.size()));
  ka_utt_end_utterance(u);
  std::vector<uint8_t> rgb(static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3);
  int speechFrames = 0;
  while (Clock::now() - t0 < std::chrono::seconds(120)) {
    ka_utt_frame_info info;
    if (ka_utt_pull_frame(u, rgb.data(), rgb.size(), &info) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    speechFrames += info.kind == KA_UTT_SPEECH;
    if (speechFrames > 0 && info.kind == KA_UTT_IDLE) break;
  }
  uint64_t emitted = 0, failures = 0;
  EXPECT_EQ(ka_utt_tessera_stats(u, &emitted, &failures, why, sizeof why), 1) << why;
  EXPECT_EQ(emitted, static_cast<uint64_t>(speechFrames));
  EXPECT_EQ(failures, 0u);
  ka_utt_destroy(u);
  ka_destroy(ctx);

  // ONNX Runtime warns about an initializer no node reads; FFmpeg's log is routed too.
  const std::vector<uint8_t> orphan = withOrphanInitializer(ka::test::readBytes(f.bundle + "/model_b1.onnx"));
  {
    Ort::Env env = ka::makeOrtEnv("ka_host_test");
    Ort::SessionOptions so;
    Ort::Session session(env, orphan.data(), orphan.size(), so);
  }
  av_log(nullptr, AV_LOG_WARNING, "ka host test: a line from FFmpeg\n");

  const std::string written = err.text();
  ka_log_set(nullptr, nullptr);
  EXPECT_EQ(written, "");
  EXPECT_TRUE(lines.has(KA_LOG_INFO, "[ka] director ep=cpu"));
  EXPECT_TRUE(lines.has(KA_LOG_INFO, "[ka-driver]"));
  EXPECT_TRUE(lines.has(KA_LOG_WARNING, "Removing initializer 'ka_test_orphan'"));
  EXPECT_TRUE(lines.has(KA_LOG_WARNING, "ka host test: a line from FFmpeg"));
  // The library's own models leave no initializer behind: the one warning is the test's.
  std::lock_guard<std::mutex> lk(lines.mu);
  int removals = 0;
  for (auto& l : lines.got) {
    EXPECT_EQ(l.second.find('\n'), std::string::npos) << l.second;
    removals += l.second.find("Removing initializer") != std::string::npos;
  }
  EXPECT_EQ(removals, 1);
}

TEST(HostLog, DefaultWritesStandardErrorUnchangedAndLevelFilters) {
  TempDir tmp;
  StderrToFile err(tmp / "stderr.txt");
  ka::log::printf(ka::log::Level::Info, "[ka] one %d\n", 1);
  ka::log::write(ka::log::Level::Warning, "[ka-driver] two\n[ka-driver] three");
  EXPECT_EQ(ka_log_set_level(KA_LOG_WARNING), 1);
  ka::log::printf(ka::log::Level::Info, "[ka] dropped\n");
  ka::log::printf(ka::log::Level::Warning, "[ka] kept\n");
  EXPECT_EQ(ka_log_set_level(3), 0);
  EXPECT_EQ(ka_log_set_level(-1), 0);
  ka::log::printf(ka::log::Level::Info, "[ka] still dropped\n");
  EXPECT_EQ(ka_log_set_level(KA_LOG_INFO), 1);
  EXPECT_EQ(err.text(), "[ka] one 1\n[ka-driver] two\n[ka-driver] three\n[ka] kept\n");
}

TEST(HostLog, PruneDropsOnlyWhatNoNodeReads) {
  const std::vector<uint8_t> model = ka::test::readBytes(fx().bundle + "/model_b1.onnx");
  std::vector<uint8_t> orphan = withOrphanInitializer(model);
  ASSERT_NE(orphan, model);
  EXPECT_EQ(ka::pruneUnusedInitializers(orphan), 1u);
  EXPECT_EQ(orphan, model);  // everything else byte for byte
  EXPECT_EQ(ka::pruneUnusedInitializers(orphan), 0u);
  EXPECT_EQ(orphan, model);
}

TEST(TesseraAttachBundle, Refusals) {
  ka_ctx* ctx = ka_create(fx().bundle.c_str(), "b1", 1, nullptr);
  ASSERT_TRUE(ctx) << ka_last_error();
  ka_utt_opts o{};
  o.motion_dir = fx().motion.c_str();
  o.threads = 1;
  o.steady_model = "-";
  ka_utt* u = ka_utt_create(ctx, &o);
  ASSERT_TRUE(u) << ka_utt_last_error();
  char err[512];
  EXPECT_EQ(ka_utt_tessera_attach_bundle(nullptr, fx().bundle.c_str(), err, sizeof err), 1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach_bundle: null argument");
  EXPECT_EQ(ka_utt_tessera_attach_bundle(u, nullptr, err, sizeof err), 1);
  EXPECT_STREQ(err, "ka_utt_tessera_attach_bundle: null argument");
  // A bundle without the members: the members' own refusal, after the entry point's name.
  EXPECT_EQ(ka_utt_tessera_attach_bundle(u, fx().motion.c_str(), err, sizeof err), 1);
  EXPECT_EQ(std::string(err).rfind("ka_utt_tessera_attach_bundle: ", 0), 0u) << err;
  EXPECT_GT(std::string(err).size(), std::string("ka_utt_tessera_attach_bundle: ").size());
  char geo[256];
  EXPECT_EQ(ka_utt_tessera_geometry(u, geo, sizeof geo), 0);
  // The members' bank track cut short: refused, nothing attached.
  TempDir tmp;
  ASSERT_EQ(ka::test::runCommand("cp -r " + ka::test::shellQuote(fx().bundle) + " " + ka::test::shellQuote(tmp / "b")),
            0);
  const std::vector<uint8_t> track = ka::test::readBytes(tmp / "b/tessera_bank.v1.mp4");
  ka::test::writeBytes(tmp / "b/tessera_bank.v1.mp4", track.data(), track.size() / 3);
  EXPECT_EQ(ka_utt_tessera_attach_bundle(u, (tmp / "b").c_str(), err, sizeof err), 1);
  EXPECT_EQ(std::string(err).rfind("ka_utt_tessera_attach_bundle: ", 0), 0u) << err;
  EXPECT_EQ(ka_utt_tessera_geometry(u, geo, sizeof geo), 0);
  // The whole bundle: attached, with the members' stamp.
  EXPECT_EQ(ka_utt_tessera_attach_bundle(u, fx().bundle.c_str(), err, sizeof err), 0) << err;
  EXPECT_EQ(ka_utt_tessera_geometry(u, geo, sizeof geo), 1);
  EXPECT_EQ(std::string(geo).rfind("{canvas_w=", 0), 0u) << geo;
  ka_utt_destroy(u);
  ka_destroy(ctx);
}

}  // namespace
