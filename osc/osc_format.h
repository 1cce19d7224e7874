// The oscillogram file layout: a 21504-byte carriage table of 1024 entries,
// then 19-byte data records of all devices, interleaved, to the end of the
// file. Little-endian, no padding. Fields are decoded with explicit shifts,
// never by casting the bytes to a struct.
#pragma once

#include <cstddef>
#include <cstdint>

namespace osc {

constexpr size_t CARRIAGE_TABLE_ENTRIES = 1024;
constexpr size_t CARRIAGE_ENTRY_BYTES = 21;
constexpr size_t START_OFFSET = CARRIAGE_TABLE_ENTRIES * CARRIAGE_ENTRY_BYTES;  // 21504

// CarriageEntry
constexpr size_t CARRIAGE_NUMBER_AT = 0;   // 1 byte
constexpr size_t CARRIAGE_OFFSET_AT = 1;   // 8 bytes; 0 marks an unused entry
constexpr size_t CARRIAGE_TIME_AT = 9;     // 4 bytes, signed

// OscRecord: 7-byte header, then the payload.
constexpr size_t RECORD_HEADER_BYTES = 7;
constexpr size_t RECORD_PAYLOAD_BYTES = 12;
constexpr size_t RECORD_BYTES = RECORD_HEADER_BYTES + RECORD_PAYLOAD_BYTES;  // 19: the read window
constexpr size_t HEADER_DEVICE_ID_AT = 0;       // 1 byte
constexpr size_t HEADER_PAYLOAD_LENGTH_AT = 1;  // 2 bytes
constexpr size_t HEADER_COUNTER_AT = 3;         // 4 bytes, sample counter
// Offsets within the payload.
constexpr size_t PAYLOAD_THERMISTOR_AT = 1;     // 2 bytes, 10-bit reading
constexpr size_t PAYLOAD_CHANNEL0_AT = 3;       // 4 x 2 bytes, channels 0..3

inline uint16_t ReadU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ReadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadU64(const uint8_t* p) {
  return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}

}  // namespace osc
