// The head weights reader on archives in every legal layout and on hostile ones, and the serving
// configuration.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "tessera/head_weights.h"

namespace {

using ka::tessera::HeadWeights;
using ka::tessera::loadHeadPt;
using ka::test::errorOf;
using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, uint32_t v) { b.push_back(v & 0xff), b.push_back(v >> 8 & 0xff); }
void put32(Bytes& b, uint32_t v) { put16(b, v & 0xffff), put16(b, v >> 16); }

// A ZIP archive of stored entries, independent of the reader's own parsing.
Bytes zipOf(const std::vector<std::pair<std::string, Bytes>>& entries, uint16_t method = 0) {
  Bytes out, cd;
  for (const auto& e : entries) {
    const uint32_t at = static_cast<uint32_t>(out.size());
    put32(out, 0x04034b50), put16(out, 20), put16(out, 0), put16(out, method), put32(out, 0), put32(out, 0);
    put32(out, static_cast<uint32_t>(e.second.size())), put32(out, static_cast<uint32_t>(e.second.size()));
    put16(out, static_cast<uint32_t>(e.first.size())), put16(out, 0);
    out.insert(out.end(), e.first.begin(), e.first.end());
    out.insert(out.end(), e.second.begin(), e.second.end());
    put32(cd, 0x02014b50), put16(cd, 20), put16(cd, 20), put16(cd, 0), put16(cd, method), put32(cd, 0), put32(cd, 0);
    put32(cd, static_cast<uint32_t>(e.second.size())), put32(cd, static_cast<uint32_t>(e.second.size()));
    put16(cd, static_cast<uint32_t>(e.first.size())), put16(cd, 0), put16(cd, 0), put16(cd, 0), put16(cd, 0);
    put32(cd, 0), put32(cd, at);
    cd.insert(cd.end(), e.first.begin(), e.first.end());
  }
  const uint32_t cdAt = static_cast<uint32_t>(out.size());
  out.insert(out.end(), cd.begin(), cd.end());
  put32(out, 0x06054b50), put16(out, 0), put16(out, 0), put16(out, static_cast<uint32_t>(entries.size()));
  put16(out, static_cast<uint32_t>(entries.size())), put32(out, static_cast<uint32_t>(cd.size())), put32(out, cdAt);
  put16(out, 0);
  return out;
}

