#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "result/result.h"
#include "tests/result/line_builder.h"
#include "tests/support/run_program.h"

namespace result_test {
namespace {

const char* const CARRIAGES_DIFFER = "Not equal carriages count in different lines";
const char* const NO_CORRECT_DATA = "Result has no correct data in any line";

std::string AxleCountsDiffer(int carriage) {
  return "Not equal axis count at " + std::to_string(carriage) + " carriage in different lines";
}

struct MergeRun {
  TrainResult train;
  std::vector<std::string> messages;  // log messages without timestamps
};

MergeRun RunMerge(const std::vector<LineResult*>& lines) {
  testing::internal::CaptureStderr();
  TrainResult train = MergeLineResults(lines);
  return {train, LogMessages(testing::internal::GetCapturedStderr())};
}

// The carriage as one line alone gives it: integers unchanged, speed narrowed
// to single precision, condition truncated toward zero.
void ExpectCarriageOfOneLine(const CarriageResult& merged, const CarriageSpec& line) {
  EXPECT_EQ(merged.full_weight, static_cast<uint32_t>(line.full_weight));
  EXPECT_EQ(merged.loco.flag, line.loco);
  EXPECT_EQ(merged.loco.type, line.type);
  ASSERT_EQ(merged.axis.size(), line.axles.size());
  for (size_t a = 0; a < line.axles.size(); ++a) {
    EXPECT_EQ(merged.axis[a].speed, static_cast<float>(line.axles[a].speed)) << "axle " << a;
    ASSERT_EQ(merged.axis[a].wheels.size(), 2u);
    for (size_t w = 0; w < 2; ++w) {
      const WheelSpec& wheel = line.axles[a].wheels[w];
      EXPECT_EQ(merged.axis[a].wheels[w].weight, static_cast<uint32_t>(wheel.weight));
      EXPECT_EQ(merged.axis[a].wheels[w].condition, static_cast<uint32_t>(std::trunc(wheel.condition)));
      EXPECT_EQ(merged.axis[a].wheels[w].strength, wheel.strength);
      EXPECT_EQ(merged.axis[a].wheels[w].ids, wheel.ids);
    }
  }
}

LineSpec FirstAgreeingLine() {
  AxleSpec axle{10.0, {{100, 2.0f, {1, 2}, {11, 12}}, {110, 3.0f, {3}, {13}}}};
  return {1, 1000, {{500, false, "", {axle}}}};
}

LineSpec SecondAgreeingLine() {
  AxleSpec axle{11.0, {{101, 4.0f, {5}, {15}}, {120, 0.0f, {}, {}}}};
  return {2, 1003, {{503, true, "VL80", {axle}}}};
}

TEST(MergeTest, AgreeingLinesGiveMeansAndListsInFinishOrder) {
  LinePool pool;
  LineResult* first = pool.Add(FirstAgreeingLine());
  LineResult* second = pool.Add(SecondAgreeingLine());

  MergeRun run = RunMerge({first, second});
  EXPECT_TRUE(run.messages.empty());
  EXPECT_TRUE(run.train.correct);
  EXPECT_EQ(run.train.total_weight, 1001u);
  ASSERT_EQ(run.train.carriages.size(), 1u);
  const CarriageResult& carriage = run.train.carriages[0];
  EXPECT_EQ(carriage.full_weight, 501u);
  EXPECT_TRUE(carriage.loco.flag);
  EXPECT_EQ(carriage.loco.type, "VL80");
  ASSERT_EQ(carriage.axis.size(), 1u);
  EXPECT_EQ(carriage.axis[0].speed, 10.5f);
  const WheelResult& odd = carriage.axis[0].wheels[0];
  const WheelResult& even = carriage.axis[0].wheels[1];
  EXPECT_EQ(odd.weight, 100u);
  EXPECT_EQ(odd.condition, 3u);
  EXPECT_EQ(odd.strength, (std::vector<int32_t>{1, 2, 5}));
  EXPECT_EQ(odd.ids, (std::vector<int32_t>{11, 12, 15}));
  EXPECT_EQ(even.weight, 115u);
  EXPECT_EQ(even.condition, 1u);
  EXPECT_EQ(even.strength, (std::vector<int32_t>{3}));

  // The other finish order: lists joined the other way, the type from the
  // last merged line even though it is empty, the flag still set.
  run = RunMerge({second, first});
  const CarriageResult& swapped = run.train.carriages[0];
  EXPECT_EQ(swapped.axis[0].wheels[0].strength, (std::vector<int32_t>{5, 1, 2}));
  EXPECT_EQ(swapped.axis[0].wheels[0].ids, (std::vector<int32_t>{15, 11, 12}));
  EXPECT_TRUE(swapped.loco.flag);
  EXPECT_EQ(swapped.loco.type, "");
}

TEST(MergeTest, DifferingCarriageCountsMergeOneRecordAlone) {
  struct Case {
    std::vector<size_t> carriageCounts;  // per line, in finish order
    size_t mergedLine;                   // the index of the line merged alone
    size_t expectedCarriages;
    size_t expectedMessages;
  };
  const Case cases[] = {
      {{5, 6}, 1, 5, 1},        // the longer one decides, cut to the reference's count
      {{6, 5}, 0, 6, 1},        // the reference is longer
      {{5, 6, 4}, 0, 5, 2},     // the last differing one is shorter: the reference
      {{6, 5, 7}, 2, 6, 2},     // the last differing one is longer
      {{6, 7, 5}, 0, 6, 2},
      {{3, 0}, 0, 3, 1},        // a later line without carriages differs too
      {{0, 0, 3, 2}, 2, 3, 1},  // lines without carriages ahead of the reference do not count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.carriageCounts));
    LinePool pool;
    std::vector<LineResult*> lines;
    std::vector<LineSpec> specs;
    uint32_t totalSum = 0;
    for (size_t i = 0; i < c.carriageCounts.size(); ++i) {
      specs.push_back(UniformLine(static_cast<uint16_t>(i + 1), static_cast<int32_t>(10 * (i + 1)), c.carriageCounts[i], 2));
      lines.push_back(pool.Add(specs.back()));
      totalSum += static_cast<uint32_t>(specs.back().total_weight);
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.messages, std::vector<std::string>(c.expectedMessages, CARRIAGES_DIFFER));
    EXPECT_TRUE(run.train.correct);
    EXPECT_EQ(run.train.total_weight, totalSum / c.carriageCounts.size());
    ASSERT_EQ(run.train.carriages.size(), c.expectedCarriages);
    for (size_t k = 0; k < c.expectedCarriages; ++k) {
      ExpectCarriageOfOneLine(run.train.carriages[k], specs[c.mergedLine].carriages[k]);
    }
  }
}

TEST(MergeTest, AxleCountsSettleOnTheRuleAndShortRecordsSitOutMissingAxles) {
  struct Case {
    std::vector<size_t> axleCounts;  // at carriage 1, per line in finish order
    size_t expectedAxles;
    std::vector<std::string> expectedMessages;
  };
  const std::string differ = AxleCountsDiffer(1);
  const Case cases[] = {
      {{4, 3}, 3, {differ}},
      {{3, 4}, 3, {differ}},
      {{4, 3, 2}, 2, {differ, differ}},
      {{2, 3, 2}, 2, {differ}},
      {{3, 3}, 3, {}},
      // A line without axles leaves the count unset for the next one.
      {{0, 3}, 3, {"Line 1 has 0 of 3 axles at carriage 1, left out of the axles it lacks"}},
      // A later line without axles resets the count: the next line sets it anew.
      {{3, 0, 4},
       4,
       {differ, "Line 1 has 3 of 4 axles at carriage 1, left out of the axles it lacks",
        "Line 2 has 0 of 4 axles at carriage 1, left out of the axles it lacks"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.axleCounts));
    LinePool pool;
    std::vector<LineResult*> lines;
    std::vector<LineSpec> specs;
    for (size_t i = 0; i < c.axleCounts.size(); ++i) {
      LineSpec spec = UniformLine(static_cast<uint16_t>(i + 1), static_cast<int32_t>(10 * (i + 1)), 2, 2);
      spec.carriages[1] = UniformLine(static_cast<uint16_t>(i + 1), static_cast<int32_t>(10 * (i + 1)), 2,
                                      c.axleCounts[i]).carriages[1];
      specs.push_back(spec);
      lines.push_back(pool.Add(spec));
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.messages, c.expectedMessages);
    ASSERT_EQ(run.train.carriages.size(), 2u);
    EXPECT_EQ(run.train.carriages[0].axis.size(), 2u);
    const CarriageResult& carriage = run.train.carriages[1];
    ASSERT_EQ(carriage.axis.size(), c.expectedAxles);
    // Every axle is the mean over the lines that have it.
    for (size_t a = 0; a < c.expectedAxles; ++a) {
      uint32_t weightSum = 0;
      uint32_t contributors = 0;
      std::vector<int32_t> strength;
      for (const LineSpec& spec : specs) {
        if (a >= spec.carriages[1].axles.size()) continue;
        weightSum += static_cast<uint32_t>(spec.carriages[1].axles[a].wheels[1].weight);
        strength.insert(strength.end(), spec.carriages[1].axles[a].wheels[1].strength.begin(),
                        spec.carriages[1].axles[a].wheels[1].strength.end());
        ++contributors;
      }
      EXPECT_EQ(carriage.axis[a].wheels[1].weight, weightSum / contributors) << "axle " << a;
      EXPECT_EQ(carriage.axis[a].wheels[1].strength, strength) << "axle " << a;
    }
  }
}

TEST(MergeTest, NoCorrectLineGivesTheEmptyResult) {
  LinePool pool;
  const std::vector<std::vector<LineResult*>> lists = {
      {},
      {pool.AddGarbage()},
      {pool.AddGarbage(), nullptr, pool.AddGarbage()},
  };
  for (const auto& list : lists) {
    MergeRun run = RunMerge(list);
    EXPECT_TRUE(run.messages.size() >= 1 && run.messages.back() == NO_CORRECT_DATA);
    EXPECT_FALSE(run.train.correct);
    EXPECT_EQ(run.train.total_weight, 0u);
    EXPECT_TRUE(run.train.carriages.empty());
  }
}

TEST(MergeTest, IncorrectAndMissingRecordsAreNeverReadAndChangeNothing) {
  LinePool pool;
  LineResult* first = pool.Add(UniformLine(1, 10, 3, 2));
  LineResult* second = pool.Add(UniformLine(2, 20, 3, 2));
  std::string expected = BuildResultDocument(RunMerge({first, second}).train, false, true);

  // Garbage records point into an inaccessible page: any read beyond their
  // `correct` byte would crash here.
  MergeRun run = RunMerge({pool.AddGarbage(), first, pool.AddGarbage(), second, pool.AddGarbage()});
  EXPECT_TRUE(run.messages.empty());
  EXPECT_EQ(BuildResultDocument(run.train, false, true), expected);

  run = RunMerge({nullptr, first, second, nullptr});
  EXPECT_EQ(run.messages, (std::vector<std::string>{"Line result 1 of 4 is missing, line skipped",
                                                    "Line result 4 of 4 is missing, line skipped"}));
  EXPECT_EQ(BuildResultDocument(run.train, false, true), expected);
}

TEST(MergeTest, SingleLineKeepsItsValuesNarrowsSpeedAndTruncatesCondition) {
  AxleSpec axle{12.345678901234567, {{-5, 2.9f, {7, -8}, {1}}, {2147483647, 0.6f, {}, {2, 3}}}};
  AxleSpec second{1e-3, {{0, 99.99f, {}, {}}, {1, 1.0f, {4}, {}}}};
  LineSpec spec{4, -123, {{77, true, "TEM2", {axle, second}}, {0, false, "", {}}}};
  LinePool pool;
  MergeRun run = RunMerge({pool.Add(spec)});
  EXPECT_TRUE(run.messages.empty());
  EXPECT_EQ(run.train.total_weight, static_cast<uint32_t>(-123));
  ASSERT_EQ(run.train.carriages.size(), 2u);
  ExpectCarriageOfOneLine(run.train.carriages[0], spec.carriages[0]);
  ExpectCarriageOfOneLine(run.train.carriages[1], spec.carriages[1]);
  EXPECT_EQ(run.train.carriages[0].axis[0].wheels[0].condition, 2u);
}

TEST(MergeTest, ConditionSumIsTruncatedAfterEveryAddition) {
  struct Case {
    std::vector<float> conditions;  // of wheel 0, per line
    uint32_t expected;
  };
  const Case cases[] = {
      {{0.6f, 0.6f}, 0},                // each line's fraction is lost
      {{1.5f, 2.5f}, 1},                // 1, then 3, over 2
      {{0.9f, 0.9f, 5.0f}, 1},          // 0, 0, 5, over 3
      {{-1.5f}, 4294967295u},           // a negative sum wraps like the integer sums
      {{std::nanf(""), 4.0f}, 2},       // a sum that is not a number counts as 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.conditions));
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.conditions.size(); ++i) {
      AxleSpec axle{1.0, {{1, c.conditions[i], {}, {}}, {1, 0.0f, {}, {}}}};
      lines.push_back(pool.Add({static_cast<uint16_t>(i + 1), 1, {{1, false, "", {axle}}}}));
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.train.carriages.at(0).axis.at(0).wheels[0].condition, c.expected);
  }
}

TEST(MergeTest, SpeedSumIsNarrowedToSinglePrecisionAfterEveryAddition) {
  struct Case {
    std::vector<double> speeds;
    float expected;
  };
  const Case cases[] = {
      // 2^24 + 1 is not a float: each 1 is lost again on narrowing.
      {{16777216.0, 1.0, 1.0}, 16777216.0f / 3},
      // In this order the ones meet first and 2^24 + 2 is a float.
      {{1.0, 1.0, 16777216.0}, 16777218.0f / 3},
      // Just above half a float step of 1: the exact sum rounds up, while a
      // speed narrowed before the addition would be a tie and round to 1.
      {{1.0, 0x1p-24 + 0x1p-50}, (1.0f + 0x1p-23f) / 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.speeds));
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.speeds.size(); ++i) {
      lines.push_back(pool.Add({static_cast<uint16_t>(i + 1), 1, {{1, false, "", {AxleSpec{c.speeds[i]}}}}}));
    }
    EXPECT_EQ(RunMerge(lines).train.carriages.at(0).axis.at(0).speed, c.expected);
  }
}

