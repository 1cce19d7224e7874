// The synthesizer is the ground truth of every accuracy figure, so its files
// are checked against the installation model from the outside: decoded byte
// by byte here, and read back through the program's own loader.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "osc/osc.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/synth.h"

namespace {

struct DecodedRecord {
  int device;
  int payload_length;
  uint32_t counter;
  int thermistor;
  int channels[4];
};

struct DecodedCarriage {
  int number;
  uint64_t offset;
  int32_t time_ms;
};

struct DecodedOsc {
  size_t bytes = 0;
  std::vector<DecodedCarriage> carriages;
  std::vector<DecodedRecord> records;
};

uint64_t Le(const std::string& b, size_t at, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(b[at + static_cast<size_t>(i)]);
  return v;
}

DecodedOsc Decode(const std::string& path) {
  std::string b = ReadFileText(path);
  DecodedOsc osc;
  osc.bytes = b.size();
  for (size_t e = 0; e < 1024; ++e)
    if (Le(b, e * 21 + 1, 8) != 0)
      osc.carriages.push_back({static_cast<int>(Le(b, e * 21, 1)), Le(b, e * 21 + 1, 8),
                               static_cast<int32_t>(Le(b, e * 21 + 9, 4))});
  for (size_t at = 21504; at + 19 <= b.size(); at += 19) {
    DecodedRecord r{static_cast<int>(Le(b, at, 1)), static_cast<int>(Le(b, at + 1, 2)),
                    static_cast<uint32_t>(Le(b, at + 3, 4)), static_cast<int>(Le(b, at + 8, 2)), {}};
    for (int k = 0; k < 4; ++k) r.channels[k] = static_cast<int>(Le(b, at + 10 + 2 * static_cast<size_t>(k), 2));
    osc.records.push_back(r);
  }
  return osc;
}

struct Synthesized {
  synth::TrainSpec train;
  synth::Passage passage;
  synth::OscStats stats;
  std::string prefix;
};

// Parses, plans and writes PREFIX.osc/.json.conf/.truth.json; fails the test on any error.
Synthesized Synthesize(const std::string& description, const std::string& prefix) {
  Synthesized s;
  s.prefix = prefix;
  std::string error;
  EXPECT_EQ(synth::ParseTrainDescription(description, &s.train, &error), 0) << error;
  EXPECT_EQ(synth::PlanPassage(s.train, &s.passage, &error), 0) << error;
  EXPECT_EQ(synth::WriteOscillogram(s.train, s.passage, prefix + ".osc", &s.stats, &error), 0) << error;
  std::ofstream(prefix + ".json.conf") << synth::ConfigurationJson(s.train);
  std::ofstream(prefix + ".truth.json") << synth::TruthJson(s.train, s.passage, s.stats);
  return s;
}

// A short passage: locomotive and wagon over one line; the braces hold the
// parts each test varies.
std::string Description(const std::string& motion, const std::string& devices, const std::string& extra = "") {
  return R"({"seed": 5, )" + motion + R"(, "installation": {"coeff": 2.0, "baseline": 5000, "lines": [{"id": 1,
      "positions_m": [0.0, 0.9, 1.8, 2.7], )" + devices + R"(}]},
    "vehicles": [{"bogie_axles": 3, "axle_load_kg": 22000},
                 {"axle_load_kg": 12000, "flats": [{"axle": 1, "wheel": 1, "severity": 1.0, "sensor": 2}]}])" +
         extra + "}";
}

const char* const SAME_FREQUENCY =
    R"("odd": {"port": 7126, "frequency": 2000, "counter_start": 100}, "even": {"port": 7127, "frequency": 2000, "counter_start": 900000})";
const char* const OWN_FREQUENCIES =
    R"("odd": {"port": 7126, "frequency": 1000, "counter_start": 7}, "even": {"port": 7127, "frequency": 3000, "counter_start": 123456})";

double RecordTime(const Synthesized& s, const DecodedRecord& r) {
  for (const synth::LineSpec& line : s.train.lines)
    for (const synth::DeviceSpec& d : line.devices)
      if (d.port - 7126 == r.device) return static_cast<double>(r.counter - d.counter_start) / d.frequency_hz;
  ADD_FAILURE() << "record of unknown device " << r.device;
  return 0;
}

