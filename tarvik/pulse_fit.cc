// Least-squares fit of the influence line to one wheel's pulse at one sensor.
//
// With the wheel's motion known, every sample maps to the wheel's distance u
// from the sensor, and the pulse must be A * h(u). The least-squares A is
// the matched filter: it weighs each sample by how much load it can carry,
// which beats both the peak height and the plain pulse area in noise.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double A_M = INFLUENCE_HALF_WIDTH_M;
constexpr size_t MAX_WINDOW_SAMPLES = 300000;  // 4.5 s at the highest rate; garbage times must not make one fit scan everything
constexpr double MIN_PULSE_ENERGY = 1.0;        // sum of h^2: about three samples near the peak

// First sample at or after time_s (samples are in time order).
size_t FirstAtOrAfter(const SampleStore& store, size_t size, double time_s) {
  size_t low = 0, high = size;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (store.TimeS(mid) < time_s) low = mid + 1;
    else high = mid;
  }
  return low;
}

}  // namespace

PulseFit FitPulse(const SampleStore& store, int channel, const Baseline& baseline, double fallback_temperature_c,
                  double sensor_position_m, const WheelMotion& motion, bool fit_shift) {
  PulseFit fit;
  size_t size = store.Size();
  if (size == 0 || channel < 0 || channel >= MAX_SENSORS_PER_DEVICE) return fit;
  double t_pass = motion.TimeAt(sensor_position_m);
  double speed = std::fabs(motion.SpeedAt(t_pass));
  if (!std::isfinite(t_pass) || !(speed > 0)) return fit;
  // Half a pulse lasts a / v; the margin covers acceleration across it.
  double half_s = 1.5 * A_M / speed;
  size_t from = FirstAtOrAfter(store, size, t_pass - half_s);
  size_t to = std::min({FirstAtOrAfter(store, size, t_pass + half_s), size, from + MAX_WINDOW_SAMPLES});

  const double k = std::numbers::pi / (2 * A_M);
  // Normal equations of r = A h(u) - B h'(u), B = A * shift (linearised).
  double shh = 0, shd = 0, sdd = 0, srh = 0, srd = 0;
  for (size_t i = from; i < to; ++i) {
    double u = motion.PositionAt(store.TimeS(i)) - sensor_position_m;
    if (std::fabs(u) >= A_M) continue;
    const CompactSample& sample = store.At(i);
    double r = sample.channels[channel] -
               BaselineCounts(baseline, SampleTemperature(sample, fallback_temperature_c));
    double angle = k * u;
    double c = std::cos(angle);
    double h = c * c;
    shh += h * h, srh += r * h;
    if (fit_shift) {
      // h'(u) = -k sin(2ku) = -2k sin(ku) cos(ku): sine and cosine of one
      // angle, which the compiler computes in one sincos call.
      double dh = -2 * k * std::sin(angle) * c;
      shd += h * dh, sdd += dh * dh, srd += r * dh;
    }
  }
  if (shh < MIN_PULSE_ENERGY) return fit;
  fit.valid = true;
  fit.amplitude_counts = srh / shh;
  fit.standard_error_counts = baseline.noise_counts / std::sqrt(shh);
  if (fit_shift) {
    double det = shh * sdd - shd * shd;
    if (det > 1e-12 * shh * sdd) {
      double amplitude = (sdd * srh - shd * srd) / det;
      double b = -(shh * srd - shd * srh) / det;
      if (amplitude > 0) fit.shift_m = std::clamp(b / amplitude, -0.5 * A_M, 0.5 * A_M);
    }
  }
  return fit;
}

}  // namespace tarvik
