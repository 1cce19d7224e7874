// Per-line solver of the reference library: from two devices' samples to
// the train's vehicles, axles and wheels.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <map>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double MPS_TO_KMH = 3.6;
constexpr int SHIFT_REFINEMENTS = 2;
// Wheels of the two rails belong to one axle when they pass the line within
// this distance of each other; axles of one bogie are well over a metre apart.
constexpr double AXLE_PAIRING_TOLERANCE_M = 0.45;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

struct RailWheel {
  WheelMotion motion;
  WheelEstimate estimate;
  double passage_time_s = 0;  // at the line's reference position
  double speed_mps = 0;       // there, unsigned
};

struct Rail {
  std::vector<RailWheel> wheels;  // in order of passage
  std::string problem;
  std::vector<std::string> notes;
};

double FallbackTemperature(const SampleStore& store) {
  std::vector<double> readings;
  size_t n = store.Size();
  size_t stride = std::max<size_t>(1, n / 1024);
  for (size_t i = 0; i < n; i += stride) {
    double t = SampleTemperature(store.At(i), NaN);
    if (!std::isnan(t)) readings.push_back(t);
  }
  if (readings.empty()) return 20.0;
  std::nth_element(readings.begin(), readings.begin() + static_cast<std::ptrdiff_t>(readings.size() / 2), readings.end());
  return readings[readings.size() / 2];
}

struct SensorData {
  int channel = 0;
  double position_m = 0;
  double coeff = 0;
  Baseline baseline;
  std::vector<Pulse> pulses;
};

// Finds the wheels of one rail. `reference_m` is the position at which
// passage times and speeds are taken, the same for both rails of a line.
Rail SolveRail(const DeviceInput& device, double reference_m, DeviceWorkspace* workspace) {
  Rail rail;
  if (!device.samples || device.samples->Size() == 0) {
    rail.problem = Format("device %d sent no samples", device.device_id);
    return rail;
  }
  const SampleStore& store = *device.samples;
  double fallback_c = FallbackTemperature(store);
  size_t count = std::min({device.coeff_kg_per_count.size(), device.position_m.size(),
                           size_t{MAX_SENSORS_PER_DEVICE}});
  std::vector<SensorData> sensors;
  if (!PrepareDevice(store, fallback_c, workspace)) {
    rail.problem = Format("device %d: no memory for %zu samples", device.device_id, store.Size());
    return rail;
  }
  for (size_t k = 0; k < count; ++k) {
    double coeff = device.coeff_kg_per_count[k], position = device.position_m[k];
    if (!(coeff > 0) || !std::isfinite(coeff) || !std::isfinite(position)) continue;
    SensorData sensor;
    sensor.channel = static_cast<int>(k);
    sensor.position_m = position;
    sensor.coeff = coeff;
    FindPulses(workspace, sensor.channel, &sensor.baseline, &sensor.pulses);
    sensors.push_back(std::move(sensor));
  }

  // Every wheel crosses every sensor, so the sensors must agree on the
  // number of wheels; the count most sensors agree on wins and a sensor that
  // saw more or fewer (a fault, a spike) is left out of this rail.
  std::map<size_t, int> votes;
  for (const SensorData& s : sensors)
    if (!s.pulses.empty()) ++votes[s.pulses.size()];
  size_t wheels = 0;
  int best_votes = 0;
  for (const auto& [n, v] : votes)
    if (v >= best_votes) wheels = n, best_votes = v;
  if (wheels == 0) {
    rail.problem = Format("device %d: no wheel found at any sensor", device.device_id);
    return rail;
  }
  std::vector<SensorData> agreeing;
  for (SensorData& s : sensors) {
    if (s.pulses.size() == wheels) agreeing.push_back(std::move(s));
    else
      rail.notes.push_back(Format("sensor %d left out: it saw %zu wheels, the others %zu",
                                  device.device_id * 4 + s.channel, s.pulses.size(), wheels));
  }
  sensors = std::move(agreeing);
  double span = 0;
  for (const SensorData& s : sensors) span = std::max(span, std::fabs(s.position_m - sensors[0].position_m));
  if (sensors.size() < 2 || span < 0.1) {
    rail.problem = Format("device %d: fewer than two sensors agree on the wheels (%zu)", device.device_id, wheels);
    return rail;
  }

  std::vector<double> positions;
  for (const SensorData& s : sensors) positions.push_back(s.position_m);
  std::vector<std::vector<double>> times(wheels, std::vector<double>(sensors.size(), NaN));
  for (size_t j = 0; j < wheels; ++j)
    for (size_t k = 0; k < sensors.size(); ++k) times[j][k] = sensors[k].pulses[j].time_s;
  double rms_m = 0;
  std::vector<WheelMotion> motions = FitMotion(times, positions, &rms_m);
  if (motions.empty()) {
    rail.problem = Format("device %d: the wheels' passage times fit no train motion", device.device_id);
    return rail;
  }
  // The centroid times are slightly off under acceleration and noise; the
  // shift fits put each pulse where the influence line says it is.
  for (int round = 0; round < SHIFT_REFINEMENTS; ++round) {
    for (size_t j = 0; j < wheels; ++j)
      for (size_t k = 0; k < sensors.size(); ++k) {
        PulseFit fit = FitPulse(store, sensors[k].channel, sensors[k].baseline, fallback_c, sensors[k].position_m,
                                motions[j], true);
        if (fit.valid) times[j][k] = motions[j].TimeAt(sensors[k].position_m + fit.shift_m);
      }
    std::vector<WheelMotion> refined = FitMotion(times, positions, &rms_m);
    if (refined.empty()) break;
    motions = std::move(refined);
  }

  for (size_t j = 0; j < wheels; ++j) {
    RailWheel wheel;
    wheel.motion = motions[j];
    std::vector<SensorLoad> loads;
    for (const SensorData& s : sensors) {
      PulseFit fit = FitPulse(store, s.channel, s.baseline, fallback_c, s.position_m, motions[j], false);
      if (!fit.valid) continue;
      loads.push_back({fit.amplitude_counts * s.coeff, fit.standard_error_counts * s.coeff});
      wheel.estimate.strength_counts.push_back(static_cast<int32_t>(std::lround(fit.amplitude_counts)));
      wheel.estimate.sensor_ids.push_back(device.device_id * 4 + s.channel);
    }
    CombinedLoad combined = CombineSensorLoads(loads);
    wheel.estimate.weight_kg = combined.weight_kg;
    wheel.estimate.condition_percent = combined.condition_percent;
    wheel.passage_time_s = motions[j].TimeAt(reference_m);
    wheel.speed_mps = std::fabs(motions[j].SpeedAt(wheel.passage_time_s));
    rail.wheels.push_back(std::move(wheel));
  }
  std::sort(rail.wheels.begin(), rail.wheels.end(),
            [](const RailWheel& a, const RailWheel& b) { return a.passage_time_s < b.passage_time_s; });
  return rail;
}