Bytes pkl(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string pklStr(const std::string& s) {
  std::string o = "X";
  for (int k = 0; k < 4; ++k) o += static_cast<char>(s.size() >> (8 * k) & 0xff);
  return o + s;
}
std::string pklInt(int32_t v) {
  std::string o = "J";
  for (int k = 0; k < 4; ++k) o += static_cast<char>(static_cast<uint32_t>(v) >> (8 * k) & 0xff);
  return o;
}

struct Tensor {
  std::string name;
  std::vector<int> shape;
  int32_t offset = 0;
  std::vector<int> strides;  // empty: contiguous
  size_t storageFloats = 0;  // 0: exactly the element count
};

// The candidate-only head as the training side pickles it, with one tensor per storage.
std::vector<Tensor> candHead() {
  std::vector<Tensor> t(6);
  const char* names[6] = {"cand.0.weight", "cand.0.bias",   "cand.2.weight",
                          "cand.2.bias",   "cand.4.weight", "cand.4.bias"};
  const std::vector<int> shapes[6] = {{16, 7, 3, 3}, {16}, {16, 16, 3, 3}, {16}, {1, 16, 3, 3}, {1}};
  for (int k = 0; k < 6; ++k) t[k].name = names[k], t[k].shape = shapes[k];
  return t;
}

Bytes checkpoint(const std::vector<Tensor>& ts, const std::string& storageType = "FloatStorage") {
  std::string p = std::string("\x80\x02") + "ccollections\nOrderedDict\nq" + std::string(1, '\0') + ")R(";
  std::vector<std::pair<std::string, Bytes>> entries;
  for (size_t k = 0; k < ts.size(); ++k) {
    const Tensor& t = ts[k];
    size_t n = 1;
    for (int d : t.shape) n *= d;
    std::string sizes = "(", strides = "(";
    size_t step = 1;
    std::vector<int> st(t.shape.size());
    for (size_t d = t.shape.size(); d-- > 0;) st[d] = static_cast<int>(step), step *= t.shape[d];
    if (!t.strides.empty()) st = t.strides;
    for (int d : t.shape) sizes += pklInt(d);
    for (int d : st) strides += pklInt(d);
    p += pklStr(t.name) + "ctorch._utils\n_rebuild_tensor_v2\n((" + pklStr("storage") + "ctorch\n" + storageType +
         "\n" + pklStr(std::to_string(k)) + pklStr("cpu") + pklInt(static_cast<int32_t>(n)) + "tQ" + pklInt(t.offset) +
         sizes + "t" + strides + "t\x89tR";
    Bytes data((t.storageFloats ? t.storageFloats : n) * 4);
    for (size_t i = 0; i < data.size() / 4; ++i) {
      const float v = static_cast<float>(k) + static_cast<float>(i) / 4096.0f;
      std::memcpy(&data[4 * i], &v, 4);
    }
    entries.emplace_back("archive/data/" + std::to_string(k), data);
  }
  p += "u.";
  entries.insert(entries.begin(), {"archive/data.pkl", pkl(p)});
  return zipOf(entries);
}

std::string loadError(const Bytes& b) {
  return errorOf([&] { loadHeadPt(b); });
}
std::string pickleError(const std::string& p) { return loadError(zipOf({{"a/data.pkl", pkl(p)}})); }

std::vector<float> flatten(const HeadWeights& w) {
  std::vector<float> all;
  for (const auto* v : {&w.cand0_w, &w.cand0_b, &w.cand2_w, &w.cand2_b, &w.cand4_w, &w.cand4_b, &w.syn0_w, &w.syn0_b,
                        &w.syn2_w, &w.syn2_b})
    all.insert(all.end(), v->begin(), v->end());
  return all;
}

class TesseraHead : public ::testing::Test {
 protected:
  Bytes forged(const std::vector<std::string>& args) {
    std::vector<std::string> a = {"tessera-head", tmp_ / "h.pt"};
    a.insert(a.end(), args.begin(), args.end());
    EXPECT_TRUE(ka::test::forge(a));
    return ka::test::readBytes(tmp_ / "h.pt");
  }
  ka::test::TempDir tmp_;
};

TEST_F(TesseraHead, EveryLegalLayoutGivesTheSameWeights) {
  const Bytes plain = forged({"--dump", tmp_ / "want.f32"});
  const std::vector<float> want = ka::test::readAs<float>(tmp_ / "want.f32");
  const HeadWeights w = loadHeadPt(plain);
  EXPECT_EQ(w.params(), 4082);
  EXPECT_EQ(flatten(w), want);
  EXPECT_EQ(w.envelope, 12.0f / 255.0f);
  for (const std::vector<std::string>& v : {std::vector<std::string>{"--layout", "aligned"},
                                            {"--layout", "shared"},
                                            {"--metadata", "--folder", "tessera_head.v1"}})
    EXPECT_EQ(flatten(loadHeadPt(forged(v))), want) << v[0];
  // The candidate-only head.
  const HeadWeights c = loadHeadPt(forged({"--arch", "cand", "--layout", "shared", "--dump", tmp_ / "c.f32"}));
  EXPECT_EQ(c.params(), 3489);
  EXPECT_TRUE(c.syn0_w.empty());
  EXPECT_EQ(flatten(c), ka::test::readAs<float>(tmp_ / "c.f32"));
  // A head without "syn.0.weight" is the candidate-only head: other syn tensors are not read.
  EXPECT_EQ(loadHeadPt(forged({"--drop", "syn.0.weight"})).params(), 3489);
}

TEST_F(TesseraHead, CheckpointRefusals) {
  EXPECT_EQ(loadError(forged({"--compress"})),
            "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member");
  EXPECT_EQ(loadError(forged({"--protocol", "4"})), "teeth: unsupported pickle opcode 0x95 in head .pt");
  EXPECT_EQ(loadError(forged({"--dtype", "double"})),
            "teeth: head .pt storage is torch DoubleStorage, not torch FloatStorage — refusing to reinterpret it");
  EXPECT_EQ(loadError(forged({"--shape", "cand.2.weight=16x16x5x5"})),
            "teeth: head 'cand.2.weight' has shape [16,16,5,5] — not the BlendHead(16) arch");
  EXPECT_EQ(loadError(forged({"--drop", "cand.0.bias"})), "teeth: head .pt lacks 'cand.0.bias'");
  EXPECT_EQ(loadError(forged({"--drop", "syn.2.bias"})), "teeth: head .pt lacks 'syn.2.bias'");
  EXPECT_EQ(loadError(forged({"--dup", "cand.4.bias"})), "teeth: head .pt names 'cand.4.bias' 2 times — ambiguous");
}

TEST_F(TesseraHead, DamagedArchives) {
  const Bytes good = forged({});
  EXPECT_EQ(loadError(Bytes(good.begin(), good.begin() + 21)), "teeth: head .pt is not a zip");
  Bytes b = good;
  b[0] = 'X';
  EXPECT_EQ(loadError(b), "teeth: head .pt is not a zip");
  EXPECT_EQ(loadError(Bytes(good.begin(), good.begin() + good.size() / 2)), "teeth: head .pt has no zip EOCD");
  EXPECT_EQ(loadError(Bytes(good.begin(), good.end() - 1)), "teeth: head .pt has no zip EOCD");
  const size_t eocd = good.size() - 22;
  auto patch32 = [](Bytes& x, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) x[at + k] = static_cast<uint8_t>(v >> (8 * k));
  };
  b = good;
  patch32(b, eocd + 16, static_cast<uint32_t>(eocd - 10));  // directory offset inside the end record
  EXPECT_EQ(loadError(b), "teeth: head .pt central directory is malformed");
  b = good;
  b[eocd + 10] = static_cast<uint8_t>(b[eocd + 10] + 1);  // one entry more than the directory holds
  EXPECT_EQ(loadError(b), "teeth: head .pt central directory is malformed");
  uint32_t cd = 0;
  std::memcpy(&cd, &good[eocd + 16], 4);
  b = good;
  patch32(b, cd + 42, 0xFFFFFFF0u);  // first entry's local header far past the end
  EXPECT_EQ(loadError(b), "teeth: head .pt local header out of range");
  b = good;
  patch32(b, cd + 20, 0x7FFFFFFFu);  // first entry's size far past the end
  EXPECT_EQ(loadError(b), "teeth: head .pt entry out of range");
  b = good;
  const std::string pklName = "archive/data.pkl";
  for (size_t at = 0; at + pklName.size() <= b.size(); ++at)
    if (std::memcmp(&b[at], pklName.data(), pklName.size()) == 0) b[at + 12] = 'X';
  EXPECT_EQ(loadError(b), "teeth: head .pt has no data.pkl");
}

