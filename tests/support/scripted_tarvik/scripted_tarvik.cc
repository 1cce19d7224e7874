// A calculation library for tests: it records every call it receives and
// answers Tarvik_Compute with the result and delay that a test scripted.
//
// Controlled by two environment variables, read on the first call:
// - TARVIK_RECORD: a text file to which every call is appended as one line
//   (flushed at once, so the record survives however the process ends):
//     SetOnLog
//     Init
//     InitDevice <id> coeff=<c1,c2,..> vel=<v1,v2,..>   (each "%.17g")
//     InitLine <line> <odd> <even>
//     Push <id> <time> <temperature %f> <c0> <c1> <c2> <c3>
//       followed by " reserved=<hex bytes>" only when the reserved bytes are
//       not all zero
//     Compute <line>
//     RefuseThreadStart <n>   (see "refused_thread_starts" below)
// - TARVIK_SCRIPT: a JSON file, parsed at Tarvik_Init:
//     {"lines": [{"line": 1, "delay_ms": 20, "result": RESULT}, ...],
//      "default": {"delay_ms": 0, "result": RESULT}}
//   RESULT is null (Tarvik_Compute returns a null pointer) or
//     {"line": 1, "correct": true, "total_weight": 100,
//      "carriages": [{"full_weight": 50, "loco": {"flag": true, "type": "TE"},
//        "axis": [{"speed": 12.5, "wheels": [{"weight": 25, "condition": 0.5,
//                  "strength": [1, 2], "ids": [3, 4]}]}]}]}
//   Every key is optional; a line entry without "delay_ms" answers at once,
//   one without "result" gets {"line": <id>, "correct": false}. "speed" and
//   "condition" also take the strings "nan", "inf" and "-inf"; "correct" and
//   "flag" also take an integer, whose byte is stored as it is. A line with
//   no entry uses "default" and, without one, answers at once with the empty
//   record. Every call builds a fresh record; "line" defaults to the line id.
//   "refused_thread_starts": [n, ...] makes the n-th thread start of the
//   process after Tarvik_Init (counting from 1) fail with EAGAIN, as when the
//   system has no threads left: the library stands in for pthread_create.
//   (Not where a sanitizer runtime in the program intercepts it first; the
//   missing RefuseThreadStart record tells.)
//
// Every pushed sample is freed. Tarvik_Compute logs one line through the log
// callback, from the calling line thread, and may run for several lines at
// once. The library's own state is never destroyed, so a line thread that is
// still sleeping when the process exits finds it intact.
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/filereadstream.h>

#include "calc/tarvik.h"

#define TARVIK_EXPORT __attribute__((visibility("default")))

namespace {

struct ScriptedState {
  std::mutex recordMutex;  // guards record
  FILE* record = nullptr;
  TarvikLogCallback log = nullptr;
  // Parsed at Tarvik_Init on the main thread; line threads only read it.
  rapidjson::Document script;
  std::vector<int> refusedThreadStarts;
  std::atomic<int> threadStartsSinceInit{0};
  std::atomic<bool> initialised{false};
};

ScriptedState& State() {
  static ScriptedState* state = [] {
    auto* created = new ScriptedState();
    if (const char* path = std::getenv("TARVIK_RECORD")) created->record = std::fopen(path, "a");
    return created;
  }();
  return *state;
}

void Record(const std::string& line) {
  ScriptedState& state = State();
  std::lock_guard<std::mutex> guard(state.recordMutex);
  if (state.record == nullptr) return;
  std::fputs(line.c_str(), state.record);
  std::fputc('\n', state.record);
  std::fflush(state.record);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string JoinDoubles(const std::vector<double>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) text += ',';
    text += Format("%.17g", values[i]);
  }
  return text;
}

// The script's reading of a real number: a JSON number or "nan"/"inf"/"-inf".
double ReadReal(const rapidjson::Value& object, const char* key) {
  auto member = object.FindMember(key);
  if (member == object.MemberEnd()) return 0;
  const rapidjson::Value& value = member->value;
  if (value.IsNumber()) return value.GetDouble();
  if (value.IsString()) {
    std::string text = value.GetString();
    if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (text == "inf") return std::numeric_limits<double>::infinity();
    if (text == "-inf") return -std::numeric_limits<double>::infinity();
  }
  return 0;
}

