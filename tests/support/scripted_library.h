// Scripts the test build of the calculation library and reads back the calls
// it recorded (see tests/support/scripted_tarvik/scripted_tarvik.cc for the
// script format and the record lines).
#pragma once

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"

struct ScriptedLibrary {
  std::string scriptPath;  // "" runs without a script: every line answers at once, empty
  std::string recordPath;
};

// Writes `scriptJson` (unless empty) and names a record file, both in `dir`.
ScriptedLibrary PrepareScriptedLibrary(const TempDir& dir, const std::string& scriptJson = "");

// Adds the environment that points the scripted library at its files.
void UseScriptedLibrary(const ScriptedLibrary& library, ProgramOptions& options);

// The recorded calls, one per line, in the order they were made.
std::vector<std::string> RecordedCalls(const ScriptedLibrary& library);

// The recorded calls that begin with `prefix` (e.g. "Push ").
std::vector<std::string> RecordedCallsStartingWith(const ScriptedLibrary& library, const std::string& prefix);
