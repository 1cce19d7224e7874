// The result document: one compact JSON text per TrainResult, keys in a
// fixed order, no whitespace. Its exact bytes are part of the interface with
// the master, key order and number formats included.
#include "result/result.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstdint>

namespace {

using JsonWriter = rapidjson::Writer<rapidjson::StringBuffer>;

// Speeds are cut (not rounded) after the second decimal place by the writer.
constexpr int SPEED_DECIMAL_PLACES = 2;

// The merged sums are unsigned; the document carries their signed 32-bit
// reading, as the master has always received it.
void WriteInteger(JsonWriter& writer, uint32_t value) { writer.Int(static_cast<int32_t>(value)); }

void WriteIntegerList(JsonWriter& writer, const std::vector<int32_t>& values) {
  writer.StartArray();
  for (int32_t value : values) writer.Int(value);
  writer.EndArray();
}

// JSON has no NaN or infinity, and the writer refuses them, leaving its buffer
// in the middle of a value. The master expects a number for every axle, and
// 0.0 is what it already receives for an axle where no speed was measured, so
// a speed that is not a finite number is written as 0.0 and the rest of the
// document stays valid.
double SpeedForDocument(float speed) { return std::isfinite(speed) ? static_cast<double>(speed) : 0.0; }

// The type text is read as a C string: it ends at its first zero byte.
void WriteTypeText(JsonWriter& writer, const std::string& type) {
  size_t length = type.find('\0');
  if (length == std::string::npos) length = type.size();
  writer.String(type.data(), static_cast<rapidjson::SizeType>(length));
}

void WriteWheel(JsonWriter& writer, const WheelResult& wheel, bool wideInfo) {
  writer.StartObject();
  writer.Key("weight");
  WriteInteger(writer, wheel.weight);
  writer.Key("condition");
  WriteInteger(writer, wheel.condition);
  if (wideInfo) {
    writer.Key("strength");
    WriteIntegerList(writer, wheel.strength);
    writer.Key("ids");
    WriteIntegerList(writer, wheel.ids);
  }
  writer.EndObject();
}

void WriteAxle(JsonWriter& writer, const AxisResult& axle, bool wideInfo) {
  writer.StartObject();
  writer.Key("speed");
  writer.Double(SpeedForDocument(axle.speed));
  writer.Key("wheels");
  writer.StartArray();
  for (const WheelResult& wheel : axle.wheels) WriteWheel(writer, wheel, wideInfo);
  writer.EndArray();
  writer.EndObject();
}

void WriteCarriage(JsonWriter& writer, const CarriageResult& carriage, bool wideInfo) {
  writer.StartObject();
  writer.Key("full_weight");
  WriteInteger(writer, carriage.full_weight);
  writer.Key("loco");
  writer.StartObject();
  writer.Key("flag");
  writer.Bool(carriage.loco.flag);
  writer.Key("type");
  WriteTypeText(writer, carriage.loco.type);
  writer.EndObject();
  writer.Key("axis");
  writer.StartArray();
  for (const AxisResult& axle : carriage.axis) WriteAxle(writer, axle, wideInfo);
  writer.EndArray();
  writer.EndObject();
}

}  // namespace

std::string BuildResultDocument(TrainResult result, bool escape_quotes, bool wide_info) {
  rapidjson::StringBuffer buffer;
  JsonWriter writer(buffer);
  writer.SetMaxDecimalPlaces(SPEED_DECIMAL_PLACES);
  writer.StartObject();
  writer.Key("total_weight");
  WriteInteger(writer, result.total_weight);
  writer.Key("correct");
  writer.Bool(result.correct);
  writer.Key("carriages");
  writer.StartArray();
  for (const CarriageResult& carriage : result.carriages) WriteCarriage(writer, carriage, wide_info);
  writer.EndArray();
  writer.EndObject();

  std::string document(buffer.GetString(), buffer.GetSize());
  // The escaped text stands inside a JSON string of the result messages.
  // No other character changes; backslashes are not doubled, which is the
  // form the master has always received.
  if (escape_quotes) ReplaceAll(document, "\"", "\\\"");
  return document;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // nothing to find; searching would never advance
  size_t found = text.find(from);
  if (found == std::string::npos) return;
  // Built into a fresh string so that a document full of quotes costs one
  // pass, not one move of the tail per quote.
  std::string replaced;
  replaced.reserve(text.size() + text.size() / 4);
  size_t start = 0;
  while (found != std::string::npos) {
    replaced.append(text, start, found - start);
    replaced.append(to);
    start = found + from.size();
    found = text.find(from, start);
  }
  replaced.append(text, start, std::string::npos);
  text.swap(replaced);
}
