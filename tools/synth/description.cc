// Reading a train description. Installation values may be given on a
// device, on its line or once for the whole installation; the nearest one
// counts, so a scenario only spells out what differs.
#include <cmath>
#include <random>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "tools/synth/json_reading.h"

namespace synth {

namespace {

using Value = rapidjson::Value;

// The first object of `scopes` (nearest first) that has `key`, or nullptr.
const Value* Find(std::initializer_list<const Value*> scopes, const char* key) {
  for (const Value* scope : scopes) {
    if (scope == nullptr || !scope->IsObject()) continue;
    auto it = scope->FindMember(key);
    if (it != scope->MemberEnd()) return &it->value;
  }
  return nullptr;
}

struct Reader {
  std::string* error;
  bool failed = false;

  void Fail(const std::string& what) {
    if (!failed) *error = what;
    failed = true;
  }

  double Number(std::initializer_list<const Value*> scopes, const char* key, double fallback) {
    const Value* v = Find(scopes, key);
    if (v == nullptr) return fallback;
    if (!v->IsNumber()) {
      Fail(std::string("\"") + key + "\" must be a number");
      return fallback;
    }
    return v->GetDouble();
  }

  int64_t Integer(std::initializer_list<const Value*> scopes, const char* key, int64_t fallback) {
    const Value* v = Find(scopes, key);
    if (v == nullptr) return fallback;
    if (!v->IsInt64()) {
      Fail(std::string("\"") + key + "\" must be an integer");
      return fallback;
    }
    return v->GetInt64();
  }

