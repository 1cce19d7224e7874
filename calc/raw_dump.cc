#include <cstdio>
#include <string>

#include "calc/computation.h"
#include "config/settings.h"
#include "osc/osc.h"

int WriteRawDump() {
  for (int32_t deviceId = 0; deviceId < DEVICE_ID_COUNT; ++deviceId) {
    if (!HasRawText(deviceId)) continue;
    std::string fileName = oscFilePath + "_out" + std::to_string(deviceId) + ".dat";
    std::fprintf(stdout, "File %s\n", fileName.c_str());
    std::fflush(stdout);

    std::FILE* file = std::fopen(fileName.c_str(), "w");
    if (file == nullptr) {
      std::fprintf(stderr, "Error: file %s could not be opened\n", fileName.c_str());
      return COMPUTATION_DUMP_FAILED;
    }
    // Write errors are not reported: the dump is a debugging aid only.
    WriteRawText(deviceId, file);
    std::fclose(file);
  }
  return COMPUTATION_OK;
}
