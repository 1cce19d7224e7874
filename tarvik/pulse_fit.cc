// Readings of every wheel at one sensor: least-squares peak heights against
// the sensor's influence line.
//
// With the wheel's motion known, every sample maps to the wheel's distance u
// from the sensor, and the pulse must be A * h(u). The least-squares A is the
// matched filter: it weighs each sample by how much load it can carry, which
// beats both the peak height and the plain pulse area in noise, and it
// needs no sample at the peak itself when records were lost there. Wheels
// whose pulses overlap are solved together. A spike is one wild point
// against the fit: the points whose residual is far beyond the noise are
// left out and the fit is made again.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double POINT_TRAVEL_M = 0.015;  // a point averages the samples of about 1.5 cm of travel
constexpr size_t MAX_POINT_SAMPLES = 64;
constexpr double COLLECT_MARGIN_M = 0.1;  // the motion may move this much before the points are collected anew
constexpr double REJECT_SIGMAS = 6.0;
constexpr double REJECT_SHARE = 0.02;     // of the modelled value: shapes are learned, not exact
constexpr double MIN_COVERAGE = 0.5;
constexpr double MAX_SHIFT_M = 0.1;

// The sum of `n` samples of one channel, when none is clipped and no two
// neighbours lie further apart than `gap_us`. Three independent running
// figures, so the samples go through without a decision each.
bool SumCleanPoint(const CompactSample* samples, size_t n, int channel, int64_t gap_us, uint64_t* sum) {
  uint32_t total = samples[0].channels[channel];  // 64 samples of 16 bits cannot overflow it
  uint16_t worst = static_cast<uint16_t>(total - 1);  // 0 and 65535, the clipped values, map to the top two
  int64_t widest = 0;
  for (size_t k = 1; k < n; ++k) {
    uint32_t value = samples[k].channels[channel];
    total += value;
    worst = std::max(worst, static_cast<uint16_t>(value - 1));
    widest = std::max(widest, int64_t{samples[k].time_offset_us} - samples[k - 1].time_offset_us);
  }
  *sum = total;
  return worst < 65534 && widest <= gap_us;
}

}  // namespace

WheelWindows WindowsAt(double position_m, const std::vector<WheelMotion>& motions, double reach_m) {
  WheelWindows windows;
  for (const WheelMotion& m : motions) {
    double a = m.TimeAt(position_m - reach_m), b = m.TimeAt(position_m + reach_m);
    windows.from_s.push_back(std::min(a, b));
    windows.to_s.push_back(std::max(a, b));
  }
  return windows;
}