TEST_F(TesseraHead, TensorStorageChecks) {
  std::vector<Tensor> t = candHead();
  const HeadWeights w = loadHeadPt(checkpoint(t));
  EXPECT_EQ(w.params(), 3489);
  EXPECT_EQ(w.cand2_b[3], 3.0f + 3.0f / 4096.0f);
  // Shared storage: an offset within a larger storage reads from there.
  t[1].offset = 5;
  t[1].storageFloats = 21;
  EXPECT_EQ(loadHeadPt(checkpoint(t)).cand0_b[0], 1.0f + 5.0f / 4096.0f);
  t[1].offset = 6;
  EXPECT_EQ(loadError(checkpoint(t)), "teeth: head storage 1 too small");
  t[1].offset = -1;
  EXPECT_EQ(loadError(checkpoint(t)), "teeth: head storage 1 too small");
  t[1].offset = 0x7FFFFFFF;
  EXPECT_EQ(loadError(checkpoint(t)), "teeth: head storage 1 too small");
  t = candHead();
  t[0].storageFloats = 1007;
  EXPECT_EQ(loadError(checkpoint(t)), "teeth: head storage 0 too small");
  t = candHead();
  t[4].strides = {1, 1, 48, 16};
  EXPECT_EQ(loadError(checkpoint(t)),
            "teeth: head 'cand.4.weight' has strides [1,1,48,16], not the contiguous "
            "[144,9,3,1] of its shape — refusing to reorder it");
  t = candHead();
  EXPECT_EQ(loadError(checkpoint(t, "HalfStorage")),
            "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it");
  // A storage the archive does not hold.
  Bytes b = checkpoint(candHead());
  const std::string key = "archive/data/5";
  for (size_t at = 0; at + key.size() <= b.size(); ++at)
    if (std::memcmp(&b[at], key.data(), key.size()) == 0) b[at + 13] = '9';
  EXPECT_EQ(loadError(b), "teeth: head storage 5 missing");
}

