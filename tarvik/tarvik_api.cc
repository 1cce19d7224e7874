// Placeholder calculation library: accepts every call, frees every pushed
// sample and reports each line as not correct. Replaced by the reference
// library.
#include <cstdlib>

#include "calc/tarvik.h"

#define TARVIK_EXPORT __attribute__((visibility("default")))

extern "C" {
TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback) {}
TARVIK_EXPORT void Tarvik_Init() {}
TARVIK_EXPORT void Tarvik_InitDevice(int32_t, std::vector<double>, std::vector<double>) {}
TARVIK_EXPORT void Tarvik_InitLine(int32_t, int32_t, int32_t) {}
TARVIK_EXPORT void Tarvik_PushSideData(SideSample* sample) { std::free(sample); }
TARVIK_EXPORT LineResult* Tarvik_Compute(int32_t lineId) {
  LineResult* result = new LineResult();
  result->line = static_cast<uint16_t>(lineId);
  result->correct = false;
  result->total_weight = 0;
  return result;
}
}
