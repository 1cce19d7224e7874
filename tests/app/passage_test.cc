// Whole passages through the real program with the scripted library: what
// reaches the library in which order, the line threads and their time limit,
// the raw dump, and the result as printed and as the master receives it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "net/net.h"
#include "tests/support/harness.h"

namespace {

// Two lines as an installation lists them: line 7's odd device has the
// higher port, most coefficients have no exact float form, and line 3's odd
// device has no sensors.
const std::string TWO_LINES = R"({"lines": [
  {"id": 7, "devices": {
    "odd": {"enabled": true, "port": 7129, "frequency": 1000, "sensors": [
      {"channel": 0, "side": false, "coeff": 2.0, "vel_coeff": 0.0, "enabled": true},
      {"channel": 1, "side": false, "coeff": 0.3, "vel_coeff": 1.8, "enabled": false},
      {"channel": 3, "side": false, "coeff": -4.75, "vel_coeff": 2.7, "enabled": true}]},
    "even": {"enabled": false, "port": 7126, "frequency": 2000, "sensors": [
      {"channel": 0, "side": true, "coeff": 1.9, "vel_coeff": 0.1, "enabled": true}]}}},
  {"id": 3, "devices": {
    "odd": {"enabled": true, "port": 7127, "frequency": 1000, "sensors": []},
    "even": {"enabled": true, "port": 7128, "frequency": 500, "sensors": [
      {"channel": 0, "side": true, "coeff": 0.001, "vel_coeff": 12.7, "enabled": true}]}}}]})";

// ONE_LINE and a second line on devices 2 and 3.
const std::string TWO_SIMPLE_LINES = ONE_LINE.substr(0, ONE_LINE.size() - 2) + R"(, {"id": 2, "devices": {
  "odd": {"enabled": true, "port": 7128, "frequency": 1000}, "even": {"enabled": true, "port": 7129, "frequency": 1000}}}]})";