  // A number, or an array with one number per sensor.
  double PerSensor(std::initializer_list<const Value*> scopes, const char* key, size_t index, double fallback) {
    const Value* v = Find(scopes, key);
    if (v == nullptr) return fallback;
    if (v->IsNumber()) return v->GetDouble();
    if (v->IsArray() && index < v->Size() && (*v)[static_cast<rapidjson::SizeType>(index)].IsNumber())
      return (*v)[static_cast<rapidjson::SizeType>(index)].GetDouble();
    Fail(std::string("\"") + key + "\" must be a number or an array with a number per sensor");
    return fallback;
  }
};

// The configuration file stores coefficients and positions as 32-bit floats;
// the signal is made from the same narrowed values the library will get.
double AsFloat(double v) { return static_cast<double>(static_cast<float>(v)); }

void ReadDevice(Reader& r, const Value* device, const Value* line, const Value* installation, int default_port,
                std::mt19937_64& rng, DeviceSpec* out) {
  auto scopes = {device, line, installation};
  out->port = static_cast<int>(r.Integer({device}, "port", default_port));
  out->frequency_hz = static_cast<int>(r.Integer(scopes, "frequency", 2000));
  // Counters start at an arbitrary value, as a free-running device's would.
  int64_t counter_default = 1 + static_cast<int64_t>(rng() % 5000000);
  out->counter_start = static_cast<uint32_t>(r.Integer({device}, "counter_start", counter_default));
  out->temperature_offset_c = r.Number({device}, "temperature_offset_c", 0);
  if (out->port < FIRST_DEVICE_PORT || out->port >= FIRST_DEVICE_PORT + DEVICE_ID_COUNT)
    r.Fail("device port " + std::to_string(out->port) + " is outside 7126..7133");
  if (out->frequency_hz < 100 || out->frequency_hz > 65535) r.Fail("device frequency must be 100..65535 Hz");
  if (out->counter_start == 0) r.Fail("counter_start 0 would leave the device's time origin unset");

  const Value* sensors = Find({device}, "sensors");
  const Value* positions = Find(scopes, "positions_m");
  size_t count = sensors != nullptr && sensors->IsArray()     ? sensors->Size()
                 : positions != nullptr && positions->IsArray() ? positions->Size()
                                                                : 0;
  if (count == 0 || count > SENSORS_PER_DEVICE) {
    r.Fail("a device needs 1..4 sensors (\"sensors\" or \"positions_m\")");
    return;
  }
  for (size_t k = 0; k < count; ++k) {
    const Value* own = sensors != nullptr && sensors->IsArray() ? &(*sensors)[static_cast<rapidjson::SizeType>(k)]
                                                                 : nullptr;
    SensorSpec s;
    s.position_m = own != nullptr ? r.Number({own}, "position_m", 0) : r.PerSensor(scopes, "positions_m", k, 0);
    s.coeff_kg_per_count = own != nullptr && Find({own}, "coeff") ? r.Number({own}, "coeff", 2)
                                                                   : r.PerSensor(scopes, "coeff", k, 2);
    s.baseline_counts = own != nullptr && Find({own}, "baseline") ? r.Number({own}, "baseline", 5000)
                                                                   : r.PerSensor(scopes, "baseline", k, 5000);
    s.tau_counts_per_c = own != nullptr && Find({own}, "tau") ? r.Number({own}, "tau", 0)
                                                               : r.PerSensor(scopes, "tau", k, 0);
    s.position_m = AsFloat(s.position_m);
    s.coeff_kg_per_count = AsFloat(s.coeff_kg_per_count);
    if (s.coeff_kg_per_count <= 0) r.Fail("a sensor coeff must be positive");
    out->sensors.push_back(s);
  }
  for (size_t k = 1; k < out->sensors.size(); ++k)
    if (std::fabs(out->sensors[k].position_m - out->sensors[k - 1].position_m) < 0.5)
      r.Fail("sensors of a device must be at least 0.5 m apart");
}

void ReadVehicle(Reader& r, const Value& v, const Value& root, std::mt19937_64& load_rng, VehicleSpec* out) {
  out->bogie_axles = static_cast<int>(r.Integer({&v}, "bogie_axles", 2));
  if (out->bogie_axles != 2 && out->bogie_axles != 3) r.Fail("bogie_axles must be 2 or 3");
  bool loco = out->bogie_axles == 3;
  out->axle_spacing_m = r.Number({&v}, "axle_spacing_m", loco ? 2.0 : 1.85);
  out->bogie_centres_m = r.Number({&v}, "bogie_centres_m", loco ? 11.0 : 8.65);
  out->gap_before_m = r.Number({&v, &root}, "vehicle_gap_m", 3.5);
  out->gap_before_m = r.Number({&v}, "gap_before_m", out->gap_before_m);
  int axles = 2 * out->bogie_axles;

  const Value* explicit_loads = Find({&v}, "wheel_loads_kg");
  if (explicit_loads != nullptr) {
    if (!explicit_loads->IsArray() || static_cast<int>(explicit_loads->Size()) != axles) {
      r.Fail("wheel_loads_kg needs one [odd, even] pair per axle");
      return;
    }
    for (const Value& pair : explicit_loads->GetArray()) {
      if (!pair.IsArray() || pair.Size() != 2 || !pair[0].IsNumber() || !pair[1].IsNumber()) {
        r.Fail("wheel_loads_kg needs one [odd, even] pair per axle");
        return;
      }
      out->wheel_loads_kg.push_back({pair[0].GetDouble(), pair[1].GetDouble()});
    }
  } else {
    double axle_load = r.Number({&v}, "axle_load_kg", loco ? 22000 : 22500);
    double odd_share = r.Number({&v}, "odd_share", 0.5);
    double spread = r.Number({&v}, "load_spread_kg", 0);
    for (int a = 0; a < axles; ++a) {
      // Uniform in [-spread, spread], drawn whether or not it is used, so
      // that adding a spread to one vehicle does not change the others.
      double u = Uniform(load_rng);
      double load = axle_load + spread * (2 * u - 1);
      out->wheel_loads_kg.push_back({std::round(load * odd_share), std::round(load * (1 - odd_share))});
    }
  }

  const Value* flats = Find({&v}, "flats");
  if (flats != nullptr) {
    if (!flats->IsArray()) return r.Fail("flats must be an array");
    for (const Value& f : flats->GetArray()) {
      FlatSpec flat;
      flat.axle = static_cast<int>(r.Integer({&f}, "axle", 0));
      flat.wheel = static_cast<int>(r.Integer({&f}, "wheel", 0));
      flat.severity = r.Number({&f}, "severity", 0.5);
      flat.sensor = static_cast<int>(r.Integer({&f}, "sensor", 0));
      if (flat.axle < 0 || flat.axle >= axles || flat.wheel < 0 || flat.wheel > 1 || flat.severity <= 0 ||
          flat.severity > 1 || flat.sensor < 0 || flat.sensor >= SENSORS_PER_DEVICE)
        r.Fail("a flat needs axle within the vehicle, wheel 0 or 1, severity in (0, 1], sensor 0..3");
      out->flats.push_back(flat);
    }
  }
}

}  // namespace

bool ParseJson(const std::string& json_text, rapidjson::Document* doc, std::string* error) {
  doc->Parse(json_text.c_str(), json_text.size());
  if (!doc->HasParseError()) return true;
  *error = std::string("not valid JSON: ") + rapidjson::GetParseError_En(doc->GetParseError()) + " at offset " +
           std::to_string(doc->GetErrorOffset());
  return false;
}

int ParseTrainDescription(const std::string& json_text, TrainSpec* train, std::string* error) {
  rapidjson::Document doc;
  if (!ParseJson(json_text, &doc, error)) return -1;
  if (!doc.IsObject()) {
    *error = "the description must be a JSON object";
    return -1;
  }
  Reader r{error};
  const Value* root = &doc;
  train->seed = static_cast<uint64_t>(r.Integer({root}, "seed", 1));
  train->noise_sigma_counts = r.Number({root}, "noise_sigma", 0);
  train->direction = static_cast<int>(r.Integer({root}, "direction", 1));
  train->records = r.Integer({root}, "records", 0);
  train->lead_m = r.Number({root}, "lead_m", train->lead_m);
  train->quiet_s = r.Number({root}, "quiet_s", train->quiet_s);
  const Value* speed = Find({root}, "speed");
  train->initial_speed_kmh = r.Number({speed}, "initial_kmh", 40);
  train->accel_mps2 = r.Number({speed}, "accel_mps2", 0);
  const Value* temperature = Find({root}, "temperature");
  train->start_temperature_c = r.Number({temperature}, "start_c", 20);
  train->end_temperature_c = r.Number({temperature}, "end_c", train->start_temperature_c);
  if (train->direction != 1 && train->direction != -1) r.Fail("direction must be 1 or -1");
  if (train->noise_sigma_counts < 0) r.Fail("noise_sigma must not be negative");

  // Separate streams, so that a change of noise leaves counters and loads alone.
  std::mt19937_64 counter_rng(train->seed ^ 0x636f756e74657273ULL);
  std::mt19937_64 load_rng(train->seed ^ 0x6c6f6164732e2e2eULL);

  const Value* installation = Find({root}, "installation");
  const Value* lines = Find({installation}, "lines");
  if (lines == nullptr || !lines->IsArray() || lines->Size() == 0) {
    r.Fail("installation.lines must be a non-empty array");
  } else {
    int index = 0;
    for (const Value& line : lines->GetArray()) {
      LineSpec described;
      described.id = static_cast<int>(r.Integer({&line}, "id", index + 1));
      const char* side_names[2] = {"odd", "even"};
      for (int side = 0; side < 2; ++side) {
        const Value* device = Find({&line}, side_names[side]);
        ReadDevice(r, device, &line, installation, FIRST_DEVICE_PORT + 2 * index + side, counter_rng,
                   &described.devices[side]);
      }
      train->lines.push_back(described);
      ++index;
    }
    std::vector<int> ports;
    for (const LineSpec& line : train->lines)
      for (const DeviceSpec& device : line.devices) {
        for (int port : ports)
          if (port == device.port) r.Fail("port " + std::to_string(port) + " is used twice");
        ports.push_back(device.port);
      }
  }

  const Value* vehicles = Find({root}, "vehicles");
  if (vehicles == nullptr || !vehicles->IsArray() || vehicles->Size() == 0) {
    r.Fail("vehicles must be a non-empty array");
  } else {
    for (const Value& v : vehicles->GetArray()) {
      int64_t repeat = r.Integer({&v}, "repeat", 1);
      if (repeat < 1 || repeat > 1000) r.Fail("repeat must be 1..1000");
      for (int64_t i = 0; i < repeat && !r.failed; ++i) {
        VehicleSpec vehicle;
        ReadVehicle(r, v, doc, load_rng, &vehicle);
        train->vehicles.push_back(vehicle);
      }
    }
  }
  if (r.failed) return -1;
  const Value* field = Find({root}, "field");
  return field != nullptr ? ReadField(*field, train, error) : 0;
}

}  // namespace synth
