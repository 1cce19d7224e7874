// Computation: registers the configuration's lines and devices with the
// calculation library, has the oscillogram loaded and fed, writes the raw
// dump in debug mode, and computes every line on its own detached thread
// under COMPUTE_TIME_LIMIT_MS.
#pragma once

#include <condition_variable>
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

// Notified by every line thread after its append, so the wait ends as soon
// as the last result is in. Never destroyed, like the list.
std::condition_variable& LineResultsArrived();

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

// The wait for the line results, apart so its boundaries can be checked with
// a controlled clock.
constexpr int LINE_POLL_INTERVAL_MS = 10;

struct LineWaitOutcome {
  bool limitPassed = false;  // the limit passed before every result was in
  int32_t elapsedMs = 0;     // at the round that saw the limit passed
};

// Returns at once when `results` already holds `expectedCount` entries.
// Otherwise, per round: waits on `arrived` for at most LINE_POLL_INTERVAL_MS
// (waking early once the count is reached), then checks the time limit
// (more than `limitMs` since `startMicros` on `clockMicros`) BEFORE the
// count, so a result that comes in during the round that passes the limit
// still ends the wait as a break. The clock is read outside the lock.
// REQUIRES: `mutex` guards `results`; appenders notify `arrived` after each
// append.
LineWaitOutcome WaitForLineResults(const std::vector<LineResult*>& results, std::mutex& mutex,
                                   std::condition_variable& arrived, size_t expectedCount,
                                   int64_t startMicros, int32_t limitMs, int64_t (*clockMicros)());
