// Start-up through the real program: banner, usage, which configuration file
// the options select, the train identifier limit and the configuration
// failure exit. Settings the program cannot show before the computation
// (the flags, the oscillogram path) are read in-process.
#include <gtest/gtest.h>

#include <filesystem>
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

RunOptions ReadFrom(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  return ReadRunOptions(static_cast<int>(argv.size()), argv.data());
}

// Only these exact values switch a flag on.
TEST(StartUp, SwitchValues) {
  const std::vector<std::pair<std::string, bool>> values = {
      {"=1", true},  {"=true", true}, {"=yes", true},  {"=Yes", true}, {"=YES", false}, {"=TRUE", false},
      {"=on", false}, {"=1 ", false}, {"= 1", false}, {"=", false},    {"", false},      {"=0", false}};
  for (const auto& [value, on] : values) {
    SCOPED_TRACE(value);
    EXPECT_EQ(ReadFrom({"k", "run.osc", "--wideinfo" + value}).wideInfo, on);
    EXPECT_EQ(ReadFrom({"k", "run.osc", "--debug" + value}).debugMode, on);
  }
}

struct OptionsCase {
  std::vector<std::string> argv;  // argv[0] included
  std::string oscFile, trainId, configPath;
  bool wideInfo, debugMode;
};

TEST(StartUp, OptionsFromArgumentVectors) {
  const std::string D = DEFAULT_CONFIG_PATH;
  const std::vector<OptionsCase> cases = {
      {{"k", "run.osc"}, "run.osc", "", D, false, false},
      {{"k", "run.osc", "--wideinfo=0", "--wideinfo=1"}, "run.osc", "", D, false, false},
      {{"k", "run.osc", "x--debug=1", "--Debug=1"}, "run.osc", "", D, false, false},
      {{"--debug=1", "run.osc"}, "run.osc", "", D, false, true},  // the program name is scanned too
      {{"k", "run.osc", "--trainId=7", "--trainId=8"}, "run.osc", "7", D, false, false},
      {{"k", "run.osc", "--trainid=7", "--trainId="}, "run.osc", "", D, false, false},
      {{"k", "run.osc", "--trainId=a=b c"}, "run.osc", "a=b c", D, false, false},
      {{"k", "--trainId=7", "run.osc"}, "--trainId=7", "7", D, false, false},
      {{"k", "run.osc", "--config-file=/etc/a b.conf"}, "run.osc", "", "/etc/a b.conf", false, false},
      {{"k", "run.osc", "--config-file=", "--config-file=b"}, "run.osc", "", D, false, false},
      {{"k", "", "--wideinfo=1", "--debug=true"}, "", "", D, true, true},
  };
  for (const OptionsCase& c : cases) {
    SCOPED_TRACE(c.argv[0] + " " + c.argv[1] + " " + (c.argv.size() > 2 ? c.argv[2] : ""));
    RunOptions options = ReadFrom(c.argv);
    EXPECT_EQ(options.oscFile, c.oscFile);
    EXPECT_EQ(options.trainId, c.trainId);
    EXPECT_EQ(options.configPath, c.configPath);
    EXPECT_EQ(options.wideInfo, c.wideInfo);
    EXPECT_EQ(options.debugMode, c.debugMode);
  }
}

}  // namespace
