// Oscillogram bytes: the loader, the sample feeding and the reference
// library's computation of what was fed must survive any file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "calc/tarvik.h"
#include "fuzz/fuzz_support.h"
#include "log/log.h"
#include "osc/osc.h"
#include "osc/osc_format.h"

namespace {

// The harness owns what the library returned (the program never frees it;
// here it would pile up across inputs).
void DeleteResult(LineResult* result) {
  if (result == nullptr) return;
  for (LineCarriage* carriage : result->carriages) {
    if (carriage == nullptr) continue;
    for (LineAxis* axle : carriage->axis) {
      if (axle == nullptr) continue;
      for (LineWheel* wheel : axle->wheels) delete wheel;
      delete axle;
    }
    delete carriage;
  }
  delete result;
}

void RegisterInstallation() {
  // Two lines of four-sensor devices 0..3, the bundled configuration's shape.
  std::vector<double> coeff{2.0, 2.0, 2.0, 2.0};
  std::vector<double> position{0.0, 0.9, 1.8, 2.7};
  Tarvik_SetOnLog(Log);
  Tarvik_Init();
  for (int32_t device = 0; device < 4; ++device) Tarvik_InitDevice(device, coeff, position);
  Tarvik_InitLine(1, 0, 1);
  Tarvik_InitLine(2, 2, 3);
  const uint16_t frequencies[4] = {2000, 1000, 4000, 2000};
  for (int device = 0; device < DEVICE_ID_COUNT; ++device) frequencyById[device] = device < 4 ? frequencies[device] : 0;
  for (int64_t& origin : timeOriginById) origin = 0;
  recordPosition = static_cast<int64_t>(osc::START_OFFSET);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  // Inputs shorter than the carriage table are taken as records behind an
  // empty table, so the fuzzer reaches the record loop without first
  // inventing 21504 bytes.
  std::vector<uint8_t> file;
  if (size < osc::START_OFFSET) {
    file.assign(osc::START_OFFSET, 0);
    file.insert(file.end(), data, data + size);
  } else {
    file.assign(data, data + size);
  }
  std::string path = WriteScratchFile("passage.osc", file.data(), file.size());
  RegisterInstallation();
  LoadOscillogram(path);
  DeleteResult(Tarvik_Compute(1));
  DeleteResult(Tarvik_Compute(2));
  return 0;
}
