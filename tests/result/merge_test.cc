// The cross-line merge in this process, on records shaped like the library's:
// which lines count, how disagreeing counts settle, and the sums' arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>

#include "result/result.h"
#include "tests/support/harness.h"

namespace {

// Records built from a line's `base`: total weight base*100; carriage c weighs
// base*10+c; its axle a has speed base+a/4 and two wheels w weighing base+w,
// condition 1, strength {tag} and ids {tag+1}, tag = line*1000+c*100+a*10+w.
// The pool owns every record, also after a test has bent it.
struct Pool {
  std::vector<std::unique_ptr<LineResult>> results;
  std::vector<std::unique_ptr<LineCarriage>> carriages;
  std::vector<std::unique_ptr<LineAxis>> axles;
  std::vector<std::unique_ptr<LineWheel>> wheels;
  std::vector<std::unique_ptr<unsigned char[]>> garbage;

  LineResult* Add(uint16_t line, int32_t base, const std::vector<size_t>& axleCounts) {
    results.push_back(std::make_unique<LineResult>(LineResult{line, true, base * 100, {}}));
    for (size_t c = 0; c < axleCounts.size(); ++c) {
      carriages.push_back(std::make_unique<LineCarriage>());
      carriages.back()->full_weight = base * 10 + static_cast<int32_t>(c);
      for (size_t a = 0; a < axleCounts[c]; ++a) {
        axles.push_back(std::make_unique<LineAxis>());
        axles.back()->speed = base + a / 4.0;
        for (int32_t w = 0; w < 2; ++w) {
          int32_t tag = static_cast<int32_t>(line * 1000 + c * 100 + a * 10) + w;
          wheels.push_back(std::make_unique<LineWheel>(LineWheel{{tag}, {tag + 1}, base + w, 1.0f}));
          axles.back()->wheels.push_back(wheels.back().get());
        }
        carriages.back()->axis.push_back(axles.back().get());
      }
      results.back()->carriages.push_back(carriages.back().get());
    }
    return results.back().get();
  }

