// Start-up through the real program: banner, usage, which configuration file
// the options select, the train identifier limit and the configuration
// failure exit. Settings the program cannot show before the computation
// (the flags, the oscillogram path) are read in-process.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/run.h"
#include "net/net.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string BANNER = "Korvanet v1.1.0.109 started\r";
const std::string USAGE =
    "Valid usage: Korvanet.exe oscillogram_file.osc --trainId=`trainId` "
    "[--config-file=`config-file-full-name` --wideinfo=(1|true|yes|Yes)]";
const std::string DEFAULT_CONFIG = "../configs/scales.json.conf";

// A valid one-line installation.
const std::string GOOD_CONFIG = R"({"lines": [{"id": 1, "devices": {
  "odd":  {"enabled": true, "uid": "o1", "port": 7126, "frequency": 2000, "sensors": []},
  "even": {"enabled": true, "uid": "e1", "port": 7127, "frequency": 2000, "sensors": []}}}]})";

// The working directory of the program, with ../configs/ beside it holding a
// default configuration that is not JSON, so every run that loads it stops
// right after the configuration step.
struct Installation {
  TempDir root;
  std::string work = root.File("work");
  Installation() {
    std::filesystem::create_directories(work);
    std::filesystem::create_directories(root.File("configs"));
    root.Write("configs/scales.json.conf", "not json");
    root.Write("work/alt.conf", "{}");
    root.Write("work/good.conf", GOOD_CONFIG);
    std::string duplicate = GOOD_CONFIG;
    duplicate.replace(duplicate.find("7127"), 4, "7126");
    root.Write("work/dup.conf", duplicate);
  }
};

ProgramOptions InDirectory(const std::string& directory) {
  ProgramOptions options;
  options.workingDirectory = directory;
  return options;
}

// Messages that a stop at the configuration step leaves after the loader's own.
std::vector<std::string> ConfigStop(const std::string& path, const std::string& cause) {
  return {BANNER, "Loading config file " + path, cause, ""};
}
std::vector<std::string> DefaultConfigStop() {
  return ConfigStop(DEFAULT_CONFIG, "Config file ../configs/scales.json.conf is not valid JSON: Invalid value. (at byte 1)");
}
std::vector<std::string> AltConfigStop() {
  return ConfigStop("alt.conf", "Config has no \"lines\"");
}

struct StartCase {
  const char* name;
  std::vector<std::string> arguments;
  int exitStatus;
  std::vector<std::string> messages;  // every line of standard error, timestamps dropped
};

TEST(StartUp, ArgumentVectorsGiveTheirExitAndLog) {
  const std::string longId(MAX_TRAIN_ID_BYTES + 1, '7'), longestId(MAX_TRAIN_ID_BYTES, '7');
  const std::string tooLong = "Train identifier of " + std::to_string(longId.size()) +
                              " bytes refused: a result message holds at most " +
                              std::to_string(MAX_TRAIN_ID_BYTES) + " bytes of it";
  const std::vector<StartCase> cases = {
      {"no arguments", {}, 0, {BANNER, USAGE, ""}},
      {"file only", {"run.osc"}, 246, DefaultConfigStop()},
      {"empty config option", {"run.osc", "--config-file="}, 246, DefaultConfigStop()},
      {"config option", {"run.osc", "--config-file=alt.conf"}, 246, AltConfigStop()},
      {"first config wins", {"run.osc", "--config-file=alt.conf", "--config-file=dup.conf"}, 246, AltConfigStop()},
      {"case of option name", {"run.osc", "--Config-file=alt.conf"}, 246, DefaultConfigStop()},
      {"option inside argument", {"run.osc", "x--config-file=alt.conf"}, 246, DefaultConfigStop()},
      {"option before file", {"--config-file=alt.conf", "run.osc"}, 246, AltConfigStop()},
      {"missing config", {"run.osc", "--config-file=missing.conf"}, 246,
       {BANNER, "Config file missing.conf not found", ""}},
      {"config is a directory", {"run.osc", "--config-file=."}, 246,
       ConfigStop(".", "Config file . cannot be read: Is a directory")},
      {"duplicate port", {"run.osc", "--config-file=dup.conf"}, 246,
       {BANNER, "Loading config file dup.conf", "Device (odd side) uid o1 added to config with id 0",
        "Duplicate port found", ""}},
      {"train id too long", {"run.osc", "--trainId=" + longId}, 2, {BANNER, tooLong}},
      {"train id before file", {"--trainId=" + longId, "run.osc"}, 2, {BANNER, tooLong}},
      {"longest train id", {"run.osc", "--trainId=" + longestId}, 246, DefaultConfigStop()},
      {"first train id wins", {"run.osc", "--trainId=7", "--trainId=" + longId}, 246, DefaultConfigStop()},
      {"case of train option", {"run.osc", "--trainid=" + longId}, 246, DefaultConfigStop()},
  };
  Installation installation;
  for (const StartCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = RunKorvanetBinary(c.arguments, InDirectory(installation.work));
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
    EXPECT_EQ(LogMessages(run.err), c.messages) << run.err;
    EXPECT_EQ(run.out, "");
  }
}