TEST(MergeTest, SpeedsThatAreNotNumbersSitOutTheMean) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    std::vector<double> speeds;
    float expected;
    size_t expectedMessages;
  };
  const Case cases[] = {
      {{10.0, nan}, 10.0f, 1},
      {{inf, 10.0, 20.0}, 15.0f, 1},
      {{-inf, nan}, 0.0f, 2},
      {{1e300, 4.0}, 4.0f, 1},  // finite, but beyond single precision
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.speeds));
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.speeds.size(); ++i) {
      lines.push_back(pool.Add({static_cast<uint16_t>(i + 1), 1, {{1, false, "", {AxleSpec{c.speeds[i]}}}}}));
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.train.carriages.at(0).axis.at(0).speed, c.expected);
    ASSERT_EQ(run.messages.size(), c.expectedMessages);
    EXPECT_NE(run.messages[0].find("has no usable speed at axle 0 of carriage 0, left out of its mean"),
              std::string::npos);
  }
}

TEST(MergeTest, IntegerSumsWrapAroundInThirtyTwoBits) {
  const int32_t big = std::numeric_limits<int32_t>::max();
  struct Case {
    std::vector<int32_t> weights;  // used for every weight of the line
    uint32_t expected;
  };
  const Case cases[] = {
      {{big, 2}, 1073741824u},              // 2^31 + 1 fits unsigned, not signed
      {{big, big, big}, 715827881u},        // (3 * (2^31 - 1)) mod 2^32, over 3
      {{-10, 30}, 10u},
      {{-10, -30}, 2147483628u},            // (2^32 - 40) over 2
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.weights));
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.weights.size(); ++i) {
      int32_t weight = c.weights[i];
      AxleSpec axle{1.0, {{weight, 0.0f, {}, {}}, {weight, 0.0f, {}, {}}}};
      lines.push_back(pool.Add({static_cast<uint16_t>(i + 1), weight, {{weight, false, "", {axle}}}}));
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.train.total_weight, c.expected);
    EXPECT_EQ(run.train.carriages.at(0).full_weight, c.expected);
    EXPECT_EQ(run.train.carriages[0].axis.at(0).wheels[1].weight, c.expected);
  }
}

