// Weighing the vehicles of every line: the lines that agree on the train
// are weighed together, each wheel over every sensor and line that saw it,
// so that the body's motion is traced over the longest stretch of readings.
#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double PAIR_TOLERANCE_M = 0.05;
constexpr size_t MIN_BIAS_WHEELS = 8;
constexpr double BIAS_SIGMAS = 3.0;
constexpr double BIAS_NOTE = 0.01;
constexpr size_t LEARNING_VEHICLES = 12;
constexpr double MIN_PRIOR = 0.002, MAX_PRIOR = 0.04;      // a motion's amplitude, relative
constexpr double MIN_SCATTER = 0.002, MAX_SCATTER = 0.015;
constexpr double MIN_PRESENCE = 0.1, MAX_PRESENCE = 0.9;

// How much each sensor of a rail reads above the others, over every wheel
// of the passage: the body's motion, at random phase from wheel to wheel,
// averages out; a sensor that reads high throughout does not. The rail's
// sensors are then made to agree, keeping their mean, so that neither the
// motion fits nor a wheel with a reading lost mistake a sensor's scale for
// the wheel's load.
void MeasureSensorBias(LineSolution& line) {
  for (RailSolution& rail : line.rails) {
    std::vector<const std::vector<WheelReading>*> readings;
    std::vector<double> coeff;
    for (const SensorSolution& s : rail.sensors) {
      readings.push_back(s.left_out.empty() ? &s.readings : nullptr);
      coeff.push_back(s.coeff);
    }
    std::vector<std::vector<double>> ratios = RatiosToWheelMedian(readings, coeff, rail.motions.size());
    for (std::vector<double>& r : ratios)  // flats and faults apart
      r.erase(std::remove_if(r.begin(), r.end(), [](double ratio) { return !(ratio > 0.75 && ratio < 1.06); }), r.end());
    double mean = 0, count = 0;
    for (size_t k = 0; k < rail.sensors.size(); ++k) {
      const std::vector<double>& r = ratios[k];
      rail.sensors[k].relative_bias = 0;
      if (r.size() < MIN_BIAS_WHEELS) continue;
      double middle = Median(r);
      double bias = middle - 1;
      std::vector<double> deviations;
      for (double x : r) deviations.push_back(std::fabs(x - middle));
      double se = 1.2533 * MAD_TO_SIGMA * Median(std::move(deviations)) / std::sqrt(static_cast<double>(r.size()));
      rail.sensors[k].relative_bias = std::fabs(bias) > BIAS_SIGMAS * se ? bias : 0.0;
      mean += rail.sensors[k].relative_bias, count += 1;
    }
    if (count < 3) {
      for (SensorSolution& s : rail.sensors) s.relative_bias = 0;
      continue;
    }
    mean /= count;
    for (size_t k = 0; k < rail.sensors.size(); ++k) {
      SensorSolution& s = rail.sensors[k];
      if (ratios[k].size() < MIN_BIAS_WHEELS) continue;
      s.relative_bias -= mean;
      if (std::fabs(s.relative_bias) > BIAS_NOTE)
        line.notes.push_back(Format("sensor %d reads %+.1f %% against the others of its rail: its coeff may want calibrating",
                                    s.id, 100 * s.relative_bias));
    }
  }
}

// The train as a line sees it: the axle count of every vehicle.
std::vector<size_t> Shape(const LineSolution& line) {
  std::vector<size_t> shape;
  for (const VehicleSolution& vehicle : line.vehicles) shape.push_back(vehicle.axles.size());
  return shape;
}

