#include <cstdio>
#include <string>
#include <vector>

#include "app/settings.h"
#include "calc/computation.h"
#include "osc/osc.h"

namespace {

// A dump holds one line per record of a device: tens of megabytes for a long
// passage, so the file gets a large buffer and is flushed once, at close.
constexpr size_t DUMP_BUFFER_BYTES = size_t{1} << 20;

}  // namespace

int WriteRawDump() {
  const std::vector<std::string>* linesById = RawLinesById();
  for (int32_t deviceId = 0; deviceId < DEVICE_ID_COUNT; ++deviceId) {
    const std::vector<std::string>& lines = linesById[deviceId];
    if (lines.empty()) continue;
    std::string fileName = oscFilePath + "_out" + std::to_string(deviceId) + ".dat";
    std::fprintf(stdout, "File %s\n", fileName.c_str());
    std::fflush(stdout);

    std::FILE* file = std::fopen(fileName.c_str(), "w");
    if (file == nullptr) {
      std::fprintf(stderr, "Error: file %s could not be opened\n", fileName.c_str());
      return COMPUTATION_DUMP_FAILED;
    }
    std::setvbuf(file, nullptr, _IOFBF, DUMP_BUFFER_BYTES);
    // Write errors are not reported: the dump is a debugging aid only.
    for (const std::string& line : lines) {
      std::fwrite(line.data(), 1, line.size(), file);
      std::fputc('\n', file);
    }
    std::fclose(file);
  }
  return COMPUTATION_OK;
}
