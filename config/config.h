// The installation's configuration: measuring lines, their two devices (odd
// and even side) and each device's sensors, loaded once from a JSON file.
//
// After LoadConfig returns 0 the configuration never changes again and may be
// read from any thread without a lock.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A device's id is its port minus this base: ports 7126..7133 are ids 0..7.
constexpr int32_t DEVICE_PORT_BASE = 7126;
// Device ids index the 8-entry per-device tables of the sample feeding.
constexpr int32_t DEVICE_ID_COUNT = 8;

struct SensorConfig {
  bool enabled = false;
  uint16_t channel = 0;
  bool side = false;
  float coeff = 0;       // kilograms of wheel load per converter count
  float vel_coeff = 0;   // the sensor's position along the track, metres
};

struct DeviceConfig {
  int32_t id = 0;
  bool enabled = true;
  std::string uid;
  std::string host;
  uint16_t port = 0;
  uint16_t frequency = 0;  // sampling frequency, Hz
  std::string reserved;
  bool side = false;       // false: odd side, true: even side
  std::vector<SensorConfig> sensors;
};

struct LineConfig {
  int32_t id = 0;
  bool active = false;
  std::pair<DeviceConfig, DeviceConfig> devconf;  // first: odd side, second: even side
};

struct ScalesConfig {
  std::vector<LineConfig> deviceConfigList;
};

// LoadConfig's results.
constexpr int32_t CONFIG_OK = 0;
constexpr int32_t CONFIG_CANNOT_OPEN = -1;
constexpr int32_t CONFIG_DUPLICATE_PORT = -2;
// The file was read but refused: not JSON, no usable "lines", a required key
// missing or of the wrong type, a port outside the device id range. The log
// line before it names the reason.
constexpr int32_t CONFIG_REFUSED = -3;

// The process-wide configuration. Lives until the process ends (never
// destroyed, so threads still running at exit can read it).
extern ScalesConfig* conf;

// Every port that LoadConfig has read, so no two devices share one.
std::vector<uint16_t>& UsedPorts();

// Reads `path` and appends its lines to *conf (and their ports to
// UsedPorts()); clears neither first. REQUIRES: main thread, no other thread
// started yet.
int32_t LoadConfig(const char* path);
