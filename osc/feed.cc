#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>

#include "calc/tarvik.h"
#include "config/settings.h"
#include "log/log.h"
#include "osc/osc.h"
#include "osc/osc_format.h"
#include "osc/text_memory.h"

uint16_t frequencyById[DEVICE_ID_COUNT] = {};
int64_t timeOriginById[DEVICE_ID_COUNT] = {};
int64_t recordPosition = static_cast<int64_t>(osc::START_OFFSET);

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
char* PutField(char* at, char* end, char separator, auto value, Format... format) {
  if (separator != '\0') *at++ = separator;
  auto written = std::to_chars(at, end, value, format...);
  return written.ec == std::errc() ? written.ptr : at;
}

// The temperature field is one of THERMISTOR_MAX_READING + 2 values (the
// table above), so its text is formed once per reading, not once per record.
struct CelsiusText {
  char text[24];  // with the blank before it; the table's values need at most 12
  uint8_t length;
};

CelsiusText FormatCelsius(float value) {
  CelsiusText field{};
  char* end = field.text + sizeof(field.text);
  double celsius = value;
  char* at = field.text;
  if (std::isnan(celsius)) {
    const char* nan = std::signbit(celsius) ? " -nan" : " nan";  // spelled as printf spells it
    at = std::copy(nan, nan + std::strlen(nan), at);
  } else {
    at = PutField(at, end, ' ', celsius, std::chars_format::fixed, 6);
  }
  field.length = static_cast<uint8_t>(at - field.text);
  return field;
}

const std::array<CelsiusText, THERMISTOR_MAX_READING + 2>& CelsiusTextTable() {
  static const auto table = [] {
    std::array<CelsiusText, THERMISTOR_MAX_READING + 2> texts{};
    for (uint16_t reading = 0; reading <= THERMISTOR_MAX_READING + 1; ++reading)
      texts[reading] = FormatCelsius(CelsiusTable()[reading]);
    return texts;
  }();
  return table;
}

// Writes the record's text line and its "\n" at `at`, which has room for
// RAW_LINE_MAX_BYTES; returns the end. `reading` is the table index of the
// sample's temperature.
constexpr size_t RAW_LINE_MAX_BYTES = 128;  // id 10, time 20, temperature 24, channels 4 x 6, "\n"

char* PutRawLine(char* at, const SideSample& sample, uint16_t reading) {
  char* end = at + RAW_LINE_MAX_BYTES;
  at = PutField(at, end, '\0', sample.deviceId);
  at = PutField(at, end, ' ', sample.timeUs);
  const CelsiusText& celsius = CelsiusTextTable()[reading];
  at = std::copy(celsius.text, celsius.text + celsius.length, at);
  for (uint16_t channel : sample.channels) at = PutField(at, end, ' ', channel);
  *at++ = '\n';
  return at;
}

// Raw dump text: the lines per device (what RawLinesById shows), and the
// text packed since the lists were last unpacked into, in blocks of whole
// lines that each end in "\n". Main thread only.
struct TextBlockRelease {
  void operator()(char* block) const { FreeTextBlock(block); }
};
struct PackedBlock {
  std::unique_ptr<char[], TextBlockRelease> text;
  size_t used = 0;
};

std::vector<std::string>* RawLists() {
  static auto* lines = new std::vector<std::string>[DEVICE_ID_COUNT];
  return lines;
}

std::vector<PackedBlock>* PackedRawText() {
  static auto* blocks = new std::vector<PackedBlock>[DEVICE_ID_COUNT];
  return blocks;
}

void PackRawLine(const SideSample& sample, uint16_t reading) {
  std::vector<PackedBlock>& blocks = PackedRawText()[sample.deviceId];
  if (blocks.empty() || blocks.back().used + RAW_LINE_MAX_BYTES > TEXT_BLOCK_BYTES) {
    char* block = AllocateTextBlock();
    if (block == nullptr) {
      Log("no memory for the raw dump text of device %u, record at position %lli left out of it\n",
          sample.deviceId, static_cast<long long>(recordPosition));
      return;
    }
    blocks.push_back(PackedBlock{std::unique_ptr<char[], TextBlockRelease>(block), 0});
  }
  PackedBlock& last = blocks.back();
  last.used = static_cast<size_t>(PutRawLine(last.text.get() + last.used, sample, reading) - last.text.get());
}

