// The teeth pass reference's forged bank, head weights, frames and expected results
// (tests/tessera/teeth_pass_ref.py), read back for the tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "face/json.h"
#include "tessera/teeth_pass.h"

namespace ka::tessera::test {

using ka::test::readAs;

struct Forged {
  BankData bank;
  HeadWeights head;
  ServeConfig cfg;
  std::vector<uint8_t> frames, masks, want;
  std::vector<int32_t> shifts, skipped;
  std::vector<float> scores;
  int count = 0, retrievals = 0;
};

inline Forged forgeReference(const ka::test::TempDir& tmp, int seed) {
  Forged f;
  const int rc = ka::test::runCommand(std::string(KA_PYTHON) + " " + KA_SOURCE_DIR +
                                      "/tests/tessera/teeth_pass_ref.py " + tmp.path() + " " + std::to_string(seed));
  if (rc != 0) ADD_FAILURE() << "the teeth pass reference failed";
  const ka::tessera::json::JVal c = ka::tessera::json::parseText(ka::test::readString(tmp / "cfg.json"));
  int st[12];
  for (int i = 0; i < 12; ++i) st[i] = static_cast<int>(c.get("stamp")->arr[i].num);
  f.bank.stamp = GeometryStamp::fromInts(st);
  f.bank.n = static_cast<int>(c.get("n")->num);
  f.bank.patches = ka::test::readBytes(tmp / "bank.u8");
  f.bank.cent = readAs<double>(tmp / "cent.f64");
  f.bank.aperture = readAs<double>(tmp / "aperture.f64");
  f.bank.c_canon = {c.get("c_canon")->arr[0].num, c.get("c_canon")->arr[1].num};
  const std::vector<float> w = readAs<float>(tmp / "head.f32");
  size_t at = 0;
  for (auto* v :
       {&f.head.cand0_w, &f.head.cand0_b, &f.head.cand2_w, &f.head.cand2_b, &f.head.cand4_w, &f.head.cand4_b}) {
    const size_t n = v == &f.head.cand0_w   ? 1008
                     : v == &f.head.cand2_w ? 2304
                     : v == &f.head.cand4_w ? 144
                     : v == &f.head.cand4_b ? 1
                                            : 16;
    v->assign(w.begin() + at, w.begin() + at + n);
    at += n;
  }
  if (at != w.size()) ADD_FAILURE() << "head weights of the reference do not fit";
  f.cfg.kshort = static_cast<int>(c.get("kshort")->num);
  f.cfg.aperture_tol = c.get("aperture_tol")->num;
  f.cfg.cut = static_cast<int>(c.get("cut")->num);
  f.cfg.K = static_cast<int>(c.get("K")->num);
  f.cfg.hysteresis = static_cast<int>(c.get("hysteresis")->num);
  f.cfg.lookahead = static_cast<int>(c.get("lookahead")->num);
  f.frames = ka::test::readBytes(tmp / "frames.u8");
  f.masks = ka::test::readBytes(tmp / "masks.u8");
  f.want = ka::test::readBytes(tmp / "want.u8");
  f.shifts = readAs<int32_t>(tmp / "shifts.i32");
  f.skipped = readAs<int32_t>(tmp / "skipped.i32");
  f.scores = readAs<float>(tmp / "scores.f32");
  f.count = static_cast<int>(c.get("frames")->num);
  f.retrievals = static_cast<int>(c.get("retrievals")->num);
  return f;
}

}  // namespace ka::tessera::test
