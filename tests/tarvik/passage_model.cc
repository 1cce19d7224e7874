#include "tests/tarvik/passage_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace {

constexpr double A_M = 0.30;

double Influence(double u_m) {
  if (std::fabs(u_m) >= A_M) return 0;
  double c = std::cos(std::numbers::pi * u_m / (2 * A_M));
  return c * c;
}

struct Layout {
  double start_m = 0;      // front axle position at t = 0
  double duration_s = 0;
};

Layout Lay(const ModelPassage& passage, const ModelDevice& device) {
  double low = 1e9, high = -1e9;
  for (const ModelSensor& s : device.sensors) low = std::min(low, s.position_m), high = std::max(high, s.position_m);
  // Both devices of a line share positions in these tests, so the layout
  // from one device holds for the other.
  Layout layout;
  layout.start_m = passage.direction > 0 ? low - passage.lead_m : high + passage.lead_m;
  double last_offset = passage.axles.empty() ? 0 : passage.axles.back().offset_m;
  double travel = last_offset + (high - low) + 2 * passage.lead_m;
  double v = passage.speed_mps, a = passage.accel_mps2;
  layout.duration_s = std::fabs(a) < 1e-12 ? travel / v : (-v + std::sqrt(v * v + 2 * a * travel)) / a;
  return layout;
}

double Travel(const ModelPassage& passage, double t_s) {
  return passage.speed_mps * t_s + 0.5 * passage.accel_mps2 * t_s * t_s;
}

}  // namespace

std::vector<SideSample> GenerateSamples(const ModelPassage& passage, const ModelDevice& device, int rail) {
  Layout layout = Lay(passage, device);
  std::mt19937_64 random(passage.seed * 1000 + static_cast<uint64_t>(device.id));
  std::normal_distribution<double> noise(0.0, 1.0);
  size_t count = static_cast<size_t>(layout.duration_s * device.frequency_hz) + 1;
  std::vector<SideSample> samples(count);
  for (size_t k = 0; k < count; ++k) {
    double t = device.phase_s + static_cast<double>(k) / device.frequency_hz;
    double progress = layout.duration_s > 0 ? t / layout.duration_s : 0;
    double temperature =
        passage.temperature_start_c + (passage.temperature_end_c - passage.temperature_start_c) * progress;
    double front = layout.start_m + passage.direction * Travel(passage, t);
    SideSample& sample = samples[k];
    sample.deviceId = static_cast<uint32_t>(device.id);
    sample.timeUs = static_cast<int64_t>(static_cast<double>(k) * 1e6 / device.frequency_hz);
    sample.temperature = static_cast<float>(temperature);
    for (size_t c = 0; c < device.sensors.size() && c < 4; ++c) {
      const ModelSensor& s = device.sensors[c];
      double value = s.baseline_counts + s.tau_counts_per_c * (temperature - 20);
      for (const ModelAxle& axle : passage.axles) {
        double position = front - passage.direction * axle.offset_m;
        double term = axle.load_kg[rail] / s.coeff_kg_per_count * Influence(position - s.position_m);
        if (axle.flat[rail] > 0 && axle.flat_sensor[rail] == static_cast<int>(c)) term *= 1 + axle.flat[rail];
        value += term;
      }
      value += passage.noise_counts * noise(random);
      sample.channels[c] = static_cast<uint16_t>(std::clamp(std::round(value), 0.0, 65535.0));
    }
  }
  return samples;
}

double TrueSpeedAt(const ModelPassage& passage, const ModelDevice& device, size_t axle, double position_m) {
  Layout layout = Lay(passage, device);
  double travel = passage.axles[axle].offset_m + std::fabs(position_m - layout.start_m);
  double v = passage.speed_mps, a = passage.accel_mps2;
  double t = std::fabs(a) < 1e-12 ? travel / v : (-v + std::sqrt(v * v + 2 * a * travel)) / a;
  return v + a * t;
}

double AddVehicle(std::vector<ModelAxle>* axles, double start_m, int bogie_axles, double axle_spacing_m,
                  double bogie_distance_m, double wheel_load_kg) {
  double last = start_m;
  for (int bogie = 0; bogie < 2; ++bogie)
    for (int k = 0; k < bogie_axles; ++k) {
      ModelAxle axle;
      axle.offset_m = start_m + bogie * bogie_distance_m + k * axle_spacing_m;
      axle.load_kg[0] = axle.load_kg[1] = wheel_load_kg;
      axles->push_back(axle);
      last = axle.offset_m;
    }
  return last;
}
