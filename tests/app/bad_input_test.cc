// The real program against bad input of every kind it reads: the
// configuration file, the oscillogram, the command line, the master's
// datagrams and the calculation library's results. Each row is one input and
// the whole outcome an operator sees: exit status, log lines, what reached
// the library, what was printed or what reached the master.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "tests/support/master_listener.h"
#include "tests/support/osc_writer.h"
#include "tests/support/program_session.h"
#include "tests/support/run_program.h"
#include "tests/support/scripted_library.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string BANNER = "Korvanet v1.1.0.109 started\r";
const std::string BOUND_PREFIX = "UDP id 10 bound to local port ";

// One line, devices 0 (odd) and 1 (even) at 1000 Hz, one sensor each.
const std::string ONE_LINE = R"({"lines": [{"id": 1, "devices": {
  "odd":  {"enabled": true, "uid": "o", "port": 7126, "frequency": 1000, "sensors": [
    {"channel": 0, "side": false, "coeff": 1.0, "vel_coeff": 0.5, "enabled": true}]},
  "even": {"enabled": true, "uid": "e", "port": 7127, "frequency": 1000, "sensors": [
    {"channel": 0, "side": true, "coeff": 1.0, "vel_coeff": 0.5, "enabled": true}]}}}]})";

// ONE_LINE with the first occurrence of `from` replaced by `to`.
std::string OneLineWith(const std::string& from, const std::string& to) {
  std::string config = ONE_LINE;
  config.replace(config.find(from), from.size(), to);
  return config;
}

std::string Repeat(const std::string& piece, size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) text += piece;
  return text;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

int CountOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// A passage directory with the scripted library recording every call.
struct Passage {
  TempDir dir;
  ScriptedLibrary library;
  ProgramOptions options;
  explicit Passage(const std::string& script = "", const std::string& config = ONE_LINE) {
    library = PrepareScriptedLibrary(dir, script);
    dir.Write("c.json", config);
    UseScriptedLibrary(library, options);
    options.workingDirectory = dir.path();
  }
  ProgramRun Run(std::vector<std::string> arguments) const {
    return RunKorvanetBinary(arguments, options, /*scriptedLibrary=*/true);
  }
};

// ---------------------------------------------------------------------------
// Configuration files

// The log of a run from the banner up to the oscillogram loader's first line,
// without the bound port (it changes from run to run).
std::vector<std::string> StartOfRun(const ProgramRun& run) {
  std::vector<std::string> messages;
  for (const std::string& message : LogMessages(run.err)) {
    if (StartsWith(message, "Cannot open input file ")) break;
    if (!StartsWith(message, BOUND_PREFIX)) messages.push_back(message);
  }
  return messages;
}

// A refused configuration: the loader's lines, then the lone "\n".
std::vector<std::string> Refused(std::vector<std::string> loaderLines) {
  loaderLines.insert(loaderLines.begin(), {BANNER, "Loading config file c.json"});
  loaderLines.push_back("");
  return loaderLines;
}

// A loaded configuration: the loader's device lines, then the run's own.
std::vector<std::string> Accepted(const std::vector<std::string>& deviceLines, const std::vector<std::string>& lineLines) {
  std::vector<std::string> messages = {BANNER, "Loading config file c.json"};
  messages.insert(messages.end(), deviceLines.begin(), deviceLines.end());
  messages.push_back("Init master server connection to port 3021");
  messages.push_back("conf->deviceConfigList.size = " + std::to_string(lineLines.size()));
  messages.insert(messages.end(), lineLines.begin(), lineLines.end());
  return messages;
}

const std::vector<std::string> BOTH_DEVICES = {"Device (odd side) uid o added to config with id 0",
                                               "Device (even side) uid e added to config with id 1"};
const std::vector<std::string> LINE_AT_1000 = {"line.devconf.first.id = 0, freq = 1000 "};

struct ConfigCase {
  const char* name;
  std::string content;
  int exitStatus;
  std::vector<std::string> messages;  // banner up to the oscillogram's first line
};

