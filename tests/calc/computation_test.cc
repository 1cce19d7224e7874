// The computation through the real program with the scripted calculation
// library in place of the real one: what reaches the library in which order,
// the line threads, the wait and its time limit, and what reaches the result.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "osc/osc.h"
#include "tests/support/osc_writer.h"
#include "tests/support/run_program.h"
#include "tests/support/scripted_library.h"
#include "tests/support/temp_dir.h"

namespace {

// Two lines as an installation lists them: the odd device of line 7 has the
// higher port, one sensor and one device are disabled, line 3's odd device
// has no sensors, and most coefficients have no exact float form.
const char* const TWO_LINE_CONFIG = R"({"lines": [
  {"id": 7, "devices": {
    "odd": {"enabled": true, "uid": "o7", "port": 7129, "frequency": 1000, "host": "10.0.0.1", "sensors": [
      {"channel": 0, "side": false, "coeff": 2.0, "vel_coeff": 0.0, "enabled": true},
      {"channel": 1, "side": false, "coeff": 1.1, "vel_coeff": 0.9, "enabled": true},
      {"channel": 2, "side": false, "coeff": 0.3, "vel_coeff": 1.8, "enabled": false},
      {"channel": 3, "side": false, "coeff": -4.75, "vel_coeff": 2.7, "enabled": true}]},
    "even": {"enabled": false, "uid": "e7", "port": 7126, "frequency": 2000, "host": "10.0.0.2", "sensors": [
      {"channel": 0, "side": true, "coeff": 1.9, "vel_coeff": 0.1, "enabled": true},
      {"channel": 1, "side": true, "coeff": 2.1, "vel_coeff": 1.0, "enabled": true}]}}},
  {"id": 3, "devices": {
    "odd": {"enabled": true, "port": 7127, "frequency": 1000, "sensors": []},
    "even": {"enabled": true, "port": 7128, "frequency": 500, "sensors": [
      {"channel": 0, "side": true, "coeff": 0.001, "vel_coeff": 12.7, "enabled": true}]}}}]})";

// One line per id given, odd device id 2*i, even 2*i+1, 1000 Hz, one sensor each.
std::string LinesConfig(const std::vector<int>& lineIds) {
  auto device = [](int id) {
    return R"({"enabled": true, "port": )" + std::to_string(7126 + id) +
           R"(, "frequency": 1000, "sensors": [{"channel": 0, "side": false, "coeff": 1.0, "vel_coeff": 0.5, "enabled": true}]})";
  };
  std::string config = R"({"lines": [)";
  for (size_t i = 0; i < lineIds.size(); ++i) {
    int odd = 2 * static_cast<int>(i);
    if (i > 0) config += ',';
    config += R"({"id": )" + std::to_string(lineIds[i]) + R"(, "devices": {"odd": )" + device(odd) +
              R"(, "even": )" + device(odd + 1) + "}}";
  }
  return config + "]}";
}

struct Passage {
  TempDir dir;
  ScriptedLibrary library;
  std::string configPath;
  std::string oscPath;
};

void Prepare(Passage& passage, const std::string& config, const std::string& script,
             const std::vector<RecordSpec>* records) {
  passage.library = PrepareScriptedLibrary(passage.dir, script);
  passage.configPath = passage.dir.Write("scales.json.conf", config);
  passage.oscPath = passage.dir.File("train.osc");
  if (records != nullptr) passage.dir.Write("train.osc", BuildOscillogram({{1, 21504, 0}}, *records));
}

ProgramRun RunPassage(const Passage& passage, bool debug = false) {
  ProgramOptions options;
  UseScriptedLibrary(passage.library, options);
  std::vector<std::string> arguments = {passage.oscPath, "--config-file=" + passage.configPath};
  if (debug) arguments.push_back("--debug=1");
  return RunKorvanetBinary(arguments, options, /*scriptedLibrary=*/true);
}

// The number in the first log message that begins with `prefix`, or -1.
long long NumberAfter(const std::vector<std::string>& messages, const std::string& prefix) {
  for (const std::string& message : messages)
    if (message.rfind(prefix, 0) == 0) return std::atoll(message.c_str() + prefix.size());
  return -1;
}

