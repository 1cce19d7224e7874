#include <gtest/gtest.h>

#include <limits>

#include "result/result.h"
#include "tests/result/line_builder.h"
#include "tests/support/run_program.h"

namespace result_test {
namespace {

const std::string CARRIAGES_DIFFER = "Not equal carriages count in different lines";

struct MergeRun {
  TrainResult train;
  std::vector<std::string> messages;  // log messages without timestamps
};

MergeRun RunMerge(const std::vector<LineResult*>& lines) {
  testing::internal::CaptureStderr();
  TrainResult train = MergeLineResults(lines);
  return {train, LogMessages(testing::internal::GetCapturedStderr())};
}

// The carriage exactly as the line built from `base` gives it on its own.
void ExpectFromOneLine(const CarriageResult& carriage, int line, int32_t base, size_t c) {
  EXPECT_EQ(carriage.full_weight, static_cast<uint32_t>(base * 10 + c));
  ASSERT_EQ(carriage.axis.size(), 2u);
  for (int a = 0; a < 2; ++a) {
    EXPECT_EQ(carriage.axis[a].speed, static_cast<float>(base + a / 4.0));
    EXPECT_EQ(carriage.axis[a].wheels.at(1).weight, static_cast<uint32_t>(base + 1));
    EXPECT_EQ(carriage.axis[a].wheels[1].strength, std::vector<int32_t>{static_cast<int32_t>(line * 1000 + c * 100 + a * 10 + 1)});
  }
}

TEST(MergeTest, AgreeingLinesGiveMeansAndListsInFinishOrder) {
  LinePool pool;
  LineResult* first = pool.Add(1, 10, {2});
  LineResult* second = pool.Add(2, 20, {2});
  second->carriages[0]->loco = {true, "VL80"};
  // Wheel records beyond the second are the library's own business.
  second->carriages[0]->axis[1]->wheels.push_back(second->carriages[0]->axis[1]->wheels[0]);
  for (bool secondLast : {true, false}) {
    MergeRun run = RunMerge(secondLast ? std::vector{first, second} : std::vector{second, first});
    EXPECT_TRUE(run.messages.empty());
    EXPECT_TRUE(run.train.correct);
    EXPECT_EQ(run.train.total_weight, 1500u);
    const CarriageResult& carriage = run.train.carriages.at(0);
    EXPECT_EQ(carriage.full_weight, 150u);
    EXPECT_TRUE(carriage.loco.flag);
    EXPECT_EQ(carriage.loco.type, secondLast ? "VL80" : "");  // the last line's, even when empty
    ASSERT_EQ(carriage.axis.size(), 2u);
    EXPECT_EQ(carriage.axis[1].speed, 15.25f);
    ASSERT_EQ(carriage.axis[1].wheels.size(), 2u);
    const WheelResult& wheel = carriage.axis[1].wheels[1];
    EXPECT_EQ(wheel.weight, 16u);
    EXPECT_EQ(wheel.condition, 1u);
    EXPECT_EQ(wheel.strength, (secondLast ? std::vector{1011, 2011} : std::vector{2011, 1011}));
    EXPECT_EQ(wheel.ids, (secondLast ? std::vector{1012, 2012} : std::vector{2012, 1012}));
  }
}

TEST(MergeTest, DifferingCarriageCountsMergeOneRecordAlone) {
  struct Case {
    std::vector<size_t> carriageCounts;  // per line, in finish order
    size_t mergedLine;                   // index of the line the carriages come from alone
    size_t expectedCarriages;
    std::vector<std::string> expectedMessages;
  };
  const Case cases[] = {
      {{5, 6}, 1, 5, {CARRIAGES_DIFFER}},  // the longer one, cut to the reference's count
      {{6, 5}, 0, 6, {CARRIAGES_DIFFER}},
      {{5, 6, 4}, 0, 5, {CARRIAGES_DIFFER, CARRIAGES_DIFFER}},  // the last differing one decides
      {{6, 5, 7}, 2, 6, {CARRIAGES_DIFFER, CARRIAGES_DIFFER}},
      {{3, 0}, 0, 3, {CARRIAGES_DIFFER}},
      {{0, 0, 3, 2}, 2, 3, {CARRIAGES_DIFFER}},  // lines without carriages set no reference
      // All merged, but the first line has nothing to give to any carriage.
      {{0, 3}, 1, 3, {"Line 1 has 0 of 3 carriages, left out of the carriages it lacks"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.carriageCounts));
    LinePool pool;
    std::vector<LineResult*> lines;
    uint32_t totalSum = 0;
    for (size_t i = 0; i < c.carriageCounts.size(); ++i) {
      lines.push_back(pool.Add(i + 1, 10 * (i + 1), std::vector<size_t>(c.carriageCounts[i], 2)));
      totalSum += lines.back()->total_weight;
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.messages, c.expectedMessages);
    EXPECT_EQ(run.train.total_weight, totalSum / lines.size());  // over every correct line
    ASSERT_EQ(run.train.carriages.size(), c.expectedCarriages);
    for (size_t k = 0; k < c.expectedCarriages; ++k) {
      ExpectFromOneLine(run.train.carriages[k], c.mergedLine + 1, 10 * (c.mergedLine + 1), k);
    }
  }
}

TEST(MergeTest, AxleCountsSettleOnTheRuleAndShortRecordsSitOutMissingAxles) {
  const std::string differ = "Not equal axis count at 1 carriage in different lines";
  struct Case {
    std::vector<size_t> axleCounts;  // at carriage 1, per line in finish order
    size_t expectedAxles;
    std::vector<std::string> expectedMessages;
  };
  const Case cases[] = {
      {{4, 3}, 3, {differ}},
      {{3, 4}, 3, {differ}},
      {{4, 3, 2}, 2, {differ, differ}},
      {{2, 3, 2}, 2, {differ}},
      {{0, 3}, 3, {"Line 1 has 0 of 3 axles at carriage 1, left out of the axles it lacks"}},
      {{3, 0, 4}, 4,  // the line without axles resets the count, the next one sets it anew
       {differ, "Line 1 has 3 of 4 axles at carriage 1, left out of the axles it lacks",
        "Line 2 has 0 of 4 axles at carriage 1, left out of the axles it lacks"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.axleCounts));
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.axleCounts.size(); ++i) lines.push_back(pool.Add(i + 1, 10 * (i + 1), {2, c.axleCounts[i]}));
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.messages, c.expectedMessages);
    ASSERT_EQ(run.train.carriages.size(), 2u);
    EXPECT_EQ(run.train.carriages[0].axis.size(), 2u);
    ASSERT_EQ(run.train.carriages[1].axis.size(), c.expectedAxles);
    // Each axle is the mean over the lines that have it: wheel 1 weighs base + 1.
    for (size_t a = 0; a < c.expectedAxles; ++a) {
      uint32_t sum = 0, contributors = 0;
      for (size_t i = 0; i < lines.size(); ++i) {
        if (a >= c.axleCounts[i]) continue;
        sum += 10 * (i + 1) + 1;
        ++contributors;
      }
      EXPECT_EQ(run.train.carriages[1].axis[a].wheels[1].weight, sum / contributors) << "axle " << a;
      EXPECT_EQ(run.train.carriages[1].axis[a].wheels[1].strength.size(), contributors) << "axle " << a;
    }
  }
}