TEST(BadInput, ConfigurationFiles) {
  const std::string tenMegabytes(10 * 1024 * 1024, ' ');
  const std::string notFloat = "Line 0 odd device sensor 0: \"coeff\" is missing or not a number within float range";
  const std::vector<ConfigCase> cases = {
      {"truncated", ONE_LINE.substr(0, 60), 246,
       Refused({"Config file c.json is not valid JSON: Missing a comma or '}' after an object member. (at byte 60)"})},
      {"uid bytes that are not UTF-8 are kept as they are", OneLineWith("\"o\"", "\"\xff\xfe\""), 0,
       Accepted({"Device (odd side) uid \xff\xfe added to config with id 0", BOTH_DEVICES[1]}, LINE_AT_1000)},
      {"byte that is not UTF-8 outside a string", "{\"lines\": []}\xff", 246,
       Refused({"Config file c.json is not valid JSON: The document root must not be followed by other values. (at byte 13)"})},
      {"UTF-16 text", std::string("\xff\xfe{\0\"\0", 6), 246,
       Refused({"Config file c.json is not valid JSON: Invalid value. (at byte 0)"})},
      {"100,000-deep arrays in lines", "{\"lines\": [" + Repeat("[", 100000) + Repeat("]", 100000) + "]}", 0,
       Accepted({}, {})},
      {"100,000-deep objects", Repeat("{\"a\":", 100000) + "1" + Repeat("}", 100000), 246,
       Refused({"Config has no \"lines\""})},
      {"100,000 unclosed arrays", Repeat("[", 100000), 246,
       Refused({"Config file c.json is not valid JSON: Invalid value. (at byte 100000)"})},
      {"10 MB of white space before the text", tenMegabytes + ONE_LINE, 0, Accepted(BOTH_DEVICES, LINE_AT_1000)},
      {"10 MB of white space alone", tenMegabytes, 246,
       Refused({"Config file c.json is not valid JSON: The document is empty. (at byte 10485760)"})},
      {"line id above 32 bits", OneLineWith("\"id\": 1", "\"id\": 2147483648"), 246,
       Refused({"Line 0: \"id\" is missing or not an integer"})},
      {"port above 32 bits", OneLineWith("7126", "4294967296"), 246,
       Refused({"Line 0 odd device: \"port\" is missing or not an integer"})},
      {"port whose low 16 bits are 7126", OneLineWith("7126", "72662"), 0, Accepted(BOTH_DEVICES, LINE_AT_1000)},
      {"negative port whose low 16 bits are 7126", OneLineWith("7126", "-58410"), 0,
       Accepted(BOTH_DEVICES, LINE_AT_1000)},
      {"port above the device id range", OneLineWith("7126", "7134"), 246,
       Refused({"Line 0 odd device port 7134 gives device id 8; ports 7126 to 7133 (ids 0 to 7) are supported"})},
      {"port below the device id range", OneLineWith("7126", "0"), 246,
       Refused({"Line 0 odd device port 0 gives device id -7126; ports 7126 to 7133 (ids 0 to 7) are supported"})},
      {"frequency whose low 16 bits are 0", OneLineWith("1000", "65536"), 0,
       Accepted(BOTH_DEVICES, {"line.devconf.first.id = 0, freq = 0 "})},
      {"frequency with an exponent", OneLineWith("1000", "1e3"), 246,
       Refused({"Line 0 odd device: \"frequency\" is missing or not an integer"})},
      {"coefficient beyond float", OneLineWith("\"coeff\": 1.0", "\"coeff\": 3.5e38"), 246,
       Refused({notFloat})},
      {"coefficient beyond double", OneLineWith("\"coeff\": 1.0", "\"coeff\": 1e400"), 246,
       Refused({"Config file c.json is not valid JSON: Number too big to be stored in double. (at byte 163)"})},
      {"duplicate \"lines\": the first counts", "{\"lines\": [], \"lines\": 5}", 0, Accepted({}, {})},
      {"duplicate \"uid\" and \"port\": the first counts",
       OneLineWith("\"uid\": \"o\", \"port\": 7126", "\"uid\": \"o\", \"uid\": 5, \"port\": 7126, \"port\": 7133"), 0,
       Accepted(BOTH_DEVICES, LINE_AT_1000)},
  };
  for (const ConfigCase& c : cases) {
    SCOPED_TRACE(c.name);
    Passage passage("", c.content);
    ProgramRun run = passage.Run({"missing.osc", "--config-file=c.json"});
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err.substr(0, 2000);
    EXPECT_EQ(StartOfRun(run), c.messages) << run.err.substr(0, 2000);
  }
}

