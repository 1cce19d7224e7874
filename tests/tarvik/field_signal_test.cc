// The library's core against what a real track adds: influence lines of
// their own shapes, a spike beside a pulse, records lost inside a pulse, and
// a vehicle whose body moves while its static loads are weighed.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "tarvik/tarvik_core.h"
#include "tests/tarvik/synth_passage.h"

namespace {

const char* const WAGONS = R"({"seed": 5, "noise_sigma": 10, "speed": {"initial_kmh": 40},
  "installation": {"lines": [{"id": 1, "positions_m": [0.0, 0.9, 1.8, 2.7], "odd": {"port": 7126}, "even": {"port": 7127}}]},
  "vehicles": [{"axle_load_kg": 20000, "load_spread_kg": 2000, "repeat": 6}] %s})";

struct Rail {
  tarvik::SampleStore store;
  tarvik::DeviceSignal signal;
  tarvik::RailSolution solution;
};

// Solves the odd rail of `samples` as the library would.
void SolveOdd(const std::vector<SideSample>& samples, Rail* rail) {
  for (const SideSample& s : samples) rail->store.Append(s);
  rail->signal = tarvik::AnalyseDevice(rail->store);
  tarvik::DeviceInput input{0, {2, 2, 2, 2}, {0.0, 0.9, 1.8, 2.7}, &rail->signal};
  rail->solution = tarvik::SolveRail(input, 1.35);
}

std::string Described(const char* field) {
  char text[1024];
  std::snprintf(text, sizeof text, WAGONS, field);
  return text;
}

TEST(FieldSignal, LearnedInfluenceLinesMatchTheTrackAndReadTheLoads) {
  SynthPassage s = Synthesize(Described(R"(, "field": {"influence": {"asymmetry": 0.25, "side_lobe": 0.04}})"));
  Rail rail;
  SolveOdd(s.samples[0], &rail);
  ASSERT_TRUE(rail.solution.problem.empty()) << rail.solution.problem;
  for (size_t k = 0; k < 4; ++k) {
    const tarvik::SensorSolution& sensor = rail.solution.sensors[k];
    const synth::SensorShape& shape = s.passage.field.devices[0][synth::ODD].shapes[k];
    double worst = 0;
    for (double u = -0.85; u <= 0.85; u += 0.01)
      worst = std::max(worst, std::fabs(sensor.influence.Value(u) - synth::Influence(shape, u)));
    EXPECT_LT(worst, 0.03) << "sensor " << k << ": half widths " << shape.behind_m << ", " << shape.ahead_m;
    // Within 0.2 %: a line left after one round, still leaning toward the
    // model's, reads these wheels up to 0.5 % off.
    for (size_t j = 0; j < sensor.readings.size(); ++j)
      EXPECT_NEAR(sensor.readings[j].amplitude_counts * 2, s.passage.axles[j].loads_kg[synth::ODD],
                  0.002 * s.passage.axles[j].loads_kg[synth::ODD])
          << "sensor " << k << " wheel " << j;
  }
}

// A spike beside a pulse's top and a run of records lost inside another
// pulse leave both wheels' readings where the clean passage has them.
TEST(FieldSignal, SpikeBesidePulseAndRecordsLostInsideOneLeaveReadingsAlone) {
  SynthPassage s = Synthesize(Described(""));
  Rail clean;
  SolveOdd(s.samples[0], &clean);
  ASSERT_TRUE(clean.solution.problem.empty());
  const tarvik::WheelMotion& spiked = clean.solution.motions[3];
  const tarvik::WheelMotion& broken = clean.solution.motions[9];
  int64_t spike_us = std::llround(spiked.TimeAt(0.9) * 1e6) + 1500;
  int64_t lost_from_us = std::llround(broken.TimeAt(1.8) * 1e6) - 20000, lost_to_us = lost_from_us + 12000;
  std::vector<SideSample> field;
  for (SideSample sample : s.samples[0]) {
    if (sample.timeUs >= lost_from_us && sample.timeUs < lost_to_us) continue;
    if (std::llabs(sample.timeUs - spike_us) < 250) sample.channels[1] = static_cast<uint16_t>(sample.channels[1] + 9000);
    field.push_back(sample);
  }
  Rail hurt;
  SolveOdd(field, &hurt);
  ASSERT_TRUE(hurt.solution.problem.empty()) << hurt.solution.problem;
  ASSERT_EQ(hurt.signal.gaps.size(), 1u);
  for (auto [k, j] : {std::pair{1, 3}, std::pair{2, 9}}) {
    const tarvik::WheelReading& before = clean.solution.sensors[k].readings[j];
    const tarvik::WheelReading& after = hurt.solution.sensors[k].readings[j];
    ASSERT_TRUE(after.valid) << "sensor " << k;
    EXPECT_NEAR(after.amplitude_counts, before.amplitude_counts, 0.003 * before.amplitude_counts) << "sensor " << k;
  }
}

