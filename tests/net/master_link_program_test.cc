// The master link inside the running program: while a slow line computes,
// the master's datagrams (good and bad) arrive on the port the program
// logged, and the result still reaches the master from that port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/net.h"
#include "tests/support/master_listener.h"
#include "tests/support/osc_writer.h"
#include "tests/support/program_session.h"
#include "tests/support/scripted_library.h"
#include "tests/support/temp_dir.h"

namespace {

const char* const ONE_LINE_CONFIG = R"({"lines": [{"id": 1, "devices": {
  "odd": {"enabled": true, "port": 7126, "frequency": 1000, "sensors": [
    {"channel": 0, "side": false, "coeff": 1.0, "vel_coeff": 0.5, "enabled": true}]},
  "even": {"enabled": true, "port": 7127, "frequency": 1000, "sensors": [
    {"channel": 0, "side": true, "coeff": 1.0, "vel_coeff": 0.5, "enabled": true}]}}}]})";

// Line 1 takes 1.5 s, long enough for the datagrams below to arrive while
// the main thread waits for it.
const char* const SLOW_LINE_SCRIPT = R"({"lines": [{"line": 1, "delay_ms": 1500, "result":
  {"correct": true, "total_weight": 4321, "carriages": [{"full_weight": 4321,
   "loco": {"flag": true, "type": "TE"}, "axis": [{"speed": 12.5, "wheels": [
     {"weight": 2000, "condition": 0}, {"weight": 2321, "condition": 0}]}]}]}}]})";

TEST(MasterLinkProgram, MasterDatagramsDuringTheComputationLeaveTheResultIntact) {
  MasterListener master(MASTER_PORT);
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  TempDir dir;
  ScriptedLibrary library = PrepareScriptedLibrary(dir, SLOW_LINE_SCRIPT);
  std::string configPath = dir.Write("scales.json.conf", ONE_LINE_CONFIG);
  std::vector<RecordSpec> records = {{0, 1, 512, {1, 2, 3, 4}}, {1, 1, 512, {5, 6, 7, 8}}};
  std::string oscPath = dir.Write("train.osc", BuildOscillogram({{1, 21504, 0}}, records));

  ProgramOptions options;
  UseScriptedLibrary(library, options);
  std::unique_ptr<ProgramSession> program =
      StartKorvanet({oscPath, "--trainId=slow-7", "--config-file=" + configPath}, options, true);
  ASSERT_TRUE(program->started());
  const std::string boundPrefix = "UDP id 10 bound to local port ";
  std::optional<std::string> bound = program->WaitForLogMessage(boundPrefix, 10000);
  ASSERT_TRUE(bound) << program->Wait(1000).err;
  const int linkPort = std::stoi(bound->substr(boundPrefix.size()));

  const std::vector<std::string> datagrams = {
      "{\"cmd\":\"status\",\"param\":\"{\\\"ServerId\\\":\\\"m-1\\\"}\",\"name\":\"master\",\"id\":1}",
      "",
      std::string(MASTER_RECEIVE_BUFFER_BYTES + 1, '{'),
      std::string("\x01\x02junk\xff", 8),
      std::string(MASTER_RECEIVE_BUFFER_BYTES, '['),
      "{\"cmd\":\"ping\",\"param\":\"\",\"name\":\"master\",\"id\":2}",
  };
  for (const std::string& datagram : datagrams) ASSERT_TRUE(SendDatagramTo(static_cast<uint16_t>(linkPort), datagram));

  std::optional<ReceivedDatagram> result = master.Receive(15000);
  ProgramRun run = program->Wait(20000);
  std::vector<std::string> log = LogMessages(run.err);
  ASSERT_TRUE(result) << run.err;
  EXPECT_EQ(result->sourcePort, linkPort);
  EXPECT_EQ(result->bytes.rfind("{\"cmd\":\"scales_result\",\"param\":\"slow-7\",", 0), 0u) << result->bytes;
  EXPECT_NE(result->bytes.find("\\\"total_weight\\\":4321"), std::string::npos) << result->bytes;
  EXPECT_EQ(run.exitStatus, 0) << run.err;

  EXPECT_TRUE(HasLine(log, "UDP id 10 read 0 bytes"));
  EXPECT_TRUE(HasLine(log, "UDP id 10 read failed with error code : 10040"));
  int notJson = 0, otherFailures = 0;
  for (const std::string& line : log) {
    notJson += line.find("ignored: not JSON") != std::string::npos;
    otherFailures += line.rfind("UDP id 10 read failed", 0) == 0 && line.find(": 10040") == std::string::npos;
  }
  EXPECT_EQ(notJson, 2);
  EXPECT_EQ(otherFailures, 0);
}

}  // namespace