int64_t ReadInt(const rapidjson::Value& object, const char* key) {
  auto member = object.FindMember(key);
  return member != object.MemberEnd() && member->value.IsInt64() ? member->value.GetInt64() : 0;
}

// A boolean field's byte: true/false, or an integer stored as it is so tests
// can hand the program a flag that is neither 0 nor 1.
void ReadFlag(const rapidjson::Value& object, const char* key, bool* into) {
  uint8_t byte = 0;
  auto member = object.FindMember(key);
  if (member != object.MemberEnd()) {
    if (member->value.IsBool()) byte = member->value.GetBool() ? 1 : 0;
    if (member->value.IsInt()) byte = static_cast<uint8_t>(member->value.GetInt());
  }
  std::memcpy(into, &byte, 1);
}

std::vector<int32_t> ReadInts(const rapidjson::Value& object, const char* key) {
  std::vector<int32_t> values;
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsArray()) return values;
  for (const rapidjson::Value& value : member->value.GetArray())
    values.push_back(value.IsInt() ? value.GetInt() : 0);
  return values;
}

// The elements of an array member that are objects.
std::vector<const rapidjson::Value*> ReadObjects(const rapidjson::Value& object, const char* key) {
  std::vector<const rapidjson::Value*> objects;
  auto member = object.FindMember(key);
  if (member == object.MemberEnd() || !member->value.IsArray()) return objects;
  for (const rapidjson::Value& value : member->value.GetArray())
    if (value.IsObject()) objects.push_back(&value);
  return objects;
}

LineResult* BuildResult(const rapidjson::Value& script, int32_t lineId) {
  auto* result = new LineResult();
  result->line = static_cast<uint16_t>(script.HasMember("line") ? ReadInt(script, "line") : lineId);
  ReadFlag(script, "correct", &result->correct);
  result->total_weight = static_cast<int32_t>(ReadInt(script, "total_weight"));
  for (const rapidjson::Value* carriageScript : ReadObjects(script, "carriages")) {
    auto* carriage = new LineCarriage();
    carriage->full_weight = static_cast<int32_t>(ReadInt(*carriageScript, "full_weight"));
    auto loco = carriageScript->FindMember("loco");
    if (loco != carriageScript->MemberEnd() && loco->value.IsObject()) {
      ReadFlag(loco->value, "flag", &carriage->loco.flag);
      auto type = loco->value.FindMember("type");
      if (type != loco->value.MemberEnd() && type->value.IsString())
        carriage->loco.type.assign(type->value.GetString(), type->value.GetStringLength());
    }
    for (const rapidjson::Value* axisScript : ReadObjects(*carriageScript, "axis")) {
      auto* axis = new LineAxis();
      axis->speed = ReadReal(*axisScript, "speed");
      for (const rapidjson::Value* wheelScript : ReadObjects(*axisScript, "wheels")) {
        auto* wheel = new LineWheel();
        wheel->weight = static_cast<int32_t>(ReadInt(*wheelScript, "weight"));
        wheel->condition = static_cast<float>(ReadReal(*wheelScript, "condition"));
        wheel->strength = ReadInts(*wheelScript, "strength");
        wheel->ids = ReadInts(*wheelScript, "ids");
        axis->wheels.push_back(wheel);
      }
      carriage->axis.push_back(axis);
    }
    result->carriages.push_back(carriage);
  }
  return result;
}

// The script entry for a line: its own, else "default", else none.
const rapidjson::Value* FindLineScript(const rapidjson::Document& script, int32_t lineId) {
  if (!script.IsObject()) return nullptr;
  for (const rapidjson::Value* entry : ReadObjects(script, "lines"))
    if (entry->HasMember("line") && ReadInt(*entry, "line") == lineId) return entry;
  auto fallback = script.FindMember("default");
  return fallback != script.MemberEnd() && fallback->value.IsObject() ? &fallback->value : nullptr;
}

