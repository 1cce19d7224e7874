// The synthesizer is the ground truth of every accuracy figure; the harness
// proves it end to end. Here its files are decoded byte by byte to catch what
// the harness could mistake for a weighing error: a wrong layout, thermistor
// code, influence line or flat factor, or output that depends on more than
// the description and its seed.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "osc/osc.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/synth.h"

namespace {

struct DecodedRecord {
  int device, payload_length;
  uint32_t counter;
  int thermistor;
  int channels[4];
};

struct DecodedCarriage {
  int number;
  uint64_t offset;
  int32_t time_ms;
};

uint64_t Le(const std::string& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}

struct Synthesized {
  synth::TrainSpec train;
  synth::Passage passage;
  synth::OscStats stats;
  std::string bytes;
  std::vector<DecodedCarriage> carriages;
  std::vector<DecodedRecord> records;

  double Time(const DecodedRecord& r) const {
    const synth::DeviceSpec& d = train.lines[0].devices[static_cast<size_t>(r.device)];
    return static_cast<double>(r.counter - d.counter_start) / d.frequency_hz;
  }
};

// Parses, plans, writes and decodes PATH; fails the test on any error.
Synthesized Synthesize(const std::string& description, const std::string& path) {
  Synthesized s;
  std::string error;
  EXPECT_EQ(synth::ParseTrainDescription(description, &s.train, &error), 0) << error;
  EXPECT_EQ(synth::PlanPassage(s.train, &s.passage, &error), 0) << error;
  EXPECT_EQ(synth::WriteOscillogram(s.train, s.passage, path, &s.stats, &error), 0) << error;
  s.bytes = ReadFileText(path);
  const std::string& b = s.bytes;
  for (size_t e = 0; e < 1024; ++e)
    if (Le(b, e * 21 + 1, 8) != 0)
      s.carriages.push_back({static_cast<int>(Le(b, e * 21, 1)), Le(b, e * 21 + 1, 8),
                             static_cast<int32_t>(Le(b, e * 21 + 9, 4))});
  for (size_t at = 21504; at + 19 <= b.size(); at += 19) {
    DecodedRecord r{static_cast<int>(Le(b, at, 1)), static_cast<int>(Le(b, at + 1, 2)),
                    static_cast<uint32_t>(Le(b, at + 3, 4)), static_cast<int>(Le(b, at + 8, 2)), {}};
    for (size_t k = 0; k < 4; ++k) r.channels[k] = static_cast<int>(Le(b, at + 10 + 2 * k, 2));
    s.records.push_back(r);
  }
  return s;
}

// A locomotive and a wagon with a full flat on its first axle's even wheel at
// sensor 2, over one line; MOTION and DEVICES vary.
std::string Description(const std::string& motion, const std::string& devices) {
  return R"({"seed": 5, )" + motion + R"(, "installation": {"coeff": 2.0, "baseline": 5000, "lines": [{"id": 1,
      "positions_m": [0.0, 0.9, 1.8, 2.7], )" + devices + R"(}]},
    "vehicles": [{"bogie_axles": 3, "axle_load_kg": 22000},
                 {"axle_load_kg": 12000, "flats": [{"axle": 1, "wheel": 1, "severity": 1.0, "sensor": 2}]}]})";
}

const char* const SAME_FREQUENCY =
    R"("odd": {"port": 7126, "frequency": 2000, "counter_start": 100}, "even": {"port": 7127, "frequency": 2000, "counter_start": 900000})";

TEST(SynthThermistor, ReadingIsTheNearestByTheProgramsConversion) {
  for (int reading = 0; reading <= 1023; ++reading)
    ASSERT_EQ(synth::ThermistorCelsius(reading), ::ThermistorCelsius(static_cast<uint16_t>(reading))) << reading;
  for (double celsius : {-35.0, 0.0, 24.99, 70.0}) {
    int reading = synth::ThermistorReading(celsius);
    double error = std::fabs(::ThermistorCelsius(static_cast<uint16_t>(reading)) - celsius);
    for (int neighbour : {reading - 1, reading + 1})
      EXPECT_LE(error, std::fabs(::ThermistorCelsius(static_cast<uint16_t>(neighbour)) - celsius)) << celsius;
  }
}

