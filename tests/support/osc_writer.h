// Builds oscillogram files for tests from a list of carriage entries and
// records, so that no test depends on a binary file checked in by hand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CarriageSpec {
  uint8_t number = 0;
  uint64_t offset = 0;  // 0 marks an unused entry
  int32_t time = 0;
};

struct RecordSpec {
  uint8_t deviceId = 0;
  uint32_t counter = 0;
  uint16_t thermistor = 512;
  uint16_t channels[4] = {0, 0, 0, 0};
  uint16_t payloadLength = 12;  // written into the header; the payload is always 12 bytes
};

// The whole file: the 21504-byte carriage table (entries in table order),
// then the 19-byte records.
std::string BuildOscillogram(const std::vector<CarriageSpec>& carriages, const std::vector<RecordSpec>& records);