TEST(MergeTest, IncorrectAndMissingRecordsAreNeverReadAndChangeNothing) {
  LinePool pool;
  LineResult* first = pool.Add(1, 10, {2, 3});
  LineResult* second = pool.Add(2, 20, {2, 3});
  std::string expected = BuildResultDocument(RunMerge({first, second}).train, false, true);
  MergeRun run = RunMerge({pool.AddGarbage(), first, nullptr, second, pool.AddGarbage()});
  EXPECT_EQ(run.messages, std::vector<std::string>{"Line result 3 of 5 is missing, line skipped"});
  EXPECT_EQ(BuildResultDocument(run.train, false, true), expected);

  for (const std::vector<LineResult*>& lines : {std::vector<LineResult*>{}, {pool.AddGarbage(), nullptr}}) {
    run = RunMerge(lines);
    ASSERT_FALSE(run.messages.empty());
    EXPECT_EQ(run.messages.back(), "Result has no correct data in any line");
    EXPECT_FALSE(run.train.correct);
    EXPECT_EQ(run.train.total_weight, 0u);
    EXPECT_TRUE(run.train.carriages.empty());
  }
}

TEST(MergeTest, SumsWrapNarrowAndTruncateAfterEveryAddition) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const int32_t big = std::numeric_limits<int32_t>::max();
  struct LineValues {
    int32_t weight;   // every weight of the line: total, carriage, wheels
    float condition;  // wheel 0
    double speed;
  };
  struct Case {
    std::vector<LineValues> lines;
    uint32_t weight;
    uint32_t condition;
    float speed;
    size_t messages;
  };
  const Case cases[] = {
      // One line: its own values, the speed narrowed, the condition truncated.
      {{{-5, 2.9f, 12.345678901234567}}, static_cast<uint32_t>(-5), 2, static_cast<float>(12.345678901234567), 0},
      // 2^31 + 1 fits unsigned 32 bits; 0.6 + 0.6 loses both fractions; the
      // exact sum lies just above half a float step of 1 and rounds up.
      {{{big, 0.6f, 1.0}, {2, 0.6f, 0x1p-24 + 0x1p-50}}, 1073741824u, 0, (1.0f + 0x1p-23f) / 2, 0},
      // 3 * (2^31 - 1) wraps; 2^24 + 1 is no float, so each 1 is lost again.
      {{{big, 0.9f, 16777216.0}, {big, 0.9f, 1.0}, {big, 5.0f, 1.0}}, 715827881u, 1, 16777216.0f / 3, 0},
      // (2^32 - 60) / 3; the ones meet first and 2^24 + 2 is a float.
      {{{-10, 1.5f, 1.0}, {-30, 2.5f, 1.0}, {-20, 0.0f, 16777216.0}}, 1431655745u, 1, 16777218.0f / 3, 0},
      // A condition sum that is no number counts as 0; a speed that is none
      // sits out the speed mean.
      {{{1, std::numeric_limits<float>::quiet_NaN(), 10.0}, {3, 4.0f, nan}}, 2, 2, 10.0f, 1},
      {{{1, -1.5f, inf}}, 1, 4294967295u, 0.0f, 1},  // negative sums wrap; no usable speed: 0
      {{{0, 0, -inf}, {0, 0, 1e300}, {0, 0, 4.0}, {0, 0, 20.0}}, 0, 0, 12.0f, 2},  // 1e300 is no float
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    LinePool pool;
    std::vector<LineResult*> lines;
    for (size_t i = 0; i < c.lines.size(); ++i) {
      LineResult* line = pool.Add(i + 1, 0, {1});
      LineAxis* axle = line->carriages[0]->axis[0];
      line->total_weight = line->carriages[0]->full_weight = c.lines[i].weight;
      axle->wheels[0]->weight = axle->wheels[1]->weight = c.lines[i].weight;
      axle->wheels[0]->condition = c.lines[i].condition;
      axle->speed = c.lines[i].speed;
      lines.push_back(line);
    }
    MergeRun run = RunMerge(lines);
    EXPECT_EQ(run.train.total_weight, c.weight);
    const CarriageResult& carriage = run.train.carriages.at(0);
    EXPECT_EQ(carriage.full_weight, c.weight);
    EXPECT_EQ(carriage.axis.at(0).wheels[1].weight, c.weight);
    EXPECT_EQ(carriage.axis[0].wheels[0].condition, c.condition);
    EXPECT_EQ(carriage.axis[0].speed, c.speed);
    ASSERT_EQ(run.messages.size(), c.messages);
    for (const std::string& message : run.messages) {
      EXPECT_NE(message.find("has no usable speed at axle 0 of carriage 0, left out of its mean"), std::string::npos);
    }
  }
}

