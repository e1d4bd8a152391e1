// The tessera JSON reader on valid documents and on hostile ones.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <string>

#include "common/test_util.h"
#include "face/json.h"

namespace {

using ka::tessera::json::JVal;
using ka::tessera::json::parseText;
using ka::test::errorOf;

TEST(TesseraJson, NumbersInEveryStrtodForm) {
  const JVal v = parseText(" [1, -2.5, 1e3, 2E-2, 0x10, .5, +7, inf, -Infinity, 1.5e400]x");
  ASSERT_TRUE(v.isArray());
  const double want[] = {1, -2.5, 1000, 0.02, 16, 0.5, 7, HUGE_VAL, -HUGE_VAL, HUGE_VAL};
  ASSERT_EQ(v.arr.size(), 10u);
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(v.arr[i].num, want[i]) << i;
  EXPECT_TRUE(std::isnan(parseText("nan").num));
  // Numbers keep their full stop whatever locale the host chose.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8")) {
    EXPECT_EQ(parseText("2.5").num, 2.5);
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(TesseraJson, StringsEscapesAndKeywords) {
  const JVal v = parseText(R"({"a":"x\"y\\z\/\b\f\n\r\t\q","u":"caf\u00e9!","t":true,"f":false,"n":null})");
  EXPECT_EQ(v.get("a")->str, std::string("x\"y\\z/\b\f\n\r\tq"));
  EXPECT_EQ(v.get("u")->str, "caf?!");
  EXPECT_TRUE(v.get("t")->b);
  EXPECT_EQ(v.get("f")->kind, JVal::Bool);
  EXPECT_FALSE(v.get("f")->b);
  // Keywords match by prefix: "falsey" reads as false and leaves "y", which breaks the object.
  EXPECT_EQ(errorOf([] { parseText(R"({"f":falsey})"); }), "teeth: malformed JSON object");
  EXPECT_EQ(parseText("nullx").kind, JVal::Null);
}

TEST(TesseraJson, DuplicateKeysAreKeptAndTheFirstWins) {
  const JVal v = parseText(R"({"k": 1, "k": 2, "o": {}, "a": []})");
  ASSERT_EQ(v.obj.size(), 4u);
  EXPECT_EQ(v.get("k")->num, 1);
  EXPECT_EQ(v.obj[1].second.num, 2);
  EXPECT_TRUE(v.getObject("o"));
  EXPECT_FALSE(v.getObject("a"));
  EXPECT_TRUE(v.getArray("a"));
  EXPECT_EQ(ka::tessera::json::optStr(v, "k", "def"), "def");
  EXPECT_EQ(errorOf([&] { ka::tessera::json::reqNum(v, "o", "ctx"); }), "teeth: ctx lacks numeric 'o'");
}

TEST(TesseraJson, HostileDocumentsAreRefused) {
  const struct {
    std::string text, error;
  } cases[] = {
      {"", "teeth: JSON truncated"},
      {"   ", "teeth: JSON truncated"},
      {"[1,", "teeth: JSON truncated"},
      {"{\"a\":", "teeth: JSON truncated"},
      {"\"abc", "teeth: JSON truncated inside a string"},
      {"\"abc\\", "teeth: JSON truncated inside a string"},
      {"\"\\u00e", "teeth: JSON truncated inside a string"},
      {"{\"a\":1", "teeth: malformed JSON object"},
      {"{1:2}", "teeth: malformed JSON object"},
      {"{\"a\" 1}", "teeth: malformed JSON object"},
      {"[1 2]", "teeth: malformed JSON array"},
      {"[1", "teeth: malformed JSON array"},
      {"@", "teeth: bad JSON number"},
      {"-", "teeth: bad JSON number"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf([&] { parseText(c.text); }), c.error) << c.text;
  // A text that ends inside a string is refused even when memory after it holds a quote.
  std::string buf = "\"abc\"";
  EXPECT_EQ(errorOf([&] { parseText(buf.substr(0, 4)); }), "teeth: JSON truncated inside a string");
}

TEST(TesseraJson, NestingIsBounded) {
  const int limit = ka::tessera::json::kMaxDepth;
  std::string ok = std::string(limit, '[') + std::string(limit, ']');
  EXPECT_TRUE(parseText(ok).isArray());
  const std::string deep = std::string(limit + 1, '[') + std::string(limit + 1, ']');
  EXPECT_EQ(errorOf([&] { parseText(deep); }), "teeth: JSON nested deeper than 256 levels");
  // 200,000 open arrays would overflow the stack of an unbounded reader.
  EXPECT_EQ(errorOf([] { parseText(std::string(200000, '[')); }), "teeth: JSON nested deeper than 256 levels");
  std::string objs;
  for (int i = 0; i < 100000; ++i) objs += "{\"a\":";
  EXPECT_EQ(errorOf([&] { parseText(objs); }), "teeth: JSON nested deeper than 256 levels");
}

TEST(TesseraJson, TruncationSaturates) {
  using ka::tessera::json::truncInt;
  EXPECT_EQ(truncInt(2.9), 2);
  EXPECT_EQ(truncInt(-2.9), -2);
  EXPECT_EQ(truncInt(1e300), 2147483647);
  EXPECT_EQ(truncInt(-1e300), -2147483647 - 1);
  EXPECT_EQ(truncInt(NAN), 0);
}

}  // namespace
