// Weighing the vehicles of every line: the lines that agree on the train
// are weighed together, each wheel over every sensor and line that saw it,
// so that the body's motion is traced over the longest stretch of readings.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

// The train as a line sees it: the axle count of every vehicle.
std::vector<size_t> Shape(const LineSolution& line) {
  std::vector<size_t> shape;
  for (const VehicleSolution& vehicle : line.vehicles) shape.push_back(vehicle.axles.size());
  return shape;
}

// Weighs vehicle `v` of every line in `group` together and writes the
// results back into each line.
void WeighTogether(const std::vector<LineSolution*>& group, size_t v) {
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
          o.load_kg = reading.amplitude_counts * sensor.coeff;
          o.standard_error_kg = reading.standard_error_counts * sensor.coeff;
          o.time_s = rail.motions[j].TimeAt(sensor.position_m) - clock;
          loads.observations.push_back(o);
          sources.push_back({&line, side, k, j});
        }
      }
  }
  VehicleWeighing weighing = WeighVehicle(loads);
  for (LineSolution* line : group) {
    VehicleSolution& vehicle = line->vehicles[v];
    vehicle.dynamics = weighing.dynamics;
    for (size_t a = 0; a < vehicle.axles.size(); ++a)
      for (size_t side = 0; side < 2; ++side) {
        vehicle.axles[a].weight_kg[side] = weighing.wheel_kg[2 * a + side];
        vehicle.axles[a].condition_percent[side] = 0;
      }
  }
  for (size_t o = 0; o < sources.size(); ++o) {
    const Source& s = sources[o];
    WheelReading& reading = s.line->rails[s.side].sensors[s.sensor].readings[s.wheel];
    reading.factor = weighing.factor[o];
    reading.used = !weighing.flat[o];
    reading.why = weighing.flat[o] ? "a wheel flat raises it" : "";
    if (weighing.flat[o]) {
      AxleSolution& axle = s.line->vehicles[v].axles[loads.observations[o].wheel / 2];
      axle.condition_percent[s.side] = std::max(axle.condition_percent[s.side], 100 * weighing.excess[o]);
    }
  }
}

}  // namespace

void WeighLines(std::vector<LineSolution*>& lines) {
  // The train most lines agree on is weighed over all of them; a line that
  // saw another train (a vehicle more or less) is weighed alone.
  std::map<std::vector<size_t>, std::vector<LineSolution*>> groups;
  for (LineSolution* line : lines)
    if (line->correct) groups[Shape(*line)].push_back(line);
  size_t fitted = 0;
  for (auto& [shape, group] : groups) {
    for (size_t v = 0; v < shape.size(); ++v) WeighTogether(group, v);
    if (groups.size() > 1)
      for (LineSolution* line : group) {
        char note[128];
        std::snprintf(note, sizeof note, "weighed with %zu of %zu lines: the others saw another train",
                      group.size(), lines.size());
        line->notes.push_back(note);
      }
  }
  for (LineSolution* line : lines) {
    if (!line->correct) continue;
    fitted = 0;
    for (const VehicleSolution& vehicle : line->vehicles) fitted += vehicle.dynamics.rfind("fitted", 0) == 0;
    char note[128];
    std::snprintf(note, sizeof note, "body motion fitted on %zu of %zu vehicles, the others averaged", fitted,
                  line->vehicles.size());
    line->notes.push_back(note);
  }
}

}  // namespace tarvik
