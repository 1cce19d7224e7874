#include "tests/support/osc_writer.h"

#include "osc/osc_format.h"

namespace {

void PutLE(std::string& bytes, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace

std::string BuildOscillogram(const std::vector<CarriageSpec>& carriages, const std::vector<RecordSpec>& records) {
  std::string bytes(osc::START_OFFSET + records.size() * osc::RECORD_BYTES, '\0');
  for (size_t i = 0; i < carriages.size() && i < osc::CARRIAGE_TABLE_ENTRIES; ++i) {
    size_t at = i * osc::CARRIAGE_ENTRY_BYTES;
    PutLE(bytes, at + osc::CARRIAGE_NUMBER_AT, carriages[i].number, 1);
    PutLE(bytes, at + osc::CARRIAGE_OFFSET_AT, carriages[i].offset, 8);
    PutLE(bytes, at + osc::CARRIAGE_TIME_AT, static_cast<uint32_t>(carriages[i].time), 4);
  }
  for (size_t r = 0; r < records.size(); ++r) {
    const RecordSpec& record = records[r];
    size_t at = osc::START_OFFSET + r * osc::RECORD_BYTES;
    PutLE(bytes, at + osc::HEADER_DEVICE_ID_AT, record.deviceId, 1);
    PutLE(bytes, at + osc::HEADER_PAYLOAD_LENGTH_AT, record.payloadLength, 2);
    PutLE(bytes, at + osc::HEADER_COUNTER_AT, record.counter, 4);
    size_t payload = at + osc::RECORD_HEADER_BYTES;
    PutLE(bytes, payload + osc::PAYLOAD_THERMISTOR_AT, record.thermistor, 2);
    for (int c = 0; c < 4; ++c) PutLE(bytes, payload + osc::PAYLOAD_CHANNEL0_AT + 2 * c, record.channels[c], 2);
  }
  return bytes;
}
