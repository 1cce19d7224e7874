#include <cstdio>
#include <string>
#include <vector>

#include "app/settings.h"
#include "calc/computation.h"
#include "osc/osc.h"

namespace {

// A dump holds one line per record of a device: tens of megabytes for a long
// passage.
constexpr size_t DUMP_BLOCK_BYTES = size_t{1} << 20;

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
    // Lines are gathered into large blocks: one write call per block rather
    // than two locked stdio calls per line.
    std::string block;
    block.reserve(DUMP_BLOCK_BYTES + 256);
    for (const std::string& line : lines) {
      block += line;
      block += '\n';
      if (block.size() >= DUMP_BLOCK_BYTES) {
        std::fwrite(block.data(), 1, block.size(), file);
        block.clear();
      }
    }
    // Write errors are not reported: the dump is a debugging aid only.
    std::fwrite(block.data(), 1, block.size(), file);
    std::fclose(file);
  }
  return COMPUTATION_OK;
}