void UnpackRawText(int32_t deviceId) {
  std::vector<std::string>& lines = RawLists()[deviceId];
  for (const PackedBlock& block : PackedRawText()[deviceId]) {
    std::string_view text(block.text.get(), block.used);
    size_t from = 0;
    for (size_t end = text.find('\n'); end != std::string_view::npos; from = end + 1, end = text.find('\n', from))
      lines.emplace_back(text.substr(from, end - from));
  }
  PackedRawText()[deviceId].clear();
}

}  // namespace

std::vector<std::string>* RawLinesById() {
  for (int32_t deviceId = 0; deviceId < DEVICE_ID_COUNT; ++deviceId) UnpackRawText(deviceId);
  return RawLists();
}

void ResetFeeding() {
  for (int32_t id = 0; id < DEVICE_ID_COUNT; ++id) {
    frequencyById[id] = 0;
    timeOriginById[id] = 0;
    std::vector<std::string>().swap(RawLinesById()[id]);
  }
  recordPosition = static_cast<int64_t>(osc::START_OFFSET);
}

bool HasRawText(int32_t deviceId) {
  return !RawLists()[deviceId].empty() || !PackedRawText()[deviceId].empty();
}

void WriteRawText(int32_t deviceId, std::FILE* file) {
  // The list's lines gathered into large pieces: one write call per piece
  // rather than two locked stdio calls per line.
  constexpr size_t WRITE_PIECE_BYTES = size_t{1} << 20;
  std::string piece;
  for (const std::string& line : RawLists()[deviceId]) {
    if (piece.empty()) piece.reserve(WRITE_PIECE_BYTES + RAW_LINE_MAX_BYTES);
    piece += line;
    piece += '\n';
    if (piece.size() >= WRITE_PIECE_BYTES) {
      std::fwrite(piece.data(), 1, piece.size(), file);
      piece.clear();
    }
  }
  std::fwrite(piece.data(), 1, piece.size(), file);
  for (const PackedBlock& block : PackedRawText()[deviceId]) std::fwrite(block.text.get(), 1, block.used, file);
}

float ThermistorCelsius(uint16_t reading) {
  return CelsiusTable()[std::min<uint16_t>(reading, THERMISTOR_MAX_READING + 1)];
}

void SetSampleSink(SampleSink sink) { sampleSink = sink != nullptr ? sink : Tarvik_PushSideData; }

namespace {

// What stays the same over a run of records, read once for the run.
struct FeedContext {
  const std::array<float, THERMISTOR_MAX_READING + 2>& celsius = CelsiusTable();
  SampleSink sink = sampleSink;
  bool debug = debugMode;
};

// FeedRecord's work, inline in both of its callers: a passage has millions
// of records, and a call for each costs the loading about 4 % of its time.
inline __attribute__((always_inline)) void FeedOne(const FeedContext& context, const uint8_t* header,
                                                   const uint8_t* payload, uint16_t payloadLength) {
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
  uint16_t reading = std::min<uint16_t>(osc::ReadU16(payload + osc::PAYLOAD_THERMISTOR_AT), THERMISTOR_MAX_READING + 1);
  float celsius = context.celsius[reading];
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
  if (context.debug) PackRawLine(*sample, reading);
  context.sink(sample);

  recordPosition += static_cast<int64_t>(osc::RECORD_HEADER_BYTES) + payloadLength;
}

}  // namespace

void FeedRecord(const uint8_t* header, const uint8_t* payload, uint16_t payloadLength) {
  FeedOne(FeedContext{}, header, payload, payloadLength);
}

void FeedRecords(const uint8_t* records, size_t count) {
  const FeedContext context;
  for (const uint8_t* end = records + count * osc::RECORD_BYTES; records != end; records += osc::RECORD_BYTES)
    FeedOne(context, records, records + osc::RECORD_HEADER_BYTES, osc::RECORD_PAYLOAD_BYTES);
}