// Weighs vehicle `v` of every line in `group` together and writes the
// results back into each line; returns what the vehicle tells of the track.
MotionStatistics WeighTogether(const std::vector<LineSolution*>& group, size_t v, const MotionPrior& prior,
                               bool learning) {
  VehicleLoads loads;
  const VehicleSolution& first = group.front()->vehicles[v];
  for (const AxleSolution& axle : first.axles) loads.axle_offset_m.push_back(axle.offset_m);
  struct Source {
    LineSolution* line;
    size_t side, sensor, wheel;
  };
  std::vector<Source> sources;
  for (size_t g = 0; g < group.size(); ++g) {
    LineSolution& line = *group[g];
    const VehicleSolution& vehicle = line.vehicles[v];
    for (size_t a = 0; a < vehicle.axles.size(); ++a)
      for (size_t side = 0; side < 2; ++side) {
        const RailSolution& rail = line.rails[side];
        size_t j = vehicle.axles[a].wheel[side];
        double clock = side == 1 ? line.even_clock_offset_s : 0.0;
        for (size_t k = 0; k < rail.sensors.size(); ++k) {
          const SensorSolution& sensor = rail.sensors[k];
          if (!sensor.left_out.empty() || j >= sensor.readings.size() || !sensor.readings[j].valid) continue;
          const WheelReading& reading = sensor.readings[j];
          LoadObservation o;
          o.wheel = 2 * a + side;
          o.group = 2 * g + side;
          // The two rails' sensors of one index read an axle together when
          // they stand at one place.
          const std::vector<SensorSolution>& odd = line.rails[0].sensors;
          bool together = k < odd.size() && std::fabs(odd[k].position_m - sensor.position_m) < PAIR_TOLERANCE_M;
          o.slot = together || side == 0 ? g * MAX_SENSORS_PER_DEVICE + k : 1000000 + g * MAX_SENSORS_PER_DEVICE + k;
          o.load_kg = reading.amplitude_counts * sensor.coeff / (1 + sensor.relative_bias);
          o.standard_error_kg = reading.standard_error_counts * sensor.coeff;
          o.time_s = rail.motions[j].TimeAt(sensor.position_m) - clock;
          loads.observations.push_back(o);
          sources.push_back({&line, side, k, j});
        }
      }
  }
  VehicleWeighing weighing = WeighVehicle(loads, prior, learning);
  for (LineSolution* line : group) {
    VehicleSolution& vehicle = line->vehicles[v];
    vehicle.dynamics = weighing.dynamics;
    for (size_t a = 0; a < vehicle.axles.size(); ++a)
      for (size_t side = 0; side < 2; ++side) {
        vehicle.axles[a].weight_kg[side] = weighing.wheel_kg[2 * a + side];
        vehicle.axles[a].condition_percent[side] = 0;
      }
  }
  // A flat is the wheel's, whichever line's sensor it happened to strike
  // (a line may have lost that pulse, or the flat may have missed its
  // sensors): every line reports the wheel's worst.
  std::vector<double> condition(2 * first.axles.size(), 0);
  for (size_t o = 0; o < sources.size(); ++o) {
    const Source& s = sources[o];
    WheelReading& reading = s.line->rails[s.side].sensors[s.sensor].readings[s.wheel];
    reading.factor = weighing.factor[o];
    reading.used = !weighing.flat[o];
    reading.why = weighing.flat[o] ? "a wheel flat raises it" : "";
    size_t wheel = loads.observations[o].wheel;
    if (weighing.flat[o]) condition[wheel] = std::max(condition[wheel], 100 * weighing.excess[o]);
  }
  for (LineSolution* line : group)
    for (size_t a = 0; a < line->vehicles[v].axles.size(); ++a)
      for (size_t side = 0; side < 2; ++side) line->vehicles[v].axles[a].condition_percent[side] = condition[2 * a + side];
  return weighing.statistics;
}

// The prior that the passage's vehicles together make likeliest (one step of
// expectation maximisation): each motion's typical amplitude from what the
// vehicles showed of it, the scatter from what the motions left.
MotionPrior Learn(const std::vector<MotionStatistics>& vehicles, const MotionPrior& before) {
  MotionPrior prior = before;
  MotionStatistics total;
  for (const MotionStatistics& v : vehicles) {
    for (size_t m = 0; m < 3; ++m) total.probability[m] += v.probability[m], total.moment[m] += v.moment[m];
    total.squares += v.squares, total.dof += v.dof;
    total.difference_squares += v.difference_squares, total.difference_dof += v.difference_dof;
  }
  for (size_t m = 0; m < 3; ++m) {
    if (total.probability[m] > 0.5)
      prior.amplitude[m] = std::clamp(std::sqrt(total.moment[m] / (2 * total.probability[m])), MIN_PRIOR, MAX_PRIOR);
    if (!vehicles.empty())
      prior.presence[m] = std::clamp(total.probability[m] / static_cast<double>(vehicles.size()), MIN_PRESENCE, MAX_PRESENCE);
  }
  if (total.dof > 8) prior.scatter = std::clamp(std::sqrt(total.squares / total.dof), MIN_SCATTER, MAX_SCATTER);
  if (total.difference_dof > 8)
    prior.difference_scatter =
        std::clamp(std::sqrt(total.difference_squares / total.difference_dof), MIN_SCATTER, MAX_SCATTER);
  return prior;
}

}  // namespace

