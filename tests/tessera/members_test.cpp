// The tessera carriage (arming), the members record with its cross-checks, and their C interface.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "ka/ka_tessera.h"
#include "tessera/carriage.h"
#include "tessera/members.h"

namespace {

using ka::test::errorOf;
using ka::test::TempDir;

const char* const kStampKeys[12] = {"canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
                                    "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
const int kStamp[12] = {64, 64, 16, 32, 32, 16, 4, 2, 12, 4, 28, 2};

std::string stampJson(const int* v) {
  std::string s = "{";
  for (int i = 0; i < 12; ++i) s += std::string(i ? ", " : "") + "\"" + kStampKeys[i] + "\": " + std::to_string(v[i]);
  return s + "}";
}

// A sidecar of n donors; `over` replaces raw JSON values by key ("" drops the key).
std::string sidecar(int n, const std::map<std::string, std::string>& over = {}) {
  std::string order = "[", cent = "[", aper = "[";
  for (int i = 0; i < n; ++i) {
    const char* sep = i ? ", " : "";
    order += sep + std::to_string(n - 1 - i);
    cent += std::string(sep) + "[" + std::to_string(30 + i % 5) + ", " + std::to_string(40 - i % 3) + ".5]";
    aper += std::string(sep) + "0.0" + std::to_string(1 + i % 9);
  }
  std::map<std::string, std::string> f = {{"format", "\"tessera_bank.v1\""},
                                          {"n_donors", std::to_string(n)},
                                          {"geometry", stampJson(kStamp)},
                                          {"track_order", order + "]"},
                                          {"cent", cent + "]"},
                                          {"aperture", aper + "]"},
                                          {"c_canon", "[32.0, 40.0]"},
                                          {"codec", R"({"codec": "h264", "pix_fmt": "yuv444p"})"}};
  for (const auto& kv : over) {
    if (kv.second.empty())
      f.erase(kv.first);
    else
      f[kv.first] = kv.second;
  }
  std::string s = "{";
  for (const auto& kv : f) s += std::string(s.size() > 1 ? ", " : "") + "\"" + kv.first + "\": " + kv.second;
  return s + "}";
}

class TesseraMembers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = new TempDir();
    ASSERT_TRUE(ka::test::forge({"tessera", *base_ / "b", "--n", "8"}));
  }
  static void TearDownTestSuite() {
    delete base_;
    base_ = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(
        ka::test::runCommand("cp -r " + ka::test::shellQuote(*base_ / "b") + " " + ka::test::shellQuote(tmp_ / "b")),
        0);
    dir_ = tmp_ / "b";
  }
  std::string openError() {
    char err[4096] = "untouched";
    ka_tessera_members* m = ka_tessera_members_open(dir_.c_str(), err, sizeof err);
    EXPECT_EQ(m, nullptr);
    ka_tessera_members_close(m);
    return err;
  }
  void setSidecar(const std::string& text) { ka::test::writeString(dir_ + "/tessera_bank.v1.json", text); }
  void setManifest(const std::string& text) { ka::test::writeString(dir_ + "/manifest.json", text); }

  static TempDir* base_;
  TempDir tmp_;
  std::string dir_;
};
TempDir* TesseraMembers::base_ = nullptr;

