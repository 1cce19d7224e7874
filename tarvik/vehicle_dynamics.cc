// A vehicle's static wheel loads, separated from the motion of its body.
//
// Each sensor reads a wheel's load at the moment the wheel crosses it, and
// the body bounces (every wheel alike), pitches (the two bogies opposite,
// the more the farther an axle sits from the middle) and rolls (load moving
// between the rails) while the vehicle crosses the line. Averaging a wheel's
// readings keeps whatever the motion was at those moments. The wheels cross
// the sensors at different times, so over a whole vehicle the readings trace
// each motion; a sine per motion at its own frequency, fitted jointly with
// one static load per wheel, takes the motion out where the readings show it.
//
// In relative terms, reading o of wheel w is
//   y_o / L_w = 1 + sum over motions m of rho_m,o (c_m cos 2 pi f_m t_o + s_m sin 2 pi f_m t_o)
// with rho = 1 (bounce), the axle's arm (pitch), +-1 by rail (roll). The
// static loads come out of the within-wheel means, so only the motions'
// amplitudes are solved for, each frequency by a scan over the body's range.
// A motion is kept only when it explains clearly more than noise would (an
// F test), and each amplitude is held toward zero by a prior, so that a
// vehicle whose readings cannot tell a slow motion from a static load keeps
// the plain average.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double MIN_HZ = 0.5, MAX_HZ = 4.0, STEP_HZ = 0.05;  // body modes of rail vehicles
constexpr double PRIOR_AMPLITUDE = 0.03;   // per sine or cosine part, relative
constexpr double UNMODELLED = 0.004;       // axle vibration and the like, relative, per reading
constexpr double MIN_F = 10.0;             // a motion must explain this much more than noise
constexpr double FLAT_SCREEN = 0.06;       // readings this far above the wheel's median sit out the fit
constexpr double FLAT_MIN = 0.04;          // a flat raises its reading at least this much...
constexpr double FLAT_SIGMAS = 6.0;        // ...and this far beyond the scatter
constexpr int MODES = 3;
const char* const MODE_NAMES[MODES] = {"bounce", "pitch", "roll"};

struct Reading {
  size_t wheel;
  double z;        // relative to the wheel's average, minus one
  double weight;
  double time_s;
  double rho[MODES];
};

struct Fit {
  std::array<double, MODES> hz{};
  std::array<bool, MODES> on{};
  std::vector<double> beta;   // cos, sin per mode that is on
  double rss = 0;
};

// Weighted least squares of the within-wheel centred readings on the
// motions that are on, with the prior on every amplitude.
Fit Solve(const std::vector<Reading>& readings, size_t wheels, const std::array<double, MODES>& hz,
          const std::array<bool, MODES>& on) {
  Fit fit;
  fit.hz = hz;
  fit.on = on;
  std::vector<int> modes;
  for (int m = 0; m < MODES; ++m)
    if (on[m]) modes.push_back(m);
  size_t p = 2 * modes.size(), n = readings.size();
  std::vector<double> x(n * std::max<size_t>(p, 1), 0);
  for (size_t o = 0; o < n; ++o)
    for (size_t k = 0; k < modes.size(); ++k) {
      double angle = 2 * std::numbers::pi * hz[modes[k]] * readings[o].time_s;
      x[o * p + 2 * k] = readings[o].rho[modes[k]] * std::cos(angle);
      x[o * p + 2 * k + 1] = readings[o].rho[modes[k]] * std::sin(angle);
    }
  // Centre every column and z within each wheel: the static loads are free.
  std::vector<double> sum_w(wheels, 0), mean(wheels * (p + 1), 0);
  for (size_t o = 0; o < n; ++o) {
    size_t w = readings[o].wheel;
    sum_w[w] += readings[o].weight;
    for (size_t c = 0; c < p; ++c) mean[w * (p + 1) + c] += readings[o].weight * x[o * p + c];
    mean[w * (p + 1) + p] += readings[o].weight * readings[o].z;
  }
  for (size_t w = 0; w < wheels; ++w)
    for (size_t c = 0; c <= p; ++c)
      if (sum_w[w] > 0) mean[w * (p + 1) + c] /= sum_w[w];
  std::vector<double> a(p * p, 0), b(p, 0), zc(n);
  for (size_t o = 0; o < n; ++o) {
    size_t w = readings[o].wheel;
    zc[o] = readings[o].z - mean[w * (p + 1) + p];
    for (size_t c = 0; c < p; ++c) x[o * p + c] -= mean[w * (p + 1) + c];
    for (size_t r = 0; r < p; ++r) {
      b[r] += readings[o].weight * x[o * p + r] * zc[o];
      for (size_t c = 0; c < p; ++c) a[r * p + c] += readings[o].weight * x[o * p + r] * x[o * p + c];
    }
  }
  for (size_t r = 0; r < p; ++r) a[r * p + r] += 1.0 / (PRIOR_AMPLITUDE * PRIOR_AMPLITUDE);
  fit.beta = b;
  if (p > 0) {
    std::vector<double> band(p * p, 0);
    for (size_t r = 0; r < p; ++r)
      for (size_t c = 0; c <= r; ++c) band[r * p + (r - c)] = a[r * p + c];
    if (!SolveBand(band, p, p - 1, &fit.beta)) fit.beta.assign(p, 0);
  }
  for (size_t o = 0; o < n; ++o) {
    double e = zc[o];
    for (size_t c = 0; c < p; ++c) e -= x[o * p + c] * fit.beta[c];
    fit.rss += readings[o].weight * e * e;
  }
  return fit;
}

