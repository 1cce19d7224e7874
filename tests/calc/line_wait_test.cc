// The wait for line results, on a clock the test controls: where the time
// limit lies, and that it is checked before the count in every round.
#include <gtest/gtest.h>

#include <algorithm>

#include "calc/computation.h"

namespace {

constexpr int64_t START_MICROS = 1'000'000'000;
constexpr int32_t LIMIT_MS = 30000;

// The fake clock: reading i returns readingsUs[i] after the start (the last
// one repeats); a result is appended just before reading `arrivalAtReading`,
// as if its thread finished during that round.
struct FakeClock {
  std::vector<int64_t> readingsUs;
  int arrivalAtReading = -1;
  std::vector<LineResult*>* results = nullptr;
  int reads = 0;
};
FakeClock fake;

int64_t FakeClockMicros() {
  if (fake.reads == fake.arrivalAtReading) fake.results->push_back(nullptr);
  size_t at = std::min<size_t>(fake.reads, fake.readingsUs.size() - 1);
  ++fake.reads;
  return START_MICROS + fake.readingsUs[at];
}

constexpr int64_t Ms(int64_t ms) { return ms * 1000; }

}  // namespace

TEST(LineWait, LimitIsPassedOnlyAboveItAndCheckedBeforeTheCount) {
  struct Case {
    const char* name;
    size_t alreadyIn;
    std::vector<int64_t> readingsUs;
    int arrivalAtReading;
    bool limitPassed;
    int32_t elapsedMs;
    int reads;
  };
  const Case cases[] = {
      {"all in before the wait: no round, no clock", 2, {0}, -1, false, 0, 0},
      {"last result in the first round", 1, {Ms(15)}, 0, false, 0, 1},
      {"exactly at the limit is not a break", 1, {Ms(LIMIT_MS), Ms(LIMIT_MS + 1)}, -1, true, LIMIT_MS + 1, 2},
      {"999 us above the limit truncates to it", 1, {Ms(LIMIT_MS) + 999, Ms(LIMIT_MS + 7)}, -1, true,
       LIMIT_MS + 7, 2},
      {"result counted at exactly the limit ends the wait", 1, {Ms(LIMIT_MS - 10), Ms(LIMIT_MS)}, 1, false, 0, 2},
      {"result counted in the round that passes the limit is a break", 1, {Ms(LIMIT_MS - 10), Ms(LIMIT_MS + 1)},
       1, true, LIMIT_MS + 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<LineResult*> results(c.alreadyIn, nullptr);
    std::mutex mutex;
    std::condition_variable arrived;
    fake = FakeClock{c.readingsUs, c.arrivalAtReading, &results, 0};
    LineWaitOutcome outcome = WaitForLineResults(results, mutex, arrived, 2, START_MICROS, LIMIT_MS, FakeClockMicros);
    EXPECT_EQ(outcome.limitPassed, c.limitPassed);
    if (c.limitPassed) {
      EXPECT_EQ(outcome.elapsedMs, c.elapsedMs);
    }
    EXPECT_EQ(fake.reads, c.reads);
  }
}