TEST_F(TesseraMembers, SlotsAndCompleteCarriage) {
  ASSERT_EQ(ka_tessera_slot_count(), 4);
  EXPECT_STREQ(ka_tessera_slot_key(0), "bank_track");
  EXPECT_STREQ(ka_tessera_slot_key(3), "head_config");
  EXPECT_EQ(ka_tessera_slot_key(4), nullptr);
  EXPECT_EQ(ka_tessera_slot_key(-1), nullptr);

  ka_tessera_carriage* c = ka_tessera_carriage_open(dir_.c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ka_tessera_carriage_complete(c), 1);
  EXPECT_EQ(ka_tessera_carriage_declared(c), 1);
  EXPECT_EQ(ka_tessera_carriage_missing_count(c), 0);
  EXPECT_EQ(ka_tessera_carriage_missing(c, 0), nullptr);
  EXPECT_EQ(std::string(ka_tessera_carriage_path(c, "head_weights")), dir_ + "/tessera_head.v1.pt");
  EXPECT_STREQ(ka_tessera_carriage_path(c, "nope"), "");
  EXPECT_STREQ(ka_tessera_carriage_path(c, nullptr), "");
  ka_tessera_carriage_close(c);
  EXPECT_EQ(ka::tesseraCarriage(dir_).planes, (std::vector<std::string>{"stream", "offline"}));
  EXPECT_EQ(errorOf([&] { ka::tesseraCarriage(dir_).path("x"); }), "teeth: no such member slot 'x'");

  EXPECT_EQ(ka_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(ka_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(ka_tessera_carriage_missing_count(nullptr), 0);
  ka_tessera_carriage_close(nullptr);
}

TEST_F(TesseraMembers, ThreeOfFourIsRefusedEverywhere) {
  std::remove((dir_ + "/tessera_head.v1.json").c_str());
  ka_tessera_carriage* c = ka_tessera_carriage_open(dir_.c_str());
  EXPECT_EQ(ka_tessera_carriage_complete(c), 0);
  ASSERT_EQ(ka_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(ka_tessera_carriage_missing(c, 0), "head_config");
  ka_tessera_carriage_close(c);
  const std::string e = openError();
  EXPECT_EQ(e.rfind("missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4 and "
                    "declares a manifest.tessera block the members do not keep. ONE predicate",
                    0),
            0u)
      << e;
  EXPECT_NE(e.find("Re-stage the bundle with the bank builder."), std::string::npos);
  try {
    ka::requireTesseraMembers(ka::tesseraCarriage(dir_));
    ADD_FAILURE();
  } catch (const ka::MissingTesseraMember& m) {
    EXPECT_EQ(m.missing(), std::vector<std::string>{"head_config"});
  }
  // Without a tessera block the text does not speak of one; two missing are listed in slot order.
  setManifest(R"({"format": "ka-bundle-v0"})");
  std::remove((dir_ + "/tessera_bank.v1.mp4").c_str());
  EXPECT_EQ(errorOf([&] { ka::loadTesseraMembers(dir_); }).substr(0, 119),
            "missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config (tessera_head.v1.json) — "
            "carries 2 of 4. ONE p");
}

TEST_F(TesseraMembers, ManifestRenamesAndUnsafeNames) {
  TempDir t;
  ASSERT_TRUE(ka::test::forge({"tessera", t / "r", "--name", "head_weights=heads/w.pt", "--name", "bank_track="}));
  ka::TesseraCarriage c = ka::tesseraCarriage(t / "r");
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.names[2], "heads/w.pt");
  EXPECT_EQ(c.names[0], "tessera_bank.v1.mp4");  // an empty rename keeps the default
  EXPECT_EQ(ka::loadTesseraMembers(t / "r").head_pt, ka::test::readBytes(t / "r/heads/w.pt"));

  for (const std::string bad : {"../outside.pt", "/etc/passwd", "sub/../../x", "\\\\share\\x", "sub/", "sub/."}) {
    std::string name;
    for (char ch : bad) name += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    setManifest(R"({"tessera": {"members": {"head_weights": ")" + name + R"("}}})");
    const std::string e = openError();
    EXPECT_NE(e.find("as unsafe member name '" + bad + "'"), std::string::npos) << e;
    ka_tessera_carriage* h = ka_tessera_carriage_open(dir_.c_str());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(ka_tessera_carriage_complete(h), 0);
    EXPECT_EQ(ka_tessera_carriage_declared(h), 0);
    EXPECT_EQ(ka_tessera_carriage_missing_count(h), 0);
    EXPECT_STREQ(ka_tessera_carriage_path(h, "head_weights"), "");
    ka_tessera_carriage_close(h);
  }
}

TEST_F(TesseraMembers, RecordAndReorder) {
  char err[256];
  ka_tessera_members* m = ka_tessera_members_open(dir_.c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const int n = ka_tessera_members_n_donors(m);
  EXPECT_EQ(n, 8);
  EXPECT_EQ(std::vector<int>(ka_tessera_members_stamp(m), ka_tessera_members_stamp(m) + 12),
            std::vector<int>(kStamp, kStamp + 12));
  EXPECT_EQ(ka_tessera_members_band_w(m), 28);
  EXPECT_EQ(ka_tessera_members_band_h(m), 14);
  EXPECT_EQ(ka_tessera_members_band_bytes(m), 14 * 8 * 28 * 3);
  EXPECT_EQ(ka_tessera_members_c_canon(m)[1], 40.0);
  EXPECT_NE(ka_tessera_members_cent(m), nullptr);
  EXPECT_NE(ka_tessera_members_aperture(m), nullptr);
  EXPECT_EQ(std::string(ka_tessera_members_bank_container(m)), "mp4");
  EXPECT_EQ(std::string(ka_tessera_members_bank_packing(m)), "rgb24_frames");
  EXPECT_EQ(std::string(ka_tessera_members_bank_codec(m)), "h264");
  EXPECT_EQ(std::string(ka_tessera_members_bank_pix_fmt(m)), "yuv444p");
  EXPECT_EQ(std::string(ka_tessera_members_bank_track_path(m)), dir_ + "/tessera_bank.v1.mp4");
  EXPECT_EQ(std::string(ka_tessera_members_manifest_json(m)), ka::test::readString(dir_ + "/manifest.json"));
  EXPECT_EQ(std::string(ka_tessera_members_head_json(m)), ka::test::readString(dir_ + "/tessera_head.v1.json"));
  const std::vector<uint8_t> pt = ka::test::readBytes(dir_ + "/tessera_head.v1.pt");
  ASSERT_EQ(ka_tessera_members_head_pt_len(m), static_cast<int>(pt.size()));
  EXPECT_EQ(std::memcmp(ka_tessera_members_head_pt(m), pt.data(), pt.size()), 0);

  // Track frame i carries its index; after the reorder donor slot track_order[i] holds it.
  const ka::TesseraAttachInputs rec = ka::loadTesseraMembers(dir_);
  const size_t stride = 28 * 14 * 3, bytes = static_cast<size_t>(ka_tessera_members_band_bytes(m));
  std::vector<uint8_t> track(bytes), out(bytes, 0xEE);
  for (size_t i = 0; i < bytes; ++i) track[i] = static_cast<uint8_t>(i / stride);
  ASSERT_EQ(ka_tessera_members_reorder(m, track.data(), out.data(), err, sizeof err), 0);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(out[rec.track_order[i] * stride], i);
    EXPECT_EQ(out[rec.track_order[i] * stride + stride - 1], i);
  }
  EXPECT_EQ(ka_tessera_members_reorder(m, nullptr, out.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "ka_tessera_members_reorder: null argument");
  char tiny[6] = "xxxxx";
  EXPECT_EQ(ka_tessera_members_reorder(nullptr, track.data(), out.data(), tiny, 6), 1);
  EXPECT_STREQ(tiny, "ka_te");
  char one[2] = "x";
  ka_tessera_members_reorder(nullptr, track.data(), out.data(), one, 1);
  EXPECT_STREQ(one, "");
  one[0] = 'x';
  ka_tessera_members_reorder(nullptr, track.data(), out.data(), one, 0);
  EXPECT_EQ(one[0], 'x');
  ka_tessera_members_reorder(nullptr, track.data(), out.data(), nullptr, 10);
  ka_tessera_members_close(m);

  ka::TesseraAttachInputs broken = rec;
  broken.track_order.pop_back();
  EXPECT_EQ(errorOf([&] { ka::reorderTrackToDonor(broken, track.data(), out.data()); }),
            "teeth: track_order does not match n_donors");
  broken = rec;
  broken.band_w = 0;
  EXPECT_EQ(errorOf([&] { ka::reorderTrackToDonor(broken, track.data(), out.data()); }),
            "teeth: zero reference stride");
  EXPECT_EQ(errorOf([&] { ka::reorderTrackToDonor(rec, track.data(), nullptr); }), "teeth: null band buffer");

  EXPECT_EQ(ka_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(ka_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(ka_tessera_members_stamp(nullptr), nullptr);
  EXPECT_STREQ(ka_tessera_members_bank_codec(nullptr), "");
  EXPECT_EQ(ka_tessera_members_band_bytes(nullptr), 0);
  char e2[64];
  EXPECT_EQ(ka_tessera_members_open(nullptr, e2, sizeof e2), nullptr);
  EXPECT_STREQ(e2, "ka_tessera_members_open: null bundle_dir");
}

TEST_F(TesseraMembers, SidecarRefusals) {
  const std::string sc = dir_ + "/tessera_bank.v1.json";
  auto with = [&](const std::map<std::string, std::string>& over, int n = 8) {
    setSidecar(sidecar(n, over));
    return openError();
  };
  EXPECT_EQ(with({{"format", "\"tessera_bank.v2\""}}),
            sc + " declares format 'tessera_bank.v2', not 'tessera_bank.v1' — this reader does not know "
                 "that generation and will not guess at its keys.");
  EXPECT_EQ(with({{"format", ""}}).substr(0, sc.size() + 19), sc + " declares format ''");
  EXPECT_EQ(with({{"geometry", ""}}), sc + " carries no `geometry` stamp");
  EXPECT_EQ(with({{"geometry", R"({"canvas_w": 64})"}}), "teeth: " + sc + ".geometry lacks numeric 'canvas_h'");
  EXPECT_EQ(with({{"n_donors", "0"}}), sc + " says n_donors=0");
  EXPECT_EQ(with({{"n_donors", "-1e300"}}), sc + " says n_donors=-2147483648");
  EXPECT_EQ(with({{"n_donors", "\"8\""}}), "teeth: " + sc + " lacks numeric 'n_donors'");
  EXPECT_EQ(with({}, 1025).substr(0, sc.size() + 55), sc + " carries n_donors=1025, over the owner's cap of 1024 (r");
  EXPECT_EQ(with({{"cent", "{}"}}), sc + " lacks one of track_order/cent/aperture/c_canon as an array");
  EXPECT_EQ(with({{"c_canon", ""}}), sc + " lacks one of track_order/cent/aperture/c_canon as an array");
  EXPECT_EQ(with({{"aperture", "[1]"}}),
            sc + " says n_donors=8 but carries track_order=8, cent=8, aperture=1 — a count mismatch "
                 "silently mis-orders the donors.");
  EXPECT_EQ(with({{"c_canon", "[1, 2, 3]"}}), sc + " c_canon is not a pair");
  EXPECT_EQ(with({{"c_canon", "[1, \"2\"]"}}), sc + " c_canon is not a pair");
  EXPECT_EQ(with({{"track_order", "[0, 1, 2, 3, 4, 5, 6, 8]"}}), sc + " track_order[7]=8 is outside [0,8)");
  EXPECT_EQ(with({{"track_order", "[1, 2, 3, 4, 5, 6, -0.5, -1]"}}), sc + " track_order[7]=-1 is outside [0,8)");
  EXPECT_EQ(with({{"track_order", "[0, 1, 2, 3, 4, 5, 6, 2.7]"}}),
            sc + " track_order is not a permutation (reference 2 appears twice) — the inverse permutation "
                 "would leave a reference slot never written and the pass would blend uninitialised "
                 "memory into a real mouth.");
  EXPECT_EQ(with({{"track_order", "[0, 1, 2, 3, 4, 5, 6, null]"}}), sc + " track_order[7] is not a number");
  EXPECT_EQ(with({{"cent", "[[1,2],[1,2],[1,2],[1,2],[1,2],[1,2],[1,2],[1]]"}}), sc + " cent[7] is not an (x,y) pair");
  EXPECT_EQ(with({{"aperture", "[1,1,1,1,1,1,1,true]"}}), sc + " aperture[7] is not a number");
  EXPECT_EQ(with({{"codec", R"({"codec": "h264"})"}}),
            dir_ + ": neither manifest.tessera.bank_pix_fmt nor " + sc +
                ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
                "negotiates one, and the one it settles on is 4:2:0 — lossy chroma on reference pixels "
                "IS the borrow degrading. Refusing rather than letting it guess.");
  setManifest(R"({"format": "ka-bundle-v0"})");
  EXPECT_EQ(
      with({{"geometry", R"({"canvas_w":64,"canvas_h":64,"window_x0":0,"window_y0":0,"window_w":8,)"
                         R"("window_h":8,"pad":1,"band_r0":5,"band_r1":3,"band_c0":0,"band_c1":4,"shift_margin":1})"}}),
      "teeth stamp yields a non-positive stored patch (6x0)");
  setSidecar("{\"format\": \"tessera_bank.v1\", ");
  EXPECT_EQ(openError(), "teeth: " + sc + " is not readable JSON: teeth: malformed JSON object");

  // The cap itself is accepted, and the manifest's bank fields override the sidecar's.
  setSidecar(sidecar(1024, {{"codec", R"({"codec": "hevc"})"}}));
  std::string man = ka::test::readString(*base_ / "b/manifest.json");
  man.replace(man.find("\"tessera\": {") + 12, 0,
              R"("bank_pix_fmt": "rgb24", "bank_codec": 5, "bank_packing": "planar", )");
  setManifest(man);
  const ka::TesseraAttachInputs r = ka::loadTesseraMembers(dir_);
  EXPECT_EQ(r.n_donors, 1024);
  EXPECT_EQ(r.bank_pix_fmt, "rgb24");
  EXPECT_EQ(r.bank_codec, "hevc");  // not a string in the manifest: the sidecar's value stands
  EXPECT_EQ(r.bank_packing, "planar");
  EXPECT_EQ(r.track_order[0], 1023);
  EXPECT_EQ(r.cent[1], 40.5);
}

TEST_F(TesseraMembers, ManifestGeometryAndManifestFile) {
  int other[12];
  std::memcpy(other, kStamp, sizeof other);
  other[11] = 3;
  std::string man = ka::test::readString(dir_ + "/manifest.json");
  setManifest(R"({"tessera": {"geometry": )" + stampJson(other) + "}}");
  const std::string sc = dir_ + "/tessera_bank.v1.json";
  EXPECT_EQ(openError(),
            "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest {canvas_w=64, "
            "canvas_h=64, window_x0=16, window_y0=32, window_w=32, window_h=16, pad=4, band_r0=2, "
            "band_r1=12, band_c0=4, band_c1=28, shift_margin=3} vs " +
                sc +
                " {canvas_w=64, canvas_h=64, "
                "window_x0=16, window_y0=32, window_w=32, window_h=16, pad=4, band_r0=2, band_r1=12, "
                "band_c0=4, band_c1=28, shift_margin=2}; refusing to place a window on a rectangle the two "
                "halves of the bundle do not agree on.");
  setManifest(R"({"tessera": {"geometry": {"pad": 4}}})");
  EXPECT_EQ(openError(), "teeth: manifest.tessera.geometry lacks numeric 'canvas_w'");
  setManifest("{\"tessera\": [");
  EXPECT_EQ(openError(), "teeth: " + dir_ + "/manifest.json is not readable JSON: teeth: JSON truncated");
  // meta.json stands in for a missing manifest.json; with neither the pass has nothing to place by.
  std::remove((dir_ + "/manifest.json").c_str());
  ka::test::writeString(dir_ + "/meta.json", man);
  EXPECT_EQ(ka::loadTesseraMembers(dir_).manifest_json, man);
  std::remove((dir_ + "/meta.json").c_str());
  EXPECT_EQ(openError(), dir_ +
                             " carries no manifest.json or meta.json — the compose descriptor (unified.pi) "
                             "the pass places its window by lives there, and placing a borrow window "
                             "without it is guessing.");
}

TEST_F(TesseraMembers, ContainerBundleAndBankTrack) {
  // A container is unpacked once and read like its directory.
  ASSERT_TRUE(ka::test::forge({"imx", dir_, tmp_ / "avatar.imx"}));
  char err[512] = "";
  ka_tessera_members* m = ka_tessera_members_open((tmp_ / "avatar.imx").c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_EQ(ka_tessera_members_n_donors(m), 8);
  EXPECT_EQ(std::string(ka_tessera_members_bank_track_path(m)), tmp_ / "avatar.kabundle/tessera_bank.v1.mp4");
  ka_tessera_members_close(m);
  // The forged track holds one band-sized frame per donor.
  const std::string probe =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
      "stream=width,height,nb_read_frames,pix_fmt -of csv=p=0 " +
      ka::test::shellQuote(dir_ + "/tessera_bank.v1.mp4") + " > " + ka::test::shellQuote(tmp_ / "probe.txt");
  ASSERT_EQ(ka::test::runCommand(probe), 0);
  EXPECT_EQ(ka::test::readString(tmp_ / "probe.txt"), "28,14,yuv444p,8\n");
}

TEST_F(TesseraMembers, MembersMustBeRegularFiles) {
  std::remove((dir_ + "/tessera_head.v1.json").c_str());
  // A directory does not open as a file at all.
  ASSERT_EQ(::mkdir((dir_ + "/tessera_head.v1.json").c_str(), 0755), 0);
  EXPECT_EQ(openError(), "teeth: cannot open " + dir_ + "/tessera_head.v1.json");
  ::rmdir((dir_ + "/tessera_head.v1.json").c_str());
  ASSERT_EQ(::mkfifo((dir_ + "/tessera_head.v1.json").c_str(), 0644), 0);
  EXPECT_EQ(openError(), dir_ + "/tessera_head.v1.json: not a regular file");
  ::unlink((dir_ + "/tessera_head.v1.json").c_str());
  // An oversized member is refused by its size, before it is read.
  ASSERT_EQ(::truncate((dir_ + "/tessera_head.v1.pt").c_str(), (16 << 20) + 1), 0);
  ka::test::writeString(dir_ + "/tessera_head.v1.json", "{}");
  EXPECT_EQ(openError(), "teeth: " + dir_ +
                             "/tessera_head.v1.pt is 16777217 bytes, more than the 16777216 a "
                             "tessera member may hold");
}

}  // namespace
