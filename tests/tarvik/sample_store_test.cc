// The store keeps a sample in 12 bytes and the temperatures as their
// changes: every sample must read back as it came, across chunks that do
// not fall on powers of two and across the blocks of changes. The points a
// sensor's fits work on are collected from it a whole point at a time where
// nothing stands in the way.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "tarvik/tarvik_core.h"

namespace {

float TemperatureOf(size_t i) {
  if (i % 50000 < 9000) return 20.0f + static_cast<float>(i % 7) * 0.25f;  // flickering: a change per sample
  if (i % 50000 < 9100) return std::nanf("");
  return 18.5f + static_cast<float>(i / 50000);
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(SampleStore, ReadsBackEverySampleAndTemperature) {
  auto store = std::make_unique<tarvik::SampleStore>();
  const size_t n = 2 * tarvik::SampleStore::CHUNK_SAMPLES + 1000;
  for (size_t i = 0; i < n; ++i) {
    SideSample sample{};
    sample.timeUs = 5'000'000 + static_cast<int64_t>(i) * 500 + (i > 300000 ? 7000 : 0);  // a lost stretch
    sample.temperature = TemperatureOf(i);
    for (int c = 0; c < 4; ++c) sample.channels[c] = static_cast<uint16_t>(i * (c + 1));
    ASSERT_TRUE(store->Append(sample));
  }
  ASSERT_EQ(store->Size(), n);
  tarvik::SampleStore::TemperatureCursor cursor;
  for (size_t i = 0; i < n; ++i) {
    ASSERT_EQ(store->TimeUs(i), 5'000'000 + static_cast<int64_t>(i) * 500 + (i > 300000 ? 7000 : 0)) << i;
    ASSERT_EQ(store->At(i).channels[3], static_cast<uint16_t>(i * 4)) << i;
    ASSERT_TRUE(SameBits(store->TemperatureAt(i, &cursor), TemperatureOf(i))) << i;
  }
  for (size_t i : {size_t{0}, size_t{8999}, size_t{9050}, tarvik::SampleStore::CHUNK_SAMPLES, n - 1})
    EXPECT_TRUE(SameBits(store->TemperatureAt(i), TemperatureOf(i))) << i;
  // The first sample at or after a time, on both sides of a chunk's start
  // and of the lost stretch.
  for (size_t i : {size_t{0}, tarvik::SampleStore::CHUNK_SAMPLES - 1, tarvik::SampleStore::CHUNK_SAMPLES,
                   size_t{300001}, n - 1}) {
    EXPECT_EQ(store->FirstAtOrAfter(store->TimeS(i), n), i);
    EXPECT_EQ(store->FirstAtOrAfter(store->TimeS(i) - 1e-4, n), i);
  }
  EXPECT_EQ(store->FirstAtOrAfter(store->TimeS(n - 1) + 1, n), n);
}

// A sample at the converter's limit carries no reading, and a lost stretch
// closes the point before it: on either side of it the channel reads
// another level, so a point across it would read neither.
TEST(SampleStore, PointsLeaveOutClippedSamplesAndCloseAtLostRecords) {
  auto store = std::make_unique<tarvik::SampleStore>();
  for (int64_t i = 0; i < 3000; ++i) {
    if (i >= 1500 && i < 1507) continue;
    SideSample sample{};
    sample.timeUs = i * 1000;
    sample.temperature = 20;
    for (int c = 0; c < 4; ++c) sample.channels[c] = i < 1500 ? 1000 : 2000;
    if (i == 1200) sample.channels[0] = 65535;
    if (i == 1800) sample.channels[0] = 0;
    ASSERT_TRUE(store->Append(sample));
  }
  tarvik::DeviceSignal device;
  device.store = store.get();
  device.size = store->Size();
  device.sample_period_s = 1e-3;
  // A wheel at 1 m/s over a sensor at 1.5 m: 15 samples a point, from 0.5 s
  // (the reach and the margin) to 2.5 s.
  tarvik::WheelMotion wheel;
  wheel.speed_mps = 1;
  tarvik::SensorSeries series;
  tarvik::CollectSeries(device, 0, 1.5, {wheel}, 0.9, &series);
  size_t samples = 0;
  for (const tarvik::FitPoint& point : series.points) {
    EXPECT_TRUE(point.residual_counts == 1000.0f || point.residual_counts == 2000.0f) << point.time_s;
    EXPECT_LE(point.samples, 15.0f);
    samples += static_cast<size_t>(point.samples);
  }
  EXPECT_EQ(samples, 2000u - 7 - 2);
}

}  // namespace