void CollectSeries(const DeviceSignal& device, int channel, double position_m, const std::vector<WheelMotion>& motions,
                   double reach_m, SensorSeries* series) {
  series->points.clear();
  series->rejected.clear();
  series->sample_period_s = device.sample_period_s;
  const Baseline& baseline = device.channels[channel].baseline;
  series->point_noise_counts = std::max(baseline.noise_counts, 0.3);
  if (!device.store || motions.empty()) return;
  const SampleStore& store = *device.store;
  size_t size = device.size;

  // The stretches in reach of some wheel, merged where they overlap.
  struct Stretch {
    double from_s, to_s, speed_mps;
  };
  std::vector<Stretch> stretches;
  WheelWindows windows = WindowsAt(position_m, motions, reach_m + COLLECT_MARGIN_M);
  for (size_t j = 0; j < motions.size(); ++j) {
    double from = windows.from_s[j], to = windows.to_s[j];
    if (!std::isfinite(from) || !std::isfinite(to)) continue;
    double speed = std::max(std::fabs(motions[j].SpeedAt(0.5 * (from + to))), 0.1);
    if (!stretches.empty() && from <= stretches.back().to_s) {
      stretches.back().to_s = std::max(stretches.back().to_s, to);
      stretches.back().speed_mps = std::max(stretches.back().speed_mps, speed);
    } else {
      stretches.push_back({from, to, speed});
    }
  }
  const double period = device.sample_period_s;
  const double fallback_c = device.fallback_temperature_c;
  const int64_t gap_us = static_cast<int64_t>(1.5 * period * 1e6);
  // A point's share of the hum, by how many samples it averages.
  std::array<double, MAX_POINT_SAMPLES + 1> hum_share{};
  for (size_t k = 1; k <= MAX_POINT_SAMPLES; ++k) hum_share[k] = MainsShareOfMean(static_cast<double>(k), period);
  auto samples_per_point = [&](const Stretch& stretch) {
    return std::clamp<size_t>(static_cast<size_t>(POINT_TRAVEL_M / (stretch.speed_mps * period) + 0.5), 1,
                              MAX_POINT_SAMPLES);
  };
  double expected = 0;  // points, less those that lost records split
  for (const Stretch& stretch : stretches)
    expected += (stretch.to_s - stretch.from_s) / (period * static_cast<double>(samples_per_point(stretch))) + 1;
  series->points.reserve(static_cast<size_t>(std::min(expected, 1e8)));
  SampleStore::TemperatureCursor temperature;
  for (const Stretch& stretch : stretches) {
    size_t per_point = samples_per_point(stretch);
    size_t from = store.FirstAtOrAfter(stretch.from_s, size);
    size_t to = store.FirstAtOrAfter(stretch.to_s, size);
    // The samples of a point are summed as they are; the baseline (its
    // temperature drift and the hum) is taken off once per point.
    uint64_t sum = 0;
    size_t count = 0;
    size_t first = 0;  // the point's first sample, whose temperature is the point's
    int64_t previous_us = std::numeric_limits<int64_t>::min() / 2, first_us = 0, last_us = 0;
    auto flush = [&] {
      if (count) {
        double middle_us = 0.5 * static_cast<double>(first_us + last_us);
        double c = 0, s = 0;
        MainsPhase(static_cast<int64_t>(middle_us + 0.5), &c, &s);
        double share = hum_share[count];
        double base = BaselineCounts(baseline, SampleTemperature(store.TemperatureAt(first, &temperature), fallback_c),
                                     share * c, share * s);
        double travel = stretch.speed_mps * period;
        series->points.push_back(FitPoint{middle_us * 1e-6,
                                          static_cast<float>(static_cast<double>(sum) / static_cast<double>(count) - base),
                                          static_cast<float>(count),
                                          static_cast<float>(travel * travel * static_cast<double>(count * count - 1) / 12)});
      }
      sum = 0;
      count = 0;
    };
    const int64_t base_us = store.BaseTimeUs();
    for (size_t i = from; i < to;) {
      size_t run = 0;
      const CompactSample* sample = store.Run(i, &run);
      run = std::min(run, to - i);
      for (size_t k = 0; k < run; ++k, ++sample) {
        // A whole point at once where its samples are neither clipped nor
        // apart: the same sum, without a decision per sample.
        uint64_t clean_sum = 0;
        if (count == 0 && run - k >= per_point && SumCleanPoint(sample, per_point, channel, gap_us, &clean_sum)) {
          sum = clean_sum;
          count = per_point;
          first = i + k;
          first_us = base_us + sample->time_offset_us;
          last_us = base_us + sample[per_point - 1].time_offset_us;
          previous_us = last_us;
          flush();
          k += per_point - 1, sample += per_point - 1;
          continue;
        }
        int64_t time_us = base_us + sample->time_offset_us;
        if (time_us - previous_us > gap_us) flush();  // a lost stretch closes the point
        previous_us = time_us;
        uint16_t value = sample->channels[channel];
        if (value == 0 || value == 65535) continue;  // clipped by the converter: no linear reading
        if (count == 0) first = i + k, first_us = time_us;
        last_us = time_us;
        sum += value;
        if (++count == per_point) flush();
      }
      i += run;
    }
    flush();
  }
  series->rejected.assign(series->points.size(), 0);
}

