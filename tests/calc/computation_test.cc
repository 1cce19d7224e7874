// The wait for line results on a clock the test controls, and what the built
// library offers the program's loader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "calc/computation.h"
#include "tests/support/harness.h"

namespace {

constexpr int64_t START_US = 1'000'000'000;
constexpr int32_t LIMIT_MS = 30000;

// Reading i of the clock gives readingsUs[i] after the start (the last one
// repeats); a result arrives just before reading `arrivalAtReading`, as if its
// thread finished during that round.
struct FakeClock {
  std::vector<int64_t> readingsUs;
  int arrivalAtReading;
  std::vector<LineResult*>* results;
  int reads;
} fake;

int64_t FakeClockMicros() {
  if (fake.reads == fake.arrivalAtReading) fake.results->push_back(nullptr);
  return START_US + fake.readingsUs[std::min<size_t>(fake.reads++, fake.readingsUs.size() - 1)];
}

TEST(LineWait, LimitIsPassedOnlyAboveItAndCheckedBeforeTheCount) {
  const int64_t LIMIT_US = LIMIT_MS * 1000;
  const struct {
    const char* name;
    size_t alreadyIn;
    std::vector<int64_t> readingsUs;
    int arrivalAtReading;
    bool limitPassed;
    int32_t elapsedMs;
    int reads;
  } cases[] = {
      {"all in before the wait: no round, no clock", 2, {0}, -1, false, 0, 0},
      {"last result in the first round", 1, {15000}, 0, false, 0, 1},
      {"exactly at the limit is not a break", 1, {LIMIT_US, LIMIT_US + 1000}, -1, true, LIMIT_MS + 1, 2},
      {"999 us above the limit truncates to it", 1, {LIMIT_US + 999, LIMIT_US + 7000}, -1, true, LIMIT_MS + 7, 2},
      {"result counted at exactly the limit ends the wait", 1, {LIMIT_US - 10000, LIMIT_US}, 1, false, 0, 2},
      {"result in the round that passes the limit is a break", 1, {LIMIT_US - 10000, LIMIT_US + 1000}, 1, true,
       LIMIT_MS + 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<LineResult*> results(c.alreadyIn, nullptr);
    std::mutex mutex;
    std::condition_variable arrived;
    fake = FakeClock{c.readingsUs, c.arrivalAtReading, &results, 0};
    LineWaitOutcome outcome = WaitForLineResults(results, mutex, arrived, 2, START_US, LIMIT_MS, FakeClockMicros);
    EXPECT_EQ(outcome.limitPassed, c.limitPassed);
    EXPECT_EQ(outcome.elapsedMs, c.elapsedMs);
    EXPECT_EQ(fake.reads, c.reads);
  }
}

std::string Output(const char* program, const char* option, const char* file) {
  return RunInChild([&] { return ::execl(program, program, option, file, nullptr); }).out;
}

// Another build of the library can be dropped in beside the program.
TEST(TarvikLibrary, ExportsTheSixFunctionsAndIsLinkedByNameBesideTheProgram) {
  std::istringstream symbols(Output("/usr/bin/nm", "-D", TARVIK_LIBRARY));
  std::vector<std::string> exported;
  for (std::string address, type, name; symbols >> address >> type >> name;)
    if (type == "T") exported.push_back(name);
  std::sort(exported.begin(), exported.end());
#ifndef KORVANET_COVERAGE  // the coverage runtime exports functions of its own
  EXPECT_EQ(exported, (std::vector<std::string>{"Tarvik_Compute", "Tarvik_Init", "Tarvik_InitDevice", "Tarvik_InitLine",
                                                "Tarvik_PushSideData", "Tarvik_SetOnLog"}));
#endif
  std::string program = Output("/usr/bin/readelf", "-d", KORVANET_BINARY);
  EXPECT_NE(program.find("Shared library: [libtarvik.so]"), std::string::npos) << program;
  EXPECT_NE(program.find("Library runpath: [$ORIGIN]"), std::string::npos) << program;
  EXPECT_NE(Output("/usr/bin/readelf", "-d", TARVIK_LIBRARY).find("Library soname: [libtarvik.so]"), std::string::npos);
}

}  // namespace
