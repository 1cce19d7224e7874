// The two JSON outputs: the installation's configuration file, and the
// truth of the passage keyed like the result document, so that a weighing
// can be compared with it field by field.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include "tools/synth/synth.h"

namespace synth {
namespace {

using JsonWriter = rapidjson::PrettyWriter<rapidjson::StringBuffer>;

const char* const LOCO_TYPE = "Co-Co";

// A float in its shortest decimal form that reads back as the same float,
// so that 0.9 stays 0.9 in the configuration rather than its widened double.
void WriteFloat(JsonWriter& w, double value) {
  float f = static_cast<float>(value);
  char text[32];
  for (int decimals = 1; decimals <= 12; ++decimals) {
    std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(f));
    if (std::strtof(text, nullptr) == f) break;
  }
  w.RawValue(text, std::strlen(text), rapidjson::kNumberType);
}

void WriteDevice(JsonWriter& w, const DeviceSpec& device, int side, int line_id) {
  const char* name = side == ODD ? "odd" : "even";
  w.StartObject();
  w.Key("enabled");
  w.Bool(true);
  w.Key("uid");
  w.String((std::string(name) + "-" + std::to_string(line_id)).c_str());
  w.Key("port");
  w.Int(device.port);
  w.Key("frequency");
  w.Int(device.frequency_hz);
  w.Key("host");
  w.String("127.0.0.1");
  w.Key("sensors");
  w.StartArray();
  for (size_t k = 0; k < device.sensors.size(); ++k) {
    w.StartObject();
    w.Key("channel");
    w.Int(static_cast<int>(k));
    w.Key("side");
    w.Bool(side == EVEN);
    w.Key("coeff");
    WriteFloat(w, device.sensors[k].coeff_kg_per_count);
    w.Key("vel_coeff");
    WriteFloat(w, device.sensors[k].position_m);
    w.Key("enabled");
    w.Bool(true);
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
}


}  // namespace

std::string ConfigurationJson(const TrainSpec& train) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.SetIndent(' ', 2);
  w.StartObject();
  w.Key("lines");
  w.StartArray();
  for (const LineSpec& line : train.lines) {
    w.StartObject();
    w.Key("id");
    w.Int(line.id);
    w.Key("devices");
    w.StartObject();
    w.Key("odd");
    WriteDevice(w, line.devices[ODD], ODD, line.id);
    w.Key("even");
    WriteDevice(w, line.devices[EVEN], EVEN, line.id);
    w.EndObject();
    w.EndObject();
  }
  w.EndArray();
  w.EndObject();
  return std::string(buffer.GetString()) + "\n";
}

