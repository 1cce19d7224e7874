// The streaming floor's loop, one definition for every bench that sets a
// figure against it: read the data records sequentially in large chunks,
// decode every field, and calloc, fill and free one 32-byte SideSample per
// record. No library work, no text.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "calc/tarvik.h"
#include "osc/osc_format.h"

namespace bench {

// Opaque to the optimiser, so that no calloc/free pair is folded away.
inline void (*volatile releaseFloorSample)(void*) = std::free;

// Streams every whole record from `file`, positioned at the first record.
// Returns the number of records; `checksum` keeps the decoding observable.
inline uint64_t StreamRecordsThroughAllocator(int file, uint64_t& checksum) {
  constexpr size_t CHUNK_BYTES = size_t{1} << 20;
  std::vector<uint8_t> buffer(CHUNK_BYTES);
  uint64_t records = 0;
  size_t held = 0;
  for (;;) {
    ssize_t got = ::read(file, buffer.data() + held, CHUNK_BYTES - held);
    if (got > 0) held += static_cast<size_t>(got);
    size_t at = 0;
    for (; held - at >= osc::RECORD_BYTES; at += osc::RECORD_BYTES) {
      const uint8_t* record = buffer.data() + at;
      const uint8_t* payload = record + osc::RECORD_HEADER_BYTES;
      auto* sample = static_cast<SideSample*>(std::calloc(1, sizeof(SideSample)));
      sample->deviceId = record[osc::HEADER_DEVICE_ID_AT];
      sample->timeUs = osc::ReadU32(record + osc::HEADER_COUNTER_AT) +
                       osc::ReadU16(record + osc::HEADER_PAYLOAD_LENGTH_AT);
      sample->temperature = osc::ReadU16(payload + osc::PAYLOAD_THERMISTOR_AT);
      for (int c = 0; c < 4; ++c) sample->channels[c] = osc::ReadU16(payload + osc::PAYLOAD_CHANNEL0_AT + 2 * c);
      checksum += static_cast<uint64_t>(sample->timeUs) + sample->channels[3] + sample->deviceId;
      releaseFloorSample(sample);
      ++records;
    }
    if (got <= 0) break;
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
  }
  return records;
}

}  // namespace bench