// Position of the first message that begins with `prefix`, or -1.
int PositionOf(const std::vector<std::string>& messages, const std::string& prefix) {
  for (size_t i = 0; i < messages.size(); ++i)
    if (messages[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

int CountOf(const std::vector<std::string>& messages, const std::string& prefix) {
  int count = 0;
  for (const std::string& message : messages) count += message.rfind(prefix, 0) == 0;
  return count;
}

}  // namespace

// Without an oscillogram file the lines are still registered and computed.
TEST(Computation, RegistersEveryLineAndDeviceInConfigurationOrder) {
  Passage passage;
  Prepare(passage, TWO_LINE_CONFIG, "", nullptr);
  ProgramRun run = RunPassage(passage);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  std::vector<std::string> messages = LogMessages(run.err);
  EXPECT_TRUE(HasLine(messages, "conf->deviceConfigList.size = 2")) << run.err;
  EXPECT_LT(PositionOf(messages, "line.devconf.first.id = 3, freq = 1000 "),
            PositionOf(messages, "line.devconf.first.id = 1, freq = 1000 "));
  EXPECT_EQ(CountOf(messages, "line.devconf.first.id = "), 2) << run.err;
  EXPECT_TRUE(HasLine(messages, "Cannot open input file " + passage.oscPath)) << run.err;
  EXPECT_LT(PositionOf(messages, "LoadFile complete, it takes "), PositionOf(messages, "Calc complete, it takes "));
  EXPECT_GE(PositionOf(messages, "LoadFile complete, it takes "), 0) << run.err;

  std::vector<std::string> calls = RecordedCalls(passage.library);
  ASSERT_GE(calls.size(), 8u) << run.err;
  // Every sensor counts, enabled or not, each float widened as it is.
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 8),
            (std::vector<std::string>{
                "SetOnLog", "Init",
                "InitDevice 3 coeff=2,1.1000000238418579,0.30000001192092896,-4.75 "
                "vel=0,0.89999997615814209,1.7999999523162842,2.7000000476837158",
                "InitDevice 0 coeff=1.8999999761581421,2.0999999046325684 vel=0.10000000149011612,1",
                "InitLine 7 3 0", "InitDevice 1 coeff= vel=",
                "InitDevice 2 coeff=0.0010000000474974513 vel=12.699999809265137", "InitLine 3 1 2"}));

  // Then the computations, one per line, in whatever order the threads run.
  std::set<std::string> computes(calls.begin() + 8, calls.end());
  EXPECT_EQ(computes, (std::set<std::string>{"Compute 7", "Compute 3"}));
}

TEST(Computation, PushesEveryAcceptedSampleAsConverted) {
  std::vector<RecordSpec> records = {
      {0, 5000, 512, {1, 2, 3, 4}},
      {1, 10, 0, {65535, 0, 7, 8}},
      {5, 1, 512, {9, 9, 9, 9}},  // no frequency for device 5: dropped
      {0, 5001, 1023, {9, 10, 11, 12}},
      {1, 12, 512, {13, 14, 15, 16}},
      {0, 7000, 300, {17, 18, 19, 20}},
  };
  Passage passage;
  Prepare(passage, LinesConfig({1}), "", &records);
  // Device 1 samples at 2000 Hz.
  std::string config = ReadFileText(passage.configPath);
  config.replace(config.rfind("\"frequency\": 1000"), 17, "\"frequency\": 2000");
  passage.dir.Write("scales.json.conf", config);

  ProgramRun run = RunPassage(passage);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  auto temperature = [](uint16_t reading) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(ThermistorCelsius(reading)));
    return std::string(text);
  };
  std::vector<std::string> expected = {
      "Push 0 0 " + temperature(512) + " 1 2 3 4",
      "Push 1 0 -273.149994 65535 0 7 8",
      "Push 0 1000 -273.149994 9 10 11 12",
      "Push 1 1000 " + temperature(512) + " 13 14 15 16",
      "Push 0 2000000 " + temperature(300) + " 17 18 19 20",
  };
  EXPECT_EQ(RecordedCallsStartingWith(passage.library, "Push "), expected) << run.err;

  // All pushes come after the registration and before any computation.
  std::vector<std::string> calls = RecordedCalls(passage.library);
  ASSERT_EQ(calls.size(), 2u + 3u + expected.size() + 1u);
  EXPECT_EQ(calls[4], "InitLine 1 0 1");
  EXPECT_EQ(calls.back(), "Compute 1");
}

