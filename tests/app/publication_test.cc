// A whole passage through the real program: scripted line results merged,
// written as the result document, sent to a listener on the master port and,
// in debug mode, printed.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <rapidjson/document.h>

#include "tests/support/master_listener.h"
#include "tests/support/osc_writer.h"
#include "tests/support/run_program.h"
#include "tests/support/scripted_library.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint16_t MASTER_PORT_FOR_TESTS = 3021;

// Two lines, devices 0..3 at 1000 Hz with one sensor each.
const char* const TWO_LINES = R"({"lines": [
  {"id": 1, "devices": {
    "odd": {"enabled": true, "port": 7126, "frequency": 1000, "sensors": [{"channel": 0, "side": false, "coeff": 1.0, "vel_coeff": 0.0, "enabled": true}]},
    "even": {"enabled": true, "port": 7127, "frequency": 1000, "sensors": [{"channel": 0, "side": true, "coeff": 1.0, "vel_coeff": 0.0, "enabled": true}]}}},
  {"id": 2, "devices": {
    "odd": {"enabled": true, "port": 7128, "frequency": 1000, "sensors": [{"channel": 0, "side": false, "coeff": 1.0, "vel_coeff": 5.0, "enabled": true}]},
    "even": {"enabled": true, "port": 7129, "frequency": 1000, "sensors": [{"channel": 0, "side": true, "coeff": 1.0, "vel_coeff": 5.0, "enabled": true}]}}}]})";

// A scripted line result: `carriages` carriages of `axles` axles, every wheel
// weighing `wheel_kg` with the given strength/ids lists.
std::string LineResultJson(int line, int carriages, int axles, int wheel_kg, double speed, const char* type = "") {
  std::string wheel = R"({"weight": )" + std::to_string(wheel_kg) + R"(, "condition": 0, "strength": [)" +
                      std::to_string(line) + R"(], "ids": [)" + std::to_string(line * 10) + "]}";
  std::string axle = R"({"speed": )" + std::to_string(speed) + R"(, "wheels": [)" + wheel + "," + wheel + "]}";
  std::string carriage = R"({"full_weight": )" + std::to_string(2 * axles * wheel_kg) + R"(, "loco": {"flag": )" +
                         (type[0] ? "true" : "false") + R"(, "type": ")" + type + R"("}, "axis": [)";
  for (int a = 0; a < axles; ++a) {
    if (a > 0) carriage += ',';
    carriage += axle;
  }
  carriage += "]}";
  std::string result = R"({"correct": true, "total_weight": )" + std::to_string(carriages * 2 * axles * wheel_kg) +
                       R"(, "carriages": [)";
  for (int c = 0; c < carriages; ++c) {
    if (c > 0) result += ',';
    result += carriage;
  }
  return result + "]}";
}

std::string Script(const std::vector<std::pair<int, std::string>>& lines, const std::vector<int>& delays_ms) {
  std::string script = R"({"lines": [)";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) script += ',';
    script += R"({"line": )" + std::to_string(lines[i].first) + R"(, "delay_ms": )" + std::to_string(delays_ms[i]) +
              R"(, "result": )" + lines[i].second + "}";
  }
  return script + "]}";
}

struct PassageRun {
  ProgramRun run;
  std::vector<ReceivedDatagram> received;
};

// Runs a two-line passage with the scripted results; listens on the master
// port when a train identifier is given.
PassageRun RunScriptedPassage(const std::string& script, const std::vector<std::string>& options,
                              size_t expectedDatagrams) {
  TempDir dir;
  ScriptedLibrary library = PrepareScriptedLibrary(dir, script);
  std::string config = dir.Write("scales.json.conf", TWO_LINES);
  RecordSpec record;
  std::string osc = dir.Write("train.osc", BuildOscillogram({{1, 21504, 0}}, {record}));
  MasterListener master(MASTER_PORT_FOR_TESTS);
  EXPECT_TRUE(master.bound());
  ProgramOptions programOptions;
  UseScriptedLibrary(library, programOptions);
  std::vector<std::string> arguments = {osc, "--config-file=" + config};
  arguments.insert(arguments.end(), options.begin(), options.end());
  PassageRun result;
  result.run = RunKorvanetBinary(arguments, programOptions, /*scriptedLibrary=*/true);
  // Wait a little for datagrams that should not come, too.
  result.received = master.ReceiveMany(expectedDatagrams + 1, expectedDatagrams == 0 ? 300 : 1500);
  return result;
}