// The best frequency for motion m with the others as they are.
Fit Scan(const std::vector<Reading>& readings, size_t wheels, Fit base, int m) {
  Fit best;
  best.rss = INFINITY;
  base.on[m] = true;
  for (double f = MIN_HZ; f <= MAX_HZ + 1e-9; f += STEP_HZ) {
    base.hz[m] = f;
    Fit fit = Solve(readings, wheels, base.hz, base.on);
    if (fit.rss < best.rss) best = fit;
  }
  return best;
}

// The fitted motion at reading o (relative load change).
double Motion(const Fit& fit, const Reading& reading) {
  double value = 0;
  size_t k = 0;
  for (int m = 0; m < MODES; ++m) {
    if (!fit.on[m]) continue;
    double angle = 2 * std::numbers::pi * fit.hz[m] * reading.time_s;
    value += reading.rho[m] * (fit.beta[2 * k] * std::cos(angle) + fit.beta[2 * k + 1] * std::sin(angle));
    ++k;
  }
  return value;
}

std::string Describe(const Fit& fit) {
  std::string text = "fitted:";
  size_t k = 0;
  for (int m = 0; m < MODES; ++m) {
    if (!fit.on[m]) continue;
    char part[64];
    std::snprintf(part, sizeof part, " %s %.1f %% at %.2f Hz", MODE_NAMES[m],
                  100 * std::hypot(fit.beta[2 * k], fit.beta[2 * k + 1]), fit.hz[m]);
    text += part;
    ++k;
  }
  return text;
}

}  // namespace

