// A clean sample-feeding state per test, with every pushed sample collected
// in place of the calculation library.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "calc/tarvik.h"
#include "config/settings.h"
#include "osc/osc.h"
#include "osc/osc_format.h"

class FeedTest : public testing::Test {
 public:
  static std::vector<SideSample>& Pushed() {
    static std::vector<SideSample> samples;
    return samples;
  }
  static void Collect(SideSample* sample) {
    Pushed().push_back(*sample);
    std::free(sample);
  }

  void SetUp() override {
    for (int id = 0; id < DEVICE_ID_COUNT; ++id) {
      frequencyById[id] = 0;
      timeOriginById[id] = 0;
      RawLinesById()[id].clear();
    }
    recordPosition = static_cast<int64_t>(osc::START_OFFSET);
    debugMode = false;
    Pushed().clear();
    SetSampleSink(Collect);
  }
  void TearDown() override {
    SetSampleSink(nullptr);
    debugMode = false;
  }
};
