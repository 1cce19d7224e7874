// The model's inverse: synthesized passages come back out of the solver with
// the train's own loads, speeds, flats and layout.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "tarvik/tarvik_core.h"
#include "tests/tarvik/synth_passage.h"

namespace {

using tarvik::LineEstimate;

// Stores both devices' samples of line 0 and describes them to the solver.
struct Line {
  std::unique_ptr<tarvik::SampleStore> stores[2];
  tarvik::DeviceInput inputs[2];

  LineEstimate Solve(const SynthPassage& s) {
    for (int side = 0; side < 2; ++side) {
      const synth::DeviceSpec& device = s.train.lines[0].devices[static_cast<size_t>(side)];
      stores[side] = std::make_unique<tarvik::SampleStore>();
      for (const SideSample& sample : s.samples[device.port - synth::FIRST_DEVICE_PORT])
        EXPECT_TRUE(stores[side]->Append(sample));
      inputs[side].device_id = device.port - synth::FIRST_DEVICE_PORT;
      for (const synth::SensorSpec& sensor : device.sensors) {
        inputs[side].coeff_kg_per_count.push_back(sensor.coeff_kg_per_count);
        inputs[side].position_m.push_back(sensor.position_m);
      }
      inputs[side].samples = stores[side].get();
    }
    return tarvik::SolveLine(inputs[0], inputs[1]);
  }
};

struct Case {
  const char* name;
  double speed_kmh, accel_mps2;
  int direction;
  int odd_hz, even_hz;
  double noise_counts;
  double flat;  // on the locomotive's first odd wheel, at sensor 2; the wagon's is 0.35
  double tau_counts_per_c, temperature_end_c;
  double even_late_s;  // the even device's recording starts this much later, on its own clock
  double wheel_tolerance;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Train : public testing::TestWithParam<Case> {};

// A locomotive, a loaded wagon with one uneven wheel and an empty wagon,
// flats on three wheels, over unevenly spaced sensors with unequal
// coefficients and baselines.
TEST_P(Train, VehiclesAxlesWeightsSpeedsAndFlatsInOrder) {
  const Case& c = GetParam();
  std::string loco_flat =
      c.flat > 0 ? R"(, "flats": [{"axle": 0, "wheel": 0, "severity": )" + std::to_string(c.flat) + R"(, "sensor": 2}])" : "";
  char description[2048];
  std::snprintf(description, sizeof description, R"({"seed": 7, "direction": %d, "noise_sigma": %g,
      "speed": {"initial_kmh": %g, "accel_mps2": %g}, "temperature": {"start_c": 5, "end_c": %g},
      "installation": {"baseline": [3000, 5500, 8000, 10500], "lines": [{"id": 1,
        "positions_m": [0.0, 0.7, 1.95, 2.9],
        "odd": {"port": 7128, "frequency": %d, "coeff": 2.2, "tau": %g},
        "even": {"port": 7129, "frequency": %d, "coeff": 2.3, "tau": %g}}]},
      "vehicles": [
        {"bogie_axles": 3, "axle_spacing_m": 1.95, "bogie_centres_m": 12.0, "axle_load_kg": 23600%s},
        {"gap_before_m": 3.4, "wheel_loads_kg": [[10400, 10400], [10400, 9100], [10400, 10400], [10400, 10400]],
         "flats": [{"axle": 3, "wheel": 0, "severity": 0.35, "sensor": 0}]},
        {"gap_before_m": 3.3, "axle_load_kg": 5800, "flats": [{"axle": 2, "wheel": 1, "severity": 0.8, "sensor": 3}]}]})",
                c.direction, c.noise_counts, c.speed_kmh, c.accel_mps2, c.temperature_end_c, c.odd_hz,
                c.tau_counts_per_c, c.even_hz, -c.tau_counts_per_c, loco_flat.c_str());
  SynthPassage s = Synthesize(description);
  std::vector<SideSample>& even = s.samples[3];
  size_t late = static_cast<size_t>(c.even_late_s * c.even_hz);
  ASSERT_LT(late, even.size());
  even.erase(even.begin(), even.begin() + static_cast<std::ptrdiff_t>(late));
  int64_t origin = even.front().timeUs;
  for (SideSample& sample : even) sample.timeUs -= origin;

