// Placeholder until the scripted library lands.
#include <cstdlib>

#include "calc/tarvik.h"

#define TARVIK_EXPORT __attribute__((visibility("default")))

extern "C" {
TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback) {}
TARVIK_EXPORT void Tarvik_Init() {}
TARVIK_EXPORT void Tarvik_InitDevice(int32_t, std::vector<double>, std::vector<double>) {}
TARVIK_EXPORT void Tarvik_InitLine(int32_t, int32_t, int32_t) {}
TARVIK_EXPORT void Tarvik_PushSideData(SideSample* sample) { std::free(sample); }
TARVIK_EXPORT LineResult* Tarvik_Compute(int32_t) { return new LineResult(); }
}
