// Passages for the library's own tests, made by the synthesizer and read back
// through the program's loader and sample feeding, so that the library sees
// exactly the samples the program would hand it.
#pragma once

#include <string>
#include <vector>

#include "calc/tarvik.h"
#include "config/config.h"
#include "tools/synth/synth.h"

struct SynthPassage {
  synth::TrainSpec train;
  synth::Passage passage;
  std::vector<SideSample> samples[DEVICE_ID_COUNT];  // per device id, in file order

  // The true speed of axle `axle` (train order) at the centre of line `line`.
  double SpeedKmh(size_t axle, size_t line = 0) const {
    return 3.6 * synth::SpeedAtTravel(passage, synth::TravelWhenAt(passage, passage.axles[axle].offset_m,
                                                                   synth::LineCentre(train.lines[line])));
  }
};

// Synthesizes the train `description`; fails the test on any error.
SynthPassage Synthesize(const std::string& description);
