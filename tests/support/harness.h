// Test support, one of each (with temp_dir.h): a child process (the
// real program, or a piece of this one with its own standard streams), an
// oscillogram writer, a passage run with the scripted library, and a UDP
// listener in the master's place.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

// The program's first log message.
inline const std::string BANNER = "Korvanet v1.1.0.109 started\r";
// All a run logs when the configuration file `path` stops it with `cause`.
inline std::vector<std::string> ConfigRefused(const std::string& path, const std::string& cause) {
  return {BANNER, "Loading config file " + path, cause, ""};
}

struct ChildRun {
  int exitStatus = -1;  // -1 when a signal ended it
  int signal = 0;
  std::string out, err;
};

// Forks; the child runs `body` with standard output and standard error on
// pipes and ends as the program does (EndProcess(body())). The parent reads
// both as they come.
class Child {
 public:
  explicit Child(const std::function<int()>& body);
  ~Child();  // kills the child if it still runs
  // The first log message (timestamp dropped) that begins with `prefix`.
  std::optional<std::string> WaitForLog(const std::string& prefix, int timeout_ms = 20000);
  ChildRun Wait(int timeout_ms = 120000);

 private:
  bool Pump(int timeout_ms);
  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  ChildRun run_;
};

ChildRun RunInChild(const std::function<int()>& body);

// Lines of `text` without their "\n", each log line without its timestamp.
std::vector<std::string> LogMessages(const std::string& text);

// One data record; channel c carries channel0 + c.
struct Rec {
  uint8_t device = 0;
  uint32_t counter = 0;
  uint16_t thermistor = 512;
  uint16_t payloadLength = 12;
  uint16_t channel0 = 100;
};
struct CarriageEntry {
  uint8_t number;
  uint64_t offset;
  int32_t time;
};
std::string Oscillogram(const std::vector<Rec>& records, const std::vector<CarriageEntry>& carriages = {});

// One line: devices 0 (odd) and 1 (even), 1000 Hz and 3 Hz, one sensor each.
inline const std::string ONE_LINE = R"({"lines": [{"id": 1, "devices": {
  "odd":  {"enabled": true, "uid": "o", "port": 7126, "frequency": 1000, "sensors": [
    {"channel": 0, "side": false, "coeff": 1.1, "vel_coeff": 0.5, "enabled": true}]},
  "even": {"enabled": true, "uid": "e", "port": 7127, "frequency": 3, "sensors": [
    {"channel": 0, "side": true, "coeff": 1.0, "vel_coeff": 0.5, "enabled": false}]}}}]})";

// A working directory holding c.json, where build/korvanet runs with the
// scripted library (tests/support/scripted_tarvik.cc) in front of the real one.
struct Passage {
  explicit Passage(const std::string& config = ONE_LINE, const std::string& script = "");
  TempDir dir;
  std::string workingDirectory = dir.path();
  std::vector<std::pair<std::string, std::string>> environment;
  std::unique_ptr<Child> Start(const std::vector<std::string>& arguments) const;
  ChildRun Run(const std::vector<std::string>& arguments) const { return Start(arguments)->Wait(); }
  // The library calls recorded so far that begin with `prefix`.
  std::vector<std::string> Calls(const std::string& prefix = "") const;
};

// A UDP socket on 127.0.0.1:port (0: any free port) with a large receive
// buffer. Another test run may hold the master port for a moment, so the
// bind is retried for a while.
struct FakeMaster {
  explicit FakeMaster(uint16_t port);
  ~FakeMaster();
  int fd = -1;
  uint16_t port = 0;
  std::optional<std::string> Receive(int timeout_ms, uint16_t* sourcePort = nullptr) const;
};
bool SendTo(uint16_t port, const std::string& bytes);
