// Clocks and local time, in one place for the whole program.
#pragma once

#include <cstdint>
#include <string>

// System clock, microseconds since the epoch.
int64_t SystemClockMicros();

// Elapsed milliseconds between two SystemClockMicros readings, truncated.
inline int32_t ElapsedMs(int64_t startMicros, int64_t endMicros) {
  return static_cast<int32_t>((endMicros - startMicros) / 1000);
}

// The local time of this moment formatted with strftime(format) in the
// classic locale, into a 21-byte buffer as the log lines need.
std::string LocalTimeText(const char* format);

// Sleeps the calling thread.
void SleepMs(int milliseconds);
