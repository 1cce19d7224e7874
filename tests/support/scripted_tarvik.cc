// A calculation library for tests, built as scripted/libtarvik.so so that a
// test can put it in front of the real one through LD_LIBRARY_PATH. It
// records every call it receives and answers Tarvik_Compute as scripted.
//
// TARVIK_RECORD: a file to which every call is appended as one line, flushed
// at once so that the record survives however the process ends:
//   SetOnLog | Init | InitDevice <id> coeff=<c,..> vel=<v,..> (each "%.17g")
//   | InitLine <line> <odd> <even> | Compute <line>
//   | Push <id> <time> <temperature %f> <c0> <c1> <c2> <c3> [reserved=<hex>]
//     (the reserved bytes only when they are not all zero)
// TARVIK_SCRIPT: a JSON file read at Tarvik_Init:
//   {"<line>": {"delay_ms": 20, "result": RESULT}, ...}
//   RESULT is null (a null pointer is returned) or
//   {"line": 1, "correct": true, "total_weight": 100, "carriages": [{"full_weight": 50,
//    "loco": {"flag": true, "type": "TE"}, "axis": [{"speed": 12.5, "wheels": [
//    {"weight": 25, "condition": 0.5, "strength": [1], "ids": [3]}]}]}]}
//   Every key may be left out. "speed" and "condition" also take "nan", "inf"
//   and "-inf"; "correct" and "flag" also take an integer, stored as the
//   field's byte. A line without an entry answers at once with an empty
//   record of that line.
// Every pushed sample is freed. Tarvik_Compute logs one line through the
// callback from its line thread. The state is never destroyed, so a line
// thread still sleeping at the process's end finds it intact.
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <rapidjson/document.h>

#include "calc/tarvik.h"
#include "tests/support/temp_dir.h"

#define TARVIK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct State {
  std::mutex lock;  // guards record
  std::FILE* record = std::getenv("TARVIK_RECORD") ? std::fopen(std::getenv("TARVIK_RECORD"), "a") : nullptr;
  TarvikLogCallback log = nullptr;
  rapidjson::Document script;  // written at Tarvik_Init, then only read
};
State& state = *new State();

void Record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Record(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  std::lock_guard<std::mutex> guard(state.lock);
  if (state.record == nullptr) return;
  std::fprintf(state.record, "%s\n", line);
  std::fflush(state.record);
}

std::string Join(const std::vector<double>& values) {
  std::string text;
  for (double value : values) {
    char number[32];
    std::snprintf(number, sizeof number, "%s%.17g", text.empty() ? "" : ",", value);
    text += number;
  }
  return text;
}

const rapidjson::Value* Member(const rapidjson::Value& object, const char* key) {
  if (!object.IsObject()) return nullptr;
  auto member = object.FindMember(key);
  return member == object.MemberEnd() ? nullptr : &member->value;
}

double Real(const rapidjson::Value& object, const char* key) {
  const rapidjson::Value* value = Member(object, key);
  if (value == nullptr) return 0;
  if (value->IsNumber()) return value->GetDouble();
  std::string text = value->IsString() ? value->GetString() : "";
  return text == "nan" ? NAN : text == "inf" ? INFINITY : text == "-inf" ? -INFINITY : 0;
}

int64_t Int(const rapidjson::Value& object, const char* key, int64_t otherwise = 0) {
  const rapidjson::Value* value = Member(object, key);
  return value != nullptr && value->IsInt64() ? value->GetInt64() : otherwise;
}

// A boolean field's byte, so that a test can hand over one that is neither 0 nor 1.
void Flag(const rapidjson::Value& object, const char* key, bool* into) {
  const rapidjson::Value* value = Member(object, key);
  uint8_t byte = value == nullptr ? 0 : value->IsBool() ? value->GetBool() : static_cast<uint8_t>(Int(object, key));
  std::memcpy(into, &byte, 1);
}

template <typename Each>
void ForEach(const rapidjson::Value& object, const char* key, Each each) {
  const rapidjson::Value* list = Member(object, key);
  if (list != nullptr && list->IsArray())
    for (const rapidjson::Value& element : list->GetArray()) each(element);
}

