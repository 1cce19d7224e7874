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
  RecordSpec spec = {record.deviceId, record.counter, record.thermistor};
  for (int c = 0; c < 4; ++c) spec.channels[c] = static_cast<uint16_t>(1000 * c + (record.counter & 0xff));
  std::string bytes = BuildOscillogram({}, {spec}).substr(osc::START_OFFSET);
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
    for (const SideSample& sample : Pushed()) pushed.emplace_back(sample.deviceId, sample.timeUs);
    EXPECT_EQ(pushed, c.pushed);
  }
}

// The beta equation in double precision, as an independent reference.
double ReferenceCelsius(double reading) {
  double resistanceOhm = 10000.0 / (1023.0 / reading - 1.0);
  return 1.0 / (std::log(resistanceOhm / 10000.0) / 3950.0 + 1.0 / 298.15) - 273.15;
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
  for (uint16_t reading = 1; reading < 1023; ++reading) {
    // Float rounding at every step stays far below the converter's resolution.
    EXPECT_NEAR(ThermistorCelsius(reading), ReferenceCelsius(reading), 0.02) << reading;
    if (reading > 1) {
      EXPECT_LT(ThermistorCelsius(reading), ThermistorCelsius(reading - 1)) << reading;
    }
  }
}

std::string PrintfLine(uint32_t id, long long timeUs, float celsius, uint32_t counterLowByte) {
  char text[128];
  std::snprintf(text, sizeof(text), "%u %lld %f %u %u %u %u", id, timeUs, static_cast<double>(celsius),
                counterLowByte, 1000 + counterLowByte, 2000 + counterLowByte, 3000 + counterLowByte);
  return text;
}

TEST_F(FeedTest, DebugModeKeepsOneTextLinePerSampleAsPrintfWritesIt) {
  frequencyById[1] = 1000;
  Feed({1, 1});
  EXPECT_TRUE(RawLinesById()[1].empty()) << "no text lines outside debug mode";

  debugMode = true;
  frequencyById[6] = 1;
  // Every reading the converter can produce and one beyond, then a counter
  // before the origin.
  std::vector<Record> records;
  for (uint16_t reading = 0; reading <= 1024; ++reading) records.push_back({6, 3u + reading, reading});
  records.push_back({6, 2, 512});
  FeedCapturingLog(records);

  const std::vector<std::string>& lines = RawLinesById()[6];
  ASSERT_EQ(lines.size(), records.size());
  EXPECT_EQ(lines[0], "6 0 -273.149994 3 1003 2003 3003");
  EXPECT_EQ(lines[1023], "6 1023000000 -273.149994 2 1002 2002 3002");
  EXPECT_NE(lines[1024].find("nan 3 1003 2003 3003"), std::string::npos) << lines[1024];
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(lines[i], PrintfLine(6, (records[i].counter - 3ll) * 1000000, ThermistorCelsius(records[i].thermistor),
                                   records[i].counter & 0xff));
  }
  for (int id : {0, 1, 2, 3, 4, 5, 7}) EXPECT_TRUE(RawLinesById()[id].empty()) << id;
}

}  // namespace
