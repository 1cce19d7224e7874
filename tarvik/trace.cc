// The trace: what the library found on one line, as one line of JSON, so
// that an engineer can see why a wagon weighs what it weighs, and tools can
// calibrate the sensors from the readings.
#include <cmath>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr size_t MAX_SPIKE_TIMES = 10000;

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// JSON has no NaN: an unknown number is written as null.
void Number(Writer& w, double value) {
  if (std::isfinite(value)) w.Double(value);
  else w.Null();
}

void Text(Writer& w, const char* key, const std::string& value) {
  w.Key(key);
  w.String(value.c_str(), static_cast<rapidjson::SizeType>(value.size()));
}

void Field(Writer& w, const char* key, double value) {
  w.Key(key);
  Number(w, value);
}

void WriteSensor(Writer& w, const RailSolution& rail, const SensorSolution& sensor, const ChannelSignal* channel) {
  w.StartObject();
  w.Key("id");
  w.Int(sensor.id);
  w.Key("channel");
  w.Int(sensor.channel);
  Field(w, "position_m", sensor.position_m);
  Field(w, "coeff", sensor.coeff);
  w.Key("used");
  w.Bool(sensor.left_out.empty());
  Text(w, "left_out", sensor.left_out);
  Field(w, "relative_bias", sensor.relative_bias);
  if (channel) {
    w.Key("baseline");
    w.StartObject();
    Field(w, "offset_counts", channel->baseline.offset_counts);
    Field(w, "drift_counts_per_c", channel->baseline.drift_counts_per_c);
    Field(w, "noise_counts", channel->baseline.noise_counts);
    Field(w, "hum_counts", channel->baseline.HumAmplitude());
    w.EndObject();
    w.Key("spikes_s");
    w.StartArray();
    for (size_t i = 0; i < channel->spike_times_s.size() && i < MAX_SPIKE_TIMES; ++i)
      Number(w, channel->spike_times_s[i]);
    w.EndArray();
  }
  w.Key("influence");
  w.StartObject();
  w.Key("u_m");
  w.StartArray();
  double reach = sensor.influence.GridReachM(), step = sensor.influence.step_m;
  size_t steps = static_cast<size_t>(std::lround(2 * reach / step));
  for (size_t i = 0; i <= steps; ++i) Number(w, -reach + static_cast<double>(i) * step);
  w.EndArray();
  w.Key("h");
  w.StartArray();
  for (size_t i = 0; i <= steps; ++i) Number(w, sensor.influence.Value(-reach + static_cast<double>(i) * step));
  w.EndArray();
  w.EndObject();
  w.Key("wheels");
  w.StartArray();
  for (size_t j = 0; j < sensor.readings.size(); ++j) {
    const WheelReading& reading = sensor.readings[j];
    if (!std::isfinite(reading.amplitude_counts)) continue;
    w.StartObject();
    w.Key("wheel");
    w.Uint64(j);
    Field(w, "time_s", j < rail.motions.size() ? rail.motions[j].TimeAt(sensor.position_m) : NaN);
    Field(w, "amplitude_counts", reading.amplitude_counts);
    Field(w, "load_kg", reading.amplitude_counts * sensor.coeff);
    Field(w, "factor", reading.factor);
    w.Key("used");
    w.Bool(reading.used);
    Text(w, "why", reading.why);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
}

void WriteRail(Writer& w, const RailSolution& rail, const char* side, const DeviceSignal* signal) {
  w.StartObject();
  Text(w, "side", side);
  w.Key("device");
  w.Int(rail.device_id);
  Field(w, "sample_period_s", rail.sample_period_s);
  Text(w, "problem", rail.problem);
  w.Key("lost_s");
  w.StartArray();
  for (const Gap& gap : rail.gaps) {
    w.StartArray();
    Number(w, gap.from_s);
    Number(w, gap.to_s);
    w.EndArray();
  }
  w.EndArray();
  if (!rail.motions.empty()) {
    const WheelMotion& m = rail.motions.front();
    Field(w, "speed_mps", m.SpeedAt(rail.passage_time_s.front()));
    Field(w, "accel_mps2", m.accel_mps2);
  }
  w.Key("sensors");
  w.StartArray();
  for (const SensorSolution& sensor : rail.sensors)
    WriteSensor(w, rail, sensor, signal ? &signal->channels[sensor.channel] : nullptr);
  w.EndArray();
  w.EndObject();
}

}  // namespace

std::string TraceJson(const LineSolution& line, const DeviceSignal* odd, const DeviceSignal* even) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.SetMaxDecimalPlaces(6);
  w.StartObject();
  w.Key("line");
  w.Int(line.line_id);
  w.Key("correct");
  w.Bool(line.correct);
  Text(w, "problem", line.problem);
  w.Key("notes");
  w.StartArray();
  for (const std::string& note : line.notes) w.String(note.c_str(), static_cast<rapidjson::SizeType>(note.size()));
  w.EndArray();
  w.Key("rails");
  w.StartArray();
  WriteRail(w, line.rails[0], "odd", odd);
  WriteRail(w, line.rails[1], "even", even);
  w.EndArray();
  w.Key("vehicles");
  w.StartArray();
  for (size_t v = 0; v < line.vehicles.size(); ++v) {
    const VehicleSolution& vehicle = line.vehicles[v];
    w.StartObject();
    w.Key("number");
    w.Uint64(v + 1);
    w.Key("locomotive");
    w.Bool(vehicle.locomotive);
    Text(w, "dynamics", vehicle.dynamics);
    w.Key("axles");
    w.StartArray();
    for (const AxleSolution& axle : vehicle.axles) {
      w.StartObject();
      Field(w, "time_s", axle.passage_time_s);
      Field(w, "speed_kmh", axle.speed_kmh);
      Field(w, "offset_m", axle.offset_m);
      w.Key("wheels");
      w.StartArray();
      for (size_t side = 0; side < 2; ++side) {
        w.StartObject();
        w.Key("rail_wheel");
        w.Uint64(axle.wheel[side]);
        Field(w, "weight_kg", axle.weight_kg[side]);
        Field(w, "condition", axle.condition_percent[side]);
        w.EndObject();
      }
      w.EndArray();
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace tarvik
