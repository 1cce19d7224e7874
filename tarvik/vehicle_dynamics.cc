// A vehicle's static wheel loads, separated from the motion of its body.
//
// Each sensor reads a wheel's load at the moment the wheel crosses it, while
// the body bounces (every wheel alike), pitches (the two bogies opposite, the
// more the farther an axle sits from the middle) and rolls (load moving
// between the rails). Averaging a wheel's readings keeps whatever the motion
// was at those moments. The wheels cross the sensors at different times, so
// over a whole vehicle the readings trace the motion.
//
// The two wheels of an axle are read by sensors at the same places at the
// same moments, so the difference of a pair of readings carries roll and
// nothing else: bounce, pitch and axle vibration, common to both wheels,
// leave it. Roll is found from the differences first, then bounce and pitch
// from every reading with the roll taken out, each as the posterior over
// sines of unknown frequency (motion_posterior.cc).
#include <algorithm>
#include <cmath>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

// The frequencies tried: the finer, the more exactly a motion seen over a
// long stretch with little scatter is matched. Roll is seen almost without
// scatter (in differences) and alone, bounce and pitch with the axles'
// vibration and in pairs.
constexpr double BODY_STEP_HZ = 0.1, ROLL_STEP_HZ = 0.02;
constexpr double LOW_OUTLIER = 0.25;         // readings this far below the wheel's median are faults
constexpr double FLAT_SCREEN = 0.06;         // readings this far above it sit out until judged
// With two readings the lower stands for the wheel, and body motion of a
// few percent each way parts two sound readings by twice that: held out at
// 6 %, the higher one leaves the fits blind to the motion's peak, which then
// reads as a flat. At 12 % a flat that raises its reading by a fifth still
// sits out while the motion works against it; a smaller one is judged with
// its reading in the fits.
constexpr double FLAT_SCREEN_OF_TWO = 0.12;
constexpr double FLAT_MIN = 0.04;            // a flat raises its reading at least this much...
constexpr double FLAT_SIGMAS = 6.0;          // ...and this far beyond the scatter

}  // namespace

