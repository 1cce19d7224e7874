// Writing the oscillogram: the carriage table, then every device's records
// interleaved in time order, streamed through one large buffer. The
// carriage table is only known once the records are placed, so it is
// written last, over the zero table the file starts with.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include "tools/synth/synth.h"

namespace synth {
namespace {

constexpr size_t CARRIAGE_TABLE_ENTRIES = 1024;
constexpr size_t CARRIAGE_ENTRY_BYTES = 21;
constexpr size_t START_OFFSET = CARRIAGE_TABLE_ENTRIES * CARRIAGE_ENTRY_BYTES;  // 21504
constexpr size_t RECORD_BYTES = 19;
constexpr uint16_t PAYLOAD_BYTES = 12;
constexpr size_t RECORDS_PER_WRITE = 1 << 16;
constexpr double PI = 3.14159265358979323846;

void PutU16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void PutU32(uint8_t* p, uint32_t v) {
  PutU16(p, v);
  PutU16(p + 2, v >> 16);
}
void PutU64(uint8_t* p, uint64_t v) {
  PutU32(p, static_cast<uint32_t>(v));
  PutU32(p + 4, static_cast<uint32_t>(v >> 32));
}

// Standard normal draws by Box-Muller over our own uniform, so that a seed
// gives the same noise with every standard library.
class Gaussian {
 public:
  explicit Gaussian(uint64_t seed) : rng_(seed) {}
  double Next() {
    if (has_spare_) {
      has_spare_ = false;
      return spare_;
    }
    double u1 = (static_cast<double>(rng_() >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]: log stays finite
    double u2 = static_cast<double>(rng_() >> 11) * 0x1.0p-53;          // [0, 1)
    double radius = std::sqrt(-2.0 * std::log(u1));
    spare_ = radius * std::sin(2 * PI * u2);
    has_spare_ = true;
    return radius * std::cos(2 * PI * u2);
  }

 private:
  std::mt19937_64 rng_;
  bool has_spare_ = false;
  double spare_ = 0;
};

struct DeviceStream {
  const DeviceSpec* described = nullptr;
  const DeviceField* field = nullptr;
  int side = ODD;
  uint8_t id = 0;
  uint64_t next_sample = 0;
  std::vector<double> sensor_travel_m;  // front-axle travel at which an axle at offset 0 is over sensor k
};

// Everything the per-sample sum needs, precomputed once.
struct SignalModel {
  const TrainSpec* train;
  const Passage* passage;
  std::vector<double> offsets_m;  // axle offsets, ascending

  double Temperature(const DeviceSpec& device, double t_s) const {
    // The course runs over the passage; quiet track added for a record
    // target keeps the end temperature.
    double span = passage->duration_s > 0 ? std::min(1.0, t_s / passage->duration_s) : 0;
    return train->start_temperature_c + (train->end_temperature_c - train->start_temperature_c) * span +
           device.temperature_offset_c;
  }

