// tools/master_listener.py against the real sender: a part series is joined,
// un-escaped back into the plain document and summarised.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "config/settings.h"
#include "net/net.h"
#include "tests/support/master_listener.h"
#include "tests/support/program_session.h"
#include "tests/support/temp_dir.h"

namespace {

// A plain result document of `carriageCount` carriages; the first is a
// locomotive whose type holds a quotation mark, as the writer escapes it.
std::string PlainDocument(int carriageCount) {
  std::string document = "{\"total_weight\":" + std::to_string(carriageCount * 50000) + ",\"correct\":true,\"carriages\":[";
  for (int i = 0; i < carriageCount; ++i) {
    if (i > 0) document += ',';
    document += "{\"full_weight\":50000,\"loco\":{\"flag\":" + std::string(i == 0 ? "true" : "false") +
                ",\"type\":\"" + (i == 0 ? "TE\\\"33" : "") + "\"},\"axis\":[";
    for (int axle = 0; axle < 4; ++axle)
      document += std::string(axle > 0 ? "," : "") + "{\"speed\":1" + std::to_string(axle) +
                  ".5,\"wheels\":[{\"weight\":6250,\"condition\":0},{\"weight\":6250,\"condition\":0}]}";
    document += "]}";
  }
  return document + "]}";
}

std::string EscapeQuotes(const std::string& text) {
  std::string escaped;
  for (char c : text) escaped += c == '"' ? std::string("\\\"") : std::string(1, c);
  return escaped;
}

TEST(MasterListenerTool, JoinsAPartSeriesBackIntoThePlainDocument) {
  TempDir dir;
  const std::string jsonOut = dir.File("train.json");
  const uint16_t port = UnusedUdpPort();
  ProgramOptions options;
  ProgramSession listener("/usr/bin/python3",
                          {KORVANET_SOURCE_DIR "/tools/master_listener.py", "--count", "1", "--timeout", "20",
                           "--json-out", jsonOut, "--port", std::to_string(port)},
                          options);
  ASSERT_TRUE(listener.started());
  ASSERT_TRUE(listener.WaitForLogMessage("listening on 127.0.0.1:", 10000)) << listener.Wait(1000).err;

  const std::string plain = PlainDocument(300);
  const std::string escaped = EscapeQuotes(plain);
  ASSERT_GT(escaped.size(), 2 * RESULT_CHUNK_SIZE);
  MasterLink link;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OpenMasterLink(link), LINK_OK);
  testing::internal::GetCapturedStderr();
  masterPort = port;
  SendResultMessages(link, "tool-9", escaped);
  masterPort = MASTER_PORT;
  ::close(link.socketHandle);

  ProgramRun run = listener.Wait(20000);
  EXPECT_EQ(run.exitStatus, 0) << run.out << run.err;
  EXPECT_EQ(ReadFileText(jsonOut), plain);
  const size_t messageCount = escaped.size() / RESULT_CHUNK_SIZE + 2;
  EXPECT_EQ(run.out.rfind("train tool-9: " + std::to_string(messageCount) +
                              " message(s), correct=true, total weight 15000000, 300 carriage(s), 1200 axle(s)\n",
                          0),
            0u)
      << run.out;
  EXPECT_NE(run.out.find("loco TE\"33"), std::string::npos) << run.out;
}

}  // namespace
