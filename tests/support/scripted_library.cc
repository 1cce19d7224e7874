#include "tests/support/scripted_library.h"

#include <cstdlib>
#include <sstream>

namespace {

// "1.5,2,3" into numbers; false on anything that is not a number.
bool ParseDoubles(const std::string& text, std::vector<double>* values) {
  values->clear();
  if (text.empty()) return true;
  std::istringstream parts(text);
  std::string part;
  while (std::getline(parts, part, ',')) {
    char* end = nullptr;
    double value = std::strtod(part.c_str(), &end);
    if (part.empty() || *end != '\0') return false;
    values->push_back(value);
  }
  return true;
}

}  // namespace

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

bool ParseInitDevice(const std::string& line, RecordedDevice* device) {
  std::istringstream words(line);
  std::string call, coeff, vel, rest;
  if (!(words >> call >> device->id >> coeff >> vel) || (words >> rest) || call != "InitDevice") return false;
  if (coeff.rfind("coeff=", 0) != 0 || vel.rfind("vel=", 0) != 0) return false;
  return ParseDoubles(coeff.substr(6), &device->coeff) && ParseDoubles(vel.substr(4), &device->velCoeff);
}
