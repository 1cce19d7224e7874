// Computation: registers the configuration's lines and devices with the
// calculation library, has the oscillogram loaded and fed, writes the raw
// dump in debug mode, and computes every line on its own detached thread
// under COMPUTE_TIME_LIMIT_MS.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "calc/tarvik.h"

constexpr int32_t COMPUTE_TIME_LIMIT_MS = 30000;

// Line results in the order the line threads finished, as Tarvik_Compute
// returned them (unexamined; the records belong to the library).
// GUARDED BY LineResultsMutex() for every append, count and copy.
// Never destroyed: abandoned line threads may append until the process ends.
std::vector<LineResult*>& LineResults();
std::mutex& LineResultsMutex();

// A copy of the line results taken under the mutex.
std::vector<LineResult*> CopyLineResults();

// RunComputation's results.
constexpr int COMPUTATION_OK = 0;
constexpr int COMPUTATION_DUMP_FAILED = -1;  // a raw dump file could not be opened

// REQUIRES: main thread; configuration, frequencyById, oscFilePath and
// debugMode set. Returns when all started lines delivered or the limit passed.
int RunComputation();

// The body of one line thread.
void ComputeLine(int32_t lineId);

// Writes the raw dump files (debug mode). Returns COMPUTATION_DUMP_FAILED
// after its message when a file cannot be opened; lower ids are written.
int WriteRawDump();
