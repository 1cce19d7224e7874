// One rail of a line: the wheels that crossed its device's sensors, the
// train's motion, each sensor's influence line and every wheel's reading at
// every sensor.
//
// The rounds: readings with the current line, a new line learned from the
// readings, each wheel's pulse placed against the new line, the motion fitted
// again to those places. Detection's centroid times sit off the peak of a
// lopsided line; the rounds go on until neither the lines nor the motion
// move any more: a line near the installation model settles after two, a
// shape far from it takes more.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <map>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr int MAX_ROUNDS = 5;
constexpr double LINE_SETTLED = 0.001;      // of the peak: a line that moved less in a round has settled
constexpr double MOTION_SETTLED_M = 0.005;  // the last refit moved the wheels less than this: the next moves them far less
constexpr double MATCH_TOLERANCE_M = 0.3;  // a pulse belongs to the wheel the motion puts within this
constexpr double RECOLLECT_M = 0.05;
constexpr double MAX_RATIO_OFF = 0.3;      // a sensor reading the wheels this far off the others is faulty
constexpr double MIN_TIMING_SNR = 20.0;    // readings this clear place a pulse well enough for the motion

// Assigns the sensor's pulses to the wheels the motion expects there; NaN
// where no pulse is near enough.
std::vector<double> MatchPulses(const std::vector<Pulse>& pulses, const std::vector<WheelMotion>& motions,
                                double position_m, size_t* matched) {
  std::vector<double> times(motions.size(), NaN);
  *matched = 0;
  for (size_t j = 0; j < motions.size(); ++j) {
    double expected = motions[j].TimeAt(position_m);
    double tolerance = MATCH_TOLERANCE_M / std::max(std::fabs(motions[j].SpeedAt(expected)), 0.1);
    auto nearest = std::min_element(pulses.begin(), pulses.end(), [&](const Pulse& a, const Pulse& b) {
      return std::fabs(a.time_s - expected) < std::fabs(b.time_s - expected);
    });
    if (nearest != pulses.end() && std::fabs(nearest->time_s - expected) <= tolerance) {
      times[j] = nearest->time_s;
      ++*matched;
    }
  }
  return times;
}

// How far a round moved a line: its largest change along the reach, as a
// share of the peak.
double LineChange(const InfluenceLine& before, const InfluenceLine& after) {
  const InfluenceLine::Reader a = before.Read(), b = after.Read();
  double largest = 0;
  for (double u = -INFLUENCE_REACH_M; u <= INFLUENCE_REACH_M; u += 0.005)
    largest = std::max(largest, std::fabs(b.Value(u) - a.Value(u)));
  return largest;
}

double LargestMove(const std::vector<WheelMotion>& before, const std::vector<WheelMotion>& after, double position_m) {
  double largest = 0;
  for (size_t j = 0; j < before.size() && j < after.size(); ++j) {
    double t = before[j].TimeAt(position_m);
    largest = std::max(largest, std::fabs(after[j].PositionAt(t) - before[j].PositionAt(t)));
  }
  return largest;
}

// A sensor whose readings stand far off the other sensors' for the same
// wheels (a broken gauge, a channel wired to nothing) is left out; it takes
// three sensors to tell which one is off.
void LeaveOutFaulty(RailSolution& rail, const std::vector<size_t>& used,
                    const std::vector<std::vector<WheelReading>>& readings, std::vector<std::vector<double>>* times) {
  size_t sensors = used.size();
  if (sensors < 3) return;
  size_t wheels = times->size();
  std::vector<const std::vector<WheelReading>*> taking_part(sensors, nullptr);
  std::vector<double> coeff(sensors);
  for (size_t u = 0; u < sensors; ++u) {
    if (rail.sensors[used[u]].left_out.empty()) taking_part[u] = &readings[u];
    coeff[u] = rail.sensors[used[u]].coeff;
  }
  std::vector<std::vector<double>> ratios = RatiosToWheelMedian(taking_part, coeff, wheels);
  for (size_t u = 0; u < sensors; ++u) {
    SensorSolution& sensor = rail.sensors[used[u]];
    if (!sensor.left_out.empty() || ratios[u].empty()) continue;
    double ratio = Median(std::move(ratios[u]));
    if (std::fabs(ratio - 1) <= MAX_RATIO_OFF) continue;
    sensor.left_out = Format("it reads the wheels at %.0f %% of the other sensors", 100 * ratio);
    for (size_t j = 0; j < wheels; ++j) (*times)[j][u] = NaN;
  }
}

}  // namespace