  Line line;
  LineEstimate estimate = line.Solve(s);
  ASSERT_TRUE(estimate.correct) << estimate.problem;
  ASSERT_EQ(estimate.vehicles.size(), 3u);
  const size_t axles_per_vehicle[3] = {6, 4, 4};
  size_t axle = 0;
  double total_true = 0, total_found = 0;
  for (size_t v = 0; v < 3; ++v) {
    const tarvik::VehicleEstimate& vehicle = estimate.vehicles[v];
    ASSERT_EQ(vehicle.axles.size(), axles_per_vehicle[v]) << "vehicle " << v;
    EXPECT_EQ(vehicle.locomotive, v == 0) << "vehicle " << v;
    double vehicle_true = 0, vehicle_found = 0;
    for (const tarvik::AxleEstimate& found : vehicle.axles) {
      const synth::AxlePlacement& truth = s.passage.axles[axle];
      for (int side = 0; side < 2; ++side) {
        SCOPED_TRACE("axle " + std::to_string(axle) + " side " + std::to_string(side));
        const tarvik::WheelEstimate& wheel = found.wheels[side];
        EXPECT_NEAR(wheel.weight_kg, truth.loads_kg[side], c.wheel_tolerance * truth.loads_kg[side]);
        double flat = truth.flat_severity[side];
        if (flat > 0)
          EXPECT_NEAR(wheel.condition_percent, 100 * flat, 50 * flat);
        else
          EXPECT_LT(wheel.condition_percent, 10);
        // Strength and ids: one entry per sensor, ids name device and channel.
        ASSERT_EQ(wheel.sensor_ids.size(), 4u);
        EXPECT_EQ(wheel.sensor_ids[3], 4 * (2 + side) + 3);
        vehicle_true += truth.loads_kg[side];
        vehicle_found += wheel.weight_kg;
      }
      EXPECT_NEAR(found.speed_kmh, s.SpeedKmh(axle), 0.01 * s.SpeedKmh(axle)) << "axle " << axle;
      ++axle;
    }
    EXPECT_NEAR(vehicle_found, vehicle_true, 0.005 * vehicle_true) << "vehicle " << v;
    total_true += vehicle_true;
    total_found += vehicle_found;
  }
  EXPECT_NEAR(total_found, total_true, 0.0025 * total_true);
  double peak = s.passage.axles[0].loads_kg[1] / 2.3;
  EXPECT_NEAR(estimate.vehicles[0].axles[0].wheels[1].strength_counts[0], peak, 0.03 * peak);
}

INSTANTIATE_TEST_SUITE_P(
    Passages, Train,
    testing::Values(Case{"clean_40", 40, 0, 1, 2000, 2000, 0, 0, 0, 5, 0, 0.005},
                    Case{"backwards_mixed_rates_drift", 25, 0, -1, 1000, 4000, 40, 0.2, 4.5, 25, 0, 0.02},
                    Case{"accelerating_fast_full_flat", 60, 0.5, 1, 1000, 1000, 40, 1.0, -3, -15, 0, 0.03},
                    Case{"braking_slow", 15, -0.15, -1, 4000, 2500, 40, 0.5, 2, 12, 0, 0.02},
                    Case{"crawling_even_device_late", 3, 0, 1, 1000, 1200, 40, 0, 5, 8, 1.0, 0.02},
                    Case{"top_speed_low_rate", 80, 0, -1, 1000, 1500, 40, 0, 0, 5, 0, 0.03}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

struct SensorFaultCase {
  const char* name;
  void (*spoil)(SideSample* sample, size_t index, size_t count);  // applied to the odd device's samples
  size_t odd_sensors_used;
  const char* note;  // the start of a note expected among the notes; "" for none
};
void PrintTo(const SensorFaultCase& c, std::ostream* os) { *os << c.name; }

class SensorFault : public testing::TestWithParam<SensorFaultCase> {};

// One bad channel must not cost the line: the sensor is left out (and
// named), the other three carry the odd rail.
TEST_P(SensorFault, LineIsWeighedWithoutTheBadSensor) {
  const SensorFaultCase& c = GetParam();
  SynthPassage s = Synthesize(R"({"speed": {"initial_kmh": 54}, "noise_sigma": 30,
      "installation": {"lines": [{"positions_m": [0.0, 0.9, 1.8, 2.7], "odd": {"port": 7126}, "even": {"port": 7127}}]},
      "vehicles": [{"axle_load_kg": 20000}, {"axle_load_kg": 6000}]})");
  std::vector<SideSample>& odd = s.samples[0];
  for (size_t i = 0; i < odd.size(); ++i) c.spoil(&odd[i], i, odd.size());

  Line line;
  LineEstimate estimate = line.Solve(s);
  ASSERT_TRUE(estimate.correct) << estimate.problem;
  ASSERT_EQ(estimate.vehicles.size(), 2u);
  double total = 0;
  for (const tarvik::VehicleEstimate& vehicle : estimate.vehicles)
    for (const tarvik::AxleEstimate& axle : vehicle.axles) {
      EXPECT_EQ(axle.wheels[0].sensor_ids.size(), c.odd_sensors_used);
      total += axle.wheels[0].weight_kg + axle.wheels[1].weight_kg;
    }
  EXPECT_NEAR(total, 104000, 0.005 * 104000);
  bool noted = std::string(c.note).empty() ? estimate.notes.empty() : false;
  for (const std::string& note : estimate.notes) noted = noted || (*c.note && note.rfind(c.note, 0) == 0);
  EXPECT_TRUE(noted) << (estimate.notes.empty() ? "no notes" : estimate.notes[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, SensorFault,
    testing::Values(
        SensorFaultCase{"dead_sensor", [](SideSample* s, size_t, size_t) { s->channels[2] = 5000; }, 3,
                        "sensor 2 left out: it saw 0 wheels, the others 8"},
        // Spikes read as extra wheels; the count gives the sensor away.
        SensorFaultCase{"spiking_sensor",
                        [](SideSample* s, size_t i, size_t) {
                          if (i % 997 == 0) s->channels[1] = 65535;
                        },
                        3, "sensor 1 left out"},
        SensorFaultCase{"thermistor_lost",
                        [](SideSample* s, size_t i, size_t n) {
                          if (i > n / 2) s->temperature = NAN;
                        },
                        4, ""}),
    [](const testing::TestParamInfo<SensorFaultCase>& info) { return std::string(info.param.name); });

}  // namespace