VehicleWeighing WeighVehicle(const VehicleLoads& loads, const MotionPrior& prior, bool learning) {
  VehicleWeighing result;
  const std::vector<LoadObservation>& obs = loads.observations;
  size_t axles = loads.axle_offset_m.size(), wheels = 2 * axles, n = obs.size();
  result.wheel_kg.assign(wheels, 0);
  result.factor.assign(n, 1.0);
  result.excess.assign(n, 0.0);
  result.flat.assign(n, 0);
  result.dynamics = "averaged: no readings";
  if (n == 0 || wheels == 0) return result;

  // Each wheel's middle reading, the lower one of an even count since a
  // flat only ever raises a reading; a reading far below it is a fault, one
  // far above it sits out as a possible flat until the model has judged it.
  std::vector<std::vector<double>> by_wheel(wheels);
  for (const LoadObservation& o : obs)
    if (o.wheel < wheels) by_wheel[o.wheel].push_back(o.load_kg);
  std::vector<double> median(wheels, 0);
  for (size_t w = 0; w < wheels; ++w) {
    std::vector<double>& v = by_wheel[w];
    if (v.empty()) continue;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>((v.size() - 1) / 2), v.end());
    median[w] = v[(v.size() - 1) / 2];
  }
  std::vector<uint8_t> out(n, 0), invalid(n, 0);
  for (size_t o = 0; o < n; ++o) {
    invalid[o] = obs[o].wheel >= wheels || !(median[obs[o].wheel] > 0) ||
                 obs[o].load_kg < (1 - LOW_OUTLIER) * median[obs[o].wheel];
    double screen = !invalid[o] && by_wheel[obs[o].wheel].size() == 2 ? FLAT_SCREEN_OF_TWO : FLAT_SCREEN;
    out[o] = invalid[o] || obs[o].load_kg > (1 + screen) * median[obs[o].wheel];
  }
  double start = INFINITY;
  for (const LoadObservation& o : obs) start = std::min(start, o.time_s);
  double first = loads.axle_offset_m.front(), span = loads.axle_offset_m.back() - first;
  auto arm = [&](size_t axle) { return span > 0 ? 1 - 2 * (loads.axle_offset_m[axle] - first) / span : 0.0; };

  MotionPosterior sums, differences;
  for (int pass = 0; pass < 3; ++pass) {
    // Plain averaging: per wheel, the mean of each group's (a line's)
    // readings, and the mean of the groups.
    std::vector<double> average(wheels, 0);
    for (size_t w = 0; w < wheels; ++w) {
      double groups_sum = 0, groups = 0;
      for (size_t g = 0;; ++g) {
        double sum = 0, count = 0;
        bool any = false;
        for (size_t o = 0; o < n; ++o) {
          if (obs[o].wheel != w) continue;
          any |= obs[o].group >= g;
          if (obs[o].group == g && !out[o]) sum += obs[o].load_kg, count += 1;
        }
        if (!any) break;
        if (count > 0) groups_sum += sum / count, groups += 1;
      }
      average[w] = groups > 0 ? groups_sum / groups : median[w];
    }

    // Roll first, from the differences of an axle's two readings taken at
    // one place and moment: vibration, common to both wheels, leaves them.
    MotionSeries difference_series;
    std::vector<double> axle_load(axles, 0);
    std::vector<uint8_t> paired(n, 0);
    for (size_t a = 0; a < axles; ++a) axle_load[a] = average[2 * a] + average[2 * a + 1];
    for (size_t o1 = 0; o1 < n; ++o1) {
      if (out[o1] || obs[o1].wheel % 2 != 0) continue;
      for (size_t o2 = 0; o2 < n; ++o2) {
        if (out[o2] || obs[o2].wheel != obs[o1].wheel + 1 || obs[o2].slot != obs[o1].slot) continue;
        size_t a = obs[o1].wheel / 2;
        if (!(axle_load[a] > 0)) break;
        double se = std::hypot(obs[o1].standard_error_kg, obs[o2].standard_error_kg) / axle_load[a];
        difference_series.axle.push_back(a);
        difference_series.time_s.push_back(0.5 * (obs[o1].time_s + obs[o2].time_s) - start);
        difference_series.z.push_back((obs[o1].load_kg - obs[o2].load_kg) / axle_load[a]);
        difference_series.weight.push_back(1 / (se * se + prior.difference_scatter * prior.difference_scatter));
        difference_series.rho.push_back({1.0, 0.0});
        paired[o1] = paired[o2] = 1;
        break;
      }
    }
    differences = Marginalise(difference_series, axles, 1, {prior.amplitude[2], prior.amplitude[2]},
                              {prior.presence[2], prior.presence[2]}, ROLL_STEP_HZ, learning);

    std::vector<double> roll_at(n, NaN);
    // Then bounce and pitch from every reading with the roll taken out, one
    // static load per wheel. The two readings of a pair carry one axle's
    // vibration, so each counts half.
    MotionSeries wheel_series;
    for (size_t o = 0; o < n; ++o) {
      size_t w = obs[o].wheel, a = w / 2;
      if (out[o] || !(average[w] > 0)) continue;
      double t = obs[o].time_s - start;
      double roll = 0, spread = 0;
      MotionAndSpread(differences, t, {1.0, 0.0}, &roll, &spread);
      roll_at[o] = roll;
      // Where no pair of readings pinned the roll down, what is taken out is
      // a guess; the reading then counts as little as the guess is sure.
      double roll_share = 0.5 * axle_load[a] / average[w];
      double roll_variance = roll_share * roll_share * spread;
      double relative_se = obs[o].standard_error_kg / average[w];
      wheel_series.axle.push_back(w);
      wheel_series.time_s.push_back(t);
      wheel_series.z.push_back(obs[o].load_kg / average[w] - 1 - (w % 2 == 0 ? 1 : -1) * roll_share * roll);
      wheel_series.weight.push_back((paired[o] ? 0.5 : 1.0) /
                                    (relative_se * relative_se + prior.scatter * prior.scatter + roll_variance));
      wheel_series.rho.push_back({1.0, arm(a)});
    }
    sums = Marginalise(wheel_series, wheels, 2, {prior.amplitude[0], prior.amplitude[1]},
                       {prior.presence[0], prior.presence[1]}, BODY_STEP_HZ, learning);
    for (size_t w = 0; w < wheels; ++w) result.wheel_kg[w] = average[w] * (1 + sums.static_z[w]);

    // What the passage learns from this vehicle: how strong its motions
    // are, and how much the readings scatter beyond them.
    MotionStatistics& stats = result.statistics;
    stats = MotionStatistics{};
    for (size_t m = 0; m < 2; ++m) stats.probability[m] = sums.probability[m], stats.moment[m] = sums.moment[m];
    stats.probability[2] = differences.probability[0];
    stats.moment[2] = differences.moment[0];
    for (size_t r = 0; learning && r < wheel_series.z.size(); ++r) {
      double e = wheel_series.z[r] - sums.static_z[wheel_series.axle[r]] -
                 MotionAt(sums, wheel_series.time_s[r], wheel_series.rho[r]);
      stats.squares += e * e;
    }
    stats.dof = std::max(0.0, static_cast<double>(wheel_series.z.size()) - static_cast<double>(wheels));
    for (size_t r = 0; learning && r < difference_series.z.size(); ++r) {
      double e = difference_series.z[r] - differences.static_z[difference_series.axle[r]] -
                 MotionAt(differences, difference_series.time_s[r], difference_series.rho[r]);
      stats.difference_squares += e * e;
    }
    stats.difference_dof = std::max(0.0, static_cast<double>(difference_series.z.size()) - static_cast<double>(axles));
    // What each reading should have been, and how far above it it is.
    double scatter_sum = 0, scatter_count = 0;
    for (size_t o = 0; o < n; ++o) {
      if (invalid[o]) continue;
      size_t w = obs[o].wheel, a = w / 2;
      double t = obs[o].time_s - start;
      double body = MotionAt(sums, t, {1.0, arm(a)});
      double roll = std::isnan(roll_at[o]) ? MotionAt(differences, t, {1.0, 0.0}) : roll_at[o];
      double axle_mean = 0.5 * (result.wheel_kg[2 * a] + result.wheel_kg[2 * a + 1]);
      double expected = result.wheel_kg[w] * (1 + body) + (w % 2 == 0 ? 1 : -1) * axle_mean * roll;
      if (!(result.wheel_kg[w] > 0) || !(expected > 0)) continue;
      result.factor[o] = expected / result.wheel_kg[w];
      result.excess[o] = obs[o].load_kg / expected - 1;
      if (!out[o]) scatter_sum += result.excess[o] * result.excess[o], scatter_count += 1;
    }
    double scatter = scatter_count > 0 ? std::sqrt(scatter_sum / scatter_count) : 0.0;

    // Flats: the one reading of a wheel on a line that stands out of the
    // model by more than motion or noise explains, when the line has other
    // readings of the wheel to hold it against.
    std::vector<uint8_t> flat(n, 0);
    for (size_t o = 0; o < n; ++o) {
      if (invalid[o] || !(result.wheel_kg[obs[o].wheel] > 0)) continue;
      double relative_se = obs[o].standard_error_kg / result.wheel_kg[obs[o].wheel];
      double limit = std::max(FLAT_MIN, FLAT_SIGMAS * std::hypot(relative_se, std::max(scatter, prior.difference_scatter)));
      if (result.excess[o] <= limit) continue;
      bool highest = true;
      size_t others = 0;
      for (size_t q = 0; q < n; ++q) {
        if (q == o || invalid[q] || obs[q].wheel != obs[o].wheel || obs[q].group != obs[o].group) continue;
        ++others;
        if (result.excess[q] > result.excess[o]) highest = false;
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

  double probability = 1 - (1 - sums.motion_probability) * (1 - differences.motion_probability);
  result.dynamics_fitted = probability > 0.5;
  std::string motions;
  const char* const body_names[2] = {"bounce", "pitch"};
  const char* const roll_names[2] = {"roll", ""};
  DescribeMotions(sums, body_names, &motions);
  DescribeMotions(differences, roll_names, &motions);
  result.dynamics = motions.empty()
                        ? Format("averaged: no body motion found (probability of one %.2f)", probability)
                        : Format("%s: %s (probability of a motion %.2f)",
                                 result.dynamics_fitted ? "motion taken out" : "averaged mostly", motions.c_str(),
                                 probability);
  return result;
}

}  // namespace tarvik