RailSolution SolveRail(const DeviceInput& device, double reference_m) {
  RailSolution rail;
  rail.device_id = device.device_id;
  const DeviceSignal* signal = device.signal;
  if (!signal || signal->size == 0) {
    rail.problem = Format("device %d sent no samples", device.device_id);
    return rail;
  }
  if (!signal->problem.empty()) {
    rail.problem = Format("device %d: %s", device.device_id, signal->problem.c_str());
    return rail;
  }
  rail.sample_period_s = signal->sample_period_s;
  rail.gaps = signal->gaps;

  size_t count = std::min({device.coeff_kg_per_count.size(), device.position_m.size(),
                           size_t{MAX_SENSORS_PER_DEVICE}});
  std::map<size_t, int> votes;
  for (size_t k = 0; k < count; ++k) {
    SensorSolution sensor;
    sensor.channel = static_cast<int>(k);
    sensor.id = device.device_id * MAX_SENSORS_PER_DEVICE + static_cast<int32_t>(k);
    sensor.coeff = device.coeff_kg_per_count[k];
    sensor.position_m = device.position_m[k];
    sensor.influence = ModelInfluenceLine();
    const ChannelSignal& channel = signal->channels[k];
    if (!(sensor.coeff > 0) || !std::isfinite(sensor.coeff)) sensor.left_out = "its coeff is not a positive number";
    else if (!std::isfinite(sensor.position_m)) sensor.left_out = "its position is not a number";
    else if (channel.stuck) sensor.left_out = "it reads the converter's limit most of the time";
    else if (!channel.pulses.empty()) ++votes[channel.pulses.size()];
    rail.sensors.push_back(std::move(sensor));
  }

  // Every wheel crosses every sensor, so the count most sensors agree on is
  // the wheels' (ties go to the larger: a lost pulse is likelier than a
  // false one). The agreeing sensors give the first motion.
  size_t wheels = 0;
  int best_votes = 0;
  for (const auto& [n, v] : votes)
    if (v >= best_votes) wheels = n, best_votes = v;
  if (wheels == 0) {
    rail.problem = Format("device %d: no wheel found at any sensor", device.device_id);
    return rail;
  }
  std::vector<size_t> used;
  std::vector<double> positions;
  std::vector<std::vector<double>> times(wheels);
  for (size_t k = 0; k < rail.sensors.size(); ++k) {
    const std::vector<Pulse>& pulses = signal->channels[k].pulses;
    if (!rail.sensors[k].left_out.empty() || pulses.size() != wheels) continue;
    used.push_back(k);
    positions.push_back(rail.sensors[k].position_m);
    for (size_t j = 0; j < wheels; ++j) times[j].push_back(pulses[j].time_s);
  }
  double span = 0;
  for (double p : positions) span = std::max(span, std::fabs(p - positions[0]));
  if (used.size() < 2 || span < 0.1) {
    rail.problem = Format("device %d: fewer than two sensors agree on the wheels (%zu)", device.device_id, wheels);
    return rail;
  }
  double rms_m = 0;
  std::vector<WheelMotion> motions = FitMotion(times, positions, &rms_m);
  if (motions.empty()) {
    rail.problem = Format("device %d: the wheels' passage times fit no train motion", device.device_id);
    return rail;
  }
  // A sensor that missed a wheel (records lost over its pulse) or saw one
  // too many still reads the wheels it saw.
  for (size_t k = 0; k < rail.sensors.size(); ++k) {
    SensorSolution& sensor = rail.sensors[k];
    const std::vector<Pulse>& pulses = signal->channels[k].pulses;
    if (!sensor.left_out.empty() || pulses.size() == wheels) continue;
    size_t matched = 0;
    if (pulses.size() > wheels + std::max<size_t>(2, wheels / 4)) {
      sensor.left_out = Format("it saw %zu wheels, the others %zu", pulses.size(), wheels);
      continue;
    }
    std::vector<double> matched_times = MatchPulses(pulses, motions, sensor.position_m, &matched);
    if (matched * 2 < wheels || matched < 2) {
      sensor.left_out = pulses.empty() ? Format("it saw no wheel, the others %zu", wheels)
                                       : Format("it saw %zu wheels, the others %zu", pulses.size(), wheels);
      continue;
    }
    rail.notes.push_back(Format("sensor %d saw %zu wheels, the others %zu: its %zu matching ones are read",
                                sensor.id, pulses.size(), wheels, matched));
    used.push_back(k);
    positions.push_back(sensor.position_m);
    for (size_t j = 0; j < wheels; ++j) times[j].push_back(matched_times[j]);
  }
  std::vector<WheelMotion> refined = FitMotion(times, positions, &rms_m);
  if (!refined.empty()) motions = std::move(refined);

  std::vector<SensorSeries> series(used.size());
  auto collect = [&] {
    for (size_t u = 0; u < used.size(); ++u)
      if (rail.sensors[used[u]].left_out.empty())
        CollectSeries(*signal, rail.sensors[used[u]].channel, positions[u], motions, INFLUENCE_REACH_M, &series[u]);
  };
  collect();
  std::vector<WheelMotion> collected_with = motions;
  std::vector<std::vector<WheelReading>> round_readings(used.size());
  for (size_t u = 0; u < used.size(); ++u)
    if (rail.sensors[used[u]].left_out.empty())
      round_readings[u] = FitReadings(&series[u], rail.sensors[used[u]].influence, positions[u], motions, false);
  double line_change = 0, motion_move = std::numeric_limits<double>::infinity();
  int round = 0;
  for (; round < MAX_ROUNDS; ++round) {
    line_change = 0;
    for (size_t u = 0; u < used.size(); ++u) {
      SensorSolution& sensor = rail.sensors[used[u]];
      if (!sensor.left_out.empty()) continue;
      InfluenceLine learned = LearnInfluenceLine(series[u], positions[u], motions, round_readings[u], sensor.influence);
      line_change = std::max(line_change, LineChange(sensor.influence, learned));
      sensor.influence = std::move(learned);
    }
    // Settled: fitting again would place the pulses where they are.
    if (line_change < LINE_SETTLED && motion_move < MOTION_SETTLED_M) break;
    for (size_t u = 0; u < used.size(); ++u) {
      SensorSolution& sensor = rail.sensors[used[u]];
      if (!sensor.left_out.empty()) continue;
      // The outliers found by the first fit stand; the final one judges anew.
      std::vector<WheelReading> readings = FitReadings(&series[u], sensor.influence, positions[u], motions, true, 0);
      for (size_t j = 0; j < wheels; ++j) {
        const WheelReading& r = readings[j];
        bool clear = r.valid && r.amplitude_counts > MIN_TIMING_SNR * r.standard_error_counts;
        times[j][u] = clear ? motions[j].TimeAt(positions[u] + r.shift_m) : NaN;
      }
      round_readings[u] = std::move(readings);
    }
    LeaveOutFaulty(rail, used, round_readings, &times);
    // A wheel no sensor placed this round stays where the motion had it.
    for (size_t j = 0; j < wheels; ++j)
      if (std::none_of(times[j].begin(), times[j].end(), [](double t) { return std::isfinite(t); }))
        for (size_t u = 0; u < used.size(); ++u)
          if (rail.sensors[used[u]].left_out.empty()) times[j][u] = motions[j].TimeAt(positions[u]);
    refined = FitMotion(times, positions, &rms_m);
    if (refined.empty()) break;
    motion_move = LargestMove(motions, refined, reference_m);
    motions = std::move(refined);
    if (LargestMove(collected_with, motions, reference_m) > RECOLLECT_M) {
      collect();
      collected_with = motions;
    }
  }

  if (round == MAX_ROUNDS)
    rail.notes.push_back(Format("device %d: the fits had not settled after %d rounds (lines moved %.2f %% of their "
                                "peak, wheels %.1f mm in the last)",
                                device.device_id, MAX_ROUNDS, 100 * line_change, 1e3 * motion_move));
  size_t lost_readings = 0;
  for (size_t u = 0; u < used.size(); ++u) {
    SensorSolution& sensor = rail.sensors[used[u]];
    if (!sensor.left_out.empty()) continue;
    sensor.readings = FitReadings(&series[u], sensor.influence, positions[u], motions, false, 2);
    for (WheelReading& reading : sensor.readings) {
      reading.used = reading.valid;
      if (!reading.valid) {
        reading.why = "records lost under the pulse";
        ++lost_readings;
      }
    }
  }
  for (const SensorSolution& sensor : rail.sensors)
    if (!sensor.left_out.empty())
      rail.notes.push_back(Format("sensor %d left out: %s", sensor.id, sensor.left_out.c_str()));
  if (!rail.gaps.empty()) {
    double lost_s = 0;
    for (const Gap& gap : rail.gaps) lost_s += gap.to_s - gap.from_s - rail.sample_period_s;
    rail.notes.push_back(Format("device %d lost %zu run%s of records (%.0f ms in all)", device.device_id,
                                rail.gaps.size(), rail.gaps.size() == 1 ? "" : "s", lost_s * 1e3));
  }
  if (lost_readings)
    rail.notes.push_back(Format("device %d: %zu readings left out, their pulses fell in lost records",
                                device.device_id, lost_readings));
  size_t spikes = 0;
  for (const SensorSolution& sensor : rail.sensors) spikes += signal->channels[sensor.channel].spike_times_s.size();
  if (spikes) rail.notes.push_back(Format("device %d: %zu single-sample spikes taken out", device.device_id, spikes));

  rail.motions = motions;
  for (const WheelMotion& motion : motions) {
    double t = motion.TimeAt(reference_m);
    rail.passage_time_s.push_back(t);
    rail.speed_mps.push_back(std::fabs(motion.SpeedAt(t)));
  }
  return rail;
}

std::vector<std::vector<double>> RatiosToWheelMedian(const std::vector<const std::vector<WheelReading>*>& readings,
                                                     const std::vector<double>& coeff, size_t wheels) {
  std::vector<std::vector<double>> ratios(readings.size());
  std::vector<double> loads(readings.size()), present;
  for (size_t j = 0; j < wheels; ++j) {
    present.clear();
    for (size_t k = 0; k < readings.size(); ++k) {
      const std::vector<WheelReading>* r = readings[k];
      loads[k] = r && j < r->size() && (*r)[j].valid ? (*r)[j].amplitude_counts * coeff[k] : NaN;
      if (!std::isnan(loads[k])) present.push_back(loads[k]);
    }
    if (present.size() < 3) continue;
    double median = Median(present);
    if (!(median > 0)) continue;
    for (size_t k = 0; k < readings.size(); ++k)
      if (!std::isnan(loads[k])) ratios[k].push_back(loads[k] / median);
  }
  return ratios;
}

std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

}  // namespace tarvik
