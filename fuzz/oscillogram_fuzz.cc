// Oscillogram bytes: the loader, the sample feeding and the reference
// library's computation of what was fed must survive any file.
#include <vector>

#include "calc/tarvik.h"
#include "fuzz/fuzz_support.h"
#include "log/log.h"
#include "osc/osc.h"
#include "osc/osc_format.h"

namespace {

// The program never frees a returned record; here they would pile up.
void Delete(LineResult* result) {
  if (!result) return;
  for (LineCarriage* carriage : result->carriages) {
    if (!carriage) continue;
    for (LineAxis* axle : carriage->axis) {
      if (!axle) continue;
      for (LineWheel* wheel : axle->wheels) delete wheel;
      delete axle;
    }
    delete carriage;
  }
  delete result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  // Inputs shorter than the carriage table go behind an empty one, so that the
  // fuzzer reaches the records without first inventing 21504 bytes.
  std::vector<uint8_t> file(size < osc::START_OFFSET ? osc::START_OFFSET : 0, 0);
  file.insert(file.end(), data, data + size);
  std::string path = WriteScratchFile("passage.osc", file.data(), file.size());
  // Two lines of four-sensor devices 0..3, the bundled configuration's shape.
  Tarvik_SetOnLog(Log);
  Tarvik_Init();
  for (int32_t device = 0; device < 4; ++device) Tarvik_InitDevice(device, {2, 2, 2, 2}, {0, 0.9, 1.8, 2.7});
  Tarvik_InitLine(1, 0, 1);
  Tarvik_InitLine(2, 2, 3);
  const uint16_t frequencies[DEVICE_ID_COUNT] = {2000, 1000, 4000, 2000};
  ResetFeeding();
  for (int device = 0; device < DEVICE_ID_COUNT; ++device) frequencyById[device] = frequencies[device];
  LoadOscillogram(path);
  Delete(Tarvik_Compute(1));
  Delete(Tarvik_Compute(2));
  return 0;
}