// File layout, time order, counters and the carriage table, for steady speed
// and for braking in reverse with unequal frequencies.
TEST(SynthOscillogram, RecordsInterleaveInTimeOrderWithATableThatPointsAtThem) {
  const std::pair<std::string, std::string> cases[] = {
      {R"("speed": {"initial_kmh": 40})", SAME_FREQUENCY},
      {R"("direction": -1, "speed": {"initial_kmh": 50, "accel_mps2": -0.8})",
       R"("odd": {"port": 7126, "frequency": 1000, "counter_start": 7}, "even": {"port": 7127, "frequency": 3000, "counter_start": 123456})"},
  };
  for (const auto& [motion, devices] : cases) {
    SCOPED_TRACE(motion);
    TempDir dir;
    Synthesized s = Synthesize(Description(motion, devices), dir.File("p.osc"));
    ASSERT_EQ(s.bytes.size(), 21504 + 19 * s.records.size());
    ASSERT_EQ(static_cast<int64_t>(s.records.size()), s.stats.records);
    std::map<int, uint32_t> next_counter;
    for (const synth::DeviceSpec& d : s.train.lines[0].devices) next_counter[d.port - 7126] = d.counter_start;
    double previous = 0;
    for (const DecodedRecord& r : s.records) {
      ASSERT_EQ(r.payload_length, 12);
      ASSERT_EQ(r.counter, next_counter[r.device]++) << "device " << r.device;
      ASSERT_GE(s.Time(r), previous);
      previous = s.Time(r);
    }
    for (const synth::DeviceSpec& d : s.train.lines[0].devices)
      EXPECT_NEAR(next_counter[d.port - 7126] - d.counter_start, s.passage.duration_s * d.frequency_hz, 1.0);

    ASSERT_EQ(s.carriages.size(), 2u);
    for (size_t v = 0; v < s.carriages.size(); ++v) {
      const DecodedCarriage& e = s.carriages[v];
      EXPECT_EQ(e.number, static_cast<int>(v + 1));
      ASSERT_EQ((e.offset - 21504) % 19, 0u);
      size_t index = (e.offset - 21504) / 19;
      ASSERT_GT(index, 0u);
      ASSERT_LT(index, s.records.size());
      // The moment lies in [time_ms, time_ms + 1) ms; the entry's record is
      // the first at or after it.
      EXPECT_GE(s.Time(s.records[index]) * 1000, e.time_ms);
      EXPECT_LT(s.Time(s.records[index - 1]) * 1000, e.time_ms + 1);
    }
    EXPECT_GT(s.carriages[1].time_ms, s.carriages[0].time_ms);
  }
}

TEST(SynthSignal, PeaksCarryTheWheelLoadsAndTheFlatInTheTravelDirection) {
  for (int direction : {1, -1}) {
    SCOPED_TRACE(direction);
    TempDir dir;
    Synthesized s = Synthesize(
        Description(R"("direction": )" + std::to_string(direction) + R"(, "speed": {"initial_kmh": 30})",
                    SAME_FREQUENCY),
        dir.File("p.osc"));
    std::map<std::pair<int, int>, std::vector<int>> traces;  // per device and channel
    for (const DecodedRecord& r : s.records)
      for (int k = 0; k < 4; ++k) traces[{r.device, k}].push_back(r.channels[k]);
    for (int side : {synth::ODD, synth::EVEN})
      for (int k = 0; k < 4; ++k) {
        const std::vector<int>& t = traces[{side, k}];
        EXPECT_EQ(*std::min_element(t.begin(), t.end()), 5000) << "between wheels a sensor rests on its baseline";
        // The heaviest wheel is the locomotive's 11000 kg, except where the
        // wagon's 6000 kg flat wheel lands: 12000 kg at even sensor 2.
        double heaviest_kg = side == synth::EVEN && k == 2 ? 12000 : 11000;
        EXPECT_NEAR(*std::max_element(t.begin(), t.end()) - 5000, heaviest_kg / 2.0, 1.5) << side << "/" << k;
      }
    // The first wheel's pulse has the area of the influence line:
    // integral of cos^2(pi u / 2a) over (-a, a) is a, so load/coeff * 0.30 m.
    double area = 0;
    bool seen = false;
    for (int value : traces[{synth::ODD, 1}]) {
      if (value == 5000 && seen) break;
      seen = seen || value > 5000;
      area += (value - 5000) * s.passage.v0_mps / 2000;
    }
    EXPECT_NEAR(area, 5500 * synth::INFLUENCE_HALF_WIDTH_M, 5500 * 0.30 * 0.005);
    // The train meets the sensor at its front end first.
    auto first_rise = [&](int k) {
      const std::vector<int>& t = traces[{synth::ODD, k}];
      return std::find_if(t.begin(), t.end(), [](int v) { return v > 5000 + 2750; }) - t.begin();
    };
    EXPECT_EQ(first_rise(0) < first_rise(3), direction > 0);
  }
}

TEST(SynthNoise, RepeatsForItsSeedOnly) {
  std::string noisy = Description(R"("speed": {"initial_kmh": 40}, "noise_sigma": 25)", SAME_FREQUENCY);
  TempDir dir;
  Synthesized a = Synthesize(noisy, dir.File("a.osc"));
  Synthesized b = Synthesize(noisy, dir.File("b.osc"));
  EXPECT_EQ(a.bytes, b.bytes);
  b.train.seed = 6;
  std::string error;
  ASSERT_EQ(synth::WriteOscillogram(b.train, b.passage, dir.File("c.osc"), &b.stats, &error), 0);
  EXPECT_NE(a.bytes, ReadFileText(dir.File("c.osc")));
  // Noise is there at all: quiet track does not read as a flat baseline.
  EXPECT_GT(std::count_if(a.records.begin(), a.records.begin() + 100,
                          [](const DecodedRecord& r) { return r.channels[0] != 5000; }),
            80);
}

}  // namespace
