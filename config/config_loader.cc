// LoadConfig: the installation's JSON configuration into *conf.
//
// Items the installation can live without are skipped with their message.
// A value that would make the weighing wrong or the tables overflow (a
// required key missing or of the wrong type, a port outside the device id
// range, a non-finite coefficient, text that is not JSON) refuses the whole
// file, so the run stops with a log line naming the cause instead of weighing
// with a half-read installation.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/filereadstream.h>

#include "config/config.h"
#include "log/log.h"

ScalesConfig* conf = new ScalesConfig();

std::vector<uint16_t>& UsedPorts() {
  static auto* ports = new std::vector<uint16_t>();
  return *ports;
}

namespace {

using rapidjson::Value;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Where a required value was looked for, for the refusal message.
struct Place {
  int lineIndex;
  const char* side;   // nullptr at line level
  int sensorIndex;    // -1 outside a sensor
};

void LogMissing(const Place& place, const char* key, const char* expected) {
  if (place.side == nullptr)
    Log("Line %i: \"%s\" is missing or not %s\n", place.lineIndex, key, expected);
  else if (place.sensorIndex < 0)
    Log("Line %i %s device: \"%s\" is missing or not %s\n", place.lineIndex, place.side, key, expected);
  else
    Log("Line %i %s device sensor %i: \"%s\" is missing or not %s\n", place.lineIndex, place.side,
        place.sensorIndex, key, expected);
}

// The first occurrence of `key` counts, as RapidJSON's FindMember gives it.
const Value* Member(const Value& object, const char* key) {
  auto it = object.FindMember(key);
  return it == object.MemberEnd() ? nullptr : &it->value;
}

bool ReadInt(const Value& object, const char* key, const Place& place, int32_t& out) {
  const Value* value = Member(object, key);
  if (value == nullptr || !value->IsInt()) {
    LogMissing(place, key, "an integer");
    return false;
  }
  out = value->GetInt();
  return true;
}

bool ReadBool(const Value& object, const char* key, const Place& place, bool& out) {
  const Value* value = Member(object, key);
  if (value == nullptr || !value->IsBool()) {
    LogMissing(place, key, "a boolean");
    return false;
  }
  out = value->GetBool();
  return true;
}

bool ReadFloat(const Value& object, const char* key, const Place& place, float& out) {
  const Value* value = Member(object, key);
  if (value == nullptr || !value->IsNumber() || !std::isfinite(static_cast<float>(value->GetDouble()))) {
    LogMissing(place, key, "a number within float range");
    return false;
  }
  out = static_cast<float>(value->GetDouble());
  return true;
}

// An absent key or null gives an empty text; any other non-string refuses.
bool ReadOptionalText(const Value& object, const char* key, const Place& place, std::string& out) {
  const Value* value = Member(object, key);
  if (value == nullptr || value->IsNull()) return true;
  if (!value->IsString()) {
    LogMissing(place, key, "a string or null");
    return false;
  }
  out.assign(value->GetString(), value->GetStringLength());
  return true;
}

bool ReadSensors(const Value& device, const Place& devicePlace, std::vector<SensorConfig>& sensors) {
  const Value* list = Member(device, "sensors");
  if (list == nullptr || !list->IsArray()) {
    Log("sensors in device %i is not array\n", devicePlace.lineIndex);
    return true;
  }
  int index = 0;
  for (const Value& element : list->GetArray()) {
    Place place{devicePlace.lineIndex, devicePlace.side, index++};
    if (!element.IsObject()) {
      Log("Line %i %s device sensor %i is not an object\n", place.lineIndex, place.side, place.sensorIndex);
      return false;
    }
    SensorConfig sensor;
    int32_t channel = 0;
    if (!ReadInt(element, "channel", place, channel) || !ReadBool(element, "side", place, sensor.side) ||
        !ReadFloat(element, "coeff", place, sensor.coeff) ||
        !ReadFloat(element, "vel_coeff", place, sensor.vel_coeff) ||
        !ReadBool(element, "enabled", place, sensor.enabled))
      return false;
    sensor.channel = static_cast<uint16_t>(channel);
    sensors.push_back(sensor);
  }
  return true;
}

// Reads one side's device object. Returns CONFIG_OK or the refusal.
int32_t ReadDevice(const Value& object, int lineIndex, const char* sideName, int sideIndex, DeviceConfig& out) {
  Place place{lineIndex, sideName, -1};
  DeviceConfig device;
  int32_t port = 0, frequency = 0;
  if (!ReadBool(object, "enabled", place, device.enabled)) return CONFIG_REFUSED;
  if (!ReadOptionalText(object, "uid", place, device.uid)) return CONFIG_REFUSED;
  if (!ReadInt(object, "port", place, port)) return CONFIG_REFUSED;
  device.port = static_cast<uint16_t>(port);
  std::vector<uint16_t>& usedPorts = UsedPorts();
  for (uint16_t used : usedPorts) {
    if (used == device.port) {
      Log("Duplicate port found\n");
      return CONFIG_DUPLICATE_PORT;
    }
  }
  usedPorts.push_back(device.port);
  device.id = static_cast<int32_t>(device.port) - DEVICE_PORT_BASE;
  if (device.id < 0 || device.id >= DEVICE_ID_COUNT) {
    Log("Line %i %s device port %u gives device id %d; ports %d to %d (ids 0 to %d) are supported\n", lineIndex,
        sideName, static_cast<unsigned>(device.port), device.id, DEVICE_PORT_BASE,
        DEVICE_PORT_BASE + DEVICE_ID_COUNT - 1, DEVICE_ID_COUNT - 1);
    return CONFIG_REFUSED;
  }
  if (!ReadInt(object, "frequency", place, frequency)) return CONFIG_REFUSED;
  device.frequency = static_cast<uint16_t>(frequency);
  if (!ReadOptionalText(object, "host", place, device.host)) return CONFIG_REFUSED;
  if (!ReadSensors(object, place, device.sensors)) return CONFIG_REFUSED;
  device.side = sideIndex != 0;
  Log("Device (%s side) uid %s added to config with id %d\n", sideName, device.uid.c_str(), device.id);
  out = std::move(device);
  return CONFIG_OK;
}

// Reads line element i. Returns CONFIG_OK (the line appended or skipped) or
// the refusal.
int32_t ReadLine(const Value& element, int i) {
  if (!element.IsObject()) return CONFIG_OK;
  const Value* devices = Member(element, "devices");
  if (devices == nullptr) {
    Log("line %i has no member devices\n", i);
    return CONFIG_OK;
  }
  if (!devices->IsObject()) {
    // Both sides are missing then; the line is skipped rather than weighed
    // with two defaulted devices.
    Log("Line %i devices is not an object\n", i);
    return CONFIG_OK;
  }
  if (Member(element, "id") == nullptr) {
    Log("Line %i has no id set\n", i);
    return CONFIG_OK;
  }
  LineConfig line;
  if (!ReadInt(element, "id", Place{i, nullptr, -1}, line.id)) return CONFIG_REFUSED;
  line.active = true;
  const char* sideNames[2] = {"odd", "even"};
  for (int side = 0; side < 2; ++side) {
    const Value* object = Member(*devices, sideNames[side]);
    if (object == nullptr) {
      Log("Line %i has no member %s\n", i, sideNames[side]);
      continue;
    }
    if (!object->IsObject()) {
      Log("Line %i %s device is not an object\n", i, sideNames[side]);
      continue;
    }
    DeviceConfig& slot = side == 0 ? line.devconf.first : line.devconf.second;
    int32_t result = ReadDevice(*object, i, sideNames[side], side, slot);
    if (result != CONFIG_OK) return result;
  }
  conf->deviceConfigList.push_back(std::move(line));
  return CONFIG_OK;
}

}  // namespace

