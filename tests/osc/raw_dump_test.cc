#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "calc/computation.h"
#include "tests/osc/feed_fixture.h"
#include "tests/support/osc_writer.h"
#include "tests/support/temp_dir.h"

namespace {

class RawDumpTest : public FeedTest {
 protected:
  void TearDown() override {
    FeedTest::TearDown();
    oscFilePath.clear();
  }
};

std::vector<std::string> FilesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(RawDumpTest, WritesOneFilePerDeviceWithSamplesInIdOrder) {
  TempDir dir;
  std::string osc = dir.Write("train.osc", BuildOscillogram({}, {
                                                                     {3, 7, 0, {1, 2, 3, 4}},
                                                                     {0, 5000, 1023, {10, 20, 30, 40}},
                                                                     {3, 9, 1023, {5, 6, 7, 65535}},
                                                                     {0, 4999, 0, {0, 0, 0, 0}},
                                                                 }));
  // An earlier run's longer dump must not survive in the new one.
  dir.Write("train.osc_out3.dat", std::string(1000, 'x'));
  debugMode = true;
  oscFilePath = osc;
  frequencyById[0] = 1000;
  frequencyById[3] = 2;
  testing::internal::CaptureStderr();
  LoadOscillogram(oscFilePath);
  testing::internal::GetCapturedStderr();

  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawDump(), COMPUTATION_OK);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File " + osc + "_out0.dat\nFile " + osc + "_out3.dat\n");
  EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"train.osc", "train.osc_out0.dat", "train.osc_out3.dat"}));
  EXPECT_EQ(ReadFileText(osc + "_out0.dat"),
            "0 0 -273.149994 10 20 30 40\n"
            "0 -1000 -273.149994 0 0 0 0\n");
  EXPECT_EQ(ReadFileText(osc + "_out3.dat"),
            "3 0 -273.149994 1 2 3 4\n"
            "3 1000000 -273.149994 5 6 7 65535\n");
  EXPECT_EQ(RawLinesById()[0].size(), 2u) << "the lines stay for later readers";
}

TEST_F(RawDumpTest, UnopenableFileFailsAfterTheLowerIdsAreWritten) {
  TempDir dir;
  oscFilePath = dir.File("train.osc");
  RawLinesById()[1] = {"1 0 20.000000 1 2 3 4"};
  RawLinesById()[5] = {"5 0 20.000000 1 2 3 4"};
  RawLinesById()[6] = {"6 0 20.000000 1 2 3 4"};
  // A directory in the way of device 5's file.
  std::filesystem::create_directory(oscFilePath + "_out5.dat");

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(WriteRawDump(), COMPUTATION_DUMP_FAILED);
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(err, "Error: file " + oscFilePath + "_out5.dat could not be opened\n");
  EXPECT_EQ(out, "File " + oscFilePath + "_out1.dat\nFile " + oscFilePath + "_out5.dat\n");
  EXPECT_EQ(ReadFileText(oscFilePath + "_out1.dat"), "1 0 20.000000 1 2 3 4\n");
  EXPECT_FALSE(std::filesystem::exists(oscFilePath + "_out6.dat"));
}

TEST_F(RawDumpTest, DumpsOfManyMegabytesAreWrittenWhole) {
  TempDir dir;
  oscFilePath = dir.File("long.osc");
  std::string expected;
  for (int record = 0; record < 100000; ++record) {
    RawLinesById()[2].push_back("2 " + std::to_string(record * 250ll) + " 24.955988 " + std::to_string(record % 1024) +
                                " 0 0 0");
    expected += RawLinesById()[2].back() + "\n";
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(WriteRawDump(), COMPUTATION_OK);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(ReadFileText(oscFilePath + "_out2.dat"), expected);
}

}  // namespace