std::string TruthJson(const TrainSpec& train, const Passage& passage, const OscStats& stats) {
  rapidjson::StringBuffer buffer;
  JsonWriter w(buffer);
  w.SetIndent(' ', 1);
  w.SetFormatOptions(rapidjson::kFormatSingleLineArray);
  w.SetMaxDecimalPlaces(4);  // far finer than any limit the weighing is held to

  double total_kg = 0;
  for (const AxlePlacement& axle : passage.axles) total_kg += axle.loads_kg[ODD] + axle.loads_kg[EVEN];
  // Without dynamics plain averaging weighs every wheel right, so the floor
  // is written only when there is one.
  const FieldSpec& field = train.field;
  bool floor = field.dynamics.has_value();
  std::vector<std::array<double, 2>> floor_kg;
  double floor_total_kg = 0;
  for (size_t j = 0; floor && j < passage.axles.size(); ++j) {
    floor_kg.push_back({FloorWeight(train, passage, j, ODD), FloorWeight(train, passage, j, EVEN)});
    floor_total_kg += floor_kg[j][ODD] + floor_kg[j][EVEN];
  }

  w.StartObject();
  w.Key("total_weight");
  w.Double(total_kg);
  if (floor) {
    w.Key("floor_total_weight");
    w.Double(floor_total_kg);
  }
  bool any_effect = floor || field.influence || field.spikes || field.hum || field.lost || !field.dead.empty();
  if (any_effect) {
    w.Key("field");
    w.StartObject();
    const std::pair<const char*, bool> effects[] = {
        {"dynamics", floor},          {"influence", field.influence.has_value()}, {"spikes", field.spikes.has_value()},
        {"hum", field.hum.has_value()}, {"lost", field.lost.has_value()},          {"dead", !field.dead.empty()}};
    for (const auto& [name, on] : effects) {
      w.Key(name);
      w.Bool(on);
    }
    w.EndObject();
  }
  w.Key("vehicles");
  w.Int(static_cast<int>(train.vehicles.size()));
  w.Key("axles");
  w.Int(static_cast<int>(passage.axles.size()));
  w.Key("direction");
  w.Int(train.direction);
  w.Key("records");
  w.Int64(stats.records);
  w.Key("duration_s");
  w.Double(stats.duration_s);
  w.Key("train_complete");
  w.Bool(stats.train_complete);
  w.Key("lines");
  w.StartArray();
  for (const LineSpec& line : train.lines) w.Int(line.id);
  w.EndArray();
  w.Key("carriages");
  w.StartArray();
  for (size_t v = 0; v < train.vehicles.size(); ++v) {
    const VehicleSpec& vehicle = train.vehicles[v];
    size_t first = static_cast<size_t>(passage.first_axle_of_vehicle[v]);
    size_t count = static_cast<size_t>(2 * vehicle.bogie_axles);
    double full_kg = 0, floor_full_kg = 0;
    for (size_t j = first; j < first + count; ++j) {
      full_kg += passage.axles[j].loads_kg[ODD] + passage.axles[j].loads_kg[EVEN];
      if (floor) floor_full_kg += floor_kg[j][ODD] + floor_kg[j][EVEN];
    }
    bool loco = vehicle.bogie_axles == 3;

    w.StartObject();
    w.Key("number");
    w.Int(static_cast<int>(v + 1));
    w.Key("full_weight");
    w.Double(full_kg);
    if (floor) {
      w.Key("floor_weight");
      w.Double(floor_full_kg);
      // The body's motion as drawn, so that a weighing's fit can be set
      // against it.
      w.Key("motion");
      w.StartObject();
      const VehicleMotion& motion = passage.field.vehicles[v];
      for (const auto& [name, o] : {std::pair{"bounce", &motion.bounce}, std::pair{"pitch", &motion.pitch},
                                    std::pair{"roll", &motion.roll}}) {
        w.Key(name);
        w.StartArray();
        w.Double(o->amplitude);
        w.Double(o->frequency_hz);
        w.Double(o->phase);
        w.EndArray();
      }
      w.EndObject();
    }
    w.Key("loco");
    w.StartObject();
    w.Key("flag");
    w.Bool(loco);
    w.Key("type");
    w.String(loco ? LOCO_TYPE : "");
    w.EndObject();
    w.Key("axis");
    w.StartArray();
    for (size_t j = first; j < first + count; ++j) {
      const AxlePlacement& axle = passage.axles[j];
      // True speed per line, taken with the axle over the line's centre;
      // the result document carries the mean over the lines.
      std::vector<double> by_line;
      double sum = 0;
      for (const LineSpec& line : train.lines) {
        double kmh = 3.6 * SpeedAtTravel(passage, TravelWhenAt(passage, axle.offset_m, LineCentre(line)));
        by_line.push_back(kmh);
        sum += kmh;
      }
      w.StartObject();
      w.Key("speed");
      w.Double(sum / static_cast<double>(by_line.size()));
      w.Key("speed_by_line");
      w.StartArray();
      for (double kmh : by_line) w.Double(kmh);
      w.EndArray();
      w.Key("wheels");
      w.StartArray();
      for (int side = 0; side < 2; ++side) {
        w.StartObject();
        w.Key("weight");
        w.Double(axle.loads_kg[static_cast<size_t>(side)]);
        w.Key("condition");
        w.Double(100 * axle.flat_severity[static_cast<size_t>(side)]);
        w.Key("flat_sensor");
        w.Int(axle.flat_sensor[static_cast<size_t>(side)]);
        if (floor) {
          w.Key("floor_weight");
          w.Double(floor_kg[j][static_cast<size_t>(side)]);
        }
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
  return std::string(buffer.GetString()) + "\n";
}

}  // namespace synth
