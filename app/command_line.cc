// Start-up: the banner, the usage check and the options of one run.
#include <cstdio>
#include <cstdlib>

#include "app/run.h"
#include "log/log.h"

std::string FindOption(int argc, char** argv, const std::string& prefix) {
  for (int i = 0; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.compare(0, prefix.size(), prefix) == 0) return argument.substr(prefix.size());
  }
  return "";
}

bool IsSwitchOn(const std::string& value) {
  return value == "1" || value == "true" || value == "yes" || value == "Yes";
}

RunOptions ReadRunOptions(int argc, char** argv) {
  RunOptions options;
  // The oscillogram is taken by position, even when it looks like an option.
  options.oscFile = argc > 1 ? argv[1] : "";
  options.trainId = FindOption(argc, argv, "--trainId=");
  options.wideInfo = IsSwitchOn(FindOption(argc, argv, "--wideinfo="));
  options.debugMode = IsSwitchOn(FindOption(argc, argv, "--debug="));
  options.configPath = FindOption(argc, argv, "--config-file=");
  if (options.configPath.empty()) options.configPath = DEFAULT_CONFIG_PATH;
  return options;
}

#ifdef KORVANET_COVERAGE
extern "C" void __gcov_dump();
#endif

void EndProcess(int exitCode) {
  std::fflush(nullptr);
#ifdef KORVANET_COVERAGE
  __gcov_dump();  // _Exit skips the handler that would write the counters
#endif
  std::_Exit(exitCode);
}