std::string Escaped(const std::string& document) {
  std::string out;
  for (char c : document) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string SingleMessage(const std::string& trainId, const std::string& escapedDocument) {
  return "{\"cmd\":\"scales_result\",\"param\":\"" + trainId + "\",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"" +
         escapedDocument + "\"]}";
}

TEST(Publication, DebugPrintsPlainDocumentWhileMasterGetsWideEscapedOne) {
  std::string script = Script({{1, LineResultJson(1, 1, 2, 500, 12.5, "Co-Co")}, {2, LineResultJson(2, 1, 2, 700, 13.5)}},
                              {0, 40});
  PassageRun passage = RunScriptedPassage(script, {"--trainId=T-17", "--debug=1", "--wideinfo=1"}, 1);
  ASSERT_EQ(passage.run.exitStatus, 0) << passage.run.err;

  const std::string wheel = R"({"weight":600,"condition":0)";
  const std::string axle = R"({"speed":13.0,"wheels":[)" + wheel + "}," + wheel + "}]}";
  const std::string plain = R"({"total_weight":2400,"correct":true,"carriages":[{"full_weight":2400,)"
                            R"("loco":{"flag":true,"type":""},"axis":[)" + axle + "," + axle + "]}]}";
  // Standard output ends with the document's closing brace: no line end.
  EXPECT_EQ(passage.run.out.substr(passage.run.out.find("{\"total_weight\"")), plain);

  const std::string wideWheel = wheel + R"(,"strength":[1,2],"ids":[10,20]})";
  const std::string wideAxle = R"({"speed":13.0,"wheels":[)" + wideWheel + "," + wideWheel + "]}";
  const std::string wide = R"({"total_weight":2400,"correct":true,"carriages":[{"full_weight":2400,)"
                           R"("loco":{"flag":true,"type":""},"axis":[)" + wideAxle + "," + wideAxle + "]}]}";
  ASSERT_EQ(passage.received.size(), 1u);
  EXPECT_EQ(passage.received[0].bytes, SingleMessage("T-17", Escaped(wide)));
}

TEST(Publication, NothingIsSentWithoutTrainIdentifier) {
  std::string script = Script({{1, LineResultJson(1, 1, 1, 100, 10)}, {2, LineResultJson(2, 1, 1, 100, 10)}}, {0, 0});
  PassageRun passage = RunScriptedPassage(script, {"--debug=1"}, 0);
  EXPECT_EQ(passage.run.exitStatus, 0);
  EXPECT_TRUE(passage.received.empty());
  EXPECT_NE(passage.run.out.find(R"({"total_weight":200,"correct":true,)"), std::string::npos) << passage.run.out;
}

TEST(Publication, NoCorrectLineStillSendsTheEmptyResult) {
  PassageRun passage = RunScriptedPassage(R"({"default": {"result": {"correct": false}}})", {"--trainId=7"}, 1);
  EXPECT_EQ(passage.run.exitStatus, 0);
  ASSERT_EQ(passage.received.size(), 1u);
  EXPECT_EQ(passage.received[0].bytes, SingleMessage("7", Escaped(R"({"total_weight":0,"correct":false,"carriages":[]})")));
  EXPECT_TRUE(HasLine(LogMessages(passage.run.err), "Result has no correct data in any line"));
  EXPECT_EQ(passage.run.out, "");  // no debug mode: nothing on standard output
}

// The merge's rules as the master sees them, line order set by delays.
TEST(Publication, MergeOfScriptedLinesAsPrinted) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, std::string>> lines;
    std::vector<int> delays_ms;
    std::string expectedStart;   // the printed document begins with this
    std::vector<std::string> expectedLog;
  };
  const std::vector<Case> cases = {
      {"agreeing lines give means",
       {{1, LineResultJson(1, 2, 2, 100, 10)}, {2, LineResultJson(2, 2, 2, 300, 20)}}, {0, 30},
       R"({"total_weight":1600,"correct":true,"carriages":[{"full_weight":800,)", {}},
      {"five then six carriages: the six-carriage line alone",
       {{1, LineResultJson(1, 5, 1, 100, 10)}, {2, LineResultJson(2, 6, 1, 300, 20)}}, {0, 60},
       R"({"total_weight":2300,"correct":true,"carriages":[{"full_weight":600,)",
       {"Not equal carriages count in different lines"}},
      {"six then five carriages: the reference line alone",
       {{2, LineResultJson(2, 6, 1, 300, 20)}, {1, LineResultJson(1, 5, 1, 100, 10)}}, {0, 60},
       R"({"total_weight":2300,"correct":true,"carriages":[{"full_weight":600,)",
       {"Not equal carriages count in different lines"}},
      {"a line without correct data changes nothing",
       {{1, R"({"correct": false, "total_weight": 99999})"}, {2, LineResultJson(2, 1, 1, 250, 15)}}, {0, 30},
       R"({"total_weight":500,"correct":true,"carriages":[{"full_weight":500,)", {}},
      {"differing axle counts keep the smaller",
       {{1, LineResultJson(1, 1, 4, 100, 10)}, {2, LineResultJson(2, 1, 3, 100, 10)}}, {0, 30},
       R"({"total_weight":700,"correct":true,"carriages":[{"full_weight":700,)",
       {"Not equal axis count at 0 carriage in different lines"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PassageRun passage = RunScriptedPassage(Script(c.lines, c.delays_ms), {"--debug=1"}, 0);
    EXPECT_EQ(passage.run.exitStatus, 0);
    size_t at = passage.run.out.find("{\"total_weight\"");
    ASSERT_NE(at, std::string::npos) << passage.run.out;
    std::string document = passage.run.out.substr(at);
    EXPECT_EQ(document.rfind(c.expectedStart, 0), 0u) << document;
    rapidjson::Document parsed;
    parsed.Parse(document.c_str());
    EXPECT_FALSE(parsed.HasParseError()) << document;
    std::vector<std::string> log = LogMessages(passage.run.err);
    for (const std::string& line : c.expectedLog) EXPECT_TRUE(HasLine(log, line)) << line;
    if (c.expectedLog.empty()) {
      EXPECT_FALSE(HasLine(log, "Not equal carriages count in different lines"));
    }
  }
}

TEST(Publication, UnopenableDumpFileEndsTheRunBeforeAnyLineComputes) {
  TempDir dir;
  ScriptedLibrary library = PrepareScriptedLibrary(dir);
  std::string config = dir.Write("scales.json.conf", TWO_LINES);
  RecordSpec record;
  std::string osc = dir.Write("train.osc", BuildOscillogram({}, {record}));
  // A directory where device 0's dump file should go.
  ASSERT_EQ(::mkdir((osc + "_out0.dat").c_str(), 0755), 0);
  ProgramOptions options;
  UseScriptedLibrary(library, options);
  ProgramRun run = RunKorvanetBinary({osc, "--config-file=" + config, "--debug=1"}, options, true);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("Error: file " + osc + "_out0.dat could not be opened\n"), std::string::npos) << run.err;
  EXPECT_TRUE(RecordedCallsStartingWith(library, "Compute").empty());
}

}  // namespace