// A fresh record per call, so no two lines ever share one.
LineResult* ResultFor(const rapidjson::Value* entry, int32_t lineId) {
  if (entry != nullptr) {
    auto result = entry->FindMember("result");
    if (result != entry->MemberEnd() && result->value.IsNull()) return nullptr;
    if (result != entry->MemberEnd() && result->value.IsObject()) return BuildResult(result->value, lineId);
  }
  auto* empty = new LineResult();
  empty->line = static_cast<uint16_t>(lineId);
  return empty;
}

void ScriptProblem(const std::string& problem) {
  Record("ScriptError " + problem);
  if (State().log) State().log("Scripted library: %s\n", problem.c_str());
}

void LoadScript(const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return ScriptProblem(Format("cannot open script %s", path));
  char buffer[65536];
  rapidjson::FileReadStream stream(file, buffer, sizeof buffer);
  rapidjson::Document script;
  script.ParseStream(stream);
  std::fclose(file);
  if (script.HasParseError() || !script.IsObject())
    return ScriptProblem(Format("script %s is not a JSON object: %s", path,
                                rapidjson::GetParseError_En(script.GetParseError())));
  ScriptedState& state = State();
  state.refusedThreadStarts = std::vector<int>();
  auto refused = script.FindMember("refused_thread_starts");
  if (refused != script.MemberEnd() && refused->value.IsArray())
    for (const rapidjson::Value& start : refused->value.GetArray())
      if (start.IsInt()) state.refusedThreadStarts.push_back(start.GetInt());
  state.script.Swap(script);
}

}  // namespace

extern "C" {

TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback callback) {
  State().log = callback;
  Record("SetOnLog");
}

TARVIK_EXPORT void Tarvik_Init() {
  Record("Init");
  if (const char* path = std::getenv("TARVIK_SCRIPT")) LoadScript(path);
  State().initialised = true;
}

TARVIK_EXPORT void Tarvik_InitDevice(int32_t deviceId, std::vector<double> coeff, std::vector<double> velCoeff) {
  Record(Format("InitDevice %d coeff=", deviceId) + JoinDoubles(coeff) + " vel=" + JoinDoubles(velCoeff));
}

TARVIK_EXPORT void Tarvik_InitLine(int32_t lineId, int32_t oddDeviceId, int32_t evenDeviceId) {
  Record(Format("InitLine %d %d %d", lineId, oddDeviceId, evenDeviceId));
}

TARVIK_EXPORT void Tarvik_PushSideData(SideSample* sample) {
  std::string line = Format("Push %u %lld %f %u %u %u %u", sample->deviceId, static_cast<long long>(sample->timeUs),
                            static_cast<double>(sample->temperature), sample->channels[0], sample->channels[1],
                            sample->channels[2], sample->channels[3]);
  static const uint8_t zero[sizeof sample->reserved] = {};
  if (std::memcmp(sample->reserved, zero, sizeof zero) != 0) {
    line += " reserved=";
    for (uint8_t byte : sample->reserved) line += Format("%02x", byte);
  }
  Record(line);
  std::free(sample);
}

TARVIK_EXPORT LineResult* Tarvik_Compute(int32_t lineId) {
  Record(Format("Compute %d", lineId));
  ScriptedState& state = State();
  if (state.log) state.log("Scripted library computes line %i\n", lineId);
  const rapidjson::Value* entry = FindLineScript(state.script, lineId);
  int64_t delayMs = entry != nullptr ? ReadInt(*entry, "delay_ms") : 0;
  if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
  return ResultFor(entry, lineId);
}
}

// Stands in for the C library's pthread_create in a program that loads this
// library (it comes before the C library in the lookup order), to refuse the
// thread starts the script names.
extern "C" TARVIK_EXPORT int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                                            void* (*body)(void*), void* argument) noexcept {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static Create create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  ScriptedState& state = State();
  if (state.initialised) {
    int start = ++state.threadStartsSinceInit;
    for (int refused : state.refusedThreadStarts) {
      if (refused != start) continue;
      Record(Format("RefuseThreadStart %d", start));
      return EAGAIN;
    }
  }
  return create(thread, attributes, body, argument);
}