TEST(MergeTest, RecordsShortOfCarriagesOrWheelsAreLeftOutOfWhatTheyLack) {
  // Each case bends the second line's record after it was built; the first
  // line alone then stands for the damaged carriage or axle.
  struct Case {
    const char* name;
    void (*bend)(LineResult& record);
    size_t carriage;  // the carriage taken from the first line alone
    int axle;         // the axle taken from the first line alone; -1: the whole carriage
    std::string message;
  };
  const Case cases[] = {
      {"null carriage", [](LineResult& r) { r.carriages[1] = nullptr; }, 1, -1,
       "Line 2 has no record for carriage 1, left out of it"},
      {"null axle", [](LineResult& r) { r.carriages[0]->axis[1] = nullptr; }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {"one wheel", [](LineResult& r) { r.carriages[0]->axis[1]->wheels.pop_back(); }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {"null wheel", [](LineResult& r) { r.carriages[2]->axis[0]->wheels[1] = nullptr; }, 2, 0,
       "Line 2 has an incomplete axle 0 at carriage 2, left out of it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinePool pool;
    LineSpec firstSpec = UniformLine(1, 10, 3, 2);
    LineSpec secondSpec = UniformLine(2, 20, 3, 2);
    LineResult* second = pool.Add(secondSpec);
    c.bend(*second);
    MergeRun run = RunMerge({pool.Add(firstSpec), second});
    EXPECT_EQ(run.messages, std::vector<std::string>{c.message});
    ASSERT_EQ(run.train.carriages.size(), 3u);
    const CarriageResult& damaged = run.train.carriages[c.carriage];
    if (c.axle < 0) {
      ExpectCarriageOfOneLine(damaged, firstSpec.carriages[c.carriage]);
      continue;
    }
    ASSERT_EQ(damaged.axis.size(), 2u);
    size_t other = c.axle == 0 ? 1 : 0;
    EXPECT_EQ(damaged.axis[c.axle].speed, static_cast<float>(firstSpec.carriages[c.carriage].axles[c.axle].speed));
    EXPECT_EQ(damaged.axis[c.axle].wheels[0].weight, 10u);
    EXPECT_EQ(damaged.axis[c.axle].wheels[1].strength.size(), 1u);
    // The record still counts for its intact axle and for the carriage weight.
    EXPECT_EQ(damaged.axis[other].wheels[0].weight, 15u);
    EXPECT_EQ(damaged.axis[other].wheels[1].strength.size(), 2u);
    EXPECT_EQ(damaged.full_weight, (100u + 200u) / 2 + c.carriage);
  }
}

TEST(MergeTest, LinesWithoutCarriagesAheadOfTheReferenceSitOutEveryCarriage) {
  LinePool pool;
  LineSpec empty{1, 40, {}};
  LineSpec full = UniformLine(2, 20, 2, 2);
  MergeRun run = RunMerge({pool.Add(empty), pool.Add(full)});
  EXPECT_EQ(run.messages,
            std::vector<std::string>{"Line 1 has 0 of 2 carriages, left out of the carriages it lacks"});
  EXPECT_EQ(run.train.total_weight, (40u + 2000u) / 2);
  ASSERT_EQ(run.train.carriages.size(), 2u);
  for (size_t c = 0; c < 2; ++c) ExpectCarriageOfOneLine(run.train.carriages[c], full.carriages[c]);
}

TEST(MergeTest, OnlyTheFirstTwoWheelsOfAnAxleAreMerged) {
  AxleSpec axle{5.0, {{1, 0.0f, {1}, {1}}, {2, 0.0f, {2}, {2}}, {300, 9.0f, {3}, {3}}}};
  LinePool pool;
  MergeRun run = RunMerge({pool.Add({1, 3, {{3, false, "", {axle}}}})});
  const AxisResult& merged = run.train.carriages.at(0).axis.at(0);
  ASSERT_EQ(merged.wheels.size(), 2u);
  EXPECT_EQ(merged.wheels[1].weight, 2u);
  EXPECT_EQ(merged.wheels[1].strength, std::vector<int32_t>{2});
}

}  // namespace
}  // namespace result_test