VehicleWeighing WeighVehicle(const VehicleLoads& loads) {
  VehicleWeighing result;
  const std::vector<LoadObservation>& obs = loads.observations;
  size_t axles = loads.axle_offset_m.size(), wheels = 2 * axles, n = obs.size();
  result.wheel_kg.assign(wheels, 0);
  result.factor.assign(n, 1.0);
  result.excess.assign(n, 0.0);
  result.flat.assign(n, 0);
  result.dynamics = "averaged: no readings";
  if (n == 0 || wheels == 0) return result;

  // Each wheel's median reading; a reading far above it sits out the fits
  // as a possible flat until the model has judged it.
  std::vector<std::vector<double>> by_wheel(wheels);
  for (const LoadObservation& o : obs)
    if (o.wheel < wheels) by_wheel[o.wheel].push_back(o.load_kg);
  std::vector<double> median(wheels, 0);
  for (size_t w = 0; w < wheels; ++w) {
    std::vector<double>& v = by_wheel[w];
    if (v.empty()) continue;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    median[w] = v[v.size() / 2];
  }
  std::vector<uint8_t> out(n, 0), invalid(n, 0);
  for (size_t o = 0; o < n; ++o) {
    invalid[o] = obs[o].wheel >= wheels || !(median[obs[o].wheel] > 0);
    out[o] = invalid[o] || obs[o].load_kg > (1 + FLAT_SCREEN) * median[obs[o].wheel];
  }

  double start = INFINITY;
  for (const LoadObservation& o : obs) start = std::min(start, o.time_s);
  double span = loads.axle_offset_m.back() - loads.axle_offset_m.front();
  Fit fit;
  std::vector<double> average(wheels, 0);
  for (int pass = 0; pass < 2; ++pass) {
    // Plain averaging: per wheel, the mean of each line's readings, and the
    // mean of the lines (groups) that saw it.
    std::vector<double> group_sum(wheels * 64, 0), group_count(wheels * 64, 0);
    for (size_t o = 0; o < n; ++o) {
      if (out[o]) continue;
      size_t g = std::min<size_t>(obs[o].group, 63);
      group_sum[obs[o].wheel * 64 + g] += obs[o].load_kg;
      group_count[obs[o].wheel * 64 + g] += 1;
    }
    for (size_t w = 0; w < wheels; ++w) {
      double sum = 0, count = 0;
      for (size_t g = 0; g < 64; ++g)
        if (group_count[w * 64 + g] > 0) sum += group_sum[w * 64 + g] / group_count[w * 64 + g], count += 1;
      average[w] = count > 0 ? sum / count : median[w];
    }
    std::vector<Reading> readings;
    for (size_t o = 0; o < n; ++o) {
      if (out[o] || !(average[obs[o].wheel] > 0)) continue;
      const LoadObservation& ob = obs[o];
      size_t axle = ob.wheel / 2, side = ob.wheel % 2;
      double relative_se = ob.standard_error_kg / average[ob.wheel];
      Reading r;
      r.wheel = ob.wheel;
      r.z = ob.load_kg / average[ob.wheel] - 1;
      r.weight = 1.0 / (relative_se * relative_se + UNMODELLED * UNMODELLED);
      r.time_s = ob.time_s - start;
      r.rho[0] = 1;
      r.rho[1] = span > 0 ? 1 - 2 * (loads.axle_offset_m[axle] - loads.axle_offset_m.front()) / span : 0;
      double axle_mean = 0.5 * (average[2 * axle] + average[2 * axle + 1]);
      r.rho[2] = (side == 0 ? 1 : -1) * axle_mean / average[ob.wheel];
      readings.push_back(r);
    }

    // Forward selection: the motion that explains most goes in first, as
    // long as it explains clearly more than its three numbers could by chance.
    fit = Solve(readings, wheels, {}, {});
    size_t used_params = 0;
    for (int step = 0; step < MODES; ++step) {
      Fit best;
      best.rss = INFINITY;
      for (int m = 0; m < MODES; ++m) {
        if (fit.on[m]) continue;
        Fit candidate = Scan(readings, wheels, fit, m);
        if (candidate.rss < best.rss) best = candidate;
      }
      double dof = static_cast<double>(readings.size()) - static_cast<double>(wheels + used_params + 3);
      if (!(best.rss < INFINITY) || dof < 4) break;
      double f_value = ((fit.rss - best.rss) / 3) / (best.rss / dof);
      if (!(f_value > MIN_F)) break;
      fit = best;
      used_params += 3;
      // The motions already in may move now that another explains its part.
      for (int m = 0; m < MODES; ++m)
        if (fit.on[m] && used_params > 3) {
          Fit again = Scan(readings, wheels, fit, m);
          if (again.rss < fit.rss) fit = again;
        }
    }

    // Static loads: what the readings hold once the motion is taken out.
    std::vector<double> sum(wheels, 0), weight(wheels, 0);
    double rss = 0;
    size_t k = 0;
    for (size_t o = 0; o < n; ++o) {
      if (out[o] || !(average[obs[o].wheel] > 0)) continue;
      result.factor[o] = 1 + Motion(fit, readings[k]);
      sum[obs[o].wheel] += readings[k].weight * (readings[k].z - (result.factor[o] - 1));
      weight[obs[o].wheel] += readings[k].weight;
      ++k;
    }
    for (size_t w = 0; w < wheels; ++w)
      result.wheel_kg[w] = weight[w] > 0 ? average[w] * (1 + sum[w] / weight[w]) : average[w];
    // The scatter left, relative, from the readings that took part.
    k = 0;
    for (size_t o = 0; o < n; ++o) {
      if (out[o] || !(average[obs[o].wheel] > 0)) continue;
      double e = obs[o].load_kg / (result.wheel_kg[obs[o].wheel] * result.factor[o]) - 1;
      rss += e * e;
      ++k;
    }
    double scatter = k > wheels ? std::sqrt(rss / static_cast<double>(k - wheels)) : 0.0;

    // Flats: the one reading of a wheel on a line that stands out of the
    // model by more than any motion or noise explains.
    std::vector<uint8_t> flat(n, 0);
    for (size_t o = 0; o < n; ++o) {
      if (invalid[o] || !(result.wheel_kg[obs[o].wheel] > 0)) continue;
      if (out[o]) {
        // A reading that sat out takes the motion at its moment too.
        Reading r{obs[o].wheel, 0, 0, obs[o].time_s - start, {1, 0, 0}};
        size_t axle = obs[o].wheel / 2;
        r.rho[1] = span > 0 ? 1 - 2 * (loads.axle_offset_m[axle] - loads.axle_offset_m.front()) / span : 0;
        r.rho[2] = (obs[o].wheel % 2 == 0 ? 1 : -1) * 0.5 * (average[2 * axle] + average[2 * axle + 1]) /
                   average[obs[o].wheel];
        result.factor[o] = 1 + Motion(fit, r);
      }
      result.excess[o] = obs[o].load_kg / (result.wheel_kg[obs[o].wheel] * result.factor[o]) - 1;
      double relative_se = obs[o].standard_error_kg / result.wheel_kg[obs[o].wheel];
      double limit = std::max(FLAT_MIN, FLAT_SIGMAS * std::hypot(relative_se, std::max(scatter, UNMODELLED)));
      if (result.excess[o] <= limit) continue;
      // Only the highest reading of the wheel on its line, and only when
      // the line has others to hold it against.
      bool highest = true;
      size_t others = 0;
      for (size_t q = 0; q < n; ++q) {
        if (q == o || obs[q].wheel != obs[o].wheel || obs[q].group != obs[o].group) continue;
        ++others;
        if (obs[q].load_kg > obs[o].load_kg) highest = false;
      }
      flat[o] = highest && others > 0;
    }
    bool same = true;
    for (size_t o = 0; o < n; ++o) {
      same &= (flat[o] || invalid[o]) == out[o];
      out[o] = flat[o] || invalid[o];
    }
    result.flat = flat;
    if (same) break;
  }
  result.dynamics_fitted = fit.beta.size() > 0;
  result.dynamics = result.dynamics_fitted ? Describe(fit) : "averaged: the readings show no body motion beyond noise";
  return result;
}

}  // namespace tarvik