TEST(MergeTest, RecordsShortOfCarriagesOrWheelsAreLeftOutOfWhatTheyLack) {
  // Each case bends the second line's record; the first line alone then
  // stands for the damaged carriage or axle.
  struct Case {
    void (*bend)(LineResult& record);
    size_t carriage;
    int axle;  // -1: the whole carriage
    std::string message;
  };
  const Case cases[] = {
      {[](LineResult& r) { r.carriages[1] = nullptr; }, 1, -1, "Line 2 has no record for carriage 1, left out of it"},
      {[](LineResult& r) { r.carriages[0]->axis[1] = nullptr; }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {[](LineResult& r) { r.carriages[0]->axis[1]->wheels.pop_back(); }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {[](LineResult& r) { r.carriages[2]->axis[0]->wheels[1] = nullptr; }, 2, 0,
       "Line 2 has an incomplete axle 0 at carriage 2, left out of it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    LinePool pool;
    LineResult* second = pool.Add(2, 20, {2, 2, 2});
    c.bend(*second);
    MergeRun run = RunMerge({pool.Add(1, 10, {2, 2, 2}), second});
    EXPECT_EQ(run.messages, std::vector<std::string>{c.message});
    ASSERT_EQ(run.train.carriages.size(), 3u);
    const CarriageResult& damaged = run.train.carriages[c.carriage];
    if (c.axle < 0) {
      ExpectFromOneLine(damaged, 1, 10, c.carriage);
      continue;
    }
    ASSERT_EQ(damaged.axis.size(), 2u);
    EXPECT_EQ(damaged.axis[c.axle].speed, 10 + c.axle / 4.0f);
    EXPECT_EQ(damaged.axis[c.axle].wheels[0].weight, 10u);
    EXPECT_EQ(damaged.axis[c.axle].wheels[1].strength.size(), 1u);
    // The record still counts for its intact axle and for the carriage.
    EXPECT_EQ(damaged.axis[1 - c.axle].wheels[0].weight, 15u);
    EXPECT_EQ(damaged.full_weight, 150u + c.carriage);
  }
}

}  // namespace
}  // namespace result_test
