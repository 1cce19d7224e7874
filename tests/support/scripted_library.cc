#include "tests/support/scripted_library.h"

#include <sstream>

ScriptedLibrary PrepareScriptedLibrary(const TempDir& dir, const std::string& scriptJson) {
  ScriptedLibrary library;
  if (!scriptJson.empty()) library.scriptPath = dir.Write("tarvik_script.json", scriptJson);
  library.recordPath = dir.File("tarvik_calls.txt");
  return library;
}

void UseScriptedLibrary(const ScriptedLibrary& library, ProgramOptions& options) {
  options.environment.emplace_back("TARVIK_RECORD", library.recordPath);
  if (!library.scriptPath.empty()) options.environment.emplace_back("TARVIK_SCRIPT", library.scriptPath);
}

std::vector<std::string> RecordedCalls(const ScriptedLibrary& library) {
  std::vector<std::string> calls;
  std::istringstream text(ReadFileText(library.recordPath));
  std::string line;
  while (std::getline(text, line)) calls.push_back(line);
  return calls;
}

std::vector<std::string> RecordedCallsStartingWith(const ScriptedLibrary& library, const std::string& prefix) {
  std::vector<std::string> matching;
  for (const std::string& call : RecordedCalls(library))
    if (call.compare(0, prefix.size(), prefix) == 0) matching.push_back(call);
  return matching;
}
