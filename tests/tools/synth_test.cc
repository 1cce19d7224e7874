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
#include <rapidjson/document.h>

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

// File layout, time order, counters and the carriage table, for steady speed,
// for braking in reverse with unequal frequencies, and with lost records: the
// counter jumps over each run and the table points at records that exist.
TEST(SynthOscillogram, RecordsInterleaveInTimeOrderWithATableThatPointsAtThem) {
  const char* const unequal =
      R"("odd": {"port": 7126, "frequency": 1000, "counter_start": 7}, "even": {"port": 7127, "frequency": 3000, "counter_start": 123456})";
  const std::pair<std::string, std::string> cases[] = {
      {R"("speed": {"initial_kmh": 40})", SAME_FREQUENCY},
      {R"("direction": -1, "speed": {"initial_kmh": 50, "accel_mps2": -0.8})", unequal},
      {R"("direction": -1, "speed": {"initial_kmh": 50, "accel_mps2": -0.8}, "field": {"lost": {"runs": 3}})", unequal},
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
    size_t skipped = 0, lost = 0;
    for (const DecodedRecord& r : s.records) {
      ASSERT_EQ(r.payload_length, 12);
      ASSERT_GE(r.counter, next_counter[r.device]) << "device " << r.device;
      skipped += r.counter - next_counter[r.device];
      next_counter[r.device] = r.counter + 1;
      ASSERT_GE(s.Time(r), previous);
      previous = s.Time(r);
      for (const synth::LostRun& run : s.passage.field.devices[0][static_cast<size_t>(r.device)].lost)
        ASSERT_FALSE(s.Time(r) >= run.from_s && s.Time(r) < run.to_s) << "a record of a lost run was written";
    }
    for (size_t side = 0; side < 2; ++side) {
      const synth::DeviceSpec& d = s.train.lines[0].devices[side];
      EXPECT_NEAR(next_counter[d.port - 7126] - d.counter_start, s.passage.duration_s * d.frequency_hz, 1.0);
      for (const synth::LostRun& run : s.passage.field.devices[0][side].lost) {
        EXPECT_GE(run.to_s - run.from_s, 0.005);
        EXPECT_LE(run.to_s - run.from_s, 0.030);
        lost += static_cast<size_t>(std::round((run.to_s - run.from_s) * d.frequency_hz));
      }
    }
    // Runs may overlap, never add records.
    EXPECT_LE(skipped, lost + 6);
    EXPECT_EQ(skipped > 0, lost > 0);
    EXPECT_EQ(s.passage.field.devices[0][0].lost.size(), lost > 0 ? 3u : 0u);

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

// Each field effect alone against the same passage without it: only what the
// effect stands for may change, and no other draw (the noise above all) may
// move with it. An empty field is the model's passage byte for byte.
TEST(SynthField, EachEffectChangesOnlyWhatItStandsFor) {
  const std::string motion = R"("speed": {"initial_kmh": 40}, "noise_sigma": 25)";
  TempDir dir;
  Synthesized plain = Synthesize(Description(motion, SAME_FREQUENCY), dir.File("plain.osc"));
  std::map<std::pair<int, uint32_t>, const DecodedRecord*> by_counter;
  for (const DecodedRecord& r : plain.records) by_counter[{r.device, r.counter}] = &r;
  size_t samples = 4 * plain.records.size();
  // Whether channel k of a record may read `value` where the plain passage
  // read `was`; and how many samples the effect must change.
  struct Case {
    const char* field;
    bool (*allowed)(int device, int k, int was, int value);
    size_t min_changed, max_changed;
  };
  double expected_spikes = 5 * plain.passage.duration_s * 8;
  const Case cases[] = {
      {"{}", [](int, int, int was, int value) { return value == was; }, 0, 0},
      {R"({"spikes": {"per_s": 5, "max_counts": 15000}})",
       [](int, int, int was, int value) { return value == was || std::abs(value - was) >= 1500 || value == 0 || value == 65535; },
       static_cast<size_t>(0.7 * expected_spikes), static_cast<size_t>(1.3 * expected_spikes)},
      {R"({"hum": {"max_counts": 30}})", [](int, int, int was, int value) { return std::abs(value - was) <= 31; },
       samples / 4, samples},
      {R"({"lost": {"runs": 3}})", [](int, int, int was, int value) { return value == was; }, 0, 0},
      {R"({"dead": [{"line": 1, "side": "odd", "sensor": 2}, {"line": 1, "side": "even", "sensor": 0, "kind": "stuck"}]})",
       [](int device, int k, int was, int value) {
         if (device == 1 && k == 0) return value == 65535;
         if (device == 0 && k == 2) return std::abs(value - 5000) <= 150;  // six sigma of noise, no wheel
         return value == was;
       },
       samples / 8, samples / 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    Synthesized s = Synthesize(Description(motion + R"(, "field": )" + c.field, SAME_FREQUENCY),
                               dir.File("field.osc"));
    size_t changed = 0;
    for (const DecodedRecord& r : s.records) {
      const DecodedRecord* was = by_counter.at({r.device, r.counter});
      for (int k = 0; k < 4; ++k) {
        ASSERT_TRUE(c.allowed(r.device, k, was->channels[k], r.channels[k]))
            << "device " << r.device << " channel " << k << ": " << was->channels[k] << " -> " << r.channels[k];
        changed += r.channels[k] != was->channels[k];
      }
    }
    EXPECT_GE(changed, c.min_changed);
    EXPECT_LE(changed, c.max_changed);
    if (c.field == std::string("{}")) {
      EXPECT_EQ(s.bytes, plain.bytes);
    }
  }
}

// The first wheel's pulse on one channel of a noiseless passage, in samples:
// where it rises above the baseline, tops and falls back, and how deep the
// influence line dips below the baseline on either side.
struct Pulse {
  int peak = 0, dip_before = 0, dip_after = 0;
  size_t rise = 0, top = 0, end = 0;
};

Pulse FirstPulse(const std::vector<int>& t, int baseline) {
  Pulse p;
  while (p.rise < t.size() && t[p.rise] <= baseline) ++p.rise;
  for (p.end = p.rise; p.end < t.size() && t[p.end] > baseline; ++p.end)
    if (t[p.end] > p.peak) {
      p.peak = t[p.end];
      p.top = p.end;
    }
  p.dip_before = baseline - *std::min_element(t.begin(), t.begin() + static_cast<long>(p.rise));
  // The lobe behind ends within half the falling flank; the next wheel's is farther.
  size_t lobe_end = std::min(t.size(), p.end + (p.end - p.top) * 3 / 4);
  p.dip_after = baseline - *std::min_element(t.begin() + static_cast<long>(p.end), t.begin() + static_cast<long>(lobe_end));
  return p;
}

// Per device and channel; the last wheel's pulse when `last` (its flanks then swapped).
std::map<std::pair<int, int>, Pulse> FirstPulses(const Synthesized& s, bool last = false) {
  std::map<std::pair<int, int>, std::vector<int>> traces;
  for (const DecodedRecord& r : s.records)
    for (int k = 0; k < 4; ++k) traces[{r.device, k}].push_back(r.channels[k]);
  if (last)
    for (auto& [channel, trace] : traces) std::reverse(trace.begin(), trace.end());
  std::map<std::pair<int, int>, Pulse> pulses;
  for (const auto& [channel, trace] : traces) pulses[channel] = FirstPulse(trace, 5000);
  return pulses;
}

// What the signal carries is what was drawn: each sensor's own influence line
// (peak exactly the wheel's load, half widths and lobes on the right sides of
// a train running towards smaller positions), the roll moving load between
// the rails and not off the axle, and the floor the wheel's load at its
// moments over the live sensors, here read back from the pulse peaks.
TEST(SynthField, TheSignalCarriesTheDrawnShapesAndDynamics) {
  TempDir dir;
  const char* const fast_devices =
      R"("odd": {"port": 7126, "frequency": 4000}, "even": {"port": 7127, "frequency": 4000})";
  Synthesized shaped = Synthesize(
      Description(R"("direction": -1, "speed": {"initial_kmh": 10}, "field": {"influence": {"side_lobe": [0.02, 0.04]}})",
                  SAME_FREQUENCY),
      dir.File("shaped.osc"));
  double m_per_sample = shaped.passage.v0_mps / 2000;
  for (const auto& [channel, pulse] : FirstPulses(shaped)) {
    SCOPED_TRACE(channel.first * 4 + channel.second);
    const synth::SensorShape& shape = shaped.passage.field.devices[0][static_cast<size_t>(channel.first)]
                                          .shapes[static_cast<size_t>(channel.second)];
    EXPECT_NEAR(pulse.peak, 5000 + 5500, 1);
    EXPECT_NEAR((pulse.top - pulse.rise) * m_per_sample, shape.ahead_m, 0.05 * shape.ahead_m);
    EXPECT_NEAR((pulse.end - pulse.top) * m_per_sample, shape.behind_m, 0.05 * shape.behind_m);
    EXPECT_NEAR(pulse.dip_before, shape.lobe_ahead * 5500, 1.5);
    EXPECT_NEAR(pulse.dip_after, shape.lobe_behind * 5500, 1.5);
  }

  auto rolled = FirstPulses(Synthesize(Description(R"("speed": {"initial_kmh": 40}, "field": {"dynamics":
          {"bounce": 0, "pitch": 0, "vibration": 0, "roll": [0.04, 0.04], "frequency_hz": 0}})", fast_devices),
                                       dir.File("rolling.osc")));
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR((rolled[{0, k}].peak + rolled[{1, k}].peak - 2 * 5000), 11000, 2) << k;
    EXPECT_GT((std::abs(rolled[{0, k}].peak - rolled[{1, k}].peak)), 40) << k;
  }

  Synthesized moving = Synthesize(
      Description(R"("speed": {"initial_kmh": 40}, "field": {"dynamics": {"bounce": [0.03, 0.05], "pitch": [0.03, 0.05],
          "roll": [0.03, 0.05], "frequency_hz": [1, 2], "vibration": 0}, "dead": [{"side": "odd", "sensor": 1}]})",
                  fast_devices),
      dir.File("moving.osc"));
  rapidjson::Document truth;
  truth.Parse(synth::TruthJson(moving.train, moving.passage, moving.stats).c_str());
  // The locomotive's front wheels of 11000 kg and the wagon's rear ones of 6000 kg.
  for (bool last : {false, true}) {
    auto moved = FirstPulses(moving, last);
    const auto& wheels = truth["carriages"][last ? 1 : 0]["axis"][last ? 3 : 0]["wheels"];
    for (int side : {synth::ODD, synth::EVEN}) {
      double sum = 0, live = 0;
      for (int k = 0; k < 4; ++k)
        if (side == synth::EVEN || k != 1) sum += 2.0 * (moved[{side, k}].peak - 5000), ++live;
      double floor = wheels[side]["floor_weight"].GetDouble();
      EXPECT_NEAR(floor, sum / live, 6) << side;
      EXPECT_GT(std::abs(floor - wheels[side]["weight"].GetDouble()), 30) << "dynamics move the floor off the load";
    }
    EXPECT_EQ((moved[{0, 1}].peak), 0) << "a silent sensor sees no wheel";
  }
}

}  // namespace