TEST(SynthThermistor, ReadingIsTheNearestByTheProgramsConversion) {
  for (int reading = 0; reading <= 1023; ++reading)
    ASSERT_EQ(synth::ThermistorCelsius(reading), ::ThermistorCelsius(static_cast<uint16_t>(reading)))
        << "reading " << reading;
  for (double celsius : {-35.0, -5.5, 0.0, 8.25, 14.0, 20.0, 24.99, 31.7, 45.0, 70.0}) {
    int reading = synth::ThermistorReading(celsius);
    double error = std::fabs(::ThermistorCelsius(static_cast<uint16_t>(reading)) - celsius);
    EXPECT_LE(error, std::fabs(::ThermistorCelsius(static_cast<uint16_t>(reading - 1)) - celsius)) << celsius;
    EXPECT_LE(error, std::fabs(::ThermistorCelsius(static_cast<uint16_t>(reading + 1)) - celsius)) << celsius;
    EXPECT_LT(error, 0.3) << celsius;
  }
}

TEST(SynthDescription, RefusesWhatTheModelDoesNotAllow) {
  struct Case {
    std::string description;
    std::string message_part;
  };
  std::string motion = R"("speed": {"initial_kmh": 40})";
  std::vector<Case> cases = {
      {"{", "not valid JSON"},
      {Description(motion, SAME_FREQUENCY, R"(, "direction": 0)"), "direction"},
      {Description(motion, R"("odd": {"port": 7126}, "even": {"port": 7126})"), "used twice"},
      {Description(motion, R"("odd": {"port": 7126}, "even": {"port": 7140})"), "outside 7126..7133"},
      {Description(motion, R"("odd": {"port": 7126, "counter_start": 0}, "even": {"port": 7127})"), "counter_start"},
      {Description(motion, R"("odd": {"port": 7126, "positions_m": [0, 0.4]}, "even": {"port": 7127})"),
       "0.5 m apart"},
      {R"({"installation": {"lines": [{"positions_m": [0, 1], "odd": {}, "even": {"port": 7127}}]},
          "vehicles": [{"flats": [{"axle": 4, "severity": 0.5}]}]})",
       "axle within the vehicle"},
      {R"({"installation": {"lines": [{"positions_m": [0, 1], "odd": {}, "even": {"port": 7127}}]},
          "vehicles": [{"wheel_loads_kg": [[1, 2], [3, 4]]}]})",
       "one [odd, even] pair per axle"},
      {R"({"installation": {"lines": [{"positions_m": [0, 1], "odd": {}, "even": {"port": 7127}}]}, "vehicles": []})",
       "vehicles"},
  };
  for (const Case& c : cases) {
    synth::TrainSpec train;
    std::string error;
    EXPECT_EQ(synth::ParseTrainDescription(c.description, &train, &error), -1) << c.description;
    EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
  }

  // Geometry the description cannot see until the train is laid out.
  struct PlanCase {
    std::string description;
    std::string message_part;
  };
  std::vector<PlanCase> plan_cases = {
      {Description(motion, SAME_FREQUENCY, R"(, "vehicle_gap_m": 3.0)"), "3.2 m"},
      {Description(R"("speed": {"initial_kmh": 10, "accel_mps2": -0.5})", SAME_FREQUENCY), "stops"},
  };
  for (const PlanCase& c : plan_cases) {
    synth::TrainSpec train;
    synth::Passage passage;
    std::string error;
    ASSERT_EQ(synth::ParseTrainDescription(c.description, &train, &error), 0) << error;
    EXPECT_EQ(synth::PlanPassage(train, &passage, &error), -1);
    EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
  }
}

