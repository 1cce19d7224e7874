// Runs the real korvanet binary (or any program) and captures what it did.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProgramRun {
  int exitStatus = -1;    // as the shell sees it (0..255); -1 when killed
  int signal = 0;         // the signal that ended it, if any
  std::string out;        // standard output
  std::string err;        // standard error
};

struct ProgramOptions {
  std::string workingDirectory;                              // "" keeps the current one
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  int timeoutSeconds = 90;
};

// Runs `program` with `arguments` (not including argv[0], which is `program`).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options = {});

// Runs build/korvanet. With `scriptedLibrary` the test build of the
// calculation library is put in front through LD_LIBRARY_PATH.
ProgramRun RunKorvanetBinary(const std::vector<std::string>& arguments, ProgramOptions options = {},
                             bool scriptedLibrary = false);

// Splits text into lines (without their "\n"), dropping log timestamps: for a
// line that starts with a log timestamp, only the message is kept.
std::vector<std::string> LogMessages(const std::string& text);
// True when `lines` contains `line` exactly.
bool HasLine(const std::vector<std::string>& lines, const std::string& line);
