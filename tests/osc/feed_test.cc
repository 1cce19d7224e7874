#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/osc/feed_fixture.h"
#include "tests/support/osc_writer.h"
#include "tests/support/run_program.h"

namespace {

struct Record {
  uint8_t deviceId;
  uint32_t counter;
  uint16_t thermistor = 512;
};

// Channel c carries 1000 * c + the low byte of the counter, so each sample
// shows that its channels came from its own record, in order.
void Feed(const Record& record) {
  RecordSpec written = {record.deviceId, record.counter, record.thermistor};
  for (int c = 0; c < 4; ++c) written.channels[c] = static_cast<uint16_t>(1000 * c + (record.counter & 0xff));
  std::string bytes = BuildOscillogram({}, {written}).substr(osc::START_OFFSET);
  auto* header = reinterpret_cast<const uint8_t*>(bytes.data());
  FeedRecord(header, header + osc::RECORD_HEADER_BYTES, osc::RECORD_PAYLOAD_BYTES);
}

std::vector<std::string> FeedCapturingLog(const std::vector<Record>& records) {
  testing::internal::CaptureStderr();
  for (const Record& record : records) Feed(record);
  return LogMessages(testing::internal::GetCapturedStderr());
}

struct TimingCase {
  const char* name;
  std::vector<std::pair<uint8_t, uint16_t>> frequencies;  // device id, Hz
  std::vector<Record> records;
  std::vector<std::pair<uint32_t, int64_t>> pushed;  // device id, time in microseconds
  std::vector<std::string> logMessages;
};

TEST_F(FeedTest, SampleTimesCountFromEachDevicesOrigin) {
  const std::vector<TimingCase> cases = {
      {"origin at the first counter", {{0, 1000}}, {{0, 5000}, {0, 5001}, {0, 7000}},
       {{0, 0}, {0, 1000}, {0, 2000000}}, {}},
      {"counter 0 leaves the origin unset", {{2, 1000}}, {{2, 0}, {2, 10}, {2, 12}, {2, 0}},
       {{2, 0}, {2, 0}, {2, 2000}, {2, -10000}}, {}},
      {"counters going backwards give negative times", {{0, 1000}}, {{0, 5000}, {0, 4000}},
       {{0, 0}, {0, -1000000}}, {}},
      {"a wrapped counter is not unwrapped", {{0, 1000}}, {{0, 0xfffffff0u}, {0, 0x10}},
       {{0, 0}, {0, -4294967264000}}, {}},
      {"the largest time does not overflow", {{0, 1}}, {{0, 1}, {0, 0xffffffffu}}, {{0, 0}, {0, 4294967294000000}},
       {}},
      {"times are truncated toward zero", {{0, 3}}, {{0, 2}, {0, 4}, {0, 1}},
       {{0, 0}, {0, 666667}, {0, -333332}}, {}},
      {"each device has its own origin", {{0, 1000}, {7, 65535}},
       {{0, 50}, {7, 65535}, {0, 51}, {7, 131070}}, {{0, 0}, {7, 0}, {0, 1000}, {7, 1000000}}, {}},
      {"every record of a device without frequency is reported", {{0, 1000}},
       {{3, 10}, {0, 10}, {3, 11}}, {{0, 0}}, {"freq not set for id  3", "freq not set for id  3"}},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    for (auto [id, hz] : c.frequencies) frequencyById[id] = hz;
    EXPECT_EQ(FeedCapturingLog(c.records), c.logMessages);
    std::vector<std::pair<uint32_t, int64_t>> pushed;
    // By value: a reference to a member of the packed record would be misaligned.
    for (const SideSample& sample : Pushed()) pushed.emplace_back(sample.deviceId, int64_t{sample.timeUs});
    EXPECT_EQ(pushed, c.pushed);
  }
}

TEST_F(FeedTest, ThermistorFollowsTheBetaEquation) {
  // Worked out apart from this code, rounding every step to float; without
  // that rounding 512 would read 24.956009 and 1 would read 351.963928.
  const std::vector<std::pair<uint16_t, std::string>> printed = {
      {1, "351.963898"}, {511, "25.044001"}, {512, "24.955988"}, {1022, "-77.391090"}};
  for (const auto& [reading, text] : printed) {
    char celsius[32];
    std::snprintf(celsius, sizeof(celsius), "%f", static_cast<double>(ThermistorCelsius(reading)));
    EXPECT_EQ(celsius, text) << reading;
  }
  EXPECT_EQ(ThermistorCelsius(0), -273.15f);
  EXPECT_EQ(ThermistorCelsius(1023), -273.15f);
  for (uint16_t reading : {1024, 2000, 65535}) EXPECT_TRUE(std::isnan(ThermistorCelsius(reading))) << reading;
}

TEST_F(FeedTest, DebugModeKeepsOneTextLinePerSampleAsPrintfWritesIt) {
  frequencyById[1] = 1000;
  Feed({1, 1});
  EXPECT_TRUE(RawLinesById()[1].empty()) << "no text lines outside debug mode";

  debugMode = true;
  frequencyById[6] = 1;
  FeedCapturingLog({{6, 3, 512}, {6, 5, 0}, {6, 6, 1024}, {6, 2, 1023}});
  EXPECT_EQ(RawLinesById()[6], (std::vector<std::string>{"6 0 24.955988 3 1003 2003 3003",
                                                         "6 2000000 -273.149994 5 1005 2005 3005",
                                                         "6 3000000 -nan 6 1006 2006 3006",
                                                         "6 -1000000 -273.149994 2 1002 2002 3002"}));
  for (int id : {0, 1, 2, 3, 4, 5, 7}) EXPECT_TRUE(RawLinesById()[id].empty()) << id;
}

}  // namespace
