#include "osc/osc.h"

uint16_t frequencyById[DEVICE_ID_COUNT] = {};
int64_t timeOriginById[DEVICE_ID_COUNT] = {};
int64_t recordPosition = 0;

std::vector<std::string>* RawLinesById() {
  static auto* lines = new std::vector<std::string>[DEVICE_ID_COUNT];
  return lines;
}

void FeedRecord(const uint8_t*, const uint8_t*, uint16_t) {}
float ThermistorCelsius(uint16_t) { return 0; }