int Position(const std::vector<std::string>& messages, const std::string& prefix) {
  for (size_t i = 0; i < messages.size(); ++i)
    if (messages[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

long long NumberAfter(const std::vector<std::string>& messages, const std::string& prefix) {
  int at = Position(messages, prefix);
  return at < 0 ? -1 : std::atoll(messages[at].c_str() + prefix.size());
}

TEST(Computation, RegistersEveryLineAndDeviceInConfigurationOrder) {
  Passage passage(TWO_LINES);
  ChildRun run = passage.Run({"missing.osc", "--config-file=c.json"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<std::string> calls = passage.Calls();
  ASSERT_EQ(calls.size(), 10u) << run.err;
  // Every sensor counts, enabled or not, each float widened as it is.
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 8),
            (std::vector<std::string>{
                "SetOnLog", "Init",
                "InitDevice 3 coeff=2,0.30000001192092896,-4.75 vel=0,1.7999999523162842,2.7000000476837158",
                "InitDevice 0 coeff=1.8999999761581421 vel=0.10000000149011612", "InitLine 7 3 0",
                "InitDevice 1 coeff= vel=", "InitDevice 2 coeff=0.0010000000474974513 vel=12.699999809265137",
                "InitLine 3 1 2"}));
  EXPECT_EQ(std::set<std::string>(calls.begin() + 8, calls.end()), (std::set<std::string>{"Compute 7", "Compute 3"}));
  std::vector<std::string> log = LogMessages(run.err);
  EXPECT_LT(Position(log, "line.devconf.first.id = 3, freq = 1000 "), Position(log, "line.devconf.first.id = 1, "));
}

// Line 1 is slower than line 2, so the results arrive in the opposite order;
// the last merged record gives the locomotive type.
TEST(Computation, AllLinesDeliverBeforeTheWaitEnds) {
  Passage passage(TWO_SIMPLE_LINES, R"({
    "1": {"delay_ms": 300, "result": {"correct": true, "total_weight": 1000,
      "carriages": [{"full_weight": 100, "loco": {"flag": true, "type": "SLOW"}}]}},
    "2": {"delay_ms": 20, "result": {"correct": true, "total_weight": 3000,
      "carriages": [{"full_weight": 300, "loco": {"flag": false, "type": "FAST"}}]}}})");
  ChildRun run = passage.Run({"missing.osc", "--config-file=c.json", "--debug=1"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<std::string> log = LogMessages(run.err);
  EXPECT_LT(Position(log, "LoadFile complete, it takes "), Position(log, "Start line 1 compute thread"));
  EXPECT_LT(Position(log, "Start line 1 compute thread"), Position(log, "Start line 2 compute thread"));
  EXPECT_LT(Position(log, "Start line 2 compute thread"), Position(log, "Calc complete, it takes "));
  // The library logs through the program from the line threads.
  EXPECT_GE(Position(log, "Scripted library computes line 2"), 0) << run.err;
  EXPECT_EQ(Position(log, "Calc break after"), -1) << run.err;
  EXPECT_GE(NumberAfter(log, "Calc complete, it takes "), 300) << run.err;
  EXPECT_LT(NumberAfter(log, "Calc complete, it takes "), 30000) << run.err;
  EXPECT_EQ(run.out, R"({"total_weight":2000,"correct":true,"carriages":[{"full_weight":200,)"
                     R"("loco":{"flag":true,"type":"SLOW"},"axis":[]}]})");
}

// Debug mode: the raw dump files and the plain document on standard output;
// the master gets the wide document, quote-escaped, of the same merge.
TEST(Publication, DebugPrintsThePlainDocumentWhileTheMasterGetsTheWideOne) {
  auto line = [](int id, int weight, const char* speed) {
    std::string wheel = R"({"weight": )" + std::to_string(weight) + R"(, "strength": [)" + std::to_string(id) +
                        R"(], "ids": [)" + std::to_string(10 * id) + "]}";
    return R"({"correct": true, "total_weight": )" + std::to_string(4 * weight) +
           R"(, "carriages": [{"full_weight": 9, "loco": {"flag": )" + (id == 1 ? "true" : "false") +
           R"(}, "axis": [{"speed": )" + speed + R"(, "wheels": [)" + wheel + "," + wheel + "]}]}]}";
  };
  Passage passage(TWO_SIMPLE_LINES,
                  R"({"1": {"result": )" + line(1, 500, "12.5") + R"(}, "2": {"delay_ms": 50, "result": )" +
                      line(2, 700, "13.54") + "}}");
  passage.dir.Write("t.osc", Oscillogram({{0, 7, 1023}, {1, 5}, {0, 8}}));
  passage.dir.Write("t.osc_out1.dat", std::string(1000, 'x'));  // an earlier, longer dump
  FakeMaster master(MASTER_PORT);
  ASSERT_GE(master.fd, 0) << "127.0.0.1:3021 stayed busy";
  ChildRun run = passage.Run({"t.osc", "--trainId=T-17", "--debug=1", "--wideinfo=1", "--config-file=c.json"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(ReadFileText(passage.dir.File("t.osc_out0.dat")),
            "0 0 -273.149994 100 101 102 103\n0 1000 24.955988 100 101 102 103\n");
  EXPECT_EQ(ReadFileText(passage.dir.File("t.osc_out1.dat")), "1 0 24.955988 100 101 102 103\n");
  const std::string axle = R"({"speed":13.02,"wheels":[{"weight":600,"condition":0},{"weight":600,"condition":0}]})";
  // No line end after the document.
  EXPECT_EQ(run.out, "File t.osc_out0.dat\nFile t.osc_out1.dat\n"
                     R"({"total_weight":2400,"correct":true,"carriages":[{"full_weight":9,)"
                     R"("loco":{"flag":true,"type":""},"axis":[)" + axle + "]}]}");
  const std::string wheel = R"({\"weight\":600,\"condition\":0,\"strength\":[1,2],\"ids\":[10,20]})";
  EXPECT_EQ(master.Receive(10000).value_or(""),
            R"({"cmd":"scales_result","param":"T-17","name":"recorderScales","id":0,"values":["{\"total_weight\":2400,)"
            R"(\"correct\":true,\"carriages\":[{\"full_weight\":9,\"loco\":{\"flag\":true,\"type\":\"\"},)"
            R"(\"axis\":[{\"speed\":13.02,\"wheels\":[)" + wheel + "," + wheel + "]}]}]}\"]}");
  // Without a train identifier nothing is sent.
  EXPECT_EQ(passage.Run({"t.osc", "--config-file=c.json"}).exitStatus, 0);
  EXPECT_FALSE(master.Receive(300));
}

TEST(Publication, UnopenableDumpFileEndsTheRunBeforeAnyLineComputes) {
  Passage passage;
  passage.dir.Write("t.osc", Oscillogram({{0, 1}}));
  ASSERT_EQ(::mkdir(passage.dir.File("t.osc_out0.dat").c_str(), 0755), 0);
  ChildRun run = passage.Run({"t.osc", "--config-file=c.json", "--debug=1"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("\nError: file t.osc_out0.dat could not be opened\n"), std::string::npos) << run.err;
  EXPECT_TRUE(passage.Calls("Compute").empty());
}

// The one test that waits out the 30 s limit.
TEST(SlowComputation, LimitBreaksTheWaitAndKeepsTheFastLine) {
  Passage passage(TWO_SIMPLE_LINES,
                  R"({"1": {"delay_ms": 40000, "result": {"correct": true, "total_weight": 1000}},
                      "2": {"result": {"correct": true, "total_weight": 3000}}})");
  ChildRun run = passage.Run({"missing.osc", "--config-file=c.json", "--debug=1"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  std::vector<std::string> log = LogMessages(run.err);
  EXPECT_GT(NumberAfter(log, "Calc break after "), 30000) << run.err;
  EXPECT_LT(NumberAfter(log, "Calc break after "), 32000) << run.err;  // the first poll after the limit
  EXPECT_EQ(Position(log, "Calc break after ") + 1, Position(log, "Calc complete, it takes "));
  EXPECT_EQ(run.out, R"({"total_weight":3000,"correct":true,"carriages":[]})");
}

}  // namespace