int32_t LoadConfig(const char* path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file) {
    Log("Config file %s not found\n", path);
    return CONFIG_CANNOT_OPEN;
  }
  Log("Loading config file %s\n", path);

  char readBuffer[65536];
  rapidjson::FileReadStream stream(file.get(), readBuffer, sizeof readBuffer);
  rapidjson::Document document;
  // Iterative parsing: the same results as the default recursive parse, but a
  // deeply nested file cannot exhaust the stack.
  document.ParseStream<rapidjson::kParseIterativeFlag>(stream);
  if (std::ferror(file.get())) {
    Log("Config file %s cannot be read: %s\n", path, std::strerror(errno));
    return CONFIG_REFUSED;
  }
  if (document.HasParseError()) {
    Log("Config file %s is not valid JSON: %s (at byte %zu)\n", path,
        rapidjson::GetParseError_En(document.GetParseError()), document.GetErrorOffset());
    return CONFIG_REFUSED;
  }

  bool isObject = document.IsObject();
  const Value* lines = isObject ? Member(document, "lines") : nullptr;
  if (lines == nullptr) Log("Config has no \"lines\"\n");
  if (!isObject) Log("Config is not object\n");
  if (lines != nullptr && !lines->IsArray()) Log("\"lines\" is not array type\n");
  if (lines == nullptr || !lines->IsArray()) return CONFIG_REFUSED;

  int index = 0;
  for (const Value& element : lines->GetArray()) {
    int32_t result = ReadLine(element, index++);
    if (result != CONFIG_OK) return result;
  }
  return CONFIG_OK;
}