TEST(SynthDescription, NearestScopeGivesEachSensorItsValues) {
  synth::TrainSpec train;
  std::string error;
  ASSERT_EQ(synth::ParseTrainDescription(R"({"installation": {"coeff": 2.5, "tau": 1, "lines": [{"id": 4,
      "positions_m": [0, 0.9, 1.8], "baseline": [100, 200, 300],
      "odd": {"port": 7130, "tau": [3, 2, 1]},
      "even": {"port": 7131, "sensors": [{"position_m": 5.1, "coeff": 1.7}, {"position_m": 6.3}]}}]},
      "vehicles": [{"axle_load_kg": 8000, "odd_share": 0.25}]})",
                                         &train, &error),
            0)
      << error;
  const synth::DeviceSpec& odd = train.lines[0].devices[synth::ODD];
  const synth::DeviceSpec& even = train.lines[0].devices[synth::EVEN];
  ASSERT_EQ(odd.sensors.size(), 3u);
  EXPECT_EQ(odd.sensors[2].baseline_counts, 300);
  EXPECT_EQ(odd.sensors[0].tau_counts_per_c, 3);
  EXPECT_EQ(odd.sensors[1].coeff_kg_per_count, 2.5);
  EXPECT_EQ(odd.sensors[1].position_m, static_cast<double>(0.9f)) << "positions carry the loader's float";
  ASSERT_EQ(even.sensors.size(), 2u);
  EXPECT_EQ(even.sensors[0].coeff_kg_per_count, static_cast<double>(1.7f));
  EXPECT_EQ(even.sensors[1].coeff_kg_per_count, 2.5);
  EXPECT_EQ(even.sensors[1].baseline_counts, 200);
  EXPECT_EQ(train.vehicles[0].wheel_loads_kg[3][synth::ODD], 2000);
  EXPECT_EQ(train.vehicles[0].wheel_loads_kg[3][synth::EVEN], 6000);
}

TEST(SynthPassage, LaysOutBogiesAndVehiclesFrontToBack) {
  synth::TrainSpec train;
  synth::Passage passage;
  std::string error;
  ASSERT_EQ(synth::ParseTrainDescription(
                Description(R"("speed": {"initial_kmh": 40})", SAME_FREQUENCY, R"(, "vehicle_gap_m": 4.0)"), &train,
                &error),
            0);
  ASSERT_EQ(synth::PlanPassage(train, &passage, &error), 0) << error;
  std::vector<double> expected = {0, 2, 4, 11, 13, 15, 19, 20.85, 27.65, 29.5};
  ASSERT_EQ(passage.axles.size(), expected.size());
  for (size_t j = 0; j < expected.size(); ++j) EXPECT_NEAR(passage.axles[j].offset_m, expected[j], 1e-9) << j;
  EXPECT_EQ(passage.first_axle_of_vehicle, (std::vector<int>{0, 6}));
  EXPECT_EQ(passage.axles[7].flat_sensor[synth::EVEN], 2);
  EXPECT_EQ(passage.axles[7].flat_sensor[synth::ODD], -1);
}

struct LayoutCase {
  const char* name;
  std::string motion;
  const char* devices;
};

// File layout, time order, counters and the carriage table, for steady and
// changing speed, both directions and unequal frequencies.
TEST(SynthOscillogram, RecordsInterleaveInTimeOrderWithATableThatPointsAtThem) {
  std::vector<LayoutCase> cases = {
      {"steady", R"("speed": {"initial_kmh": 40})", SAME_FREQUENCY},
      {"reverse braking", R"("direction": -1, "speed": {"initial_kmh": 50, "accel_mps2": -0.8})", SAME_FREQUENCY},
      {"own frequencies", R"("speed": {"initial_kmh": 20, "accel_mps2": 0.5})", OWN_FREQUENCIES},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Synthesized s = Synthesize(Description(c.motion, c.devices), dir.File("p"));
    DecodedOsc osc = Decode(s.prefix + ".osc");
    ASSERT_EQ(osc.bytes, 21504 + 19 * osc.records.size());
    ASSERT_EQ(static_cast<int64_t>(osc.records.size()), s.stats.records);

    std::map<int, uint32_t> next_counter;
    for (const synth::DeviceSpec& d : s.train.lines[0].devices) next_counter[d.port - 7126] = d.counter_start;
    double previous = 0;
    for (const DecodedRecord& r : osc.records) {
      ASSERT_EQ(r.payload_length, 12);
      ASSERT_EQ(r.counter, next_counter[r.device]++) << "device " << r.device;
      double t = RecordTime(s, r);
      ASSERT_GE(t, previous);
      previous = t;
    }
    for (const synth::DeviceSpec& d : s.train.lines[0].devices) {
      double samples = next_counter[d.port - 7126] - d.counter_start;
      EXPECT_NEAR(samples, s.passage.duration_s * d.frequency_hz, 1.0);
    }

    ASSERT_EQ(osc.carriages.size(), 2u);
    for (size_t v = 0; v < osc.carriages.size(); ++v) {
      const DecodedCarriage& e = osc.carriages[v];
      EXPECT_EQ(e.number, static_cast<int>(v + 1));
      ASSERT_EQ((e.offset - 21504) % 19, 0u);
      size_t index = (e.offset - 21504) / 19;
      ASSERT_GT(index, 0u);
      ASSERT_LT(index, osc.records.size());
      // The moment lies in [time_ms, time_ms + 1) ms; the entry's record is
      // the first at or after it.
      EXPECT_GE(RecordTime(s, osc.records[index]) * 1000, e.time_ms);
      EXPECT_LT(RecordTime(s, osc.records[index - 1]) * 1000, e.time_ms + 1);
    }
    EXPECT_GT(osc.carriages[1].time_ms, osc.carriages[0].time_ms);
  }
}

