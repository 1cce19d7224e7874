// Shared pieces of the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes the bytes to a per-process scratch file in /dev/shm (or /tmp), for
// the loaders that read files, and returns its path.
std::string WriteScratchFile(const char* name, const uint8_t* data, size_t size);

// Points the stdio stream the program logs through at /dev/null, unless
// KORVANET_FUZZ_LOG is set. Descriptor 2 stays as it is, so libFuzzer's and
// the sanitizers' reports still reach the log.
void QuietStandardError();
