// The field effects of one passage: drawn once from the description, then
// asked per sample by the oscillogram writer and per wheel by the truth.
// Each effect has its own stream, so that switching one on, or changing its
// strength, leaves the draws of every other effect and of the noise alone;
// an effect draws the same number of values whatever its strengths.
#include <algorithm>
#include <cmath>

#include "tools/synth/synth.h"

namespace synth {
namespace {

constexpr double PI = 3.14159265358979323846;

// Per-effect stream constants, XORed into the train seed.
constexpr uint64_t DYNAMICS_STREAM = 0x64796e616d696373ULL;
constexpr uint64_t INFLUENCE_STREAM = 0x696e666c75656e63ULL;
constexpr uint64_t SPIKES_STREAM = 0x7370696b65732e2eULL;
constexpr uint64_t HUM_STREAM = 0x68756d2e2e2e2e2eULL;
constexpr uint64_t LOST_STREAM = 0x6c6f73742e2e2e2eULL;

Oscillation DrawOscillation(std::mt19937_64& rng, const Range& amplitude, const Range& frequency_hz) {
  Oscillation o;
  o.amplitude = Uniform(rng, amplitude);
  o.frequency_hz = Uniform(rng, frequency_hz);
  o.phase = 2 * PI * Uniform(rng);
  return o;
}

void DrawDynamics(const DynamicsSpec& asked, uint64_t seed, Passage* passage) {
  std::mt19937_64 rng(seed ^ DYNAMICS_STREAM);
  FieldDraws& field = passage->field;
  size_t vehicles = passage->first_axle_of_vehicle.size();
  field.axles.resize(passage->axles.size());
  for (size_t v = 0; v < vehicles; ++v) {
    VehicleMotion motion;
    motion.bounce = DrawOscillation(rng, asked.bounce, asked.frequency_hz);
    motion.pitch = DrawOscillation(rng, asked.pitch, asked.frequency_hz);
    motion.roll = DrawOscillation(rng, asked.roll, asked.frequency_hz);
    field.vehicles.push_back(motion);
    // Pitch lifts one end as it presses the other: the arm runs from +1 at
    // the front axle through 0 at the centre to -1 at the rear axle.
    size_t first = static_cast<size_t>(passage->first_axle_of_vehicle[v]);
    size_t end = v + 1 < vehicles ? static_cast<size_t>(passage->first_axle_of_vehicle[v + 1]) : passage->axles.size();
    double front = passage->axles[first].offset_m, rear = passage->axles[end - 1].offset_m;
    for (size_t j = first; j < end; ++j) {
      field.axles[j].vibration = DrawOscillation(rng, asked.vibration, asked.vibration_hz);
      field.axles[j].arm = ((front + rear) / 2 - passage->axles[j].offset_m) / ((rear - front) / 2);
    }
  }
}

SensorShape DrawShape(std::mt19937_64& rng, const InfluenceSpec& asked) {
  SensorShape s;
  double half_width = Uniform(rng, asked.half_width_m);
  double alpha = Uniform(rng, {-asked.asymmetry, asked.asymmetry});
  s.ahead_m = half_width * (1 + alpha);
  s.behind_m = half_width * (1 - alpha);
  s.power = Uniform(rng, asked.sharpness);
  s.lobe_ahead = Uniform(rng, asked.side_lobe);
  s.lobe_behind = Uniform(rng, asked.side_lobe);
  return s;
}

// When the train is over a device's sensors: from the front axle at the
// first sensor it meets to the last axle at the last one.
void DeviceStretch(const Passage& passage, const DeviceSpec& device, double* from_s, double* to_s) {
  double lo = device.sensors.front().position_m, hi = lo;
  WidenToSensors(device, &lo, &hi);
  double first = passage.direction > 0 ? lo : hi, last = passage.direction > 0 ? hi : lo;
  *from_s = TimeAtTravel(passage, TravelWhenAt(passage, 0, first));
  *to_s = TimeAtTravel(passage, TravelWhenAt(passage, passage.axles.back().offset_m, last));
}

}  // namespace

double Oscillation::At(double t_s) const { return amplitude * std::sin(2 * PI * frequency_hz * t_s + phase); }

double SensorShape::Reach() const { return 1.5 * std::max(ahead_m, behind_m); }

double Influence(const SensorShape& shape, double u_m) {
  double a = u_m >= 0 ? shape.ahead_m : shape.behind_m;
  double x = std::fabs(u_m);
  // pow(1, p) is exactly 1: the peak keeps coeff's meaning, kg per count.
  if (x < a) return std::pow(std::cos(PI * x / (2 * a)), 2 * shape.power);
  if (x < 1.5 * a) {
    double s = std::sin(PI * (x - a) / (0.5 * a));
    return -(u_m >= 0 ? shape.lobe_ahead : shape.lobe_behind) * s * s;
  }
  return 0;
}

void DrawField(const TrainSpec& train, Passage* passage) {
  const FieldSpec& asked = train.field;
  FieldDraws& field = passage->field;  // fresh: PlanPassage starts from an empty passage
  if (asked.dynamics) DrawDynamics(*asked.dynamics, train.seed, passage);

  std::mt19937_64 influence_rng(train.seed ^ INFLUENCE_STREAM);
  std::mt19937_64 hum_rng(train.seed ^ HUM_STREAM);
  std::mt19937_64 lost_rng(train.seed ^ LOST_STREAM);
  for (const LineSpec& line : train.lines) {
    field.devices.emplace_back();
    for (int side = 0; side < 2; ++side) {
      const DeviceSpec& device = line.devices[static_cast<size_t>(side)];
      DeviceField& out = field.devices.back()[static_cast<size_t>(side)];
      size_t channels = device.sensors.size();
      out.dead.assign(channels, DeadKind::ALIVE);
      for (const DeadSensorSpec& dead : asked.dead)
        if (dead.line_id == line.id && dead.side == side) out.dead[static_cast<size_t>(dead.sensor)] = dead.kind;
      for (size_t k = 0; asked.influence && k < channels; ++k)
        out.shapes.push_back(DrawShape(influence_rng, *asked.influence));
      for (size_t k = 0; asked.hum && k < channels; ++k)
        out.hum.push_back(DrawOscillation(hum_rng, asked.hum->amplitude_counts, {asked.hum->hz, asked.hum->hz}));
      if (asked.lost) {
        // Placed while the train is over the device, where a gap costs the weighing.
        double from_s = 0, to_s = 0;
        DeviceStretch(*passage, device, &from_s, &to_s);
        const Range& runs = asked.lost->runs;
        double whole = runs.low + std::floor(Uniform(lost_rng) * (runs.high - runs.low + 1));
        int count = static_cast<int>(std::min(runs.high, whole));
        for (int i = 0; i < count; ++i) {
          double length_s = Uniform(lost_rng, asked.lost->ms) / 1000;
          double start_s = from_s + Uniform(lost_rng) * std::max(0.0, to_s - length_s - from_s);
          out.lost.push_back({start_s, start_s + length_s});
        }
      }
    }
  }
}

SpikeStream StartSpikes(const TrainSpec& train, size_t channels) {
  SpikeStream s{std::mt19937_64(train.seed ^ SPIKES_STREAM), train.field.spikes.value_or(SpikeSpec{}), {}};
  if (!train.field.spikes || s.asked.per_s <= 0) return s;
  for (size_t c = 0; c < channels; ++c) s.next_s.push_back(-std::log(1 - Uniform(s.rng)) / s.asked.per_s);
  return s;
}

double TakeSpikes(SpikeStream* s, size_t channel, double t_s) {
  if (s->next_s.empty()) return 0;
  double sum = 0;
  while (s->next_s[channel] <= t_s) {
    double magnitude = s->asked.max_counts * (0.1 + 0.9 * Uniform(s->rng));
    sum += Uniform(s->rng) < 0.5 ? magnitude : -magnitude;
    s->next_s[channel] += -std::log(1 - Uniform(s->rng)) / s->asked.per_s;
  }
  return sum;
}

double WheelLoadAt(const Passage& passage, size_t axle, int side, double t_s) {
  const AxlePlacement& a = passage.axles[axle];
  double load = a.loads_kg[static_cast<size_t>(side)];
  if (passage.field.vehicles.empty()) return load;
  const VehicleMotion& body = passage.field.vehicles[static_cast<size_t>(a.vehicle)];
  const AxleMotion& own = passage.field.axles[axle];
  double relative = 1 + body.bounce.At(t_s) + own.arm * body.pitch.At(t_s) + own.vibration.At(t_s);
  // Roll moves load from one rail to the other, never off the axle.
  double shifted = body.roll.At(t_s) * (a.loads_kg[ODD] + a.loads_kg[EVEN]) / 2;
  return load * relative + (side == ODD ? shifted : -shifted);
}

double FloorWeight(const TrainSpec& train, const Passage& passage, size_t axle, int side) {
  double offset = passage.axles[axle].offset_m;
  double sum_over_lines = 0;
  int lines = 0;
  for (size_t l = 0; l < train.lines.size(); ++l) {
    const DeviceSpec& device = train.lines[l].devices[static_cast<size_t>(side)];
    const DeviceField& field = passage.field.devices[l][static_cast<size_t>(side)];
    double sum = 0;
    int seen = 0;
    for (size_t k = 0; k < device.sensors.size(); ++k) {
      if (field.dead[k] != DeadKind::ALIVE) continue;
      double t_s = TimeAtTravel(passage, TravelWhenAt(passage, offset, device.sensors[k].position_m));
      sum += WheelLoadAt(passage, axle, side, t_s);
      ++seen;
    }
    if (seen == 0) continue;  // a rail whose sensors are all dead adds nothing
    sum_over_lines += sum / seen;
    ++lines;
  }
  return lines > 0 ? sum_over_lines / lines : passage.axles[axle].loads_kg[static_cast<size_t>(side)];
}

}  // namespace synth