struct ChannelTrace {
  std::vector<double> times_s;
  std::vector<int> values;
};

// Per device and channel, the samples over time.
std::map<std::pair<int, int>, ChannelTrace> Traces(const Synthesized& s, const DecodedOsc& osc) {
  std::map<std::pair<int, int>, ChannelTrace> traces;
  for (const DecodedRecord& r : osc.records)
    for (int k = 0; k < 4; ++k) {
      ChannelTrace& t = traces[{r.device, k}];
      t.times_s.push_back(RecordTime(s, r));
      t.values.push_back(r.channels[k]);
    }
  return traces;
}

// Time of the first peak above half of `height` counts over the baseline.
double FirstPeakTime(const ChannelTrace& t, int baseline, double height) {
  size_t best = 0;
  bool inside = false;
  for (size_t i = 0; i < t.values.size(); ++i) {
    bool above = t.values[i] - baseline > height / 2;
    if (above && (!inside || t.values[i] > t.values[best])) best = i;
    if (inside && !above) break;
    inside = inside || above;
  }
  return t.times_s[best];
}

TEST(SynthSignal, PeaksCarryTheWheelLoadsAndTheFlatInTheTravelDirection) {
  for (int direction : {1, -1}) {
    SCOPED_TRACE(direction);
    TempDir dir;
    Synthesized s = Synthesize(
        Description(R"("direction": )" + std::to_string(direction) + R"(, "speed": {"initial_kmh": 30})",
                    SAME_FREQUENCY),
        dir.File("p"));
    auto traces = Traces(s, Decode(s.prefix + ".osc"));
    for (int side : {synth::ODD, synth::EVEN})
      for (int k = 0; k < 4; ++k) {
        const ChannelTrace& t = traces[{side, k}];
        EXPECT_EQ(*std::min_element(t.values.begin(), t.values.end()), 5000)
            << "between wheels a sensor rests on its baseline";
        // The heaviest wheel is the locomotive's 11000 kg, except where the
        // wagon's 6000 kg flat wheel lands: 12000 kg at even sensor 2.
        double heaviest_kg = side == synth::EVEN && k == 2 ? 12000 : 11000;
        EXPECT_NEAR(*std::max_element(t.values.begin(), t.values.end()) - 5000, heaviest_kg / 2.0, 1.5)
            << side << "/" << k;
      }
    // The first wheel's pulse has the area of the influence line:
    // integral of cos^2(pi u / 2a) over (-a, a) is a, so load/coeff * 0.30 m.
    const ChannelTrace& first = traces[{synth::ODD, 1}];
    double area = 0;
    bool seen = false;
    for (size_t i = 0; i < first.values.size(); ++i) {
      if (first.values[i] == 5000 && seen) break;
      seen = seen || first.values[i] > 5000;
      area += (first.values[i] - 5000) * s.passage.v0_mps / 2000;
    }
    EXPECT_NEAR(area, 5500 * synth::INFLUENCE_HALF_WIDTH_M, 5500 * 0.30 * 0.005);
    // The train meets the sensor at its front end first.
    double at_0 = FirstPeakTime(traces[{synth::ODD, 0}], 5000, 5500);
    double at_3 = FirstPeakTime(traces[{synth::ODD, 3}], 5000, 5500);
    EXPECT_EQ(at_0 < at_3, direction > 0);
  }
}

