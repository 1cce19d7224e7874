// The result document byte for byte: key order, number forms, the wide
// arrays, quote escaping, and speeds that are not numbers.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>

#include "result/result.h"

namespace {

TrainResult OneAxleTrain(float speed, std::string type = "") {
  AxisResult axle{{WheelResult{{}, {}, 60, 0}, WheelResult{{}, {}, 60, 0}}, speed};
  return TrainResult{{CarriageResult{{axle}, 120, LocoInfo{false, std::move(type)}}}, true, 120};
}

TEST(ResultDocument, KnownDocuments) {
  // A locomotive whose wheels carry lists (one weight above 2^31), then a
  // carriage without axles.
  AxisResult axle{{WheelResult{{1, -2}, {10, 11}, 4000000000u, 3}, WheelResult{{}, {}, 500, 1}}, 7.25f};
  TrainResult small{{CarriageResult{{axle}, 9000, {true, "2TE10"}}, CarriageResult{{}, 0, {false, ""}}}, true, 9000};
  const struct {
    TrainResult train;
    bool escapeQuotes, wideInfo;
    std::string expected;
  } cases[] = {
      {TrainResult{}, true, true, R"({\"total_weight\":0,\"correct\":false,\"carriages\":[]})"},
      {small, false, true,
       R"({"total_weight":9000,"correct":true,"carriages":[{"full_weight":9000,"loco":{"flag":true,"type":"2TE10"},)"
       R"("axis":[{"speed":7.25,"wheels":[{"weight":-294967296,"condition":3,"strength":[1,-2],"ids":[10,11]},)"
       R"({"weight":500,"condition":1,"strength":[],"ids":[]}]}]},)"
       R"({"full_weight":0,"loco":{"flag":false,"type":""},"axis":[]}]})"},
      {small, false, false,
       R"({"total_weight":9000,"correct":true,"carriages":[{"full_weight":9000,"loco":{"flag":true,"type":"2TE10"},)"
       R"("axis":[{"speed":7.25,"wheels":[{"weight":-294967296,"condition":3},{"weight":500,"condition":1}]}]},)"
       R"({"full_weight":0,"loco":{"flag":false,"type":""},"axis":[]}]})"},
  };
  for (const auto& c : cases) EXPECT_EQ(BuildResultDocument(c.train, c.escapeQuotes, c.wideInfo), c.expected);
}

TEST(ResultDocument, SpeedsAreCutAfterTwoDecimalPlaces) {
  const std::pair<float, const char*> cases[] = {{0.0f, "0.0"},      {12.0f, "12.0"},     {2.3f, "2.29"},
                                                 {0.004f, "0.0"},    {-0.0f, "-0.0"},     {-3.75f, "-3.75"},
                                                 {12.345f, "12.34"}, {123456.78f, "123456.78"}};
  for (const auto& [speed, text] : cases) {
    std::string document = BuildResultDocument(OneAxleTrain(speed), false, false);
    EXPECT_NE(document.find(std::string("{\"speed\":") + text + ",\"wheels\""), std::string::npos) << document;
  }
}

TEST(ResultDocument, SpeedsThatAreNotNumbersKeepTheDocumentValid) {
  for (float speed : {NAN, INFINITY, -INFINITY}) {
    TrainResult train = OneAxleTrain(speed);
    train.carriages.push_back(train.carriages[0]);  // the text must go on after the bad value
    std::string document = BuildResultDocument(train, false, true);
    rapidjson::Document parsed;
    ASSERT_FALSE(parsed.Parse(document.c_str()).HasParseError()) << document;
    EXPECT_EQ(parsed["carriages"][1]["axis"][0]["speed"].GetDouble(), 0.0) << document;
    EXPECT_EQ(parsed["carriages"][1]["axis"][0]["wheels"][1]["weight"].GetInt(), 60);
  }
}

TEST(ResultDocument, TypeTextIsEscapedByTheWriterThenQuoteEscaped) {
  TrainResult train = OneAxleTrain(1.0f, std::string("A\"B\\\x01\n\t\x1f\xc3\xa9") + '\0' + "hidden");
  std::string plain = BuildResultDocument(train, false, false);
  EXPECT_NE(plain.find(R"("type":"A\"B\\\u0001\n\t\u001F)" "\xc3\xa9\"}"), std::string::npos) << plain;
  // Every quotation mark, the writer's escaped one too, gains a backslash;
  // backslashes are not doubled.
  std::string escaped = BuildResultDocument(train, true, false);
  EXPECT_NE(escaped.find(R"(\"type\":\"A\\"B\\\u0001\n\t\u001F)" "\xc3\xa9\\\"}"), std::string::npos) << escaped;
  ReplaceAll(escaped, "\\\"", "\"");
  EXPECT_EQ(escaped, plain);
}

}  // namespace