std::vector<WheelReading> FitReadings(SensorSeries* series, const InfluenceLine& line, double position_m,
                                      const std::vector<WheelMotion>& motions, bool fit_shift, int robust_rounds) {
  const size_t wheels = motions.size(), q = fit_shift ? 2 : 1;
  std::vector<WheelReading> readings(wheels);
  if (wheels == 0 || series->points.empty()) return readings;
  const double reach = line.support_m;
  WheelWindows windows = WindowsAt(position_m, motions, reach);
  const InfluenceLine::Reader h = line.Read();
  std::vector<FitPoint>& points = series->points;
  std::vector<uint8_t>& rejected = series->rejected;
  const double sigma = series->point_noise_counts;

  // Each point's wheels in reach with their influence (and its slope),
  // worked out once: the robust rounds only reweigh them.
  struct Term {
    uint32_t wheel;
    float h, slope;
  };
  std::vector<Term> terms;
  std::vector<uint32_t> first(points.size() + 1, 0);
  terms.reserve(points.size() * 2);
  std::vector<double> present(wheels, 0);
  size_t span = 1;
  {
    size_t lo = 0, hi = 0;
    for (size_t p = 0; p < points.size(); ++p) {
      windows.Advance(points[p].time_s, &lo, &hi);
      span = std::max(span, hi - lo);
      first[p] = static_cast<uint32_t>(terms.size());
      for (size_t j = lo; j < hi; ++j) {
        double u = motions[j].PositionAt(points[p].time_s) - position_m;
        if (std::fabs(u) >= reach) continue;
        double seen = h.Seen(u, points[p].spread_m2);
        present[j] += points[p].samples * seen * seen;
        terms.push_back({static_cast<uint32_t>(j), static_cast<float>(seen), fit_shift ? static_cast<float>(-h.Slope(u)) : 0.f});
      }
    }
    first[points.size()] = static_cast<uint32_t>(terms.size());
  }
  const size_t n = q * wheels, width = q * span - 1;
  // Points further apart than this have records lost between them.
  const double neighbour_s = 1.5 * MAX_POINT_SAMPLES * series->sample_period_s;
  std::vector<double> band, x, diagonal(n);
  std::vector<size_t> index(2 * span);
  std::vector<double> value(2 * span);
  std::vector<double> residual(points.size(), 0), model(points.size(), 0), scale;
  for (int round = 0; round <= robust_rounds; ++round) {
    band.assign(n * (width + 1), 0);
    x.assign(n, 0);
    auto at = [&](size_t i, size_t j) -> double& { return band[i * (width + 1) + (i - j)]; };
    for (size_t p = 0; p < points.size(); ++p) {
      if (rejected[p]) continue;
      size_t m = 0;
      for (uint32_t t = first[p]; t < first[p + 1]; ++t) {
        index[m] = q * terms[t].wheel, value[m++] = terms[t].h;
        if (fit_shift) index[m] = q * terms[t].wheel + 1, value[m++] = terms[t].slope;
      }
      double weight = points[p].samples, r = points[p].residual_counts;
      for (size_t a = 0; a < m; ++a) {
        x[index[a]] += weight * value[a] * r;
        for (size_t b = 0; b <= a; ++b) at(index[a], index[b]) += weight * value[a] * value[b];
      }
    }
    for (size_t i = 0; i < n; ++i) {
      diagonal[i] = at(i, i);
      // A wheel without points has nothing to fit; the tiny ridge keeps
      // the rest solvable.
      at(i, i) += at(i, i) > 0 ? 1e-9 * at(i, i) : 1.0;
    }
    if (!SolveBand(band, n, width, &x)) return readings;
    if (round == robust_rounds) break;

    // Outliers against this fit, found anew each round. A spike is one wild
    // point among neighbours that fit: the residual's step from theirs marks
    // it, while a shape not yet learned leaves smooth runs of residual that
    // must not be thrown away.
    for (size_t p = 0; p < points.size(); ++p) {
      double fitted = 0;
      for (uint32_t t = first[p]; t < first[p + 1]; ++t) {
        fitted += x[q * terms[t].wheel] * terms[t].h;
        if (fit_shift) fitted += x[q * terms[t].wheel + 1] * terms[t].slope;
      }
      model[p] = fitted;
      residual[p] = points[p].residual_counts - fitted;
    }
    auto step = [&](size_t p) {
      bool before = p > 0 && points[p].time_s - points[p - 1].time_s < neighbour_s;
      bool after = p + 1 < points.size() && points[p + 1].time_s - points[p].time_s < neighbour_s;
      if (before && after) return residual[p] - 0.5 * (residual[p - 1] + residual[p + 1]);
      if (before) return residual[p] - residual[p - 1];
      if (after) return residual[p] - residual[p + 1];
      return residual[p];
    };
    // A point's step scaled to a point of 1.5 samples; the scale changes
    // only where the samples per point do.
    if (scale.empty()) {
      scale.resize(points.size());
      float samples = NaN;
      double root = NaN;
      for (size_t p = 0; p < points.size(); ++p) {
        if (points[p].samples != samples) samples = points[p].samples, root = std::sqrt(samples / 1.5);
        scale[p] = root;
      }
    }
    std::vector<double> scaled;
    for (size_t p = 0; p < points.size(); ++p)
      if (first[p] < first[p + 1] && !rejected[p]) scaled.push_back(std::fabs(step(p)) * scale[p]);
    double spread = std::max(sigma, MAD_TO_SIGMA * Median(std::move(scaled)));
    bool changed = false;
    for (size_t p = 0; p < points.size(); ++p) {
      double limit = REJECT_SIGMAS * spread / scale[p] + REJECT_SHARE * std::fabs(model[p]);
      uint8_t reject = first[p] < first[p + 1] && std::fabs(step(p)) > limit;
      changed |= reject != rejected[p];
      rejected[p] = reject;
    }
    if (!changed) break;
  }

  double energy = 0;  // integral of h^2 over u
  for (double u = -reach; u <= reach; u += 0.005) energy += h.Value(u) * h.Value(u) * 0.005;
  for (size_t j = 0; j < wheels; ++j) {
    WheelReading& reading = readings[j];
    double weight = diagonal[q * j];
    if (!(weight > 0)) continue;
    double speed = std::fabs(motions[j].SpeedAt(motions[j].TimeAt(position_m)));
    double full = energy / std::max(speed * series->sample_period_s, 1e-9);
    reading.coverage = full > 0 ? present[j] / full : 0;
    reading.amplitude_counts = x[q * j];
    reading.standard_error_counts = sigma / std::sqrt(weight);
    if (fit_shift && reading.amplitude_counts > 0)
      reading.shift_m = std::clamp(x[q * j + 1] / reading.amplitude_counts, -MAX_SHIFT_M, MAX_SHIFT_M);
    reading.valid = reading.coverage >= MIN_COVERAGE && std::isfinite(reading.amplitude_counts);
  }
  return readings;
}

}  // namespace tarvik