double ValueNear(const ChannelTrace& t, double time_s) {
  auto it = std::lower_bound(t.times_s.begin(), t.times_s.end(), time_s);
  return t.values[static_cast<size_t>(it - t.times_s.begin())];
}

// The truth's speeds against the oscillogram itself: each axle's peaks
// across the line's 2.7 m, timed at 4000 Hz, give its mean speed there.
TEST(SynthTruth, AxleSpeedsAndWeightsMatchTheSignal) {
  TempDir dir;
  Synthesized s = Synthesize(
      Description(R"("direction": -1, "speed": {"initial_kmh": 20, "accel_mps2": 0.5})",
                  R"("frequency": 4000, "odd": {"port": 7126}, "even": {"port": 7127})"),
      dir.File("p"));
  auto traces = Traces(s, Decode(s.prefix + ".osc"));
  rapidjson::Document truth;
  truth.Parse(ReadFileText(s.prefix + ".truth.json").c_str());
  ASSERT_TRUE(truth.IsObject());
  EXPECT_EQ(truth["total_weight"].GetDouble(), 6 * 22000 + 4 * 12000);
  const auto& carriages = truth["carriages"];
  ASSERT_EQ(carriages.Size(), 2u);
  EXPECT_TRUE(carriages[0]["loco"]["flag"].GetBool());
  EXPECT_STREQ(carriages[0]["loco"]["type"].GetString(), "Co-Co");
  EXPECT_FALSE(carriages[1]["loco"]["flag"].GetBool());
  EXPECT_EQ(carriages[1]["axis"][1]["wheels"][1]["condition"].GetDouble(), 100);

  size_t j = 0;
  double previous_kmh = 0;
  for (const auto& carriage : carriages.GetArray())
    for (const auto& axle : carriage["axis"].GetArray()) {
      double offset = s.passage.axles[j++].offset_m;
      // Search each peak within 0.1 s of where the axle should be.
      auto PeakTime = [&](int k) {
        const ChannelTrace& t = traces[{synth::ODD, k}];
        double expected = synth::TimeAtTravel(
            s.passage, synth::TravelWhenAt(s.passage, offset, s.train.lines[0].devices[0].sensors[k].position_m));
        double best_t = 0, best = -1;
        for (size_t i = 0; i < t.values.size(); ++i)
          if (std::fabs(t.times_s[i] - expected) < 0.1 && t.values[i] > best) {
            best = t.values[i];
            best_t = t.times_s[i];
          }
        return best_t;
      };
      double measured_kmh = 3.6 * 2.7 / std::fabs(PeakTime(3) - PeakTime(0));
      double truth_kmh = axle["speed"].GetDouble();
      EXPECT_NEAR(measured_kmh, truth_kmh, truth_kmh * 0.003) << "axle " << j;
      EXPECT_GT(truth_kmh, previous_kmh) << "the train gathers speed";
      previous_kmh = truth_kmh;
      double wheel_kg = axle["wheels"][0]["weight"].GetDouble();
      EXPECT_NEAR(ValueNear(traces[{synth::ODD, 1}], synth::TimeAtTravel(s.passage, synth::TravelWhenAt(
                                                                              s.passage, offset, 0.9f))) -
                      5000,
                  wheel_kg / 2, 2.0);
    }
}

