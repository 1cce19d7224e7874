// The result document: one compact JSON text per TrainResult, keys in a
// fixed order, no whitespace. Its exact bytes are part of the interface with
// the master, key order and number formats included.
#include "result/result.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>

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

// Room for the whole text up front: a long train's document is large enough
// that growing the buffer step by step costs more than writing it.
size_t EstimatedDocumentBytes(const TrainResult& result, bool wideInfo) {
  size_t bytes = 64;
  for (const CarriageResult& carriage : result.carriages) {
    bytes += 64 + carriage.loco.type.size() * 6;
    for (const AxisResult& axle : carriage.axis) {
      bytes += 40;
      for (const WheelResult& wheel : axle.wheels) {
        bytes += 48;
        if (wideInfo) bytes += 32 + 12 * (wheel.strength.size() + wheel.ids.size());
      }
    }
  }
  return bytes;
}

// Appends `text` to `out` with every occurrence of `from` (not empty)
// replaced by `to`, left to right. The search goes on behind each inserted
// replacement, so replaced text is never searched again.
void AppendReplacing(std::string& out, std::string_view text, std::string_view from, std::string_view to) {
  size_t start = 0;
  for (size_t found = text.find(from); found != std::string_view::npos; found = text.find(from, start)) {
    out.append(text.substr(start, found - start));
    out.append(to);
    start = found + from.size();
  }
  out.append(text.substr(start));
}

}  // namespace

std::string BuildResultDocument(TrainResult result, bool escape_quotes, bool wide_info) {
  rapidjson::StringBuffer buffer(nullptr, EstimatedDocumentBytes(result, wide_info));
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

  std::string_view written(buffer.GetString(), buffer.GetSize());
  if (!escape_quotes) return std::string(written);
  // The escaped text stands inside a JSON string of the result messages.
  // No other character changes; backslashes are not doubled, which is the
  // form the master has always received. Escaped straight from the writer's
  // buffer, so a long document is copied once.
  std::string document;
  document.reserve(written.size() + static_cast<size_t>(std::count(written.begin(), written.end(), '"')));
  AppendReplacing(document, written, "\"", "\\\"");
  return document;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // nothing to find; searching would never advance
  if (text.find(from) == std::string::npos) return;
  // Built into a fresh string so that a text full of matches costs one pass,
  // not one move of the tail per match.
  std::string replaced;
  replaced.reserve(text.size() + text.size() / 4);
  AppendReplacing(replaced, text, from, to);
  text.swap(replaced);
}
