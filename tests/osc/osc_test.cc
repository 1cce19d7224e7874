// The oscillogram loader and the raw dump text in this process, with every
// sample collected in place of the calculation library: every truncation of
// a small file, and the dump text of every reading against printf's.
#include <gtest/gtest.h>

#include <cstdlib>

#include "calc/computation.h"
#include "config/settings.h"
#include "osc/osc.h"
#include "osc/osc_format.h"
#include "tests/support/harness.h"

namespace {

std::vector<SideSample> pushed;

class Feeding : public testing::Test {
 protected:
  void SetUp() override {
    ResetFeeding();
    pushed.clear();
    SetSampleSink([](SideSample* sample) {
      pushed.push_back(*sample);
      std::free(sample);
    });
  }
  void TearDown() override {
    SetSampleSink(nullptr);
    debugMode = false;
  }
};

std::string LoadCapturingStderr(const std::string& path) {
  testing::internal::CaptureStderr();
  LoadOscillogram(path);
  return testing::internal::GetCapturedStderr();
}

TEST_F(Feeding, EveryTruncationFeedsTheWholeRecordsBeforeIt) {
  // Entry 2 has a number and a time but offset 0: not listed.
  std::vector<CarriageEntry> carriages = {{1, 21504, 0}, {2, 0x1234567890ull, -250}, {9, 0, 77}};
  carriages.resize(osc::CARRIAGE_TABLE_ENTRIES, {0, 0, 0});
  carriages.back() = {255, 0xffffffffull, 2147483647};
  const std::string whole = Oscillogram({{0, 100, 512, 12, 1}, {1, 200, 600, 12, 5}, {0, 101, 0, 12, 9}}, carriages);
  const std::string listed =
      "File $ opened\ncarriage 1 offset 21504 bytes (time 0)\ncarriage 2 offset 878082192 bytes (time -250)\n"
      "carriage 255 offset 4294967295 bytes (time 2147483647)\n\nRead file start_offset = 21504\nLoading file $...\n";
  TempDir dir;
  const std::string path = dir.File("cut.osc");
  constexpr size_t START = osc::START_OFFSET;
  for (size_t length = 0; length <= whole.size(); length += length < 64 || length + 997 > START ? 1 : 997) {
    SCOPED_TRACE(length);
    SetUp();
    frequencyById[0] = frequencyById[1] = 1;
    dir.Write("cut.osc", whole.substr(0, length));
    std::string err = LoadCapturingStderr(path);
    // A short table reads as if the missing bytes were zero; nothing is fed.
    if (length < START) {
      dir.Write("cut.osc", whole.substr(0, length) + std::string(START - length, '\0'));
      EXPECT_EQ(err, LoadCapturingStderr(path));
      EXPECT_TRUE(pushed.empty());
      continue;
    }
    std::string expected = listed;
    for (size_t at; (at = expected.find('$')) != std::string::npos;) expected.replace(at, 1, path);
    EXPECT_EQ(err, expected);
    std::vector<uint16_t> tags, expectedTags = {1, 5, 9};
    for (const SideSample& sample : pushed) tags.push_back(sample.channels[0]);
    expectedTags.resize((length - START) / osc::RECORD_BYTES);
    EXPECT_EQ(tags, expectedTags);
  }
}

// Feeds the records one by one, as the loader does.
void Feed(const std::vector<Rec>& records) {
  std::string bytes = Oscillogram(records);
  for (size_t at = osc::START_OFFSET; at < bytes.size(); at += osc::RECORD_BYTES) {
    auto* record = reinterpret_cast<const uint8_t*>(&bytes[at]);
    FeedRecord(record, record + osc::RECORD_HEADER_BYTES, osc::RECORD_PAYLOAD_BYTES);
  }
}

// The text printf gives each collected sample, with its line end.
std::string PrintfText(uint32_t deviceId) {
  std::string text;
  for (const SideSample& s : pushed) {
    char line[160];
    std::snprintf(line, sizeof line, "%u %lld %f %u %u %u %u\n", s.deviceId, static_cast<long long>(s.timeUs),
                  static_cast<double>(s.temperature), s.channels[0], s.channels[1], s.channels[2], s.channels[3]);
    if (s.deviceId == deviceId) text += line;
  }
  return text;
}

std::string ListText(uint32_t deviceId) {
  std::string text;
  for (const std::string& line : RawLinesById()[deviceId]) text += line + "\n";
  return text;
}

struct RawDump : Feeding {
  TempDir dir;
  void SetUp() override {
    Feeding::SetUp();
    debugMode = true;
    oscFilePath = dir.File("t.osc");
  }
  std::string Dump() {
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteRawDump(), COMPUTATION_OK);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(RawDump, EveryReadingAndTimeIsWrittenAsPrintfWritesIt) {
  frequencyById[7] = 3;  // times that are not whole in microseconds
  // Every converter reading, the NaN beyond them, counters before the first
  // one and far beyond it, channels from 0 to 65535.
  const uint32_t counters[] = {1000, 999, 0, 4294967295u, 1001};
  std::vector<Rec> records;
  for (uint16_t reading = 0; reading <= 1030; ++reading)
    records.push_back({7, counters[reading % 5] + reading / 5u, reading, 12, static_cast<uint16_t>(reading * 64)});
  records.push_back({7, 5, 65535, 12, 65535});
  Feed(records);
  ASSERT_EQ(pushed.size(), records.size());
  EXPECT_EQ(Dump(), "File " + oscFilePath + "_out7.dat\n");
  EXPECT_EQ(ReadFileText(oscFilePath + "_out7.dat"), PrintfText(7));
  EXPECT_EQ(ListText(7), PrintfText(7));
  EXPECT_EQ(ThermistorCelsius(1023), -273.15f);
}

// Well over one packed text block per device before and after the lists are
// read: the dump keeps every line in feed order, and so do the lists after it.
TEST_F(RawDump, LinesKeepFeedOrderAcrossTheListsAndThePackedBlocks) {
  frequencyById[0] = frequencyById[3] = 2000;
  std::vector<Rec> first, second;
  for (uint32_t r = 0; r < 70000; ++r) first.push_back({static_cast<uint8_t>(r % 2 ? 3 : 0), 100 + r, 400, 12, static_cast<uint16_t>(r)});
  for (uint32_t r = 0; r < 50000; ++r) second.push_back({static_cast<uint8_t>(r % 2 ? 3 : 0), 200000 + r, 700, 12, static_cast<uint16_t>(3 * r)});
  Feed(first);
  EXPECT_EQ(ListText(3), PrintfText(3));
  Feed(second);
  EXPECT_EQ(Dump(), "File " + oscFilePath + "_out0.dat\nFile " + oscFilePath + "_out3.dat\n");
  for (uint32_t id : {0, 3}) {
    EXPECT_EQ(ReadFileText(oscFilePath + "_out" + std::to_string(id) + ".dat"), PrintfText(id)) << id;
    EXPECT_EQ(ListText(id), PrintfText(id)) << id;
  }
}

}  // namespace
