// The configuration file: any text must end in a result code, never a crash,
// a hang or a write outside the per-device tables.
#include <cstdint>

#include "config/config.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  std::string path = WriteScratchFile("config.json", data, size);
  int32_t result = LoadConfig(path.c_str());
  if (result == CONFIG_OK) {
    for (const LineConfig& line : conf->deviceConfigList) {
      for (const DeviceConfig* device : {&line.devconf.first, &line.devconf.second}) {
        // A loaded device either keeps the defaults of a missing side or has
        // an id the per-device tables can hold.
        if (device->id < 0 || device->id >= DEVICE_ID_COUNT) __builtin_trap();
      }
    }
  }
  conf->deviceConfigList.clear();
  UsedPorts().clear();
  return 0;
}
