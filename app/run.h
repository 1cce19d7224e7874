// The program driver: start-up, the run sequence from configuration to the
// computed lines, and the publication of the train result.
#pragma once

#include <string>

// Exit codes of the program.
constexpr int EXIT_RUN_FINISHED = 0;
constexpr int EXIT_CONFIG_FAILED = -10;   // the shell sees 246
constexpr int EXIT_LINK_BIND_FAILED = 1;
constexpr int EXIT_DUMP_FAILED = 1;
constexpr int EXIT_TRAIN_ID_TOO_LONG = 2;
constexpr int EXIT_LINK_RECEIVE_FAILED = 3;

constexpr const char* DEFAULT_CONFIG_PATH = "../configs/scales.json.conf";

// The text after `prefix` in the first argument that begins with it, or "".
std::string FindOption(int argc, char** argv, const std::string& prefix);

// The settings of one run, read from the command line.
struct RunOptions {
  std::string oscFile;
  std::string trainId;
  std::string configPath;
  bool wideInfo = false;
  bool debugMode = false;
};

// True for the option values that switch a flag on: "1", "true", "yes", "Yes".
bool IsSwitchOn(const std::string& value);
RunOptions ReadRunOptions(int argc, char** argv);

// The whole run: start-up, run sequence and publication. Returns the exit
// code, or ends the process itself where a failure must end it at once.
int RunKorvanet(int argc, char** argv);

// Flushes every output stream and ends the process at once, without
// running destructors under threads that may still be running.
[[noreturn]] void EndProcess(int exitCode);
