// Bundle path resolution and IMX containers: unpack, reuse, re-unpack, refusals, and hostile
// containers that try to write outside the unwrap directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bundle/container.h"
#include "bundle/manifest.h"
#include "common/test_util.h"
#include "ka/ka.h"

namespace {

using ka::test::errorOf;

using ka::test::exists;
using ka::test::readBytes;
using ka::test::readString;
using ka::test::TempDir;

// A tiny hand-built container, independent of the forge's packer.
struct Member {
  std::string name;
  std::string payload;
};

std::string le16(uint16_t v) { return std::string{char(v & 0xff), char(v >> 8)}; }
std::string le64(uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s += char((v >> (8 * i)) & 0xff);
  return s;
}

std::string container(const std::vector<Member>& ms, uint16_t version = 2) {
  std::string toc;
  size_t tocLen = 0;
  for (const auto& m : ms) tocLen += 2 + m.name.size() + 16;
  uint64_t pos = 8 + tocLen;
  std::string body;
  for (const auto& m : ms) {
    toc += le16(uint16_t(m.name.size())) + m.name + le64(pos + body.size()) + le64(m.payload.size());
    body += m.payload;
  }
  return std::string("IMX\0", 4) + le16(version) + le16(uint16_t(ms.size())) + toc + body;
}

uint64_t inodeOf(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

class Container : public ::testing::Test {
 protected:
  TempDir tmp_;
  ka::test::ScopedEnv noRoot_{"KA_IMX_UNWRAP_ROOT", std::nullopt};
  std::vector<Member> members_ = {{"manifest.json", "{\"format\": \"ka-bundle-v0\"}"},
                                  {"drive/xs.f32", std::string(32, '\x01')},
                                  {"M.f32", std::string(24, '\x02')}};

  std::string write(const std::string& name, const std::string& bytes) {
    std::string p = tmp_ / name;
    ka::test::writeString(p, bytes);
    return p;
  }
  std::string resolveQuiet(const std::string& p) {
    testing::internal::CaptureStderr();
    std::string d;
    try {
      d = ka::resolveBundlePath(p);
    } catch (...) {
      testing::internal::GetCapturedStderr();
      throw;
    }
    lastLog_ = testing::internal::GetCapturedStderr();
    return d;
  }
  std::string lastLog_;
};

TEST(BundlePathHelpers, SlashesBaseAndDirNames) {
  using namespace ka::bundle_path;
  EXPECT_EQ(rstripSlash("a/b///"), "a/b");
  EXPECT_EQ(rstripSlash("/"), "/");
  EXPECT_EQ(rstripSlash("///"), "/");
  EXPECT_EQ(baseName("x/y/avatar.imx/"), "avatar.imx");
  EXPECT_EQ(baseName("avatar.imx"), "avatar.imx");
  EXPECT_EQ(dirName("x/y/avatar.imx"), "x/y");
  EXPECT_EQ(dirName("avatar.imx"), ".");
  EXPECT_EQ(dirName("/avatar.imx"), "/");
}

TEST_F(Container, PlainDirectoryIsReturnedAsGiven) {
  ASSERT_TRUE(ka::bundle_path::mkdirs(tmp_ / "plain/bundle"));
  EXPECT_EQ(ka::resolveBundlePath(tmp_ / "plain/bundle/"), tmp_ / "plain/bundle/");
  EXPECT_EQ(ka::resolveBundlePath(""), "");
  EXPECT_EQ(ka::resolveBundlePath(tmp_ / "nothing/here"), tmp_ / "nothing/here");
}

TEST_F(Container, UnpacksBesideTheContainerThenReuses) {
  const std::string c = write("avatar.imx", container(members_));
  const std::string d = resolveQuiet(c);
  EXPECT_EQ(d, tmp_ / "avatar.kabundle");
  EXPECT_EQ(lastLog_, "[ka] unwrapped " + c + " -> " + d + "\n");
  EXPECT_EQ(readString(d + "/drive/xs.f32"), members_[1].payload);
  EXPECT_EQ(readString(d + "/M.f32"), members_[2].payload);
  EXPECT_FALSE(exists(d + "/M.f32.part"));

  struct stat st;
  ASSERT_EQ(::lstat(c.c_str(), &st), 0);
  const std::string stamp = "imx-unwrapped.v2 avatar.imx " + std::to_string(st.st_size) + " " +
                            std::to_string(uint64_t(st.st_mtim.tv_sec) * 1000000000ull + st.st_mtim.tv_nsec) + " " +
                            std::to_string(st.st_ino);
  EXPECT_EQ(readString(d + ".imx_unwrapped"), stamp);

  // Reuse: nothing rewritten, nothing logged.
  const uint64_t ino = inodeOf(d + "/M.f32");
  EXPECT_EQ(resolveQuiet(c), d);
  EXPECT_EQ(lastLog_, "");
  EXPECT_EQ(inodeOf(d + "/M.f32"), ino);
  // The marker is compared with surrounding blanks removed.
  ka::test::writeString(d + ".imx_unwrapped", "\n\t " + stamp + " \r\n");
  EXPECT_EQ(resolveQuiet(c), d);
  EXPECT_EQ(lastLog_, "");
}

TEST_F(Container, ChangedContainerIsUnpackedAgain) {
  const std::string c = write("avatar.imx", container(members_));
  const std::string d = resolveQuiet(c);
  ka::test::writeString(d + "/stale.bin", "left over");
  struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
  ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  EXPECT_EQ(resolveQuiet(c), d);
  EXPECT_NE(lastLog_.find("[ka] unwrapped"), std::string::npos);
  EXPECT_FALSE(exists(d + "/stale.bin"));
  EXPECT_NE(readString(d + ".imx_unwrapped").find(" 12345000000678 "), std::string::npos);
}

TEST_F(Container, DirectoryIsRevalidatedAgainstItsContainer) {
  const std::string c = write("avatar.kabundle.imx", container(members_));
  const std::string d = resolveQuiet(c);
  EXPECT_EQ(d, tmp_ / "avatar.kabundle");
  // Handing in the directory checks it against the container beside it.
  members_[2].payload = std::string(24, '\x07');
  write("avatar.kabundle.imx", container(members_));
  EXPECT_EQ(resolveQuiet(d + "/"), d);
  EXPECT_EQ(readString(d + "/M.f32"), members_[2].payload);
}

TEST_F(Container, AnyNameThatIsAnImxFileIsUnpacked) {
  const std::string c = write("shipped.bin", container(members_));
  EXPECT_EQ(resolveQuiet(c), tmp_ / "shipped.bin.kabundle");
}

TEST_F(Container, UnwrapRootFromTheEnvironment) {
  const std::string c = write("avatar.imx", container(members_));
  ka::test::ScopedEnv env("KA_IMX_UNWRAP_ROOT", tmp_ / "cache/deeper//");
  EXPECT_EQ(resolveQuiet(c), tmp_ / "cache/deeper/avatar.kabundle");
  EXPECT_TRUE(exists(tmp_ / "cache/deeper/avatar.kabundle.imx_unwrapped"));
  EXPECT_FALSE(exists(tmp_ / "avatar.kabundle"));
}

TEST_F(Container, HeaderRefusals) {
  std::string c = write("v1.imx", container(members_, 1));
  // A version-1 file is not an IMX v2 file, so resolution leaves it alone; unpacking it directly
  // through its sibling-directory form names the version.
  EXPECT_EQ(ka::resolveBundlePath(c), c);
  EXPECT_FALSE(ka::isImxV2File(c));
  EXPECT_TRUE(ka::isImxV2File(write("ok.imx", container(members_))));
  EXPECT_FALSE(ka::isImxV2File(write("short.imx", std::string("IMX\0\2", 5))));
  EXPECT_FALSE(ka::isImxV2File(tmp_.path()));
}

TEST_F(Container, TruncatedTables) {
  const std::string full = container(members_);
  struct Case {
    size_t keep;
    std::string message;
  } cases[] = {
      {8 + 1, ": truncated TOC at member 0"},
      {8 + 2 + 5, ": truncated member name at 0"},
      {8 + 2 + 13 + 9, ": truncated TOC offsets at member manifest.json"},
      {8 + (2 + 13 + 16) + 1, ": truncated TOC at member 1"},
  };
  for (const auto& k : cases) {
    const std::string c = write("t.imx", full.substr(0, k.keep));
    EXPECT_EQ(errorOf([&] { ka::resolveBundlePath(c); }), c + k.message) << k.keep;
    EXPECT_FALSE(exists(tmp_ / "t.kabundle.imx_unwrapped"));
  }
}

TEST_F(Container, TruncatedPayloadFailsAndTheNextAttemptStartsOver) {
  const std::string good = container(members_);
  const std::string c = write("avatar.imx", good.substr(0, good.size() - 7));
  EXPECT_EQ(errorOf([&] { ka::resolveBundlePath(c); }), c + ": truncated payload for member M.f32");
  EXPECT_FALSE(exists(tmp_ / "avatar.kabundle.imx_unwrapped"));
  EXPECT_FALSE(exists(tmp_ / "avatar.kabundle/M.f32"));
  write("avatar.imx", good);
  EXPECT_EQ(resolveQuiet(c), tmp_ / "avatar.kabundle");
  EXPECT_EQ(readString(tmp_ / "avatar.kabundle/M.f32"), members_[2].payload);
}

TEST_F(Container, InterruptedUnpackLeavesNoMarkerAndIsRedone) {
  // What a killed unpacking leaves: a directory with some members and a ".part", no marker.
  const std::string c = write("avatar.imx", container(members_));
  ASSERT_TRUE(ka::bundle_path::mkdirs(tmp_ / "avatar.kabundle/drive"));
  ka::test::writeString(tmp_ / "avatar.kabundle/drive/xs.f32.part", "half");
  ka::test::writeString(tmp_ / "avatar.kabundle/manifest.json", "{}");
  const std::string d = resolveQuiet(c);
  EXPECT_NE(lastLog_.find("[ka] unwrapped"), std::string::npos);
  EXPECT_FALSE(exists(d + "/drive/xs.f32.part"));
  EXPECT_EQ(readString(d + "/manifest.json"), members_[0].payload);
  // A marker from another container state is not trusted either.
  ka::test::writeString(d + ".imx_unwrapped", "imx-unwrapped.v2 avatar.imx 1 2 3");
  ka::test::writeString(d + "/extra", "x");
  resolveQuiet(c);
  EXPECT_FALSE(exists(d + "/extra"));
}

TEST_F(Container, KilledUnpackIsRedoneFromScratch) {
  // A real interruption: a child process unpacks a container with a large member and is killed
  // while that member is still a ".part" file.
  std::vector<Member> ms = members_;
  ms.push_back({"zz_big.bin", std::string(size_t(128) << 20, '\x5a')});
  const std::string c = write("big.imx", container(ms));
  ms.back().payload.clear();
  const std::string d = tmp_ / "big.kabundle";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::freopen("/dev/null", "w", stderr);
    try {
      ka::resolveBundlePath(c);
    } catch (...) {
    }
    ::_exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!exists(d + "/zz_big.bin.part") && std::chrono::steady_clock::now() < deadline) ::usleep(200);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (exists(d + ".imx_unwrapped")) GTEST_SKIP() << "the child finished before it could be interrupted";
  EXPECT_FALSE(exists(d + "/zz_big.bin"));  // never under its final name while incomplete
  EXPECT_EQ(resolveQuiet(c), d);
  EXPECT_NE(lastLog_.find("[ka] unwrapped"), std::string::npos);
  EXPECT_FALSE(exists(d + "/zz_big.bin.part"));
  struct stat st;
  ASSERT_EQ(::stat((d + "/zz_big.bin").c_str(), &st), 0);
  EXPECT_EQ(uint64_t(st.st_size), uint64_t(128) << 20);
}

TEST_F(Container, DeclaredSizesBeyondTheFileAreRefusedBeforeWriting) {
  std::string bytes = container(members_);
  // Entry 1's size field: header 8 + entry 0 (2 + 13 + 16) + entry 1's length and name + offset.
  const size_t sizeField = 8 + (2 + 13 + 16) + 2 + 12 + 8;
  bytes.replace(sizeField, 8, le64(uint64_t(1) << 62));
  const std::string c = write("huge.imx", bytes);
  EXPECT_EQ(errorOf([&] { ka::resolveBundlePath(c); }), c + ": truncated payload for member drive/xs.f32");
  EXPECT_FALSE(exists(tmp_ / "huge.kabundle/manifest.json"));  // nothing was written first
  // An offset near 2^64 (offset + size would wrap) is refused the same way.
  bytes = container(members_);
  bytes.replace(sizeField - 8, 8, le64(~uint64_t{0} - 3));
  write("huge.imx", bytes);
  EXPECT_EQ(errorOf([&] { ka::resolveBundlePath(c); }), c + ": truncated payload for member drive/xs.f32");
}

TEST_F(Container, UnsafeNamesAreRefusedAndNothingEscapes) {
  TempDir outside;
  const std::vector<std::string> bad = {"../escape.txt",
                                        "sub/../../escape.txt",
                                        outside / "abs.txt",
                                        "\\windows",
                                        std::string("a\0b", 3),
                                        "",
                                        "sub/",
                                        "sub/.",
                                        "."};
  for (const auto& name : bad) {
    std::vector<Member> ms = members_;
    ms.push_back({name, "pwned"});
    const std::string c = write("evil.imx", container(ms));
    const std::string shown = name.find('\0') == std::string::npos ? name : "a\\x00b";
    EXPECT_EQ(errorOf([&] { ka::resolveBundlePath(c); }), c + ": refusing unsafe member name '" + shown + "'");
    EXPECT_FALSE(exists(tmp_ / "evil.kabundle.imx_unwrapped"));
    EXPECT_FALSE(exists(tmp_ / "evil.kabundle/manifest.json")) << "members written before the refusal";
  }
  EXPECT_FALSE(exists(tmp_ / "escape.txt"));
  EXPECT_FALSE(exists(outside / "abs.txt"));
}

TEST_F(Container, PlantedLinksAreRemovedNotFollowed) {
  TempDir outside;
  ka::test::writeString(outside / "xs.f32", "precious");
  ka::test::writeString(outside / "marker", "precious");
  // A stale unwrap directory whose "drive" is a link to somewhere else, and a link in the
  // marker's place.
  ASSERT_TRUE(ka::bundle_path::mkdirs(tmp_ / "avatar.kabundle"));
  ASSERT_EQ(::symlink(outside.path().c_str(), (tmp_ / "avatar.kabundle/drive").c_str()), 0);
  ASSERT_EQ(::symlink((outside / "marker").c_str(), (tmp_ / "avatar.kabundle.imx_unwrapped").c_str()), 0);
  const std::string c = write("avatar.imx", container(members_));
  const std::string d = resolveQuiet(c);
  EXPECT_EQ(readString(outside / "xs.f32"), "precious");
  EXPECT_EQ(readString(outside / "marker"), "precious");
  EXPECT_EQ(readString(d + "/drive/xs.f32"), members_[1].payload);
  struct stat st;
  ASSERT_EQ(::lstat((d + "/drive").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(::lstat((d + ".imx_unwrapped").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
}

TEST_F(Container, UnwrapDirectoryItselfALinkIsReplaced) {
  TempDir outside;
  ka::test::writeString(outside / "keep", "precious");
  ASSERT_EQ(::symlink(outside.path().c_str(), (tmp_ / "avatar.kabundle").c_str()), 0);
  const std::string c = write("avatar.imx", container(members_));
  const std::string d = resolveQuiet(c);
  EXPECT_EQ(readString(outside / "keep"), "precious");
  EXPECT_FALSE(exists(outside / "M.f32"));
  EXPECT_EQ(readString(d + "/M.f32"), members_[2].payload);
}

TEST_F(Container, ContainerThatWouldBeDeletedByItsOwnUnpackingIsRefused) {
  // A container named like its own unwrap directory.
  const std::string bytes = container(members_);
  const std::string c = write("avatar.kabundle", bytes);
  EXPECT_NE(errorOf([&] { ka::resolveBundlePath(c); }).find("holds the container itself"), std::string::npos);
  EXPECT_EQ(readString(c), bytes);
  // A container inside the directory it would unpack into.
  ASSERT_TRUE(ka::bundle_path::mkdirs(tmp_ / "root/avatar.kabundle"));
  const std::string inner = write("root/avatar.kabundle/avatar.imx", bytes);
  ka::test::ScopedEnv env("KA_IMX_UNWRAP_ROOT", tmp_ / "root");
  EXPECT_NE(errorOf([&] { ka::resolveBundlePath(inner); }).find("holds the container itself"), std::string::npos);
  EXPECT_EQ(readString(inner), bytes);
}

TEST_F(Container, SyntheticManifestIsNotWritten) {
  std::vector<Member> ms = {{"manifest.json", "{\"_imx_synthetic_manifest\": 1}"}, {"M.f32", "abcd"}};
  const std::string d = resolveQuiet(write("syn.imx", container(ms)));
  EXPECT_FALSE(exists(d + "/manifest.json"));
  EXPECT_EQ(readString(d + "/M.f32"), "abcd");
}

TEST_F(Container, ForgedBundleRoundTripsThroughAContainer) {
  ASSERT_TRUE(ka::test::forge({"bundle", tmp_ / "src", "--lip"}));
  ASSERT_TRUE(ka::test::forge({"imx", tmp_ / "src", tmp_ / "avatar.imx"}));
  const std::string d = resolveQuiet(tmp_ / "avatar.imx");
  for (const char* m : {"manifest.json", "pooled64.f16", "P.f16", "M.f32", "mask_512.u8", "drive/si.i32",
                        "target_frames/frame_000005.jpg", "lip_template.v1.json"})
    EXPECT_EQ(readBytes(d + "/" + m), readBytes(tmp_ / "src/" + m)) << m;
  ka::Manifest man = ka::loadManifest(tmp_ / "avatar.imx");
  EXPECT_EQ(man.dir, d);
  EXPECT_FALSE(man.lipTemplateJson.empty());
}

TEST_F(Container, ForgedBrokenContainersAreRefusedByName) {
  ASSERT_TRUE(ka::test::forge({"bundle", tmp_ / "src", "--background", "none"}));
  struct Case {
    const char* mode;
    const char* message;
  } cases[] = {{"version1", ": unsupported IMX container version 1"},
               {"truncated-payload", ": truncated payload for member xs_target.bin"},
               {"huge-size", ": truncated payload for member xs_target.bin"},
               {"dotdot", ": refusing unsafe member name '../escape.txt'"}};
  for (const auto& k : cases) {
    const std::string c = tmp_ / (std::string(k.mode) + ".imx");
    ASSERT_TRUE(ka::test::forge({"imx", tmp_ / "src", c, "--mode", k.mode}));
    // Version 1 is only looked at when the directory form points at it.
    const std::string arg = std::string(k.mode) == "version1" ? tmp_ / "version1" : c;
    if (std::string(k.mode) == "version1") ::mkdir(arg.c_str(), 0755);
    std::string err = errorOf([&] { ka::resolveBundlePath(arg); });
    if (std::string(k.mode) == "version1") {
      EXPECT_EQ(err, "(no error)");  // not a v2 file: the plain directory is returned
    } else {
      EXPECT_EQ(err, c + k.message) << k.mode;
    }
  }
}

TEST_F(Container, ConcurrentResolutionsUnpackOnce) {
  const std::string c = write("avatar.imx", container(members_));
  std::vector<std::string> got(4);
  testing::internal::CaptureStderr();
  {
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i) ts.emplace_back([&, i] { got[i] = ka::resolveBundlePath(c); });
    for (auto& t : ts) t.join();
  }
  std::string log = testing::internal::GetCapturedStderr();
  for (const auto& g : got) EXPECT_EQ(g, tmp_ / "avatar.kabundle");
  EXPECT_EQ(log, "[ka] unwrapped " + c + " -> " + tmp_ / "avatar.kabundle" + "\n");
}

// ---- the C entry points --------------------------------------------------------------------------

TEST_F(Container, ResolveHandleFromC) {
  const std::string c = write("avatar.imx", container(members_));
  const std::string d = tmp_ / "avatar.kabundle";
  std::vector<char> out(d.size() + 1, 'x');
  testing::internal::CaptureStderr();
  EXPECT_EQ(ka_bundle_resolve_handle(c.c_str(), out.data(), out.size()), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(out.data()), d);
  EXPECT_STREQ(ka_last_error(), "");
  // No room for the terminator.
  std::vector<char> small(d.size(), 'x');
  EXPECT_EQ(ka_bundle_resolve_handle(c.c_str(), small.data(), small.size()), -1);
  EXPECT_EQ(small[0], '\0');
  EXPECT_STREQ(ka_last_error(), "ka_bundle_resolve_handle: buffer too small");
  // Bad arguments fail without a message; a following success empties the text.
  EXPECT_EQ(ka_bundle_resolve_handle(nullptr, out.data(), out.size()), -1);
  EXPECT_STREQ(ka_last_error(), "");
  EXPECT_EQ(ka_bundle_resolve_handle(c.c_str(), out.data(), 0), -1);
  EXPECT_EQ(ka_bundle_resolve_handle(c.c_str(), nullptr, 10), -1);
}

TEST_F(Container, ResolveHandleReportsUnpackFailures) {
  const std::string good = container(members_);
  const std::string c = write("bad.imx", good.substr(0, good.size() - 1));
  char out[512];
  EXPECT_EQ(ka_bundle_resolve_handle(c.c_str(), out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(ka_last_error()), "ka_bundle_resolve_handle: " + c + ": truncated payload for member M.f32");
}

TEST_F(Container, ResolveMemberFromC) {
  const std::string c = write("avatar.imx", container({{"manifest.json", "{}"}, {"paste_transform.f32", "m"}}));
  char out[512];
  testing::internal::CaptureStderr();
  EXPECT_EQ(ka_bundle_resolve_member(c.c_str(), "M.f32", out, sizeof out), 1);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::string(out), tmp_ / "avatar.kabundle/paste_transform.f32");
  EXPECT_EQ(ka_bundle_resolve_member(c.c_str(), "pooled64.f16", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), tmp_ / "avatar.kabundle/pooled64.f16");
  const size_t need = (tmp_ / "avatar.kabundle/pooled64.f16").size() + 1;
  std::vector<char> tight(need - 1, 'x');
  EXPECT_EQ(ka_bundle_resolve_member(c.c_str(), "pooled64.f16", tight.data(), tight.size()), -1);
  EXPECT_EQ(tight[0], '\0');
  EXPECT_EQ(ka_bundle_resolve_member(c.c_str(), nullptr, out, sizeof out), -1);
  EXPECT_EQ(ka_bundle_resolve_member(c.c_str(), "M.f32", out, 0), -1);
}

}  // namespace
