// The real program against bad input of every kind it reads: configuration
// files, oscillograms, the master's datagrams and the calculation library's
// results. Each row is one input and what an operator sees of it: exit
// status, log lines, what reached the library, what was printed or sent.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "net/net.h"
#include "tests/support/harness.h"

namespace {

const std::string BOUND = "UDP id 10 bound to local port ";

std::string With(const std::string& from, const std::string& to, std::string text = ONE_LINE) {
  return text.replace(text.find(from), from.size(), to);
}

std::vector<std::string> Between(const ChildRun& run, const std::string& first, const std::string& end) {
  std::vector<std::string> lines;
  for (const std::string& message : LogMessages(run.err)) {
    if (message.rfind(end, 0) == 0) break;
    if ((lines.empty() && message.rfind(first, 0) != 0) || message.rfind(BOUND, 0) == 0) continue;
    lines.push_back(message);
  }
  return lines;
}

std::vector<std::string> Refused(const std::string& cause) { return ConfigRefused("c.json", cause); }

std::vector<std::string> Loaded(std::vector<std::string> devices, const std::string& lineFreq = "0, freq = 1000") {
  const std::vector<std::string> line = {"Init master server connection to port 3021", "conf->deviceConfigList.size = 1",
                                         "line.devconf.first.id = " + lineFreq + " "};
  devices.insert(devices.begin(), {BANNER, "Loading config file c.json"});
  devices.insert(devices.end(), line.begin(), line.end());
  return devices;
}

TEST(BadInput, ConfigurationFiles) {
  const std::string odd = "Device (odd side) uid o added to config with id 0";
  const std::string even = "Device (even side) uid e added to config with id 1";
  const std::string sensor = R"({"channel": 0, "side": false, "coeff": 1.1, "vel_coeff": 0.5, "enabled": true})";
  const std::string missing = "\" is missing or not ";
  const struct {
    const char* name;
    std::string content;
    int exitStatus;
    std::vector<std::string> messages;  // banner up to the oscillogram loader
  } cases[] = {
      {"cut short", ONE_LINE.substr(0, 60), 246,
       Refused("Config file c.json is not valid JSON: Missing a comma or '}' after an object member. (at byte 60)")},
      {"100,000-deep nesting", std::string(100000, '[') + std::string(100000, ']'), 246,
       {BANNER, "Loading config file c.json", "Config has no \"lines\"", "Config is not object", ""}},
      {"lines not an array", R"({"lines": {}})", 246, Refused("\"lines\" is not array type")},
      {"the first of two lines keys counts", R"({"lines": [], "lines": 5})", 0,
       {BANNER, "Loading config file c.json", "Init master server connection to port 3021",
        "conf->deviceConfigList.size = 0"}},
      {"skipped lines keep their index",
       With("[{", R"([5, {"id": 1}, {"id": 1, "devices": []}, {"devices": {}}, {)"), 0,
       Loaded({"line 1 has no member devices", "Line 2 devices is not an object", "Line 3 has no id set", odd, even})},
      {"line id as text", With("\"id\": 1", "\"id\": \"1\""), 246, Refused("Line 0: \"id" + missing + "an integer")},
      {"sides missing or not objects", R"({"lines": [{"id": 1, "devices": {"odd": 5}}]})", 0,
       Loaded({"Line 0 odd device is not an object", "Line 0 has no member even"}, "0, freq = 0")},
      {"enabled missing", With("\"enabled\": true, ", ""), 246,
       Refused("Line 0 odd device: \"enabled" + missing + "a boolean")},
      {"uid a number", With("\"o\"", "5"), 246, Refused("Line 0 odd device: \"uid" + missing + "a string or null")},
      {"uid null", With("\"o\"", "null"), 0, Loaded({"Device (odd side) uid  added to config with id 0", even})},
      {"port as text", With("7126", "\"7126\""), 246, Refused("Line 0 odd device: \"port" + missing + "an integer")},
      {"port below the ids", With("7126", "7125"), 246,
       Refused("Line 0 odd device port 7125 gives device id -1; ports 7126 to 7133 (ids 0 to 7) are supported")},
      {"port above the ids", With("7126", "7134"), 246,
       Refused("Line 0 odd device port 7134 gives device id 8; ports 7126 to 7133 (ids 0 to 7) are supported")},
      {"port taken by its low 16 bits", With("7126", "72662"), 0, Loaded({odd, even})},
      {"duplicate port", With("7127", "7126"), 246,
       {BANNER, "Loading config file c.json", odd, "Duplicate port found", ""}},
      {"frequency with an exponent", With("1000", "1e3"), 246,
       Refused("Line 0 odd device: \"frequency" + missing + "an integer")},
      {"sensors not an array", With("[\n    " + sensor + "]", "{}"), 0,
       Loaded({"sensors in device 0 is not array", odd, even})},
      {"sensor not an object", With(sensor, "5"), 246, Refused("Line 0 odd device sensor 0 is not an object")},
      {"channel missing", With("\"channel\": 0, ", ""), 246,
       Refused("Line 0 odd device sensor 0: \"channel" + missing + "an integer")},
      {"channel as text", With("\"channel\": 0", "\"channel\": \"0\""), 246,
       Refused("Line 0 odd device sensor 0: \"channel" + missing + "an integer")},
      {"side a number", With("\"side\": false", "\"side\": 0"), 246,
       Refused("Line 0 odd device sensor 0: \"side" + missing + "a boolean")},
      {"coefficient beyond float", With("1.1", "3.5e38"), 246,
       Refused("Line 0 odd device sensor 0: \"coeff" + missing + "a number within float range")},
      {"position beyond float", With("0.5", "-1e39"), 246,
       Refused("Line 0 odd device sensor 0: \"vel_coeff" + missing + "a number within float range")},
      {"sensor enabled missing", With(", \"enabled\": true}]}", "}]}"), 246,
       Refused("Line 0 odd device sensor 0: \"enabled" + missing + "a boolean")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun run = Passage(c.content).Run({"missing.osc", "--config-file=c.json"});
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err.substr(0, 2000);
    EXPECT_EQ(Between(run, "", "Cannot open input file"), c.messages) << run.err.substr(0, 2000);
  }
}

std::vector<std::string> Opened(const std::string& path, const std::vector<std::string>& more = {}) {
  std::vector<std::string> lines = {"File " + path + " opened", "", "Read file start_offset = 21504",
                                    "Loading file " + path + "..."};
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// The scripted library's record of a pushed sample of Rec{} (channels 100..103).
std::string Push(int device, long long timeUs, const std::string& celsius = "24.955988") {
  return "Push " + std::to_string(device) + " " + std::to_string(timeUs) + " " + celsius + " 100 101 102 103";
}

TEST(BadInput, OscillogramFiles) {
  const std::string table = Oscillogram({}), oneRecord = Oscillogram({{0, 1}});
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> loaderLog;
    std::vector<std::string> pushes;
    std::string path = "t.osc";
  } cases[] = {
      {"empty", "", Opened("t.osc"), {}},
      {"table cut short", table.substr(0, table.size() - 1), Opened("t.osc"), {}},
      {"a record and 18 bytes", oneRecord + oneRecord.substr(table.size(), 18), Opened("t.osc"), {Push(0, 0)}},
      {"payload length 11", Oscillogram({{0, 1}, {0, 2, 512, 11}}),
       Opened("t.osc", {"Record at offset 21523 has payload length 11, shorter than 12; loading stopped"}),
       {Push(0, 0)}},
      {"payload length 13 stops silently", Oscillogram({{0, 1}, {0, 2, 512, 13}, {0, 3}}), Opened("t.osc"),
       {Push(0, 0)}},
      {"device id 8, device without frequency", Oscillogram({{8, 1}, {2, 1}, {1, 1}}),
       Opened("t.osc", {"device id 8 out of range 0..7, record at position 21504 dropped", "freq not set for id  2"}),
       {Push(1, 0)}},
      // Device 0 samples at 1000 Hz, device 1 at 3 Hz: times not whole in microseconds.
      {"times from each device's first nonzero counter, truncated",
       Oscillogram({{0, 0}, {1, 2}, {0, 5000}, {1, 4}, {0, 4000}, {1, 1}}), Opened("t.osc"),
       {Push(0, 0), Push(1, 0), Push(0, 0), Push(1, 666667), Push(0, -1000000), Push(1, -333332)}},
      // Guards the fault of readings above the converter's range pushed and
      // dumped as a NaN of the other sign than the beta equation's own.
      {"thermistor readings", Oscillogram({{0, 1, 0}, {0, 1, 1}, {0, 1, 1022}, {0, 1, 1023}, {0, 1, 1024}, {0, 1, 65535}}),
       Opened("t.osc", {"error on shift 21580", "error on shift 21599"}),
       {Push(0, 0, "-273.149994"), Push(0, 0, "351.963898"), Push(0, 0, "-77.391090"), Push(0, 0, "-273.149994"),
        Push(0, 0, "-nan"), Push(0, 0, "-nan")}},
      {"missing", "", {"Cannot open input file missing.osc"}, {}, "missing.osc"},
      // Guards the fault of a path that opens but cannot be read (a directory)
      // passing for an empty passage.
      {"a directory", "", Opened("dir.osc", {"Input file dir.osc cannot be read: Is a directory"}), {}, "dir.osc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Passage passage;
    passage.dir.Write("t.osc", c.bytes);
    ::mkdir(passage.dir.File("dir.osc").c_str(), 0755);
    ChildRun run = passage.Run({c.path, "--config-file=c.json"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Between(run, c.loaderLog[0], "LoadFile complete"), c.loaderLog) << run.err;
    EXPECT_EQ(passage.Calls("Push "), c.pushes);
  }
}

TEST(BadInput, MasterDatagramsDuringAPassage) {
  const std::string status = R"({"cmd":"status","param":"{\"ServerId\":\"m-1\"}","name":"master","id":1})";
  const std::string size60000 = std::to_string(MASTER_RECEIVE_BUFFER_BYTES);
  const struct {
    std::string bytes;
    std::string message;  // the one log line it gives, "" for none
  } cases[] = {
      {"", "UDP id 10 read 0 bytes"},
      {std::string(MAX_DATAGRAM_BYTES, 'x'), "UDP id 10 read failed with error code : 10040"},
      {std::string(MASTER_RECEIVE_BUFFER_BYTES, 'x'),
       "UDP id 10 message of " + size60000 + " bytes ignored: not JSON: Invalid value. (at byte 0)"},
      {status + std::string(MASTER_RECEIVE_BUFFER_BYTES - status.size(), ' '), ""},
      {"{\"cmd\":", "UDP id 10 message of 7 bytes ignored: not JSON: Invalid value. (at byte 7)"},
      // The parser ends the text at a zero byte, as it always ended at the
      // cleared buffer's zero after a short datagram.
      {status + std::string("\0junk", 5), ""},
      {R"({"cmd":18446744073709551616})", "UDP id 10 message of 28 bytes ignored: no string \"cmd\""},
      {std::string(30000, '[') + std::string(30000, ']'),
       "UDP id 10 message of " + size60000 + " bytes ignored: not a JSON object"},
      {R"({"cmd":"status"})", "UDP id 10 status message ignored: no string \"param\""},
      {"{\"cmd\":\"status\",\"param\":\"" + std::string(20000, '[') + "\"}",
       "Master status ignored: its param holds no JSON object with a string \"ServerId\""},
  };
  FakeMaster master(MASTER_PORT);
  ASSERT_GE(master.fd, 0) << "127.0.0.1:3021 stayed busy";
  // Line 1 takes long enough for every datagram to arrive while it computes.
  Passage passage(ONE_LINE, R"({"1": {"delay_ms": 4000, "result": {"correct": true, "total_weight": 4321}}})");
  std::unique_ptr<Child> program = passage.Start({"missing.osc", "--trainId=flood", "--config-file=c.json"});
  std::optional<std::string> bound = program->WaitForLog(BOUND);
  ASSERT_TRUE(bound) << program->Wait().err;
  uint16_t linkPort = static_cast<uint16_t>(std::stoi(bound->substr(BOUND.size())));
  // Paced: the link's socket buffer holds only three datagrams of 60 KB.
  for (const auto& c : cases) {
    ASSERT_TRUE(SendTo(linkPort, c.bytes));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (int i = 0; i < 50000; ++i) SendTo(linkPort, status);  // then a flood

  uint16_t from = 0;
  std::optional<std::string> result = master.Receive(30000, &from);
  ChildRun run = program->Wait();
  ASSERT_TRUE(result) << run.err.substr(0, 3000);
  EXPECT_EQ(*result, R"({"cmd":"scales_result","param":"flood","name":"recorderScales","id":0,"values":[")"
                     R"({\"total_weight\":4321,\"correct\":true,\"carriages\":[]}"]})");
  EXPECT_EQ(from, linkPort);
  EXPECT_EQ(run.exitStatus, 0);
  std::vector<std::string> expected, log;
  for (const auto& c : cases)
    if (!c.message.empty()) expected.push_back(c.message);
  for (const std::string& line : LogMessages(run.err))
    if (line.rfind("UDP id 10 r", 0) == 0 || line.rfind("UDP id 10 m", 0) == 0 || line.rfind("Master", 0) == 0 ||
        line.rfind("UDP id 10 s", 0) == 0)
      log.push_back(line);
  EXPECT_EQ(log, expected);
}

TEST(BadInput, LibraryResults) {
  auto carriage = [](const std::string& axles) {
    return R"({"correct": true, "total_weight": 7, "carriages": [{"full_weight": 7, "axis": [)" + axles + "]}]}";
  };
  auto printed = [](const std::string& axles) {
    return R"({"total_weight":7,"correct":true,"carriages":[{"full_weight":7,"loco":{"flag":false,"type":""},"axis":[)" +
           axles + "]}]}";
  };
  const std::string wheels = R"([{"weight": 3, "condition": 1}, {"weight": 4, "condition": 2}])";
  const std::string noWheels = R"({"speed":0.0,"wheels":[{"weight":0,"condition":0},{"weight":0,"condition":0}]})";
  const std::string noSpeed = R"({"speed":0.0,"wheels":[{"weight":3,"condition":1},{"weight":4,"condition":2}]})";
  const std::string incomplete = "Line 1 has an incomplete axle 0 at carriage 0, left out of it";
  const std::string unusable = "Line 1 has no usable speed at axle 0 of carriage 0, left out of its mean";
  const std::string empty = R"({"total_weight":0,"correct":false,"carriages":[]})";
  const struct {
    const char* name;
    std::string result;              // what Tarvik_Compute returns for line 1
    std::string printed;             // the document printed in debug mode
    std::vector<std::string> merge;  // the merge's log lines
  } cases[] = {
      {"null record", "null", empty,
       {"Line result 1 of 1 is missing, line skipped", "Result has no correct data in any line"}},
      {"correct byte 2", R"({"correct": 2, "total_weight": 5})", empty, {"Result has no correct data in any line"}},
      {"carriage without axles", carriage(""), printed(""), {}},
      {"axle without wheels", carriage(R"({"speed": 5, "wheels": []})"), printed(noWheels), {incomplete}},
      {"axle with one wheel", carriage(R"({"speed": 5, "wheels": [{"weight": 9}]})"), printed(noWheels), {incomplete}},
      {"speed not a number", carriage(R"({"speed": "nan", "wheels": )" + wheels + "}"), printed(noSpeed), {unusable}},
      {"speed beyond float", carriage(R"({"speed": 1e300, "wheels": )" + wheels + "}"), printed(noSpeed), {unusable}},
      {"extreme weights and conditions",
       R"({"correct": true, "total_weight": -1, "carriages": [{"full_weight": 2147483647, "loco": {"flag": 7,
          "type": "T\"E"}, "axis": [{"speed": 1, "wheels": [{"weight": 2147483647, "condition": "nan"},
          {"weight": -2147483648, "condition": 1e30}]}]}]})",
       R"({"total_weight":-1,"correct":true,"carriages":[{"full_weight":2147483647,"loco":{"flag":true,"type":"T\"E"},)"
       R"("axis":[{"speed":1.0,"wheels":[{"weight":2147483647,"condition":0},{"weight":-2147483648,"condition":0}]}]}]})",
       {}},
  };
  FakeMaster master(MASTER_PORT);
  ASSERT_GE(master.fd, 0) << "127.0.0.1:3021 stayed busy";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Passage passage(ONE_LINE, R"({"1": {"result": )" + c.result + "}}");
    ChildRun run = passage.Run({"missing.osc", "--config-file=c.json", "--debug=1", "--trainId=T"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, c.printed);
    std::vector<std::string> merge = Between(run, "Calc complete", "\x01");
    merge.erase(merge.begin());
    EXPECT_EQ(merge, c.merge) << run.err;
    // The master gets the same document with every quotation mark escaped.
    std::string escaped;
    for (char ch : c.printed) escaped += ch == '"' ? std::string("\\\"") : std::string(1, ch);
    EXPECT_EQ(master.Receive(10000).value_or(""), R"({"cmd":"scales_result","param":"T","name":"recorderScales",)"
                                                  R"("id":0,"values":[")" + escaped + "\"]}");
  }
}

// Guards the fault of process-wide destructors (the calculation library's
// among them) running at the end while the receive thread and abandoned line
// threads still run: no run may end by returning from main.
TEST(ProcessEnd, NoDestructorRunsUnderLiveThreads) {
  Passage passage;
  passage.environment.emplace_back("LD_PRELOAD", EXIT_WITNESS_LIBRARY);
  const std::vector<std::vector<std::string>> runs = {
      {}, {"missing.osc", "--config-file=c.json"}, {"missing.osc", "--config-file=missing.json"},
      {"missing.osc", "--trainId=" + std::string(MAX_TRAIN_ID_BYTES + 1, 'x')}};
  for (const std::vector<std::string>& arguments : runs) {
    ChildRun run = passage.Run(arguments);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err.find("exit witness"), std::string::npos) << run.err;
  }
}

}  // namespace