TEST(StartUp, UsageFollowsTheBannerByteForByte) {
  ProgramRun run = RunKorvanetBinary({});
  static const std::regex expected(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d \.\d{1,3}: Korvanet v1\.1\.0\.109 started\r\n)"
                                   R"(Valid usage: Korvanet\.exe oscillogram_file\.osc --trainId=`trainId` )"
                                   R"(\[--config-file=`config-file-full-name` --wideinfo=\(1\|true\|yes\|Yes\)\]\n\n)");
  EXPECT_TRUE(std::regex_match(run.err, expected)) << run.err;
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(StartUp, LoadedConfigurationOpensTheMasterLink) {
  Installation installation;
  ProgramRun run = RunKorvanetBinary({"missing.osc", "--config-file=good.conf"}, InDirectory(installation.work));
  std::vector<std::string> messages = LogMessages(run.err);
  ASSERT_GE(messages.size(), 5u) << run.err;
  EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5),
            (std::vector<std::string>{BANNER, "Loading config file good.conf",
                                      "Device (odd side) uid o1 added to config with id 0",
                                      "Device (even side) uid e1 added to config with id 1",
                                      "Init master server connection to port 3021"}));
  EXPECT_EQ(run.exitStatus, 0) << run.err;
}

struct OptionsCase {
  std::vector<std::string> argv;  // argv[0] included
  RunOptions expected;
};

RunOptions Options(std::string oscFile, std::string trainId = "", bool wide = false, bool debug = false,
                   std::string configPath = DEFAULT_CONFIG_PATH) {
  return {oscFile, trainId, configPath, wide, debug};
}

TEST(StartUp, OptionsFromArgumentVectors) {
  const std::vector<OptionsCase> cases = {
      {{"k", "run.osc"}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo=1"}, Options("run.osc", "", true)},
      {{"k", "run.osc", "--wideinfo=true"}, Options("run.osc", "", true)},
      {{"k", "run.osc", "--wideinfo=yes"}, Options("run.osc", "", true)},
      {{"k", "run.osc", "--wideinfo=Yes"}, Options("run.osc", "", true)},
      {{"k", "run.osc", "--wideinfo=YES"}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo=TRUE"}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo=on"}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo=1 "}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo="}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo"}, Options("run.osc")},
      {{"k", "run.osc", "--wideinfo=0", "--wideinfo=1"}, Options("run.osc")},
      {{"k", "run.osc", "--debug=yes"}, Options("run.osc", "", false, true)},
      {{"k", "run.osc", "x--debug=1"}, Options("run.osc")},
      {{"k", "run.osc", "--Debug=1"}, Options("run.osc")},
      {{"--debug=1", "run.osc"}, Options("run.osc", "", false, true)},  // the program name is scanned too
      {{"k", "run.osc", "--trainId=7", "--trainId=8"}, Options("run.osc", "7")},
      {{"k", "run.osc", "--trainid=7"}, Options("run.osc")},
      {{"k", "run.osc", "--trainId="}, Options("run.osc")},
      {{"k", "run.osc", "--trainId=a=b c"}, Options("run.osc", "a=b c")},
      {{"k", "--trainId=7", "run.osc"}, Options("--trainId=7", "7")},
      {{"k", "run.osc", "--config-file=/etc/a b.conf"}, Options("run.osc", "", false, false, "/etc/a b.conf")},
      {{"k", "run.osc", "--config-file="}, Options("run.osc")},
      {{"k", "", "--wideinfo=1", "--debug=true"}, Options("", "", true, true)},
  };
  for (const OptionsCase& c : cases) {
    std::vector<char*> argv;
    std::string joined;
    for (const std::string& argument : c.argv) {
      argv.push_back(const_cast<char*>(argument.c_str()));
      joined += "[" + argument + "]";
    }
    SCOPED_TRACE(joined);
    RunOptions options = ReadRunOptions(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(options.oscFile, c.expected.oscFile);
    EXPECT_EQ(options.trainId, c.expected.trainId);
    EXPECT_EQ(options.configPath, c.expected.configPath);
    EXPECT_EQ(options.wideInfo, c.expected.wideInfo);
    EXPECT_EQ(options.debugMode, c.expected.debugMode);
  }
}

}  // namespace