  // Correct byte 0 and garbage everywhere else, its carriages pointing at an
  // address that faults: any read beyond `correct` crashes the test.
  LineResult* AddGarbage() {
    garbage.push_back(std::make_unique<unsigned char[]>(sizeof(LineResult)));
    unsigned char* bytes = garbage.back().get();
    std::memset(bytes, 0xA5, sizeof(LineResult));
    bytes[offsetof(LineResult, correct)] = 0;
    uintptr_t end = 0xA5A5A5A5A5A5A5A5u + 8 * sizeof(void*);
    std::memcpy(bytes + offsetof(LineResult, carriages) + sizeof(void*), &end, sizeof end);
    return reinterpret_cast<LineResult*>(bytes);
  }
};

struct Merged {
  TrainResult train;
  std::vector<std::string> log;
};

Merged Merge(const std::vector<LineResult*>& lines) {
  testing::internal::CaptureStderr();
  TrainResult train = MergeLineResults(lines);
  return {train, LogMessages(testing::internal::GetCapturedStderr())};
}

const std::string CARRIAGES_DIFFER = "Not equal carriages count in different lines";

TEST(Merge, DifferingCountsSettleByTheRules) {
  const std::string axlesDiffer = "Not equal axis count at 1 carriage in different lines";
  const struct {
    std::vector<size_t> carriages;  // per line, in finish order
    std::vector<size_t> axles;      // at carriage 1, per line
    size_t fromLine;                // 1-based: the line every carriage comes from alone; 0: all merged
    size_t carriageCount, axleCount;
    std::vector<std::string> log;
  } cases[] = {
      {{5, 6}, {2, 2}, 2, 5, 2, {CARRIAGES_DIFFER}},  // the longer one, cut to the reference's count
      {{6, 5}, {2, 2}, 1, 6, 2, {CARRIAGES_DIFFER}},
      {{5, 6, 4}, {2, 2, 2}, 1, 5, 2, {CARRIAGES_DIFFER, CARRIAGES_DIFFER}},  // the last differing one decides
      {{6, 5, 7}, {2, 2, 2}, 3, 6, 2, {CARRIAGES_DIFFER, CARRIAGES_DIFFER}},
      {{0, 0, 3, 2}, {2, 2, 2, 2}, 3, 3, 2, {CARRIAGES_DIFFER}},  // lines without carriages set no reference
      {{0, 3}, {2, 2}, 0, 3, 2, {"Line 1 has 0 of 3 carriages, left out of the carriages it lacks"}},
      {{2, 2}, {4, 3}, 0, 2, 3, {axlesDiffer}},
      {{2, 2, 2}, {4, 3, 2}, 0, 2, 2, {axlesDiffer, axlesDiffer}},
      {{2, 2, 2}, {2, 3, 2}, 0, 2, 2, {axlesDiffer}},
      {{2, 2, 2}, {3, 0, 4}, 0, 2, 4,  // a line without axles sets no count
       {axlesDiffer, "Line 1 has 3 of 4 axles at carriage 1, left out of the axles it lacks",
        "Line 2 has 0 of 4 axles at carriage 1, left out of the axles it lacks"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.carriages) + testing::PrintToString(c.axles));
    Pool pool;
    std::vector<LineResult*> lines;
    uint32_t totalSum = 0;
    for (size_t i = 0; i < c.carriages.size(); ++i) {
      std::vector<size_t> axleCounts(c.carriages[i], 2);
      if (axleCounts.size() > 1) axleCounts[1] = c.axles[i];
      lines.push_back(pool.Add(static_cast<uint16_t>(i + 1), static_cast<int32_t>(10 * (i + 1)), axleCounts));
      totalSum += lines.back()->total_weight;
    }
    Merged m = Merge(lines);
    EXPECT_EQ(m.log, c.log);
    EXPECT_EQ(m.train.total_weight, totalSum / lines.size());  // over every correct line
    ASSERT_EQ(m.train.carriages.size(), c.carriageCount);
    ASSERT_EQ(m.train.carriages[1].axis.size(), c.axleCount);
    // Each axle is the mean over the lines that have it: wheel 1 weighs base + 1.
    for (size_t a = 0; a < c.axleCount; ++a) {
      uint32_t sum = 0, contributors = 0;
      for (size_t i = 0; i < lines.size(); ++i) {
        bool has = c.fromLine ? i + 1 == c.fromLine : a < c.axles[i] && c.carriages[i] > 1;
        sum += has ? 10 * (i + 1) + 1 : 0;
        contributors += has;
      }
      EXPECT_EQ(m.train.carriages[1].axis[a].wheels[1].weight, sum / contributors) << "axle " << a;
      EXPECT_EQ(m.train.carriages[1].axis[a].wheels[1].strength.size(), contributors) << "axle " << a;
    }
    if (c.fromLine) {
      EXPECT_EQ(m.train.carriages.back().full_weight, 100 * c.fromLine + c.carriageCount - 1);
    }
  }
}

TEST(Merge, RecordsWithoutCorrectDataAreNeverRead) {
  Pool pool;
  LineResult* first = pool.Add(1, 10, {2, 3});
  LineResult* second = pool.Add(2, 20, {2, 3});
  std::string expected = BuildResultDocument(Merge({first, second}).train, false, true);
  Merged m = Merge({pool.AddGarbage(), first, nullptr, second, pool.AddGarbage()});
  EXPECT_EQ(m.log, std::vector<std::string>{"Line result 3 of 5 is missing, line skipped"});
  EXPECT_EQ(BuildResultDocument(m.train, false, true), expected);
  m = Merge({pool.AddGarbage()});
  EXPECT_EQ(m.log, std::vector<std::string>{"Result has no correct data in any line"});
  EXPECT_FALSE(m.train.correct);
  EXPECT_TRUE(m.train.carriages.empty());
}

TEST(Merge, SumsWrapNarrowAndTruncateAfterEveryAddition) {
  const double nan = NAN, inf = INFINITY;
  const int32_t big = 2147483647;
  const struct {
    std::vector<std::tuple<int32_t, float, double>> lines;  // every weight, wheel 0's condition, speed
    uint32_t weight, condition;
    float speed;
    size_t unusableSpeeds;
  } cases[] = {
      {{{-5, 2.9f, 12.345678901234567}}, static_cast<uint32_t>(-5), 2, static_cast<float>(12.345678901234567), 0},
      // 2^31 + 1 fits 32 unsigned bits; 0.6 + 0.6 loses both fractions; the
      // exact speed sum lies just above half a float step of 1 and rounds up.
      {{{big, 0.6f, 1.0}, {2, 0.6f, 0x1p-24 + 0x1p-50}}, 1073741824u, 0, (1.0f + 0x1p-23f) / 2, 0},
      // 3 * (2^31 - 1) wraps; 2^24 + 1 is no float, so each 1 is lost again.
      {{{big, 0.9f, 16777216.0}, {big, 0.9f, 1.0}, {big, 5.0f, 1.0}}, 715827881u, 1, 16777216.0f / 3, 0},
      // A condition sum that is no number counts as 0; a speed that is none
      // sits out the speed mean; negative sums wrap; no usable speed gives 0.
      {{{1, NAN, 10.0}, {3, 4.0f, nan}}, 2, 2, 10.0f, 1},
      {{{1, -1.5f, inf}}, 1, 4294967295u, 0.0f, 1},
      {{{0, 0, -inf}, {0, 0, 1e300}, {0, 0, 4.0}, {0, 0, 20.0}}, 0, 0, 12.0f, 2},  // 1e300 is no float
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Pool pool;
    std::vector<LineResult*> lines;
    for (auto [weight, condition, speed] : c.lines) {
      LineResult* line = pool.Add(static_cast<uint16_t>(lines.size() + 1), 0, {1});
      LineAxis* axle = line->carriages[0]->axis[0];
      line->total_weight = line->carriages[0]->full_weight = axle->wheels[0]->weight = axle->wheels[1]->weight = weight;
      axle->wheels[0]->condition = condition;
      axle->speed = speed;
      lines.push_back(line);
    }
    Merged m = Merge(lines);
    EXPECT_EQ(m.train.total_weight, c.weight);
    const CarriageResult& carriage = m.train.carriages.at(0);
    EXPECT_EQ(carriage.full_weight, c.weight);
    EXPECT_EQ(carriage.axis.at(0).wheels[1].weight, c.weight);
    EXPECT_EQ(carriage.axis[0].wheels[0].condition, c.condition);
    EXPECT_EQ(carriage.axis[0].speed, c.speed);
    EXPECT_EQ(m.log.size(), c.unusableSpeeds);
  }
}

TEST(Merge, RecordsShortOfACarriageOrAWheelAreLeftOutOfWhatTheyLack) {
  const struct {
    void (*bend)(LineResult& record);
    size_t carriage;
    int axle;  // -1: the whole carriage
    std::string message;
  } cases[] = {
      {[](LineResult& r) { r.carriages[1] = nullptr; }, 1, -1, "Line 2 has no record for carriage 1, left out of it"},
      {[](LineResult& r) { r.carriages[0]->axis[1] = nullptr; }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {[](LineResult& r) { r.carriages[0]->axis[1]->wheels.pop_back(); }, 0, 1,
       "Line 2 has an incomplete axle 1 at carriage 0, left out of it"},
      {[](LineResult& r) { r.carriages[2]->axis[0]->wheels[1] = nullptr; }, 2, 0,
       "Line 2 has an incomplete axle 0 at carriage 2, left out of it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Pool pool;
    LineResult* second = pool.Add(2, 20, {2, 2, 2});
    c.bend(*second);
    Merged m = Merge({pool.Add(1, 10, {2, 2, 2}), second});
    EXPECT_EQ(m.log, std::vector<std::string>{c.message});
    const CarriageResult& damaged = m.train.carriages.at(c.carriage);
    // The first line alone stands for what the second lacks.
    EXPECT_EQ(damaged.full_weight, c.axle < 0 ? 10 * 10 + c.carriage : 150 + c.carriage);
    for (int a = 0; a < 2; ++a) {
      bool alone = c.axle < 0 || a == c.axle;
      EXPECT_EQ(damaged.axis.at(a).wheels[0].weight, alone ? 10u : 15u) << a;
      EXPECT_EQ(damaged.axis[a].speed, alone ? 10 + a / 4.0f : 15 + a / 4.0f) << a;
    }
  }
}

}  // namespace
