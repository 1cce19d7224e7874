#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size) {
  const char* directory = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string path = std::string(directory) + "/korvanet-fuzz-" + std::to_string(::getpid()) + "-" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || (size > 0 && std::fwrite(data, 1, size, file) != size)) std::abort();
  std::fclose(file);
  return path;
}

void QuietStandardError() {
  static bool done = false;
  if (done || std::getenv("KORVANET_FUZZ_LOG") != nullptr) return;
  done = true;
  // Not dup2 onto descriptor 2: that silenced the fuzzer's own reports.
  if (std::FILE* devNull = std::fopen("/dev/null", "w")) stderr = devNull;
}