// A configuration path the program cannot open although the file exists.
TEST(BadInput, UnreadableConfigurationPaths) {
  Passage passage;
  struct PathCase {
    const char* name;
    std::string path;
  };
  std::vector<PathCase> cases = {{"parent is a regular file", "c.json/scales.json.conf"}};
  passage.dir.Write("locked.json", ONE_LINE);
  ::chmod(passage.dir.File("locked.json").c_str(), 0);
  // Root reads a file of mode 000 all the same; the row then says nothing.
  if (::geteuid() != 0) cases.push_back({"mode 000", "locked.json"});
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = passage.Run({"missing.osc", "--config-file=" + c.path});
    EXPECT_EQ(run.exitStatus, 246);
    EXPECT_EQ(LogMessages(run.err), (std::vector<std::string>{BANNER, "Config file " + c.path + " not found", ""}));
  }
  if (::geteuid() == 0) std::printf("[ note ] mode 000 row skipped: root reads any file\n");
}

// ---------------------------------------------------------------------------
// Oscillogram files

// What the loader writes for a file it opened, before any record.
std::vector<std::string> Opened() {
  return {"File t.osc opened", "", "Read file start_offset = 21504", "Loading file t.osc..."};
}
std::vector<std::string> OpenedThen(const std::vector<std::string>& more) {
  std::vector<std::string> lines = Opened();
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// The log from the loader's first line up to "LoadFile complete".
std::vector<std::string> LoadingLog(const ProgramRun& run) {
  std::vector<std::string> lines;
  bool in = false;
  for (const std::string& message : LogMessages(run.err)) {
    if (StartsWith(message, "LoadFile complete")) break;
    in = in || StartsWith(message, "File ") || StartsWith(message, "Cannot open input file");
    if (in) lines.push_back(message);
  }
  return lines;
}

RecordSpec Record(uint8_t device, uint32_t counter, uint16_t payloadLength = 12, uint16_t thermistor = 512) {
  RecordSpec record;
  record.deviceId = device;
  record.counter = counter;
  record.thermistor = thermistor;
  record.payloadLength = payloadLength;
  for (int c = 0; c < 4; ++c) record.channels[c] = static_cast<uint16_t>(100 + c);
  return record;
}

// The scripted library's record of one pushed sample of Record().
std::string Push(int device, long long timeUs, const char* celsius = "24.955988") {
  return "Push " + std::to_string(device) + " " + std::to_string(timeUs) + " " + celsius + " 100 101 102 103";
}

struct OscCase {
  const char* name;
  std::string bytes;  // the file; empty name below means "no file"
  std::vector<std::string> loaderLog;
  std::vector<std::string> pushes;
};

TEST(BadInput, OscillogramFiles) {
  auto file = [](const std::vector<RecordSpec>& records) { return BuildOscillogram({}, records); };
  const std::string table = file({});
  const std::string oneRecord = file({Record(0, 1)});
  const std::vector<OscCase> cases = {
      {"empty", "", Opened(), {}},
      {"table cut short", table.substr(0, table.size() - 1), Opened(), {}},
      {"table and a record header", table + oneRecord.substr(table.size(), 7), Opened(), {}},
      {"a record and 18 bytes", oneRecord + oneRecord.substr(table.size(), 18), Opened(), {Push(0, 0)}},
      {"payload length 0", file({Record(0, 1), Record(0, 2, 0)}),
       OpenedThen({"Record at offset 21523 has payload length 0, shorter than 12; loading stopped"}), {Push(0, 0)}},
      {"payload length 11", file({Record(0, 1), Record(0, 2, 11)}),
       OpenedThen({"Record at offset 21523 has payload length 11, shorter than 12; loading stopped"}), {Push(0, 0)}},
      {"payload length 13", file({Record(0, 1), Record(0, 2, 13), Record(0, 3)}), Opened(), {Push(0, 0)}},
      {"payload length 65535", file({Record(0, 1), Record(0, 2, 65535), Record(0, 3)}), Opened(), {Push(0, 0)}},
      {"device ids 8 and 255", file({Record(8, 1), Record(255, 1), Record(1, 1)}),
       OpenedThen({"device id 8 out of range 0..7, record at position 21504 dropped",
                   "device id 255 out of range 0..7, record at position 21504 dropped"}),
       {Push(1, 0)}},
      {"device without a frequency", file({Record(2, 1), Record(0, 1)}), OpenedThen({"freq not set for id  2"}),
       {Push(0, 0)}},
      {"counter going backwards", file({Record(0, 5000), Record(0, 4000), Record(0, 5001)}), Opened(),
       {Push(0, 0), Push(0, -1000000), Push(0, 1000)}},
      {"counter wrapping", file({Record(0, 0xffffffffu), Record(0, 0), Record(0, 1)}), Opened(),
       {Push(0, 0), Push(0, -4294967295000LL), Push(0, -4294967294000LL)}},
      {"thermistor above 1023", file({Record(0, 1, 12, 1024), Record(0, 2, 12, 65535)}),
       OpenedThen({"error on shift 21504", "error on shift 21523"}), {Push(0, 0, "-nan"), Push(0, 1000, "-nan")}},
  };
  for (const OscCase& c : cases) {
    SCOPED_TRACE(c.name);
    Passage passage;
    passage.dir.Write("t.osc", c.bytes);
    ProgramRun run = passage.Run({"t.osc", "--config-file=c.json"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(LoadingLog(run), c.loaderLog) << run.err;
    EXPECT_EQ(RecordedCallsStartingWith(passage.library, "Push "), c.pushes);
  }
}

TEST(BadInput, OscillogramPathsThatAreNotFiles) {
  Passage passage;
  ::mkdir(passage.dir.File("t.osc").c_str(), 0755);
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"missing.osc", {"Cannot open input file missing.osc"}},
      {"t.osc", {"File t.osc opened", "", "Read file start_offset = 21504", "Loading file t.osc...",
                 "Input file t.osc cannot be read: Is a directory"}},
  };
  for (const auto& [path, loaderLog] : cases) {
    SCOPED_TRACE(path);
    ProgramRun run = passage.Run({path, "--config-file=c.json"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(LoadingLog(run), loaderLog) << run.err;
  }
  EXPECT_TRUE(RecordedCallsStartingWith(passage.library, "Push ").empty());
}

// The program run by fork/exec/wait4, for its peak resident set size.
struct MeasuredRun {
  int exitStatus = -1;
  long peakRssKb = 0;
  std::string err;
};

MeasuredRun RunMeasured(const Passage& passage, const std::vector<std::string>& arguments, int timeout_s) {
  std::string errPath = passage.dir.File("measured.err");
  pid_t child = ::fork();
  if (child == 0) {
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, 0);
    ::dup2(devNull, 1);
    ::dup2(err, 2);
    if (::chdir(passage.dir.path().c_str()) != 0) ::_exit(127);
    for (const auto& [name, value] : passage.options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    ::setenv("LD_LIBRARY_PATH", SCRIPTED_TARVIK_DIR, 1);
    std::vector<char*> argv = {const_cast<char*>(KORVANET_BINARY)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(KORVANET_BINARY, argv.data());
    ::_exit(127);
  }
  MeasuredRun run;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  rusage usage {};
  while (::wait4(child, &status, WNOHANG, &usage) == 0) {
    if (std::chrono::steady_clock::now() > deadline) ::kill(child, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  run.peakRssKb = usage.ru_maxrss;
  run.err = ReadFileText(errPath);
  return run;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED_BUILD = true;  // shadow memory and quarantine swell the resident set
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED_BUILD = true;
#else
constexpr bool SANITIZED_BUILD = false;
#endif
#else
constexpr bool SANITIZED_BUILD = false;
#endif
constexpr long STREAMING_RSS_LIMIT_KB = 64 * 1024;

// Neither a 2 GB file nor a long stream of records is ever held in memory:
// the loader reads through one fixed buffer.
TEST(BadInput, LargeOscillogramsAreStreamed) {
  Passage passage;
  // 2 GB, sparse: a record, then a hole that reads as a record of payload
  // length 0, where the reading stops without touching the rest.
  std::string head = BuildOscillogram({{1, 21504, 0}}, {Record(0, 1)});
  std::string sparse = passage.dir.Write("sparse.osc", head);
  ASSERT_EQ(::truncate(sparse.c_str(), 2LL * 1024 * 1024 * 1024), 0);
  MeasuredRun run = RunMeasured(passage, {"sparse.osc", "--config-file=c.json"}, 60);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_NE(run.err.find("\nRecord at offset 21523 has payload length 0, shorter than 12; loading stopped\n"),
            std::string::npos) << run.err;
  std::printf("[ figure ] 2 GB sparse oscillogram: peak RSS %ld KiB\n", run.peakRssKb);
  if (!SANITIZED_BUILD) {
    EXPECT_LT(run.peakRssKb, STREAMING_RSS_LIMIT_KB);
  }

  // 128 MiB of well-formed records through a pipe, so nothing sits in the
  // page cache either; the scripted library frees every sample it gets.
  std::string fifo = passage.dir.File("stream.osc");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  constexpr size_t RECORDS_PER_BLOCK = 4096, BLOCKS = 128 * 1024 * 1024 / (RECORDS_PER_BLOCK * 19);
  std::thread writer([&] {
    std::vector<RecordSpec> records;
    for (size_t i = 0; i < RECORDS_PER_BLOCK; ++i) records.push_back(Record(static_cast<uint8_t>(i % 2), 1 + i / 2));
    std::string block = BuildOscillogram({}, records).substr(21504);
    int out = ::open(fifo.c_str(), O_WRONLY);
    if (out < 0) return;
    std::string table(21504, '\0');
    bool ok = ::write(out, table.data(), table.size()) == static_cast<ssize_t>(table.size());
    for (size_t b = 0; ok && b < BLOCKS; ++b) {
      for (size_t done = 0; ok && done < block.size();) {
        ssize_t n = ::write(out, block.data() + done, block.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
      }
    }
    ::close(out);
  });
  // Without a record file, so the library does not write a line per sample.
  Passage quiet;
  quiet.options.environment.clear();
  quiet.dir.Write("c.json", ONE_LINE);
  MeasuredRun streamed = RunMeasured(quiet, {fifo, "--config-file=c.json"}, 300);
  writer.join();
  EXPECT_EQ(streamed.exitStatus, 0) << streamed.err.substr(0, 2000);
  EXPECT_NE(streamed.err.find("LoadFile complete"), std::string::npos);
  EXPECT_EQ(streamed.err.find("loading stopped"), std::string::npos);
  std::printf("[ figure ] %zu MiB streamed through a pipe: peak RSS %ld KiB\n",
              BLOCKS * RECORDS_PER_BLOCK * 19 / (1024 * 1024), streamed.peakRssKb);
  if (!SANITIZED_BUILD) {
    EXPECT_LT(streamed.peakRssKb, STREAMING_RSS_LIMIT_KB);
  }
}

// ---------------------------------------------------------------------------
// Command line

TEST(BadInput, TrainIdentifiers) {
  std::string hostile;  // quotes, backslashes, control bytes and bytes above 127
  for (int i = 1; i < 256; ++i) hostile += static_cast<char>(i);
  const std::string tenThousand = Repeat(hostile, 40).substr(0, 10000);
  Passage passage;
  ProgramRun refused = passage.Run({"t.osc", "--trainId=" + tenThousand, "--config-file=c.json"});
  EXPECT_EQ(refused.exitStatus, 2);
  EXPECT_EQ(LogMessages(refused.err),
            (std::vector<std::string>{BANNER, "Train identifier of 10000 bytes refused: a result message holds at most " +
                                                  std::to_string(MAX_TRAIN_ID_BYTES) + " bytes of it"}));
  EXPECT_TRUE(RecordedCalls(passage.library).empty());

  // The longest identifier taken goes to the master byte for byte.
  const std::string longest = Repeat(hostile, 4).substr(0, MAX_TRAIN_ID_BYTES);
  MasterListener master(MASTER_PORT);
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  ProgramRun run = passage.Run({"missing.osc", "--trainId=" + longest, "--config-file=c.json"});
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::optional<ReceivedDatagram> message = master.Receive(10000);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->bytes, "{\"cmd\":\"scales_result\",\"param\":\"" + longest +
                                "\",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"{\\\"total_weight\\\":0,"
                                "\\\"correct\\\":false,\\\"carriages\\\":[]}\"]}");
}

// ---------------------------------------------------------------------------
// Master datagrams while a passage is processed

// Line 1 takes long enough for every datagram below to arrive while the
// main thread waits for it.
std::string SlowLineScript(int delay_ms) {
  return R"({"lines": [{"line": 1, "delay_ms": )" + std::to_string(delay_ms) +
         R"(, "result": {"correct": true, "total_weight": 4321}}]})";
}
const std::string SLOW_LINE_DOCUMENT = R"({\"total_weight\":4321,\"correct\":true,\"carriages\":[]})";

struct RunningPassage {
  std::unique_ptr<Passage> passage;
  std::unique_ptr<ProgramSession> program;
  uint16_t linkPort = 0;
};

// Starts the program on a slow line and waits for its link's port.
void StartSlowPassage(RunningPassage& running, int delay_ms) {
  running.passage = std::make_unique<Passage>(SlowLineScript(delay_ms));
  running.program = StartKorvanet({"missing.osc", "--trainId=flood", "--config-file=c.json"},
                                  running.passage->options, /*scriptedLibrary=*/true);
  ASSERT_TRUE(running.program->started());
  std::optional<std::string> bound = running.program->WaitForLogMessage(BOUND_PREFIX, 20000);
  ASSERT_TRUE(bound) << running.program->Wait(1000).err;
  running.linkPort = static_cast<uint16_t>(std::stoi(bound->substr(BOUND_PREFIX.size())));
}

struct DatagramCase {
  const char* name;
  std::string bytes;
  std::string message;  // the one log line it gives, "" for none
};

TEST(BadInput, MasterDatagramsDuringAPassage) {
  const std::string status = R"({"cmd":"status","param":"{\"ServerId\":\"m-1\"}","name":"master","id":1})";
  const std::vector<DatagramCase> cases = {
      {"empty", "", "UDP id 10 read 0 bytes"},
      {"largest datagram", std::string(MAX_DATAGRAM_BYTES, 'x'), "UDP id 10 read failed with error code : 10040"},
      {"60,000 bytes, not JSON", std::string(MASTER_RECEIVE_BUFFER_BYTES, 'x'),
       "UDP id 10 message of 60000 bytes ignored: not JSON: Invalid value. (at byte 0)"},
      {"60,000 bytes, status padded with blanks", status + std::string(MASTER_RECEIVE_BUFFER_BYTES - status.size(), ' '), ""},
      {"cut off", "{\"cmd\":", "UDP id 10 message of 7 bytes ignored: not JSON: Invalid value. (at byte 7)"},
      // The parser takes a zero byte for the end of the text, as it always
      // ended at the buffer's zero after a short datagram.
      {"status, a zero byte and junk", status + std::string("\0junk", 5), ""},
      {"number beyond double", R"({"cmd":"status","id":1e400})",
       "UDP id 10 message of 27 bytes ignored: not JSON: Number too big to be stored in double. (at byte 21)"},
      {"huge integer id", R"({"cmd":"status","param":"{\"ServerId\":\"m-2\"}","id":123456789012345678901234567890})", ""},
      {"numeric cmd", R"({"cmd":18446744073709551616})", "UDP id 10 message of 28 bytes ignored: no string \"cmd\""},
      {"30,000-deep arrays", Repeat("[", 30000) + Repeat("]", 30000),
       "UDP id 10 message of 60000 bytes ignored: not a JSON object"},
      {"status with deep param", "{\"cmd\":\"status\",\"param\":\"" + Repeat("[", 20000) + Repeat("]", 20000) + "\"}",
       "Master status ignored: its param holds no JSON object with a string \"ServerId\""},
  };
  MasterListener master(MASTER_PORT);
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  RunningPassage running;
  StartSlowPassage(running, 3000);
  // Paced: the link's socket has the default receive buffer, which holds
  // only three datagrams of 60 KB; the flood test below covers a burst.
  for (const DatagramCase& c : cases) {
    ASSERT_TRUE(SendDatagramTo(running.linkPort, c.bytes)) << c.name;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::optional<ReceivedDatagram> result = master.Receive(20000);
  ProgramRun run = running.program->Wait(20000);
  ASSERT_TRUE(result) << run.err;
  EXPECT_EQ(result->bytes, "{\"cmd\":\"scales_result\",\"param\":\"flood\",\"name\":\"recorderScales\",\"id\":0,"
                           "\"values\":[\"" + SLOW_LINE_DOCUMENT + "\"]}");
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  std::map<std::string, int> expected;
  int expectedLines = 0;
  for (const DatagramCase& c : cases) {
    if (c.message.empty()) continue;
    ++expected[c.message];
    ++expectedLines;
  }
  std::vector<std::string> log = LogMessages(run.err);
  for (const auto& [message, count] : expected) EXPECT_EQ(CountOf(log, message), count) << message;
  int linkLines = 0;
  for (const std::string& line : log)
    linkLines += StartsWith(line, "UDP id 10 r") || StartsWith(line, "UDP id 10 m") || StartsWith(line, "Master");
  EXPECT_EQ(linkLines, expectedLines) << run.err;
}

// 100,000 datagrams while the line computes: the receive thread drops or
// handles them, and the result still leaves on time.
TEST(BadInput, MasterFloodDuringAPassage) {
  MasterListener master(MASTER_PORT);
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  RunningPassage running;
  StartSlowPassage(running, 3000);
  int sender = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_GE(sender, 0);
  sockaddr_in to {};
  to.sin_family = AF_INET;
  to.sin_port = htons(running.linkPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string status = R"({"cmd":"status","param":"{\"ServerId\":\"flood\"}","name":"master","id":1})";
  auto start = std::chrono::steady_clock::now();
  int sent = 0;
  for (int i = 0; i < 100000; ++i)
    sent += ::sendto(sender, status.data(), status.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
            static_cast<ssize_t>(status.size());
  double flood_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(sender);

  std::optional<ReceivedDatagram> result = master.Receive(30000);
  ProgramRun run = running.program->Wait(30000);
  ASSERT_TRUE(result) << run.err.substr(0, 2000);
  EXPECT_EQ(result->bytes.find(SLOW_LINE_DOCUMENT), result->bytes.size() - SLOW_LINE_DOCUMENT.size() - 3);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(CountOf(LogMessages(run.err), "Calc break after"), 0);
  std::printf("[ figure ] %d datagrams sent in %.2f s while the line computed\n", sent, flood_s);
}

// ---------------------------------------------------------------------------
// Calculation library results

struct ResultCase {
  const char* name;
  std::string result;             // the scripted RESULT of line 1
  std::string printed;            // the document printed in debug mode
  std::vector<std::string> merge;  // the merge's log lines
};

TEST(BadInput, LibraryResults) {
  auto carriage = [](const std::string& axles) {
    return R"({"correct": true, "total_weight": 7, "carriages": [{"full_weight": 7, "axis": [)" + axles + "]}]}";
  };
  const std::string twoWheels = R"([{"weight": 3, "condition": 1}, {"weight": 4, "condition": 2}])";
  auto printedAxle = [](const std::string& axle) {
    return R"({"total_weight":7,"correct":true,"carriages":[{"full_weight":7,"loco":{"flag":false,"type":""},"axis":[)" +
           axle + "]}]}";
  };
  const std::string emptyAxle = R"({"speed":0.0,"wheels":[{"weight":0,"condition":0},{"weight":0,"condition":0}]})";
  const std::string noSpeed = "Line 1 has no usable speed at axle 0 of carriage 0, left out of its mean";
  const std::vector<ResultCase> cases = {
      {"null record", "null", R"({"total_weight":0,"correct":false,"carriages":[]})",
       {"Line result 1 of 1 is missing, line skipped", "Result has no correct data in any line"}},
      {"correct without carriages", R"({"correct": true, "total_weight": 5})",
       R"({"total_weight":5,"correct":true,"carriages":[]})", {}},
      {"carriage without axles", carriage(""), printedAxle(""), {}},
      {"axle without wheels", carriage(R"({"speed": 5, "wheels": []})"), printedAxle(emptyAxle),
       {"Line 1 has an incomplete axle 0 at carriage 0, left out of it"}},
      {"axle with one wheel", carriage(R"({"speed": 5, "wheels": [{"weight": 9}]})"), printedAxle(emptyAxle),
       {"Line 1 has an incomplete axle 0 at carriage 0, left out of it"}},
      {"speed not a number", carriage(R"({"speed": "nan", "wheels": )" + twoWheels + "}"),
       printedAxle(R"({"speed":0.0,"wheels":[{"weight":3,"condition":1},{"weight":4,"condition":2}]})"), {noSpeed}},
      {"infinite speed", carriage(R"({"speed": "-inf", "wheels": )" + twoWheels + "}"),
       printedAxle(R"({"speed":0.0,"wheels":[{"weight":3,"condition":1},{"weight":4,"condition":2}]})"), {noSpeed}},
      {"speed beyond float", carriage(R"({"speed": 1e300, "wheels": )" + twoWheels + "}"),
       printedAxle(R"({"speed":0.0,"wheels":[{"weight":3,"condition":1},{"weight":4,"condition":2}]})"), {noSpeed}},
      {"extreme weights and conditions",
       R"({"correct": true, "total_weight": -1, "carriages": [{"full_weight": 2147483647, "axis": [{"speed": 1,
          "wheels": [{"weight": 2147483647, "condition": "nan"}, {"weight": -2147483648, "condition": 1e30}]}]}]})",
       R"({"total_weight":-1,"correct":true,"carriages":[{"full_weight":2147483647,"loco":{"flag":false,"type":""},)"
       R"("axis":[{"speed":1.0,"wheels":[{"weight":2147483647,"condition":0},{"weight":-2147483648,"condition":0}]}]}]})",
       {}},
      {"correct byte 2", R"({"correct": 2, "total_weight": 5})", R"({"total_weight":0,"correct":false,"carriages":[]})",
       {"Result has no correct data in any line"}},
  };
  for (const ResultCase& c : cases) {
    SCOPED_TRACE(c.name);
    Passage passage(R"({"lines": [{"line": 1, "result": )" + c.result + "}]}");
    ProgramRun run = passage.Run({"missing.osc", "--config-file=c.json", "--debug=1"});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out, c.printed);
    std::vector<std::string> log = LogMessages(run.err);
    auto after = std::find_if(log.begin(), log.end(), [](const std::string& m) { return StartsWith(m, "Calc complete"); });
    ASSERT_NE(after, log.end()) << run.err;
    EXPECT_EQ(std::vector<std::string>(after + 1, log.end()), c.merge) << run.err;
  }
}

}  // namespace

namespace {

// The program ends while its receive thread (always) and abandoned line
// threads (after a break) still run: no process-wide object may be destroyed
// under them, whichever way the run ends.
TEST(ProcessEnd, NoDestructorRunsUnderLiveThreads) {
  Passage passage;
  passage.options.environment.emplace_back("LD_PRELOAD", EXIT_WITNESS_LIBRARY);
  const std::vector<std::pair<const char*, std::vector<std::string>>> cases = {
      {"usage", {}},
      {"finished run", {"missing.osc", "--config-file=c.json"}},
      {"configuration refused", {"missing.osc", "--config-file=missing.json"}},
      {"train identifier refused", {"missing.osc", "--trainId=" + std::string(MAX_TRAIN_ID_BYTES + 1, 'x')}},
  };
  for (const auto& [name, arguments] : cases) {
    SCOPED_TRACE(name);
    ProgramRun run = passage.Run(arguments);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.err.find("exit witness"), std::string::npos) << run.err;
  }
}

}  // namespace
