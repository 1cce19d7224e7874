// Start-up through the real program: banner, usage text, which configuration
// file the options select, the train identifier limit and the exit statuses.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/run.h"
#include "net/net.h"
#include "tests/support/harness.h"

namespace {

TEST(StartUp, ArgumentVectorsGiveTheirExitStatusAndLog) {
  const std::string longId(MAX_TRAIN_ID_BYTES + 1, '7');
  const std::vector<std::string> byDefault =
      ConfigRefused("../configs/scales.json.conf",
           "Config file ../configs/scales.json.conf is not valid JSON: Invalid value. (at byte 1)");
  const std::vector<std::string> alt = ConfigRefused("alt.conf", "Config has no \"lines\"");
  const std::vector<std::string> tooLong = {
      BANNER, "Train identifier of 871 bytes refused: a result message holds at most 870 bytes of it"};
  const struct {
    std::vector<std::string> arguments;
    int exitStatus;
    std::vector<std::string> messages;  // all of standard error
  } cases[] = {
      {{},
       0,
       {BANNER,
        "Valid usage: Korvanet.exe oscillogram_file.osc --trainId=`trainId` "
        "[--config-file=`config-file-full-name` --wideinfo=(1|true|yes|Yes)]",
        ""}},
      {{"run.osc"}, 246, byDefault},
      {{"run.osc", "--config-file="}, 246, byDefault},
      {{"run.osc", "--Config-file=alt.conf"}, 246, byDefault},
      {{"run.osc", "x--config-file=alt.conf"}, 246, byDefault},
      {{"--config-file=alt.conf", "run.osc", "--config-file=missing.conf"}, 246, alt},  // anywhere, first wins
      {{"run.osc", "--config-file=missing.conf"}, 246, {BANNER, "Config file missing.conf not found", ""}},
      {{"run.osc", "--config-file=."}, 246, ConfigRefused(".", "Config file . cannot be read: Is a directory")},
      {{"run.osc", "--trainId=" + longId}, 2, tooLong},
      {{"run.osc", "--trainId=" + longId.substr(1)}, 246, byDefault},
      {{"run.osc", "--trainId=7", "--trainId=" + longId}, 246, byDefault},
  };
  // The working directory has ../configs/ beside it, with a default
  // configuration that is not JSON.
  Passage passage;
  std::filesystem::create_directories(passage.dir.File("configs"));
  std::filesystem::create_directories(passage.dir.File("work"));
  passage.dir.Write("configs/scales.json.conf", "not json");
  passage.dir.Write("work/alt.conf", "{}");
  passage.workingDirectory = passage.dir.File("work");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments).substr(0, 80));
    ChildRun run = passage.Run(c.arguments);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
    EXPECT_EQ(LogMessages(run.err), c.messages);
    EXPECT_EQ(run.out, "");
  }
}

TEST(StartUp, OnlyTheseValuesSwitchAFlagOn) {
  for (const char* on : {"1", "true", "yes", "Yes"}) EXPECT_TRUE(IsSwitchOn(on)) << on;
  for (const char* off : {"YES", "TRUE", "on", "1 ", " 1", "", "0"}) EXPECT_FALSE(IsSwitchOn(off)) << off;
}

}  // namespace
