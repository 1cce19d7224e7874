#include <algorithm>
#include <string>
#include <vector>

#include "tests/osc/feed_fixture.h"
#include "tests/support/osc_writer.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

using LoaderTest = FeedTest;

std::string LoadCapturingStderr(const std::string& path) {
  testing::internal::CaptureStderr();
  LoadOscillogram(path);
  return testing::internal::GetCapturedStderr();
}

std::string Opening(const std::string& path, const std::string& listing) {
  return "File " + path + " opened\n" + listing + "\nRead file start_offset = 21504\nLoading file " + path + "...\n";
}

// Channel 0 tags each record: the tags of the pushed samples, in push order.
std::vector<uint16_t> PushedTags() {
  std::vector<uint16_t> tags;
  for (const SideSample& sample : FeedTest::Pushed()) tags.push_back(sample.channels[0]);
  return tags;
}

TEST_F(LoaderTest, EveryTruncationFeedsTheWholeRecordsBeforeIt) {
  // Entry 2 has a number and a time but offset 0: not listed.
  std::vector<CarriageSpec> carriages = {{1, 21504, 0}, {2, 0x1234567890ull, -250}, {9, 0, 77}};
  carriages.resize(osc::CARRIAGE_TABLE_ENTRIES);
  carriages.back() = {255, 0xffffffffull, 2147483647};
  const std::string listing =
      "carriage 1 offset 21504 bytes (time 0)\n"
      "carriage 2 offset 878082192 bytes (time -250)\n"
      "carriage 255 offset 4294967295 bytes (time 2147483647)\n";
  std::string whole = BuildOscillogram(carriages, {{0, 100, 512, {1}}, {1, 200, 600, {5}}, {0, 101, 0, {9}},
                                                   {1, 201, 1023, {13}}});
  TempDir dir;
  std::string path = dir.File("cut.osc");
  // The lengths through the used table entries, then every length from the
  // last entry to the end of the file.
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 3 * osc::CARRIAGE_ENTRY_BYTES; ++length) lengths.push_back(length);
  for (size_t length = osc::START_OFFSET - osc::CARRIAGE_ENTRY_BYTES - 1; length <= whole.size(); ++length) {
    lengths.push_back(length);
  }
  for (size_t length : lengths) {
    SCOPED_TRACE("file length " + std::to_string(length));
    SetUp();
    frequencyById[0] = frequencyById[1] = 1;
    dir.Write("cut.osc", whole.substr(0, length));
    std::string err = LoadCapturingStderr(path);
    if (length < osc::START_OFFSET) {
      // A short table reads as if the missing bytes were zero; nothing is fed.
      dir.Write("cut.osc", whole.substr(0, length) + std::string(osc::START_OFFSET - length, '\0'));
      EXPECT_EQ(err, LoadCapturingStderr(path));
      EXPECT_TRUE(Pushed().empty());
      continue;
    }
    EXPECT_EQ(err, Opening(path, listing));
    std::vector<uint16_t> expected = {1, 5, 9, 13};
    expected.resize((length - osc::START_OFFSET) / osc::RECORD_BYTES);
    EXPECT_EQ(PushedTags(), expected);
  }
}

struct BadRecordCase {
  const char* name;
  RecordSpec third;                // the third record of four
  std::vector<uint16_t> fedTags;   // channel 0 of the records pushed, in order
  std::string loaderMessage;       // after the opening lines
  std::vector<std::string> logMessages;
  int64_t recordPositionAfter;
};

TEST_F(LoaderTest, BadRecordsStopTheReadingOrAreDropped) {
  const std::vector<BadRecordCase> cases = {
      {"payload 12 is read on", {0, 102, 512, {3}, 12}, {1, 2, 3, 4}, "", {}, 21504 + 4 * 19},
      {"payload 11 stops with a message", {0, 102, 512, {3}, 11}, {1, 2},
       "Record at offset 21542 has payload length 11, shorter than 12; loading stopped\n", {}, 21504 + 2 * 19},
      {"payload 13 stops silently", {0, 102, 512, {3}, 13}, {1, 2}, "", {}, 21504 + 2 * 19},
      {"device 8 is dropped", {8, 102, 512, {3}}, {1, 2, 4}, "",
       {"device id 8 out of range 0..7, record at position 21542 dropped"}, 21504 + 3 * 19},
      {"device without frequency is dropped", {5, 102, 512, {3}}, {1, 2, 4}, "", {"freq not set for id  5"},
       21504 + 3 * 19},
      {"thermistor out of range is pushed", {0, 102, 1024, {3}}, {1, 2, 3, 4}, "", {"error on shift 21542"},
       21504 + 4 * 19},
  };
  TempDir dir;
  for (const BadRecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    frequencyById[0] = 1000;
    std::string path =
        dir.Write("bad.osc", BuildOscillogram({}, {{0, 100, 512, {1}}, {0, 101, 512, {2}}, c.third, {0, 103, 512, {4}}}));
    std::string err = LoadCapturingStderr(path);
    std::string expectedStart = Opening(path, "") + c.loaderMessage;
    EXPECT_EQ(err.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(LogMessages(err.substr(std::min(err.size(), expectedStart.size()))), c.logMessages);
    EXPECT_EQ(PushedTags(), c.fedTags);
    EXPECT_EQ(recordPosition, c.recordPositionAfter);
  }
}

TEST_F(LoaderTest, MissingFileFeedsNothing) {
  TempDir dir;
  std::string path = dir.File("absent.osc");
  EXPECT_EQ(LoadCapturingStderr(path), "Cannot open input file " + path + "\n");
  EXPECT_TRUE(Pushed().empty());
}

}  // namespace