TEST(SynthNoise, IsGaussianOfSigmaAndRepeatsForItsSeed) {
  std::string devices = R"("odd": {"port": 7126, "counter_start": 5}, "even": {"port": 7127, "counter_start": 5})";
  std::string noisy = Description(R"("speed": {"initial_kmh": 40}, "noise_sigma": 25, "quiet_s": 1.0)", devices);
  TempDir dir;
  Synthesized a = Synthesize(noisy, dir.File("a"));
  Synthesize(noisy, dir.File("b"));
  Synthesized c = Synthesize(noisy, dir.File("c"));
  EXPECT_EQ(ReadFileText(dir.File("a.osc")), ReadFileText(dir.File("b.osc")));
  c.train.seed = 6;
  std::string error;
  ASSERT_EQ(synth::WriteOscillogram(c.train, c.passage, dir.File("c.osc"), &c.stats, &error), 0);
  EXPECT_NE(ReadFileText(dir.File("a.osc")), ReadFileText(dir.File("c.osc")));

  // The first second is quiet track: every value there is baseline + noise.
  double sum = 0, square_sum = 0, n = 0, beyond_3_sigma = 0, neighbour_products = 0;
  for (const DecodedRecord& r : Decode(dir.File("a.osc")).records) {
    if (RecordTime(a, r) > 0.9) break;
    for (int k = 0; k < 4; ++k) {
      double x = r.channels[k] - 5000;
      sum += x;
      square_sum += x * x;
      n += 1;
      beyond_3_sigma += std::fabs(x) > 75 ? 1 : 0;
    }
    // Channels 0 and 1 take consecutive draws (one Box-Muller pair).
    neighbour_products += (r.channels[0] - 5000.0) * (r.channels[1] - 5000.0);
  }
  ASSERT_GT(n, 10000);
  double mean = sum / n;
  double sigma = std::sqrt(square_sum / n - mean * mean);
  EXPECT_NEAR(mean, 0, 1.0);
  EXPECT_NEAR(sigma, 25, 1.0);
  EXPECT_NEAR(beyond_3_sigma / n, 0.0027, 0.0015) << "tails of a normal distribution";
  EXPECT_NEAR(neighbour_products / (n / 4) / (sigma * sigma), 0, 0.05) << "draws are independent";
}

// The passage read back through the program's own loader and sample
// feeding: the raw dump must hold every sample with its time, temperature
// and channel values as synthesized.
TEST(SynthReadBack, ProgramLoadsTheConfigurationAndEverySample) {
  TempDir dir;
  Synthesized s = Synthesize(Description(R"("speed": {"initial_kmh": 60}, "noise_sigma": 3,
                                            "temperature": {"start_c": -12, "end_c": 31})",
                                         OWN_FREQUENCIES),
                             dir.File("p"));
  ProgramRun run = RunKorvanetBinary({s.prefix + ".osc", "--config-file=" + s.prefix + ".json.conf", "--debug=1"},
                                     {}, /*scriptedLibrary=*/true);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  DecodedOsc osc = Decode(s.prefix + ".osc");
  std::map<int, std::vector<std::string>> expected;
  std::map<int, double> origin_us;
  for (const DecodedRecord& r : osc.records) {
    int frequency = s.train.lines[0].devices[r.device].frequency_hz;
    double t_us = static_cast<double>(r.counter) * 1000000.0 / frequency;
    if (!origin_us.count(r.device)) origin_us[r.device] = static_cast<double>(static_cast<int64_t>(t_us));
    char line[128];
    std::snprintf(line, sizeof line, "%d %lld %f %d %d %d %d", r.device,
                  static_cast<long long>(t_us - origin_us[r.device]),
                  static_cast<double>(::ThermistorCelsius(static_cast<uint16_t>(r.thermistor))), r.channels[0],
                  r.channels[1], r.channels[2], r.channels[3]);
    expected[r.device].push_back(line);
    // The reading stands for the device's temperature on its course.
    double true_c = -12 + 43 * RecordTime(s, r) / s.passage.duration_s;
    ASSERT_NEAR(::ThermistorCelsius(static_cast<uint16_t>(r.thermistor)), true_c, 0.3);
  }
  for (int device : {0, 1}) {
    std::istringstream dump(ReadFileText(s.prefix + ".osc_out" + std::to_string(device) + ".dat"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(dump, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), expected[device].size()) << "device " << device;
    EXPECT_EQ(lines, expected[device]) << "device " << device;
  }
  EXPECT_EQ(run.err.find("freq not set"), std::string::npos) << "every device's frequency came from the file";
}

}  // namespace