// Distance between two wheels of one rail, taken when the later one passes
// the reference position.
double Spacing(const RailWheel& first, const RailWheel& second) {
  double t = second.passage_time_s;
  return std::fabs(first.motion.PositionAt(t) - second.motion.PositionAt(t));
}

}  // namespace

LineEstimate SolveLine(const DeviceInput& odd, const DeviceInput& even) {
  LineEstimate line;
  // Speeds and passage times are taken with the wheel over the line's
  // centre: the middle of the stretch that the line's sensors cover.
  double low = INFINITY, high = -INFINITY;
  for (const DeviceInput* device : {&odd, &even})
    for (size_t k = 0; k < device->position_m.size() && k < MAX_SENSORS_PER_DEVICE; ++k)
      if (std::isfinite(device->position_m[k]))
        low = std::min(low, device->position_m[k]), high = std::max(high, device->position_m[k]);
  double reference_m = low <= high ? 0.5 * (low + high) : 0.0;

  DeviceWorkspace workspace;
  Rail rails[2];
  rails[0] = SolveRail(odd, reference_m, &workspace);
  if (rails[0].problem.empty()) rails[1] = SolveRail(even, reference_m, &workspace);
  for (const Rail& rail : rails) {
    line.notes.insert(line.notes.end(), rail.notes.begin(), rail.notes.end());
    if (!rail.problem.empty()) {
      line.problem = rail.problem;
      return line;
    }
  }

  // The devices' clocks start at their own first records, so they differ by
  // a sample or so, or by more when one device started late; the median gap
  // between same-numbered wheels takes that out before pairing when both
  // rails saw the same count. The tolerance check below still has to pass.
  const std::vector<RailWheel>& a = rails[0].wheels;
  const std::vector<RailWheel>& b = rails[1].wheels;
  double clock_offset_s = 0;
  if (a.size() == b.size()) {
    std::vector<double> gaps;
    for (size_t i = 0; i < a.size(); ++i) gaps.push_back(b[i].passage_time_s - a[i].passage_time_s);
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
    clock_offset_s = gaps[gaps.size() / 2];
  }
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    double gap_s = b[j].passage_time_s - clock_offset_s - a[i].passage_time_s;
    double tolerance_s = AXLE_PAIRING_TOLERANCE_M / std::max(0.5 * (a[i].speed_mps + b[j].speed_mps), 0.1);
    if (std::fabs(gap_s) <= tolerance_s) pairs.push_back({i++, j++});
    else if (gap_s < 0) ++j;
    else ++i;
  }
  if (pairs.empty() || (pairs.size() != a.size() && pairs.size() != b.size())) {
    line.problem = Format("wheels of the two rails do not pair into axles (%zu odd, %zu even, %zu paired)",
                          a.size(), b.size(), pairs.size());
    return line;
  }

  std::vector<AxleEstimate> axles;
  std::vector<double> spacing_m;
  for (size_t p = 0; p < pairs.size(); ++p) {
    const RailWheel& wa = a[pairs[p].first];
    const RailWheel& wb = b[pairs[p].second];
    AxleEstimate axle;
    axle.speed_kmh = 0.5 * (wa.speed_mps + wb.speed_mps) * MPS_TO_KMH;
    axle.passage_time_s = wa.passage_time_s;
    axle.wheels[0] = wa.estimate;
    axle.wheels[1] = wb.estimate;
    axles.push_back(std::move(axle));
    if (p > 0)
      spacing_m.push_back(0.5 * (Spacing(a[pairs[p - 1].first], wa) + Spacing(b[pairs[p - 1].second], wb)));
  }
  VehicleGrouping grouping = GroupAxles(spacing_m);
  if (!grouping.consistent) line.notes.push_back("axle spacings do not make vehicles of two bogies of 2 or 3 axles");
  size_t next = 0;
  for (size_t v = 0; v < grouping.axle_counts.size(); ++v) {
    VehicleEstimate vehicle;
    vehicle.locomotive = grouping.locomotive[v];
    for (int k = 0; k < grouping.axle_counts[v] && next < axles.size(); ++k) vehicle.axles.push_back(axles[next++]);
    line.vehicles.push_back(std::move(vehicle));
  }
  line.correct = true;
  if (pairs.size() != a.size() || pairs.size() != b.size())
    line.notes.push_back(Format("%zu wheels without a partner on the other rail left out",
                                a.size() + b.size() - 2 * pairs.size()));
  return line;
}

}  // namespace tarvik