void PrepareWeighing(const std::vector<LineSolution*>& lines, LineWeighing* weighing) {
  weighing->lines = lines;
  // The train most lines agree on is weighed over all of them; a line that
  // saw another train (a vehicle more or less) is weighed alone.
  std::map<std::vector<size_t>, std::vector<LineSolution*>> groups;
  for (LineSolution* line : lines)
    if (line->correct) {
      MeasureSensorBias(*line);
      groups[Shape(*line)].push_back(line);
    }
  for (auto& [shape, group] : groups) {
    weighing->groups.push_back(group);
    for (size_t v = 0; v < shape.size(); ++v) weighing->vehicles.push_back({weighing->groups.size() - 1, v});
    if (groups.size() > 1)
      for (LineSolution* line : group)
        line->notes.push_back(Format("weighed with %zu of %zu lines: the others saw another train", group.size(),
                                     lines.size()));
  }
  // The track's motions are learned first, over an even spread of at most
  // a dozen vehicles: a quiet track then keeps its vehicles near the plain
  // average, a rough one lets the fits take out what they see.
  size_t count = weighing->vehicles.size();
  size_t stride = std::max<size_t>(1, (count + LEARNING_VEHICLES - 1) / LEARNING_VEHICLES);
  for (size_t k = 0; k < count; k += stride) weighing->learning.push_back(k);
  weighing->statistics.resize(weighing->learning.size());
}

namespace {

// Takes items of `round` until none is left, then waits until every item is
// done; the thread that completes the last one calls `last` first. Every
// item taken is counted done, whatever befell it, so that no thread waits
// for it for ever.
template <typename Work, typename Last>
void ShareRound(LineWeighing* weighing, LineWeighing::Round& round, size_t count, Work work, Last last) {
  for (size_t k; (k = round.next.fetch_add(1)) < count;) {
    try {
      work(k);
    } catch (const std::exception& e) {
      std::lock_guard<std::mutex> lock(weighing->mutex);
      weighing->failure = e.what();
    }
    std::lock_guard<std::mutex> lock(weighing->mutex);
    if (++round.done == count) {
      last();
      weighing->round_done.notify_all();
    }
  }
  std::unique_lock<std::mutex> lock(weighing->mutex);
  weighing->round_done.wait(lock, [&] { return round.done >= count; });
}

}  // namespace

void ShareWeighing(LineWeighing* weighing) {
  // The prior is written only by a round's last thread, before the round
  // counts done: every thread reads the one of the round it is in.
  for (int r = 0; r < PRIOR_ROUNDS; ++r)
    ShareRound(
        weighing, weighing->rounds[r], weighing->learning.size(),
        [&](size_t k) {
          const auto& [group, v] = weighing->vehicles[weighing->learning[k]];
          weighing->statistics[k] = WeighTogether(weighing->groups[group], v, weighing->prior, true);
        },
        [&] { weighing->prior = Learn(weighing->statistics, weighing->prior); });
  ShareRound(
      weighing, weighing->rounds[PRIOR_ROUNDS], weighing->vehicles.size(),
      [&](size_t k) {
        const auto& [group, v] = weighing->vehicles[k];
        WeighTogether(weighing->groups[group], v, weighing->prior, false);
      },
      [] {});
}

void FinishWeighing(LineWeighing* weighing) {
  for (LineSolution* line : weighing->lines) {
    if (!line->correct) continue;
    if (!weighing->failure.empty()) {
      line->correct = false;
      line->problem = "weighing failed: " + weighing->failure;
      continue;
    }
    size_t fitted = 0;
    for (const VehicleSolution& vehicle : line->vehicles) fitted += vehicle.dynamics.rfind("motion taken", 0) == 0;
    size_t vehicles = line->vehicles.size();
    line->notes.push_back(
        fitted == 0          ? Format("no body motion found worth taking out on its %zu vehicles", vehicles)
        : fitted == vehicles ? Format("body motion taken out on all %zu vehicles", fitted)
                             : Format("body motion taken out on %zu of %zu vehicles, averaged out on the others", fitted,
                                      vehicles));
  }
}

}  // namespace tarvik