// A wagon over two lines whose body bounces, pitches and rolls by a few
// percent: averaging keeps the motion, the weighing takes it out and still
// finds the flat that raises one reading.
TEST(FieldSignal, DynamicVehicleWeighsItsStaticLoadsAndItsFlat) {
  const double offsets[] = {0, 1.85, 8.65, 10.5}, speed = 15, pi = std::numbers::pi;
  const double static_kg[4][2] = {{11000, 10600}, {11200, 10800}, {10900, 11300}, {11100, 11000}};
  auto motion = [&](double t, size_t axle, size_t side) {
    double arm = 1 - 2 * offsets[axle] / offsets[3];
    double roll = 0.03 * std::sin(2 * pi * 1.7 * t + 0.4) * 0.5 * (static_kg[axle][0] + static_kg[axle][1]);
    return static_kg[axle][side] * (1 + 0.03 * std::sin(2 * pi * 1.3 * t + 1) + arm * 0.02 * std::sin(2 * pi * 2.2 * t)) +
           (side == 0 ? roll : -roll) + 20 * std::sin(7919.0 * t + static_cast<double>(axle + side));
  };
  tarvik::VehicleLoads loads;
  loads.axle_offset_m.assign(std::begin(offsets), std::end(offsets));
  double averaged = 0, truth = 0;
  for (size_t a = 0; a < 4; ++a)
    for (size_t side = 0; side < 2; ++side) {
      truth += static_kg[a][side];
      for (size_t line = 0; line < 2; ++line)
        for (size_t k = 0; k < 4; ++k) {
          double t = (offsets[a] + 10.0 * static_cast<double>(line) + 0.9 * static_cast<double>(k)) / speed;
          double load = motion(t, a, side) * (a == 2 && side == 1 && k == 1 ? 1.4 : 1.0);
          loads.observations.push_back({2 * a + side, 2 * line + side, 4 * line + k, load, 3.0, t});
          if (!(a == 2 && side == 1 && k == 1)) averaged += motion(t, a, side) / 8;
        }
    }
  tarvik::VehicleWeighing weighing = tarvik::WeighVehicle(loads, tarvik::MotionPrior{});
  double weighed = 0;
  for (double kg : weighing.wheel_kg) weighed += kg;
  EXPECT_GT(std::fabs(averaged / truth - 1), 0.008) << "the motion must matter to averaging";
  EXPECT_NEAR(weighed / truth, 1, 0.002) << weighing.dynamics;
  for (size_t w = 0; w < 8; ++w) EXPECT_NEAR(weighing.wheel_kg[w] / static_kg[w / 2][w % 2], 1, 0.01) << "wheel " << w;
  size_t flats = 0;
  for (size_t o = 0; o < loads.observations.size(); ++o)
    if (weighing.flat[o]) {
      ++flats;
      EXPECT_EQ(loads.observations[o].wheel, 5u);
      EXPECT_NEAR(weighing.excess[o], 0.4, 0.02);
    }
  EXPECT_EQ(flats, 2u);  // once on each line
}

// One line whose even rail has lost two of its sensors: each even wheel has
// two readings, which a strong roll parts by several percent. The higher one
// is the motion's peak, not a flat, and must not be weighed out as one.
TEST(FieldSignal, RollOverTwoReadingsOfAWheelIsNoFlat) {
  const double offsets[] = {0, 1.8, 8.8, 10.6}, speed = 20, pi = std::numbers::pi;
  const double static_kg[4][2] = {{10100, 10700}, {10200, 10600}, {9900, 11500}, {10000, 11200}};
  tarvik::VehicleLoads loads;
  loads.axle_offset_m.assign(std::begin(offsets), std::end(offsets));
  for (size_t a = 0; a < 4; ++a)
    for (size_t side = 0; side < 2; ++side)
      for (size_t k : {0, 1, 2, 3}) {
        if (side == 1 && (k == 1 || k == 2)) continue;
        double t = (offsets[a] + 0.93 * static_cast<double>(k)) / speed;
        double bounce = 0.013 * std::sin(2 * pi * 3.3 * t + 2.6), roll = 0.045 * std::sin(2 * pi * 3.9 * t + 4.4);
        double load = static_kg[a][side] * (1 + bounce) + (side == 0 ? -roll : roll) * 10500;
        loads.observations.push_back({2 * a + side, side, k, load, 3.0, t});
      }
  tarvik::VehicleWeighing weighing = tarvik::WeighVehicle(loads, tarvik::MotionPrior{});
  for (size_t o = 0; o < loads.observations.size(); ++o) EXPECT_FALSE(weighing.flat[o]) << "reading " << o;
  for (size_t w = 0; w < 8; ++w) EXPECT_NEAR(weighing.wheel_kg[w] / static_kg[w / 2][w % 2], 1, 0.02) << "wheel " << w;
}

}  // namespace
