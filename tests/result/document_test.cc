#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <limits>
#include <regex>

#include "result/result.h"
#include "tests/result/line_builder.h"

namespace result_test {
namespace {

WheelResult Wheel(uint32_t weight, uint32_t condition, std::vector<int32_t> strength = {},
                  std::vector<int32_t> ids = {}) {
  WheelResult wheel;
  wheel.weight = weight;
  wheel.condition = condition;
  wheel.strength = std::move(strength);
  wheel.ids = std::move(ids);
  return wheel;
}

TrainResult OneAxleTrain(float speed, std::string type = "") {
  AxisResult axle;
  axle.speed = speed;
  axle.wheels = {Wheel(60, 0), Wheel(60, 0)};
  CarriageResult carriage;
  carriage.full_weight = 120;
  carriage.loco.type = std::move(type);
  carriage.axis = {axle};
  TrainResult train;
  train.correct = true;
  train.total_weight = 120;
  train.carriages = {carriage};
  return train;
}

// Two carriages: a locomotive with one axle whose wheels carry lists, and a
// carriage without axles.
TrainResult SmallTrain() {
  AxisResult axle;
  axle.speed = 7.25f;
  axle.wheels = {Wheel(4000000000u, 3, {1, -2}, {10, 11}), Wheel(500, 1)};
  CarriageResult loco;
  loco.full_weight = 9000;
  loco.loco.flag = true;
  loco.loco.type = "2TE10";
  loco.axis = {axle};
  CarriageResult empty;
  empty.full_weight = 0;
  TrainResult train;
  train.correct = true;
  train.total_weight = 9000;
  train.carriages = {loco, empty};
  return train;
}

TEST(ResultDocumentTest, WritesTheKnownDocuments) {
  struct Case {
    const char* name;
    TrainResult train;
    bool escapeQuotes;
    bool wideInfo;
    std::string expected;
  };
  const Case cases[] = {
      {"one axle", OneAxleTrain(12.5f), false, false,
       R"({"total_weight":120,"correct":true,"carriages":[{"full_weight":120,"loco":{"flag":false,"type":""},)"
       R"("axis":[{"speed":12.5,"wheels":[{"weight":60,"condition":0},{"weight":60,"condition":0}]}]}]})"},
      {"failure", TrainResult{}, false, false, R"({"total_weight":0,"correct":false,"carriages":[]})"},
      {"failure escaped", TrainResult{}, true, true,
       R"({\"total_weight\":0,\"correct\":false,\"carriages\":[]})"},
      {"small plain", SmallTrain(), false, false,
       R"({"total_weight":9000,"correct":true,"carriages":[{"full_weight":9000,"loco":{"flag":true,"type":"2TE10"},)"
       R"("axis":[{"speed":7.25,"wheels":[{"weight":-294967296,"condition":3},{"weight":500,"condition":1}]}]},)"
       R"({"full_weight":0,"loco":{"flag":false,"type":""},"axis":[]}]})"},
      {"small wide", SmallTrain(), false, true,
       R"({"total_weight":9000,"correct":true,"carriages":[{"full_weight":9000,"loco":{"flag":true,"type":"2TE10"},)"
       R"("axis":[{"speed":7.25,"wheels":[{"weight":-294967296,"condition":3,"strength":[1,-2],"ids":[10,11]},)"
       R"({"weight":500,"condition":1,"strength":[],"ids":[]}]}]},)"
       R"({"full_weight":0,"loco":{"flag":false,"type":""},"axis":[]}]})"},
      {"small escaped", SmallTrain(), true, false,
       R"({\"total_weight\":9000,\"correct\":true,\"carriages\":[{\"full_weight\":9000,)"
       R"(\"loco\":{\"flag\":true,\"type\":\"2TE10\"},\"axis\":[{\"speed\":7.25,\"wheels\":[)"
       R"({\"weight\":-294967296,\"condition\":3},{\"weight\":500,\"condition\":1}]}]},)"
       R"({\"full_weight\":0,\"loco\":{\"flag\":false,\"type\":\"\"},\"axis\":[]}]})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildResultDocument(c.train, c.escapeQuotes, c.wideInfo), c.expected) << c.name;
  }
}

TEST(ResultDocumentTest, SpeedsAreCutAfterTwoDecimalPlaces) {
  struct Case {
    float speed;
    const char* expected;
  };
  const Case cases[] = {
      {0.0f, "0.0"},        {12.0f, "12.0"},      {12.5f, "12.5"},   {2.3f, "2.29"},
      {0.004f, "0.0"},      {12.345f, "12.34"},   {12.3f, "12.3"},   {-0.0f, "-0.0"},
      {-3.75f, "-3.75"},    {0.01f, "0.0"},       {123456.78f, "123456.78"},
  };
  for (const Case& c : cases) {
    std::string document = BuildResultDocument(OneAxleTrain(c.speed), false, false);
    EXPECT_NE(document.find(std::string("{\"speed\":") + c.expected + ",\"wheels\""), std::string::npos)
        << c.speed << " in " << document;
  }
}

TEST(ResultDocumentTest, SpeedsThatAreNotNumbersKeepTheDocumentValid) {
  const float speeds[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity()};
  for (float speed : speeds) {
    TrainResult train = OneAxleTrain(speed);
    train.carriages.push_back(train.carriages[0]);  // the text goes on after the bad value
    std::string document = BuildResultDocument(train, false, true);
    rapidjson::Document parsed;
    parsed.Parse(document.c_str());
    ASSERT_FALSE(parsed.HasParseError()) << document;
    ASSERT_EQ(parsed["carriages"].Size(), 2u);
    EXPECT_EQ(parsed["carriages"][1]["axis"][0]["speed"].GetDouble(), 0.0) << document;
    EXPECT_EQ(parsed["carriages"][1]["axis"][0]["wheels"][1]["weight"].GetInt(), 60);
  }
}

TEST(ResultDocumentTest, TypeTextIsEscapedByTheWriterAndThenQuoteEscaped) {
  std::string type = std::string("A\"B\\\x01\n\t\x1f\xc3\xa9") + '\0' + "hidden";
  TrainResult train = OneAxleTrain(1.0f, type);
  const std::string written = R"("type":"A\"B\\\u0001\n\t\u001F)" "\xc3\xa9" R"(")";
  std::string plain = BuildResultDocument(train, false, false);
  EXPECT_NE(plain.find(written), std::string::npos) << plain;
  EXPECT_EQ(plain.find("hidden"), std::string::npos);

  // Every quotation mark, also the writer's escaped one, gains a backslash;
  // backslashes are not doubled.
  std::string escaped = BuildResultDocument(train, true, false);
  const std::string escapedType = R"(\"type\":\"A\\"B\\\u0001\n\t\u001F)" "\xc3\xa9" R"(\")";
  EXPECT_NE(escaped.find(escapedType), std::string::npos) << escaped;
  std::string unescaped = escaped;
  ReplaceAll(unescaped, "\\\"", "\"");
  EXPECT_EQ(unescaped, plain);
}

TEST(ResultDocumentTest, WideInfoAddsOnlyTheWheelLists) {
  LinePool pool;
  TrainResult train =
      MergeLineResults({pool.Add(UniformLine(1, 10, 3, 4)), pool.Add(UniformLine(2, 20, 3, 4))});
  std::string plain = BuildResultDocument(train, false, false);
  std::string wide = BuildResultDocument(train, false, true);
  const std::regex lists(R"(,"strength":\[[-0-9,]*\],"ids":\[[-0-9,]*\])");
  EXPECT_EQ(std::distance(std::sregex_iterator(wide.begin(), wide.end(), lists), std::sregex_iterator()), 3 * 4 * 2);
  EXPECT_EQ(std::regex_replace(wide, lists, ""), plain);
  EXPECT_NE(wide.find(R"("strength":[1000,2000],"ids":[1001,2001])"), std::string::npos) << wide;
}

TEST(ReplaceAllTest, ReplacesLeftToRightWithoutSearchingReplacements) {
  struct Case {
    std::string text, from, to, expected;
  };
  const Case cases[] = {
      {R"({"a":"b"})", "\"", "\\\"", R"({\"a\":\"b\"})"},
      {"aaa", "a", "aa", "aaaaaa"},        // the replacement is not searched again
      {"aabb", "ab", "a", "aab"},          // nor what it forms with the following text
      {"xyz", "q", "r", "xyz"},
      {"", "\"", "\\\"", ""},
      {"abc", "", "z", "abc"},             // nothing to find
      {"\"\"", "\"", "", ""},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    ReplaceAll(text, c.from, c.to);
    EXPECT_EQ(text, c.expected) << c.text << " / " << c.from;
  }
}

}  // namespace
}  // namespace result_test
