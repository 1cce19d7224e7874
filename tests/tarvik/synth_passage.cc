#include "tests/tarvik/synth_passage.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "osc/osc.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<SideSample>* collected = nullptr;  // per device id, while loading

void Collect(SideSample* sample) {
  collected[sample->deviceId].push_back(*sample);
  std::free(sample);
}

}  // namespace

SynthPassage Synthesize(const std::string& description) {
  SynthPassage s;
  std::string error;
  synth::OscStats stats;
  TempDir dir;
  EXPECT_EQ(synth::ParseTrainDescription(description, &s.train, &error), 0) << error;
  EXPECT_EQ(synth::PlanPassage(s.train, &s.passage, &error), 0) << error;
  EXPECT_EQ(synth::WriteOscillogram(s.train, s.passage, dir.File("p.osc"), &stats, &error), 0) << error;
  ResetFeeding();
  for (const synth::LineSpec& line : s.train.lines)
    for (const synth::DeviceSpec& device : line.devices)
      frequencyById[device.port - synth::FIRST_DEVICE_PORT] = static_cast<uint16_t>(device.frequency_hz);
  collected = s.samples;
  SetSampleSink(Collect);
  testing::internal::CaptureStderr();
  LoadOscillogram(dir.File("p.osc"));
  testing::internal::GetCapturedStderr();
  SetSampleSink(nullptr);
  return s;
}