// Line 1 is slower than line 2, so the results arrive in the opposite of the
// configuration order; the merged document shows both arrived, in that order
// (the last merged record gives the locomotive type).
TEST(Computation, FastLinesAllDeliverBeforeTheWaitEnds) {
  const char* script = R"({"lines": [
    {"line": 1, "delay_ms": 300, "result": {"correct": true, "total_weight": 1000,
      "carriages": [{"full_weight": 100, "loco": {"flag": true, "type": "SLOW"}}]}},
    {"line": 2, "delay_ms": 20, "result": {"correct": true, "total_weight": 3000,
      "carriages": [{"full_weight": 300, "loco": {"flag": false, "type": "FAST"}}]}}]})";
  std::vector<RecordSpec> records = {{0, 1, 512, {1, 2, 3, 4}}, {3, 1, 512, {5, 6, 7, 8}}};
  Passage passage;
  Prepare(passage, LinesConfig({1, 2}), script, &records);
  ProgramRun run = RunPassage(passage, /*debug=*/true);
  ASSERT_EQ(run.exitStatus, 0) << run.err;

  std::vector<std::string> messages = LogMessages(run.err);
  int loaded = PositionOf(messages, "LoadFile complete, it takes ");
  int start1 = PositionOf(messages, "Start line 1 compute thread");
  int start2 = PositionOf(messages, "Start line 2 compute thread");
  int complete = PositionOf(messages, "Calc complete, it takes ");
  ASSERT_GE(loaded, 0) << run.err;
  EXPECT_LT(loaded, start1);
  EXPECT_LT(start1, start2);
  EXPECT_LT(start2, complete);
  // The library's log callback works from the line threads.
  EXPECT_GE(PositionOf(messages, "Scripted library computes line 1"), 0) << run.err;
  EXPECT_GE(PositionOf(messages, "Scripted library computes line 2"), 0) << run.err;
  EXPECT_EQ(PositionOf(messages, "Calc break after"), -1) << run.err;
  // The wait covered the slower line and ended on its result, not on the limit.
  long long computeMs = NumberAfter(messages, "Calc complete, it takes ");
  EXPECT_GE(computeMs, 300) << run.err;
  EXPECT_LT(computeMs, 30000) << run.err;

  EXPECT_EQ(run.out.substr(run.out.find('{')),
            R"({"total_weight":2000,"correct":true,"carriages":[{"full_weight":200,)"
            R"("loco":{"flag":true,"type":"SLOW"},"axis":[]}]})");
}

// A line whose thread cannot be started is reported and not waited for.
TEST(Computation, LineWithoutThreadIsLeftOut) {
  const char* script = R"({"refused_thread_starts": [1], "lines": [
    {"line": 1, "result": {"correct": true, "total_weight": 1000}},
    {"line": 2, "delay_ms": 20, "result": {"correct": true, "total_weight": 3000}}]})";
  Passage passage;
  Prepare(passage, LinesConfig({1, 2}), script, nullptr);
  ProgramRun run = RunPassage(passage, /*debug=*/true);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  if (RecordedCallsStartingWith(passage.library, "RefuseThreadStart ").empty())
    GTEST_SKIP() << "thread starts cannot be refused in this build";

  std::vector<std::string> messages = LogMessages(run.err);
  EXPECT_EQ(CountOf(messages, "Cannot start line 1 compute thread: "), 1) << run.err;
  EXPECT_EQ(CountOf(messages, "Start line 1 compute thread"), 0);
  EXPECT_EQ(CountOf(messages, "Start line 2 compute thread"), 1);
  EXPECT_EQ(CountOf(messages, "Calc break after"), 0) << run.err;
  EXPECT_EQ(RecordedCallsStartingWith(passage.library, "Compute "), (std::vector<std::string>{"Compute 2"}));
  EXPECT_EQ(run.out.substr(run.out.find('{')), R"({"total_weight":3000,"correct":true,"carriages":[]})");
}

// The one test that really waits out the limit (about 30 s).
TEST(SlowComputation, LimitBreaksTheWaitAndKeepsTheFastLine) {
  const char* script = R"({"lines": [
    {"line": 1, "delay_ms": 40000, "result": {"correct": true, "total_weight": 1000}},
    {"line": 2, "delay_ms": 0, "result": {"correct": true, "total_weight": 3000}}]})";
  Passage passage;
  Prepare(passage, LinesConfig({1, 2}), script, nullptr);
  ProgramRun run = RunPassage(passage, /*debug=*/true);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  ASSERT_EQ(run.signal, 0);

  std::vector<std::string> messages = LogMessages(run.err);
  long long breakMs = NumberAfter(messages, "Calc break after ");
  long long completeMs = NumberAfter(messages, "Calc complete, it takes ");
  EXPECT_GT(breakMs, 30000) << run.err;
  EXPECT_LT(breakMs, 32000) << run.err;  // the first poll after the limit, not the slow line's end
  EXPECT_GE(completeMs, breakMs) << run.err;
  EXPECT_LT(PositionOf(messages, "Calc break after "), PositionOf(messages, "Calc complete, it takes "));
  // Only the fast line's result is merged.
  EXPECT_EQ(run.out.substr(run.out.find('{')), R"({"total_weight":3000,"correct":true,"carriages":[]})");
}
