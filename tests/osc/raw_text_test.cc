// The raw dump text as FeedRecord packs it and as the lists and the dump
// files show it: byte for byte what printf writes for every sample, in feed
// order, whether a line was unpacked into a list or written from the packed
// blocks.
#include <cstdio>
#include <string>
#include <vector>

#include "calc/computation.h"
#include "tests/osc/feed_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

class RawTextTest : public FeedTest {
 protected:
  void TearDown() override {
    FeedTest::TearDown();
    oscFilePath.clear();
  }

  void FeedOne(uint8_t deviceId, uint32_t counter, uint16_t reading, uint16_t channel0) {
    uint8_t record[osc::RECORD_BYTES] = {};
    record[osc::HEADER_DEVICE_ID_AT] = deviceId;
    record[osc::HEADER_PAYLOAD_LENGTH_AT] = osc::RECORD_PAYLOAD_BYTES;
    for (int i = 0; i < 4; ++i) record[osc::HEADER_COUNTER_AT + i] = static_cast<uint8_t>(counter >> (8 * i));
    uint8_t* payload = record + osc::RECORD_HEADER_BYTES;
    payload[osc::PAYLOAD_THERMISTOR_AT] = static_cast<uint8_t>(reading);
    payload[osc::PAYLOAD_THERMISTOR_AT + 1] = static_cast<uint8_t>(reading >> 8);
    for (int c = 0; c < 4; ++c) {
      uint16_t value = static_cast<uint16_t>(channel0 + 9000 * c);
      payload[osc::PAYLOAD_CHANNEL0_AT + 2 * c] = static_cast<uint8_t>(value);
      payload[osc::PAYLOAD_CHANNEL0_AT + 2 * c + 1] = static_cast<uint8_t>(value >> 8);
    }
    FeedRecord(record, payload, osc::RECORD_PAYLOAD_BYTES);
  }
};

// The line of every pushed sample, as printf forms it, each with its "\n".
std::vector<std::string> PrintfLines(const std::vector<SideSample>& samples) {
  std::vector<std::string> lines;
  for (const SideSample& s : samples) {
    char text[160];
    std::snprintf(text, sizeof(text), "%u %lld %f %u %u %u %u\n", s.deviceId, static_cast<long long>(s.timeUs),
                  static_cast<double>(s.temperature), s.channels[0], s.channels[1], s.channels[2], s.channels[3]);
    lines.push_back(text);
  }
  return lines;
}

std::string Joined(const std::vector<std::string>& lines, const char* end) {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

TEST_F(RawTextTest, EveryReadingAndTimeIsWrittenAsPrintfWritesIt) {
  TempDir dir;
  oscFilePath = dir.File("t.osc");
  debugMode = true;
  frequencyById[7] = 3;  // times that are not whole in microseconds
  // Every converter value, the NaN beyond it, counters before the origin and
  // far beyond it, channels from 0 to 65535.
  std::vector<uint32_t> counters = {1000, 999, 0, 4294967295u, 1001};
  uint16_t channel = 0;
  for (uint32_t reading = 0; reading <= 1030; ++reading, channel += 64)
    FeedOne(7, counters[reading % counters.size()] + reading / 5, static_cast<uint16_t>(reading), channel);
  FeedOne(7, 5, 65535, 65535);

  std::string expected;
  for (const std::string& line : PrintfLines(Pushed())) expected += line;
  ASSERT_EQ(Pushed().size(), 1032u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawDump(), COMPUTATION_OK);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "File " + oscFilePath + "_out7.dat\n");
  EXPECT_EQ(ReadFileText(oscFilePath + "_out7.dat"), expected);
  EXPECT_EQ(Joined(RawLinesById()[7], "\n"), expected);
}

TEST_F(RawTextTest, LinesKeepFeedOrderAcrossTheListsAndThePackedBlocks) {
  TempDir dir;
  oscFilePath = dir.File("t.osc");
  debugMode = true;
  frequencyById[0] = 2000;
  frequencyById[3] = 2000;
  // Well over one packed block per device before and after the lists are read.
  constexpr uint32_t FIRST = 70000, SECOND = 50000;
  for (uint32_t r = 0; r < FIRST; ++r) FeedOne(r % 2 ? 3 : 0, 100 + r, 400 + r % 300, static_cast<uint16_t>(r));
  std::vector<std::string> first = RawLinesById()[3];
  ASSERT_EQ(first.size(), FIRST / 2);
  for (uint32_t r = 0; r < SECOND; ++r) FeedOne(r % 2 ? 3 : 0, 200000 + r, 700, static_cast<uint16_t>(3 * r));

  std::vector<std::string> device0, device3;
  for (const SideSample& sample : Pushed()) (sample.deviceId == 0 ? device0 : device3).push_back(PrintfLines({sample})[0]);
  EXPECT_EQ(Joined(first, "\n"), Joined({device3.begin(), device3.begin() + FIRST / 2}, ""));

  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawDump(), COMPUTATION_OK);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFileText(oscFilePath + "_out0.dat"), Joined(device0, ""));
  EXPECT_EQ(ReadFileText(oscFilePath + "_out3.dat"), Joined(device3, ""));
  // The dump leaves the text where it was; every line is still there.
  EXPECT_EQ(Joined(RawLinesById()[0], "\n"), Joined(device0, ""));
  EXPECT_EQ(Joined(RawLinesById()[3], "\n"), Joined(device3, ""));
}

}  // namespace
