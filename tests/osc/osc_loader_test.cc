#include <algorithm>
#include <string>
#include <vector>

#include "tests/osc/feed_fixture.h"
#include "tests/support/osc_writer.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

using LoaderTest = FeedTest;

// Entries 0, 1 and the last one are used; entry 2 has a number and a time
// but offset 0, so it is not listed.
const std::vector<CarriageSpec> kCarriages = {
    {1, 21504, 0}, {2, 0x1234567890ull, -250}, {9, 0, 77}};
const char kListing[] =
    "carriage 1 offset 21504 bytes (time 0)\n"
    "carriage 2 offset 878082192 bytes (time -250)\n"
    "carriage 255 offset 4294967295 bytes (time 2147483647)\n";

std::vector<CarriageSpec> CarriagesWithLastEntry() {
  std::vector<CarriageSpec> carriages = kCarriages;
  carriages.resize(osc::CARRIAGE_TABLE_ENTRIES);
  carriages.back() = {255, 0xffffffffull, 2147483647};
  return carriages;
}

const std::vector<RecordSpec> kRecords = {
    {0, 100, 512, {1, 2, 3, 4}}, {1, 200, 600, {5, 6, 7, 8}}, {0, 101, 0, {9, 10, 11, 12}}, {1, 201, 1023, {13, 14, 15, 16}}};

std::string Trailer(const std::string& path) {
  return "\nRead file start_offset = 21504\nLoading file " + path + "...\n";
}

std::string LoadCapturingStderr(const std::string& path) {
  testing::internal::CaptureStderr();
  LoadOscillogram(path);
  return testing::internal::GetCapturedStderr();
}

// Channel 0 tags each record: the tags of the pushed samples, in push order.
std::vector<uint16_t> PushedTags() {
  std::vector<uint16_t> tags;
  for (const SideSample& sample : FeedTest::Pushed()) tags.push_back(sample.channels[0]);
  return tags;
}

TEST_F(LoaderTest, EveryTruncationFeedsTheWholeRecordsBeforeIt) {
  TempDir dir;
  std::string whole = BuildOscillogram(CarriagesWithLastEntry(), kRecords);
  std::string path = dir.File("cut.osc");
  std::vector<size_t> lengths;
  // The used table entries and every length of the data region.
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
      std::string zeroPadded = LoadCapturingStderr(path);
      EXPECT_EQ(err, zeroPadded);
      EXPECT_TRUE(Pushed().empty());
      continue;
    }
    EXPECT_EQ(err, "File " + path + " opened\n" + kListing + Trailer(path));
    size_t wholeRecords = (length - osc::START_OFFSET) / osc::RECORD_BYTES;
    std::vector<uint16_t> expected = {1, 5, 9, 13};
    expected.resize(wholeRecords);
    EXPECT_EQ(PushedTags(), expected);
  }
}

struct BadRecordCase {
  const char* name;
  RecordSpec bad;                  // written as the third record of four
  std::vector<uint16_t> fedTags;   // channel 0 of the records pushed, in order
  std::string loaderMessage;       // after the trailer, "" for none
  std::vector<std::string> logMessages;
  int64_t recordPositionAfter;
};

TEST_F(LoaderTest, BadRecordsStopTheReadingOrAreDropped) {
  const std::vector<BadRecordCase> cases = {
      {"payload 12 is read on", {0, 102, 512, {3}, 12}, {1, 2, 3, 4}, "", {}, 21504 + 4 * 19},
      {"payload 0 stops with a message", {0, 102, 512, {3}, 0}, {1, 2},
       "Record at offset 21542 has payload length 0, shorter than 12; loading stopped\n", {}, 21504 + 2 * 19},
      {"payload 11 stops with a message", {0, 102, 512, {3}, 11}, {1, 2},
       "Record at offset 21542 has payload length 11, shorter than 12; loading stopped\n", {}, 21504 + 2 * 19},
      {"payload 13 stops silently", {0, 102, 512, {3}, 13}, {1, 2}, "", {}, 21504 + 2 * 19},
      {"payload 65535 stops silently", {0, 102, 512, {3}, 65535}, {1, 2}, "", {}, 21504 + 2 * 19},
      {"device 8 is dropped", {8, 102, 512, {3}}, {1, 2, 4}, "",
       {"device id 8 out of range 0..7, record at position 21542 dropped"}, 21504 + 3 * 19},
      {"device 255 is dropped", {255, 102, 512, {3}}, {1, 2, 4}, "",
       {"device id 255 out of range 0..7, record at position 21542 dropped"}, 21504 + 3 * 19},
      {"device without frequency is dropped", {5, 102, 512, {3}}, {1, 2, 4}, "", {"freq not set for id  5"},
       21504 + 3 * 19},
  };
  TempDir dir;
  for (const BadRecordCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    frequencyById[0] = 1000;
    std::string path = dir.Write("bad.osc", BuildOscillogram({}, {{0, 100, 512, {1}}, {0, 101, 512, {2}}, c.bad,
                                                                 {0, 103, 512, {4}}}));
    std::string err = LoadCapturingStderr(path);
    std::string expectedStart = "File " + path + " opened\n" + Trailer(path) + c.loaderMessage;
    EXPECT_EQ(err.substr(0, expectedStart.size()), expectedStart);
    std::vector<std::string> logged = LogMessages(err.substr(std::min(err.size(), expectedStart.size())));
    EXPECT_EQ(logged, c.logMessages);
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
