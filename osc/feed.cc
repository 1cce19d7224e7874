#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "app/settings.h"
#include "calc/tarvik.h"
#include "log/log.h"
#include "osc/osc.h"
#include "osc/osc_format.h"

uint16_t frequencyById[DEVICE_ID_COUNT] = {};
int64_t timeOriginById[DEVICE_ID_COUNT] = {};
int64_t recordPosition = static_cast<int64_t>(osc::START_OFFSET);

std::vector<std::string>* RawLinesById() {
  static auto* lines = new std::vector<std::string>[DEVICE_ID_COUNT];
  return lines;
}

namespace {

constexpr uint16_t THERMISTOR_MAX_READING = 1023;  // 10-bit converter

SampleSink sampleSink = Tarvik_PushSideData;

// NTC thermistor, beta 3950, 10 kOhm at 25 degC, read through a divider by
// the 10-bit converter. Every step is rounded to float: the temperatures the
// library receives and the dumps show depend on that rounding, digit for
// digit. Readings 0 and 1023 reach -273.15 through IEEE infinities.
float BetaEquationCelsius(uint16_t reading) {
  float r = static_cast<float>(1023.0 / reading - 1.0);
  float resistance = static_cast<float>(10000.0 / r);
  float x = static_cast<float>(resistance / 10000.0);
  float l = std::log(x);  // single precision
  float y = static_cast<float>(l / 3950.0);
  y = static_cast<float>(y + 0.0033540164346805303);  // 1 / 298.15 K
  float kelvin = static_cast<float>(1.0 / y);
  return static_cast<float>(kelvin - 273.15);
}

// Built at first use so that the per-record path does no logarithm. The
// last entry serves every reading above the converter's range: the equation
// gives each of them the same NaN (a logarithm of a negative ratio), and the
// raw dump prints that NaN as it comes out of the equation.
const std::array<float, THERMISTOR_MAX_READING + 2>& CelsiusTable() {
  static const auto table = [] {
    std::array<float, THERMISTOR_MAX_READING + 2> celsius{};
    for (uint16_t reading = 0; reading <= THERMISTOR_MAX_READING + 1; ++reading) {
      celsius[reading] = BetaEquationCelsius(reading);
    }
    return celsius;
  }();
  return table;
}

// "<id> <time_us> <celsius %f> <ch0> <ch1> <ch2> <ch3>". to_chars in fixed
// notation with 6 digits gives the exact digits printf's "%f" gives, several
// times faster, which matters for passages of millions of records.
template <typename... Format>
void AppendField(std::string& line, char separator, auto value, Format... format) {
  char text[64];  // the widest field, a float in fixed notation, needs 48
  auto written = std::to_chars(text, text + sizeof(text), value, format...);
  if (separator != '\0') line.push_back(separator);
  line.append(text, written.ec == std::errc() ? written.ptr : text);
}

std::string RawLine(const SideSample& sample) {
  std::string line;
  line.reserve(64);
  AppendField(line, '\0', sample.deviceId);
  AppendField(line, ' ', sample.timeUs);
  double celsius = sample.temperature;
  if (std::isnan(celsius)) {
    line += std::signbit(celsius) ? " -nan" : " nan";  // spelled as printf spells it
  } else {
    AppendField(line, ' ', celsius, std::chars_format::fixed, 6);
  }
  for (uint16_t channel : sample.channels) AppendField(line, ' ', channel);
  return line;
}

}  // namespace

float ThermistorCelsius(uint16_t reading) {
  return CelsiusTable()[std::min<uint16_t>(reading, THERMISTOR_MAX_READING + 1)];
}

void SetSampleSink(SampleSink sink) { sampleSink = sink != nullptr ? sink : Tarvik_PushSideData; }

void FeedRecord(const uint8_t* header, const uint8_t* payload, uint16_t payloadLength) {
  uint8_t deviceId = header[osc::HEADER_DEVICE_ID_AT];
  if (deviceId >= DEVICE_ID_COUNT) {
    // No per-device table has an entry for it.
    Log("device id %i out of range 0..%i, record at position %lli dropped\n", deviceId, DEVICE_ID_COUNT - 1,
        static_cast<long long>(recordPosition));
    return;
  }
  uint16_t frequencyHz = frequencyById[deviceId];
  if (frequencyHz == 0) {
    Log("freq not set for id  %i\n", deviceId);
    return;
  }

  // At most 2^32 * 10^6 us (at 1 Hz): below 2^53, so no precision is lost on
  // whole microseconds and the int64 conversions cannot overflow.
  uint32_t counter = osc::ReadU32(header + osc::HEADER_COUNTER_AT);
  double timeUs = static_cast<double>(counter) * 1000000.0 / frequencyHz;
  // A first record with counter 0 leaves the origin unset (0 means not set).
  if (timeOriginById[deviceId] == 0) timeOriginById[deviceId] = static_cast<int64_t>(timeUs);

  // Readings above 1023 are out of the converter's range: NaN, but pushed.
  uint16_t reading = osc::ReadU16(payload + osc::PAYLOAD_THERMISTOR_AT);
  float celsius = ThermistorCelsius(reading);
  if (std::isnan(celsius)) Log("error on shift %lli\n", static_cast<long long>(recordPosition));

  auto* sample = static_cast<SideSample*>(std::calloc(1, sizeof(SideSample)));
  if (sample == nullptr) {
    Log("no memory for the sample of device %i at position %lli\n", deviceId, static_cast<long long>(recordPosition));
    return;
  }
  sample->deviceId = deviceId;
  sample->timeUs = static_cast<int64_t>(timeUs - static_cast<double>(timeOriginById[deviceId]));
  sample->temperature = celsius;
  for (int channel = 0; channel < 4; ++channel) {
    sample->channels[channel] = osc::ReadU16(payload + osc::PAYLOAD_CHANNEL0_AT + 2 * channel);
  }
  // The sink owns the sample from here on: form the text line first.
  if (debugMode) RawLinesById()[deviceId].push_back(RawLine(*sample));
  sampleSink(sample);

  recordPosition += static_cast<int64_t>(osc::RECORD_HEADER_BYTES) + payloadLength;
}