TEST(TesseraHeadPickle, HostileOpcodeStreams) {
  const std::string rebuild = "ctorch._utils\n_rebuild_tensor_v2\n";
  const struct {
    std::string p, error;
  } cases[] = {
      {"", "teeth: pickle truncated"},
      {"\x80", "teeth: pickle truncated"},
      {"\x80\x02", "teeth: pickle truncated"},
      {".", "teeth: pickle STOP on a stack too short"},
      {"}N.", "teeth: head .pt state_dict is empty"},
      {"}NNs", "teeth: pickle truncated"},
      {"}Ns", "teeth: pickle SETITEM on a stack too short"},
      {"NNNs", "teeth: pickle SETITEM on a non-dict"},
      {"}(.", "teeth: pickle STOP on a stack too short"},
      {"}(Nu", "teeth: pickle SETITEMS with an odd item count"},
      {"(Nu", "teeth: pickle SETITEMS on a stack too short"},
      {"Nt", "teeth: pickle TUPLE without a MARK"},
      {"N\x86", "teeth: pickle TUPLE1/2/3 on a stack too short"},
      {"NR", "teeth: pickle REDUCE on a stack too short"},
      {"N(NR", "teeth: pickle REDUCE on a stack too short"},
      {"Nb", "teeth: pickle BUILD on a stack too short"},
      {"Q", "teeth: pickle BINPERSID on a stack too short"},
      {"q\x01", "teeth: pickle BINPUT on a stack too short"},
      {std::string("h\x00", 2), "teeth: pickle BINGET out of range"},
      {"j\xf0\xff\xff\xff", "teeth: pickle LONG_BINGET out of range"},
      {"Nr\xf0\xff\xff\xffj\xf0\xff\xff\xff.", "teeth: head .pt state_dict is empty"},  // no allocation by index
      {"X\xff\xff\xff\x7f", "teeth: pickle truncated"},
      {std::string("X\x05\0\0\0", 5) + "abc", "teeth: pickle truncated"},
      {"ctorch\n", "teeth: pickle truncated"},
      {"\x95", "teeth: unsupported pickle opcode 0x95 in head .pt"},
      {"\x94", "teeth: unsupported pickle opcode 0x94 in head .pt"},
      {"cos\nsystem\n" + pklStr("x") + "\x85R.",
       "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {"NNR", "teeth: head .pt calls a value that is not a global"},
      {rebuild + "NN\x86R", "teeth: malformed _rebuild_tensor_v2"},
      {rebuild + ")R", "teeth: malformed _rebuild_tensor_v2"},
      {"(" + pklStr("storage") + "ctorch\nFloatStorage\n" + pklStr("0") + pklStr("cpu") + "tQ",
       "teeth: unexpected persistent id in head .pt"},
      {"NQ", "teeth: unexpected persistent id in head .pt"},
      {"}" + pklStr("cand.0.weight") + "K\x01s.", "teeth: 'cand.0.weight' is not a tensor"},
      {"}" + pklStr("cand.0.weight") + "K\x01sb.", "teeth: pickle BUILD on a stack too short"},
      {"N" + std::string(80, '\x85'), "teeth: pickle nests deeper than 64 levels"},
  };
  for (const auto& c : cases) EXPECT_EQ(pickleError(c.p), c.error) << testing::PrintToString(c.p);
  EXPECT_EQ(loadError(zipOf({{"a/data/0", pkl("x")}})), "teeth: head .pt has no data.pkl");
  // A memoised value shared many times costs no copies: 2^40 leaves reached through sharing.
  std::string p = "N";
  for (int k = 0; k < 40; ++k) p += "q\x01h\x01\x86";
  EXPECT_EQ(pickleError(p + "."), "teeth: head .pt state_dict is empty");
  // A stream of a million pushes is refused before it grows into gigabytes of values.
  EXPECT_EQ(pickleError(std::string((1 << 20) + 1, 'N')), "teeth: pickle builds more than 1048576 values");
}

TEST(TesseraServeConfig, FromHeadMemberJson) {
  using ka::tessera::ServeConfig;
  const std::string ok =
      R"({"retrieval": {"kshort": 300.9, "aperture_tol": 0.25, "cut": 50, "K": 16}, "temporal": {"hysteresis": 4, "lookahead": 0})";
  ServeConfig c = ServeConfig::fromHeadMemberJson(ok + "}");
  EXPECT_EQ(c.kshort, 300);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.K, 16);
  EXPECT_EQ(c.lookahead, 0);
  EXPECT_EQ(c.bright_threshold, 100.0);
  EXPECT_EQ(c.min_teeth_px, 32);
  EXPECT_TRUE(c.lookahead_enabled);
  auto err = [](const std::string& t) { return errorOf([&] { ServeConfig::fromHeadMemberJson(t); }); };
  EXPECT_EQ(err(ok + R"(, "decode": {"envelope_clamp_255": 12.0000001}})"), "(no error)");
  EXPECT_EQ(err(ok + R"(, "decode": {"other": 1}})"), "(no error)");
  const std::string env =
      "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity";
  EXPECT_EQ(err(ok + R"(, "decode": {"envelope_clamp_255": 13}})"), env);
  EXPECT_EQ(err(ok + R"(, "decode": {"envelope_clamp_255": "12"}})"), env);
  EXPECT_EQ(err(ok + R"(, "decode": {"envelope_clamp_255": nan}})"), env);
  EXPECT_EQ(err(R"({"retrieval": {}})"),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
            "defaults (W3-01)");
  EXPECT_EQ(err(R"({"retrieval": {"kshort": 1, "aperture_tol": 0.3, "cut": 1}, "temporal": {}})"),
            "teeth: member JSON lacks key 'K'");
  EXPECT_EQ(err(R"({"retrieval": {"kshort": 1, "aperture_tol": 0.3, "cut": 1, "K": 0}, "temporal": {}})"),
            "teeth: tessera_head.v1 config gives K=0, below 1 — not a usable count");
  EXPECT_EQ(err(R"({"retrieval": {"kshort": -1e300}, "temporal": {}})"),
            "teeth: tessera_head.v1 config gives kshort=-2147483648, below 1 — not a usable count");
  EXPECT_EQ(err("{"), "teeth: malformed JSON object");
}

}  // namespace
