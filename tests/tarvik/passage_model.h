// A small forward model of a weighing installation for the library's own
// tests: a known train passes a known line and each device's samples come
// out as SideSamples, the way the feeding would hand them over.
#pragma once

#include <cstdint>
#include <vector>

#include "calc/tarvik.h"

struct ModelSensor {
  double position_m = 0;
  double coeff_kg_per_count = 2;
  double baseline_counts = 5000;
  double tau_counts_per_c = 0;
};

struct ModelDevice {
  int32_t id = 0;
  double frequency_hz = 2000;
  double phase_s = 0;  // true time of the device's first sample after the passage's t = 0
  std::vector<ModelSensor> sensors;
};

struct ModelAxle {
  double offset_m = 0;       // behind the front axle
  double load_kg[2] = {5000, 5000};  // [odd rail, even rail]
  double flat[2] = {0, 0};   // severity f per rail
  int flat_sensor[2] = {0, 0};
};

struct ModelPassage {
  std::vector<ModelAxle> axles;
  int direction = 1;          // +1 towards larger positions
  double speed_mps = 10;      // of the train at t = 0
  double accel_mps2 = 0;
  double lead_m = 2;          // quiet track before the first and after the last axle
  double temperature_start_c = 20;
  double temperature_end_c = 20;
  double noise_counts = 0;
  uint64_t seed = 1;
};

// Every sample of one device over the whole passage, in time order.
// `rail` 0 for the odd device, 1 for the even one.
std::vector<SideSample> GenerateSamples(const ModelPassage& passage, const ModelDevice& device, int rail);

// The train's true speed (m/s, unsigned) when axle `axle` stands at `position_m`.
double TrueSpeedAt(const ModelPassage& passage, const ModelDevice& device, size_t axle, double position_m);

// Builds a vehicle's axles behind `start_m`: two bogies of `bogie_axles`
// axles `axle_spacing_m` apart, bogie fronts `bogie_distance_m` apart;
// every wheel carries `wheel_load_kg`. Returns the offset of its last axle.
double AddVehicle(std::vector<ModelAxle>* axles, double start_m, int bogie_axles, double axle_spacing_m,
                  double bogie_distance_m, double wheel_load_kg);
