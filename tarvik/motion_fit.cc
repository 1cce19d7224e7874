// The train's motion from the passage times of its wheels over the sensors.
//
// The train is rigid and moves with constant speed or constant acceleration,
// so every wheel j follows position = d_j + X(t) with one X(t) = v0 t + a t^2/2
// for the whole train. Fitting X to all wheels at once gives a far steadier
// speed than each wheel alone; when the times do not fit one motion (a
// train that changed its acceleration), each wheel gets its own straight
// fit instead.
#include <cmath>
#include <limits>
#include <vector>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double MAX_RIGID_RESIDUAL_M = 0.05;  // beyond this the single motion does not hold
constexpr double MIN_SPEED_MPS = 0.1;          // slower than any passage the model allows (3 km/h)

struct FitResult {
  std::vector<WheelMotion> motions;
  double rms_m = std::numeric_limits<double>::infinity();
};

// One motion for all wheels (with_acceleration) or a straight one; or, with
// per_wheel, an own straight motion per wheel.
FitResult Fit(const std::vector<std::vector<double>>& times, const std::vector<double>& positions,
              bool with_acceleration, bool per_wheel) {
  FitResult result;
  double t_ref = 0;
  size_t count = 0;
  for (const auto& row : times)
    for (double t : row)
      if (std::isfinite(t)) t_ref += t, ++count;
  if (count < 2) return result;
  t_ref /= static_cast<double>(count);

  // Per wheel means of position, tau and tau^2/2; the wheel's own offset d_j
  // drops out once everything is taken about them.
  size_t wheels = times.size();
  std::vector<double> mean_x(wheels, 0), mean_f1(wheels, 0), mean_f2(wheels, 0);
  std::vector<int> used(wheels, 0);
  for (size_t j = 0; j < wheels; ++j) {
    for (size_t k = 0; k < times[j].size() && k < positions.size(); ++k) {
      double t = times[j][k];
      if (!std::isfinite(t)) continue;
      double tau = t - t_ref;
      mean_x[j] += positions[k];
      mean_f1[j] += tau;
      mean_f2[j] += 0.5 * tau * tau;
      ++used[j];
    }
    if (used[j]) mean_x[j] /= used[j], mean_f1[j] /= used[j], mean_f2[j] /= used[j];
  }

  std::vector<double> speed(wheels, 0);
  double accel = 0;
  if (per_wheel) {
    for (size_t j = 0; j < wheels; ++j) {
      double s11 = 0, s1y = 0;
      for (size_t k = 0; k < times[j].size() && k < positions.size(); ++k) {
        if (!std::isfinite(times[j][k])) continue;
        double f1 = times[j][k] - t_ref - mean_f1[j];
        s11 += f1 * f1;
        s1y += f1 * (positions[k] - mean_x[j]);
      }
      if (used[j] < 2 || s11 <= 0) return result;
      speed[j] = s1y / s11;
    }
  } else {
    double s11 = 0, s12 = 0, s22 = 0, s1y = 0, s2y = 0;
    for (size_t j = 0; j < wheels; ++j) {
      for (size_t k = 0; k < times[j].size() && k < positions.size(); ++k) {
        double t = times[j][k];
        if (!std::isfinite(t)) continue;
        double tau = t - t_ref;
        double f1 = tau - mean_f1[j], f2 = 0.5 * tau * tau - mean_f2[j], y = positions[k] - mean_x[j];
        s11 += f1 * f1, s12 += f1 * f2, s22 += f2 * f2, s1y += f1 * y, s2y += f2 * y;
      }
    }
    if (s11 <= 0) return result;
    double v0 = s1y / s11;
    double det = s11 * s22 - s12 * s12;
    if (with_acceleration && det > 1e-9 * s11 * s22) {
      v0 = (s22 * s1y - s12 * s2y) / det;
      accel = (s11 * s2y - s12 * s1y) / det;
    }
    for (size_t j = 0; j < wheels; ++j) speed[j] = v0;
  }

  double ss = 0;
  size_t n = 0;
  result.motions.resize(wheels);
  for (size_t j = 0; j < wheels; ++j) {
    WheelMotion& m = result.motions[j];
    m.t0_s = t_ref;
    m.speed_mps = speed[j];
    m.accel_mps2 = accel;
    m.position_at_t0_m = mean_x[j] - speed[j] * mean_f1[j] - accel * mean_f2[j];
    for (size_t k = 0; k < times[j].size() && k < positions.size(); ++k) {
      if (!std::isfinite(times[j][k])) continue;
      double r = m.PositionAt(times[j][k]) - positions[k];
      ss += r * r;
      ++n;
    }
  }
  result.rms_m = n ? std::sqrt(ss / static_cast<double>(n)) : 0;

  // A motion that stands still or turns back while wheels are over the
  // sensors is no train passage.
  double t_min = std::numeric_limits<double>::infinity(), t_max = -t_min;
  for (const auto& row : times)
    for (double t : row)
      if (std::isfinite(t)) t_min = std::min(t_min, t), t_max = std::max(t_max, t);
  for (const WheelMotion& m : result.motions) {
    double v1 = m.SpeedAt(t_min), v2 = m.SpeedAt(t_max);
    if (std::fabs(v1) < MIN_SPEED_MPS || std::fabs(v2) < MIN_SPEED_MPS || (v1 > 0) != (v2 > 0)) {
      result.motions.clear();
      result.rms_m = std::numeric_limits<double>::infinity();
      break;
    }
  }
  return result;
}

}  // namespace

double WheelMotion::TimeAt(double position_m) const {
  double distance = position_m - position_at_t0_m;
  double disc = speed_mps * speed_mps + 2.0 * accel_mps2 * distance;
  // The root that joins the constant-speed answer as the acceleration goes
  // to zero, written without cancellation.
  if (disc < 0 || speed_mps == 0) return speed_mps != 0 ? t0_s + distance / speed_mps : t0_s;
  double root = std::sqrt(disc);
  double denominator = speed_mps + (speed_mps > 0 ? root : -root);
  return t0_s + 2.0 * distance / denominator;
}

std::vector<WheelMotion> FitMotion(const std::vector<std::vector<double>>& times_s,
                                   const std::vector<double>& positions_m, double* rms_residual_m) {
  FitResult best = Fit(times_s, positions_m, true, false);
  if (best.motions.empty()) best = Fit(times_s, positions_m, false, false);
  if (best.motions.empty() || best.rms_m > MAX_RIGID_RESIDUAL_M) {
    FitResult own = Fit(times_s, positions_m, false, true);
    if (!own.motions.empty() && own.rms_m < best.rms_m) best = own;
  }
  if (rms_residual_m) *rms_residual_m = best.rms_m;
  return best.motions;
}

}  // namespace tarvik
