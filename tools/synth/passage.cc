// Train layout and motion. The front axle travels s(t) = v0 t + a t^2 / 2;
// an axle offset_m behind it stands at front_start + direction * (s - offset).
#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/synth/synth.h"

namespace synth {
namespace {

constexpr double MIN_SPEED_MPS = 0.3;  // below this the train counts as stopped

void SensorExtent(const std::vector<LineSpec>& lines, double* lo, double* hi) {
  *lo = std::numeric_limits<double>::max();
  *hi = std::numeric_limits<double>::lowest();
  for (const LineSpec& line : lines)
    for (const DeviceSpec& device : line.devices) WidenToSensors(device, lo, hi);
}

}  // namespace

int PlanPassage(const TrainSpec& train, Passage* passage, std::string* error) {
  *passage = Passage{};
  passage->direction = train.direction;
  passage->v0_mps = train.initial_speed_kmh / 3.6;
  passage->accel_mps2 = train.accel_mps2;
  if (passage->v0_mps < MIN_SPEED_MPS) {
    *error = "initial speed is too low";
    return -1;
  }

  double offset = 0;
  for (size_t v = 0; v < train.vehicles.size(); ++v) {
    const VehicleSpec& vehicle = train.vehicles[v];
    int per_bogie = vehicle.bogie_axles;
    double bogie_length = (per_bogie - 1) * vehicle.axle_spacing_m;
    if (vehicle.axle_spacing_m < 1.0 || vehicle.axle_spacing_m > 2.8) {
      *error = "vehicle " + std::to_string(v + 1) + ": axle spacing must be 1.0..2.8 m";
      return -1;
    }
    if (vehicle.bogie_centres_m - bogie_length < 4.0) {
      *error = "vehicle " + std::to_string(v + 1) + ": the bogies' nearest axles must be at least 4 m apart";
      return -1;
    }
    if (v > 0) {
      if (vehicle.gap_before_m < 3.2) {
        *error = "vehicle " + std::to_string(v + 1) + ": adjacent vehicles' axles must be at least 3.2 m apart";
        return -1;
      }
      offset += vehicle.gap_before_m;
    }
    passage->first_axle_of_vehicle.push_back(static_cast<int>(passage->axles.size()));
    for (int a = 0; a < 2 * per_bogie; ++a) {
      AxlePlacement axle;
      axle.vehicle = static_cast<int>(v);
      axle.axle_in_vehicle = a;
      int bogie = a / per_bogie;
      axle.offset_m = offset + bogie * vehicle.bogie_centres_m + (a % per_bogie) * vehicle.axle_spacing_m;
      axle.loads_kg = vehicle.wheel_loads_kg[static_cast<size_t>(a)];
      for (const FlatSpec& flat : vehicle.flats)
        if (flat.axle == a) {
          axle.flat_severity[static_cast<size_t>(flat.wheel)] = flat.severity;
          axle.flat_sensor[static_cast<size_t>(flat.wheel)] = flat.sensor;
        }
      passage->axles.push_back(axle);
    }
    offset = passage->axles.back().offset_m;
  }

  double lo = 0, hi = 0;
  SensorExtent(train.lines, &lo, &hi);
  double lead = std::max(train.lead_m, train.quiet_s * passage->v0_mps);
  double clear = INFLUENCE_HALF_WIDTH_M + lead;
  passage->front_start_m = train.direction > 0 ? lo - clear : hi + clear;
  double end_travel = offset + (hi - lo) + 2 * clear;
  double end_speed_sq = passage->v0_mps * passage->v0_mps + 2 * passage->accel_mps2 * end_travel;
  if (end_speed_sq < MIN_SPEED_MPS * MIN_SPEED_MPS) {
    *error = "the train stops before its last axle has cleared the sensors";
    return -1;
  }
  passage->duration_s = TimeAtTravel(*passage, end_travel);
  DrawField(train, passage);
  return 0;
}

double TravelAt(const Passage& passage, double t_s) {
  return passage.v0_mps * t_s + 0.5 * passage.accel_mps2 * t_s * t_s;
}

double TimeAtTravel(const Passage& passage, double travel_m) {
  // The root of v0 t + a t^2 / 2 = s, in the form that stays exact for a = 0.
  double v = SpeedAtTravel(passage, travel_m);
  return 2 * travel_m / (passage.v0_mps + v);
}

double SpeedAtTravel(const Passage& passage, double travel_m) {
  return std::sqrt(std::max(0.0, passage.v0_mps * passage.v0_mps + 2 * passage.accel_mps2 * travel_m));
}

double TravelWhenAt(const Passage& passage, double offset_m, double position_m) {
  return offset_m + passage.direction * (position_m - passage.front_start_m);
}

void WidenToSensors(const DeviceSpec& device, double* lo, double* hi) {
  for (const SensorSpec& s : device.sensors) {
    *lo = std::min(*lo, s.position_m);
    *hi = std::max(*hi, s.position_m);
  }
}

double LineCentre(const LineSpec& line) {
  double lo = 0, hi = 0;
  SensorExtent({line}, &lo, &hi);
  return (lo + hi) / 2;
}

double LineFirstSensor(const LineSpec& line, int direction) {
  double lo = 0, hi = 0;
  SensorExtent({line}, &lo, &hi);
  return direction > 0 ? lo : hi;
}

}  // namespace synth
