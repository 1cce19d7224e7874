// Shared pieces of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes the bytes to a per-process scratch file in memory-backed /dev/shm
// (or /tmp) and returns its path; the loaders under test read files.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// Silences the log on standard error while fuzzing, unless KORVANET_FUZZ_LOG is
// set; libFuzzer and sanitizer reports still reach standard error.
void QuietStandardError();