LineResult* Build(const rapidjson::Value& script, int32_t lineId) {
  auto* result = new LineResult();
  result->line = static_cast<uint16_t>(Int(script, "line", lineId));
  Flag(script, "correct", &result->correct);
  result->total_weight = static_cast<int32_t>(Int(script, "total_weight"));
  ForEach(script, "carriages", [&](const rapidjson::Value& c) {
    auto* carriage = new LineCarriage();
    carriage->full_weight = static_cast<int32_t>(Int(c, "full_weight"));
    if (const rapidjson::Value* loco = Member(c, "loco")) {
      Flag(*loco, "flag", &carriage->loco.flag);
      if (const rapidjson::Value* type = Member(*loco, "type"); type && type->IsString())
        carriage->loco.type.assign(type->GetString(), type->GetStringLength());
    }
    ForEach(c, "axis", [&](const rapidjson::Value& a) {
      auto* axle = new LineAxis();
      axle->speed = Real(a, "speed");
      ForEach(a, "wheels", [&](const rapidjson::Value& w) {
        auto* wheel = new LineWheel();
        wheel->weight = static_cast<int32_t>(Int(w, "weight"));
        wheel->condition = static_cast<float>(Real(w, "condition"));
        ForEach(w, "strength", [&](const rapidjson::Value& v) { wheel->strength.push_back(v.GetInt()); });
        ForEach(w, "ids", [&](const rapidjson::Value& v) { wheel->ids.push_back(v.GetInt()); });
        axle->wheels.push_back(wheel);
      });
      carriage->axis.push_back(axle);
    });
    result->carriages.push_back(carriage);
  });
  return result;
}

}  // namespace

TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback callback) {
  state.log = callback;
  Record("SetOnLog");
}

TARVIK_EXPORT void Tarvik_Init() {
  Record("Init");
  const char* path = std::getenv("TARVIK_SCRIPT");
  if (path) state.script.Parse(ReadFileText(path).c_str());
}

TARVIK_EXPORT void Tarvik_InitDevice(int32_t deviceId, std::vector<double> coeff, std::vector<double> velCoeff) {
  Record("InitDevice %d coeff=%s vel=%s", deviceId, Join(coeff).c_str(), Join(velCoeff).c_str());
}

TARVIK_EXPORT void Tarvik_InitLine(int32_t lineId, int32_t oddDeviceId, int32_t evenDeviceId) {
  Record("InitLine %d %d %d", lineId, oddDeviceId, evenDeviceId);
}

TARVIK_EXPORT void Tarvik_PushSideData(SideSample* sample) {
  const uint8_t* r = sample->reserved;
  char reserved[32] = "";
  if (std::memcmp(r, "\0\0\0\0\0\0\0\0", 8) != 0)
    std::snprintf(reserved, sizeof reserved, " reserved=%02x%02x%02x%02x%02x%02x%02x%02x", r[0], r[1], r[2], r[3],
                  r[4], r[5], r[6], r[7]);
  Record("Push %u %lld %f %u %u %u %u%s", sample->deviceId, static_cast<long long>(sample->timeUs),
         static_cast<double>(sample->temperature), sample->channels[0], sample->channels[1], sample->channels[2],
         sample->channels[3], reserved);
  std::free(sample);
}

TARVIK_EXPORT LineResult* Tarvik_Compute(int32_t lineId) {
  Record("Compute %d", lineId);
  if (state.log) state.log("Scripted library computes line %i\n", lineId);
  const rapidjson::Value* entry = Member(state.script, std::to_string(lineId).c_str());
  if (entry == nullptr) return Build(rapidjson::Value(rapidjson::kObjectType), lineId);
  std::this_thread::sleep_for(std::chrono::milliseconds(Int(*entry, "delay_ms")));
  const rapidjson::Value* result = Member(*entry, "result");
  return result != nullptr && result->IsNull() ? nullptr : Build(result ? *result : *entry, lineId);
}