  // Load term of sensor k of a device on `side` at front-axle travel s,
  // time t_s.
  double LoadCounts(const DeviceStream& d, size_t k, double travel_m, double t_s) const {
    const double a = INFLUENCE_HALF_WIDTH_M;
    const SensorShape* shape = d.field->shapes.empty() ? nullptr : &d.field->shapes[k];
    const double reach = shape != nullptr ? shape->Reach() : a;
    // Axle j is over the sensor at |travel - offset_j - q_k| < reach; the
    // offsets are sorted, so only the few axles in that window are visited.
    double centre = travel_m - d.sensor_travel_m[k];
    auto it = std::upper_bound(offsets_m.begin(), offsets_m.end(), centre - reach);
    double sum = 0;
    const SensorSpec& sensor = d.described->sensors[k];
    for (; it != offsets_m.end() && *it < centre + reach; ++it) {
      size_t j = static_cast<size_t>(it - offsets_m.begin());
      const AxlePlacement& axle = passage->axles[j];
      double u = centre - *it;
      double load = WheelLoadAt(*passage, j, d.side, t_s);
      double term;
      if (shape != nullptr) {
        // A sensor's shape is fixed on the track: u along the positions.
        term = load / sensor.coeff_kg_per_count * Influence(*shape, passage->direction * u);
      } else {
        double c = std::cos(PI * u / (2 * a));
        term = load / sensor.coeff_kg_per_count * c * c;
      }
      if (axle.flat_sensor[static_cast<size_t>(d.side)] == static_cast<int>(k))
        term *= 1 + axle.flat_severity[static_cast<size_t>(d.side)];
      sum += term;
    }
    return sum;
  }
};

bool IsLost(const DeviceField& field, double t_s) {
  for (const LostRun& run : field.lost)
    if (t_s >= run.from_s && t_s < run.to_s) return true;
  return false;
}

uint16_t ClampCounts(double v) {
  double r = std::floor(v + 0.5);
  return static_cast<uint16_t>(std::clamp(r, 0.0, 65535.0));
}

}  // namespace

int WriteOscillogram(const TrainSpec& train, const Passage& passage, const std::string& path, OscStats* stats,
                     std::string* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
  if (!file) {
    *error = "cannot create " + path;
    return -1;
  }

  SignalModel model{&train, &passage, {}};
  for (const AxlePlacement& axle : passage.axles) model.offsets_m.push_back(axle.offset_m);

  std::vector<DeviceStream> devices;
  for (size_t l = 0; l < train.lines.size(); ++l)
    for (int side = 0; side < 2; ++side) {
      const LineSpec& line = train.lines[l];
      DeviceStream d;
      d.described = &line.devices[static_cast<size_t>(side)];
      d.field = &passage.field.devices[l][static_cast<size_t>(side)];
      d.side = side;
      d.id = static_cast<uint8_t>(d.described->port - FIRST_DEVICE_PORT);
      for (const SensorSpec& s : d.described->sensors) d.sensor_travel_m.push_back(TravelWhenAt(passage, 0, s.position_m));
      devices.push_back(d);
    }

  // When each vehicle's first axle reaches the first line's first sensor.
  double first_sensor = LineFirstSensor(train.lines.front(), train.direction);
  std::vector<double> vehicle_moment_s;
  for (int first_axle : passage.first_axle_of_vehicle)
    vehicle_moment_s.push_back(TimeAtTravel(
        passage, TravelWhenAt(passage, passage.axles[static_cast<size_t>(first_axle)].offset_m, first_sensor)));
  std::vector<uint64_t> vehicle_offset(vehicle_moment_s.size(), 0);
  size_t next_vehicle = 0;

  std::vector<uint8_t> zero_table(START_OFFSET, 0);
  if (std::fwrite(zero_table.data(), 1, zero_table.size(), file.get()) != zero_table.size()) {
    *error = "cannot write " + path;
    return -1;
  }

  Gaussian noise(train.seed);
  SpikeStream spikes = StartSpikes(train, devices.size() * SENSORS_PER_DEVICE);
  const double sigma = train.noise_sigma_counts;
  std::vector<uint8_t> buffer(RECORDS_PER_WRITE * RECORD_BYTES);
  size_t buffered = 0;
  int64_t written = 0;
  double last_time_s = 0;
  for (;;) {
    // The device whose next sample comes first; n_a / f_a < n_b / f_b
    // compared exactly in integers. Ties go to the device listed first.
    DeviceStream* d = &devices[0];
    for (DeviceStream& other : devices)
      if (other.next_sample * static_cast<uint64_t>(d->described->frequency_hz) <
          d->next_sample * static_cast<uint64_t>(other.described->frequency_hz))
        d = &other;
    double t_s = static_cast<double>(d->next_sample) / d->described->frequency_hz;
    if (train.records > 0 ? written >= train.records : t_s > passage.duration_s) break;

    while (next_vehicle < vehicle_moment_s.size() && t_s >= vehicle_moment_s[next_vehicle])
      vehicle_offset[next_vehicle++] = START_OFFSET + static_cast<uint64_t>(written) * RECORD_BYTES;

    double celsius = model.Temperature(*d->described, t_s);
    double travel_m = TravelAt(passage, t_s);
    const DeviceField& field = *d->field;
    uint8_t* rec = &buffer[buffered * RECORD_BYTES];
    std::fill(rec, rec + RECORD_BYTES, 0);
    rec[0] = d->id;
    PutU16(rec + 1, PAYLOAD_BYTES);
    PutU32(rec + 3, d->described->counter_start + static_cast<uint32_t>(d->next_sample));
    PutU16(rec + 8, static_cast<uint32_t>(ThermistorReading(celsius)));
    size_t first_channel = static_cast<size_t>(d - devices.data()) * SENSORS_PER_DEVICE;
    for (size_t k = 0; k < d->described->sensors.size(); ++k) {
      const SensorSpec& s = d->described->sensors[k];
      double counts = s.baseline_counts + s.tau_counts_per_c * (celsius - 20);
      if (field.dead[k] != DeadKind::SILENT) counts += model.LoadCounts(*d, k, travel_m, t_s);
      // Drawn for every sample, lost or stuck ones too, so that no other
      // effect shifts the noise of the samples that are written.
      if (sigma > 0) counts += sigma * noise.Next();
      if (!field.hum.empty()) counts += field.hum[k].At(t_s);
      counts += TakeSpikes(&spikes, first_channel + k, t_s);
      PutU16(rec + 10 + 2 * k, field.dead[k] == DeadKind::STUCK ? 65535 : ClampCounts(counts));
    }
    ++d->next_sample;
    // A lost record leaves a gap in the device's counters, as a dropped
    // packet does: the counter of the next written record jumps.
    if (IsLost(field, t_s)) continue;
    ++written;
    last_time_s = t_s;
    if (++buffered == RECORDS_PER_WRITE) {
      if (std::fwrite(buffer.data(), 1, buffer.size(), file.get()) != buffer.size()) {
        *error = "cannot write " + path;
        return -1;
      }
      buffered = 0;
    }
  }
  size_t tail = buffered * RECORD_BYTES;
  if (std::fwrite(buffer.data(), 1, tail, file.get()) != tail) {
    *error = "cannot write " + path;
    return -1;
  }

  std::vector<uint8_t> table(START_OFFSET, 0);
  for (size_t v = 0; v < vehicle_offset.size() && v < CARRIAGE_TABLE_ENTRIES; ++v) {
    if (vehicle_offset[v] == 0) continue;  // its moment lies beyond the last record
    uint8_t* entry = &table[v * CARRIAGE_ENTRY_BYTES];
    entry[0] = static_cast<uint8_t>(v + 1);
    PutU64(entry + 1, vehicle_offset[v]);
    PutU32(entry + 9, static_cast<uint32_t>(static_cast<int32_t>(std::floor(vehicle_moment_s[v] * 1000))));
  }
  if (std::fseek(file.get(), 0, SEEK_SET) != 0 ||
      std::fwrite(table.data(), 1, table.size(), file.get()) != table.size()) {
    *error = "cannot write " + path;
    return -1;
  }

  stats->records = written;
  stats->duration_s = last_time_s;
  stats->train_complete = train.records == 0 || last_time_s >= passage.duration_s;
  return 0;
}

}  // namespace synth
