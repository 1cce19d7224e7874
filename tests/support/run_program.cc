#include "tests/support/run_program.h"

#include <regex>

#include "tests/support/program_session.h"

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  return ProgramSession(program, arguments, options).Wait(options.timeoutSeconds * 1000);
}

ProgramRun RunKorvanetBinary(const std::vector<std::string>& arguments, ProgramOptions options,
                             bool scriptedLibrary) {
  int timeout_ms = options.timeoutSeconds * 1000;
  return StartKorvanet(arguments, std::move(options), scriptedLibrary)->Wait(timeout_ms);
}

std::vector<std::string> LogMessages(const std::string& text) {
  static const std::regex timestamp(R"(^\d\d-\d\d-\d{4} \d\d:\d\d:\d\d \.\d{1,3}: )");
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(std::regex_replace(text.substr(start, end - start), timestamp, "",
                                       std::regex_constants::format_first_only));
    start = end + 1;
  }
  return lines;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& candidate : lines)
    if (candidate == line) return true;
  return false;
}
