// The oscillogram synthesizer: turns a known train (a small JSON
// description) into the three files of one passage: the oscillogram that the
// installation would have recorded, the installation's configuration, and
// the truth the weighing must give back.
//
// Everything follows the installation model: wheel w on rail side s adds
// (L_w / coeff_k) * h(p_w(t) - x_k) counts to sensor k of that side's
// device, h(u) = cos^2(pi u / 2a) for |u| < a = 0.30 m; a wheel flat of
// severity f multiplies the term at exactly one sensor by (1 + f). The
// baseline drifts with temperature, b_k + tau_k * (T - 20), and white
// Gaussian noise of sigma counts is added before rounding and clamping.
//
// A real track departs from that model; the description's "field" member
// switches each departure on (see the field section below). With none on,
// the files are those of the model alone.
//
// Output is a pure function of the description and its seed: the random
// draws come from std::mt19937_64 through our own uniform and Box-Muller
// steps, never through the standard distributions, whose output differs
// between standard libraries.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace synth {

constexpr double INFLUENCE_HALF_WIDTH_M = 0.30;  // a: a wheel is seen within +-a of a sensor
constexpr int SENSORS_PER_DEVICE = 4;            // channels 0..3
constexpr int FIRST_DEVICE_PORT = 7126;          // device id = port - 7126
constexpr int DEVICE_ID_COUNT = 8;
constexpr int ODD = 0;                           // rail side index: wheel 0, the odd device
constexpr int EVEN = 1;                          // wheel 1, the even device

struct SensorSpec {
  double position_m = 0;        // along the track; written as "vel_coeff"
  double coeff_kg_per_count = 2;
  double baseline_counts = 5000;
  double tau_counts_per_c = 0;  // baseline drift per degree Celsius
};

struct DeviceSpec {
  int port = 0;
  int frequency_hz = 2000;
  uint32_t counter_start = 1;   // counter of the device's first record; never 0
  double temperature_offset_c = 0;  // added to the train-wide temperature course
  std::vector<SensorSpec> sensors;  // index = channel
};

struct LineSpec {
  int id = 1;
  std::array<DeviceSpec, 2> devices;  // [ODD], [EVEN]
};

struct FlatSpec {
  int axle = 0;         // within the vehicle, front first
  int wheel = 0;        // ODD or EVEN
  double severity = 0;  // f, 0 < f <= 1
  int sensor = 0;       // the sensor index the flat lands on, on every line
};

struct VehicleSpec {
  int bogie_axles = 2;          // 3 makes a locomotive ("Co-Co")
  double axle_spacing_m = 1.85; // within a bogie
  double bogie_centres_m = 8.65;
  double gap_before_m = 3.5;    // previous vehicle's last axle to this one's first
  std::vector<std::array<double, 2>> wheel_loads_kg;  // per axle: [odd rail, even rail]
  std::vector<FlatSpec> flats;
};

// --- Field effects: what a real track adds to the model ----------------------
//
// Each effect draws from its own random stream, seeded from the train seed
// and the effect, so that switching one on leaves every other draw alone.

struct Range {
  double low = 0, high = 0;
};

// The vehicle body bounces, pitches and rolls; each axle vibrates on its own.
struct DynamicsSpec {
  Range bounce, pitch, roll;          // relative amplitudes, drawn per vehicle
  Range frequency_hz{0.5, 4.0};       // of each body motion
  Range vibration{0, 0.01};           // relative amplitude, drawn per axle
  Range vibration_hz{15, 40};
};

// Each sensor's own influence line, drawn per sensor and not configured.
struct InfluenceSpec {
  Range half_width_m{0.2, 0.45};
  Range sharpness{0.7, 1.6};          // p of cos^(2p)
  double asymmetry = 0;               // alpha uniform in [-asymmetry, asymmetry]
  Range side_lobe;                    // depth below zero, per side
};

struct SpikeSpec {
  double per_s = 4;                   // Poisson rate per channel
  double max_counts = 15000;          // a spike is +-[max/10, max]
};

struct HumSpec {
  Range amplitude_counts{0, 30};      // per channel
  double hz = 50;
};

struct LostSpec {
  Range runs{1, 1};                   // per device, a whole number
  Range ms{5, 30};                    // length of each run
};

enum class DeadKind { ALIVE, SILENT, STUCK };

struct DeadSensorSpec {
  int line_id = 1;
  int side = 0;    // ODD or EVEN
  int sensor = 0;  // index in the device's sensors
  DeadKind kind = DeadKind::SILENT;
};

struct FieldSpec {
  std::optional<DynamicsSpec> dynamics;
  std::optional<InfluenceSpec> influence;
  std::optional<SpikeSpec> spikes;
  std::optional<HumSpec> hum;
  std::optional<LostSpec> lost;
  std::vector<DeadSensorSpec> dead;
};

struct TrainSpec {
  std::vector<VehicleSpec> vehicles;  // front to back
  std::vector<LineSpec> lines;
  int direction = 1;                  // +1: towards larger positions; -1: towards smaller
  double initial_speed_kmh = 40;      // at the first record
  double accel_mps2 = 0;
  double start_temperature_c = 20;
  double end_temperature_c = 20;
  double noise_sigma_counts = 0;
  uint64_t seed = 1;
  int64_t records = 0;                // exact record count; 0: as many as the passage needs
  double lead_m = 2.0;                // quiet track before the first and after the last axle
  double quiet_s = 0.4;               // ...and at least this long at the initial speed
  FieldSpec field;                    // all off unless the description asks
};

// Reads a train description. Returns 0, or -1 with a message in *error.
int ParseTrainDescription(const std::string& json_text, TrainSpec* train, std::string* error);
// Reads a "field" object on its own and puts it in place of train->field
// (whose lines must be read already, for the dead sensors). Returns 0, or -1
// with a message.
int ParseFieldDescription(const std::string& json_text, TrainSpec* train, std::string* error);

// Uniform in [0, 1) from the top 53 bits: the same on every standard library.
inline double Uniform(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }
inline double Uniform(std::mt19937_64& rng, const Range& range) {
  return range.low + (range.high - range.low) * Uniform(rng);
}

// --- Train motion ------------------------------------------------------------

// One axle of the train, in train order (front first).
struct AxlePlacement {
  int vehicle = 0;
  int axle_in_vehicle = 0;
  double offset_m = 0;  // distance behind the front axle
  std::array<double, 2> loads_kg{};
  std::array<double, 2> flat_severity{};  // 0 for a sound wheel
  std::array<int, 2> flat_sensor{{-1, -1}};
};

// One sinusoid of the field: amplitude * sin(2 pi frequency t + phase).
struct Oscillation {
  double amplitude = 0;
  double frequency_hz = 0;
  double phase = 0;
  double At(double t_s) const;
};

struct VehicleMotion {
  Oscillation bounce, pitch, roll;
};

struct AxleMotion {
  Oscillation vibration;
  double arm = 0;  // +1 at the vehicle's front axle, -1 at its rear one
};

// h(u) for u = wheel position - sensor position: cos^(2 power) out to the
// half width of u's side, a shallow negative lobe out to 1.5 times it.
struct SensorShape {
  double ahead_m = INFLUENCE_HALF_WIDTH_M;  // half width towards larger positions
  double behind_m = INFLUENCE_HALF_WIDTH_M;
  double power = 1;
  double lobe_ahead = 0, lobe_behind = 0;   // depths below zero
  double Reach() const;                     // h is 0 beyond +-Reach()
};
double Influence(const SensorShape& shape, double u_m);

struct LostRun {
  double from_s = 0, to_s = 0;  // records in [from, to) are not written
};

struct DeviceField {
  std::vector<SensorShape> shapes;   // per channel; empty: the model's cos^2
  std::vector<Oscillation> hum;      // per channel; empty: none
  std::vector<DeadKind> dead;        // per channel
  std::vector<LostRun> lost;
};

// The field effects as drawn for one passage.
struct FieldDraws {
  std::vector<VehicleMotion> vehicles;           // empty without dynamics
  std::vector<AxleMotion> axles;                 // in train order
  std::vector<std::array<DeviceField, 2>> devices;  // per line: [ODD], [EVEN]
};

struct Passage {
  std::vector<AxlePlacement> axles;  // offsets ascending
  std::vector<int> first_axle_of_vehicle;
  double front_start_m = 0;  // front axle position at t = 0
  double duration_s = 0;     // the last axle is clear of every sensor (plus quiet track)
  double v0_mps = 0;
  double accel_mps2 = 0;
  int direction = 1;
  FieldDraws field;
};

// Lays the train out, fixes its motion and draws the field effects. Returns
// 0, or -1 with a message (bad geometry, a train that stops before it has
// cleared the sensors).
int PlanPassage(const TrainSpec& train, Passage* passage, std::string* error);

// Draws the field effects of a planned passage (PlanPassage's last step).
void DrawField(const TrainSpec& train, Passage* passage);
// The load of one wheel at time t, seconds since the first record: its
// static load moved by the vehicle's dynamics, if any.
double WheelLoadAt(const Passage& passage, size_t axle, int side, double t_s);
// Single-sample spikes: per channel a Poisson process in time; a spike lands
// on the channel's first sample at or after its moment.
struct SpikeStream {
  std::mt19937_64 rng;
  SpikeSpec asked;
  std::vector<double> next_s;  // per channel; empty without spikes
};
SpikeStream StartSpikes(const TrainSpec& train, size_t channels);
// The sum of the channel's spikes due by t_s that no earlier sample took.
double TakeSpikes(SpikeStream* spikes, size_t channel, double t_s);
// What plain averaging weighs a wheel at: its load at the moment it stands
// over each live sensor of its rail, averaged per line, then over the lines.
double FloorWeight(const TrainSpec& train, const Passage& passage, size_t axle, int side);

// Distance the front axle has travelled at time t.
double TravelAt(const Passage& passage, double t_s);
// Time at which the front axle has travelled travel_m (the train never stops).
double TimeAtTravel(const Passage& passage, double travel_m);
double SpeedAtTravel(const Passage& passage, double travel_m);
// Travel of the front axle when an axle at offset_m stands at position_m.
double TravelWhenAt(const Passage& passage, double offset_m, double position_m);

// Widens [*lo, *hi] to hold every sensor of the device.
void WidenToSensors(const DeviceSpec& device, double* lo, double* hi);
// Centre of a line's sensors (both rails): where an axle's true speed is taken.
double LineCentre(const LineSpec& line);
// The first sensor of a line that the train meets.
double LineFirstSensor(const LineSpec& line, int direction);

// --- Thermistor --------------------------------------------------------------

// The temperature the sample feeding reads from a 10-bit thermistor value.
float ThermistorCelsius(int reading);
// The reading 1..1022 whose temperature is nearest to celsius.
int ThermistorReading(double celsius);

// --- Output files ------------------------------------------------------------

struct OscStats {
  int64_t records = 0;
  double duration_s = 0;
  bool train_complete = true;  // false when a record target cut the passage short
};

// Writes the oscillogram. Returns 0, or -1 with a message.
int WriteOscillogram(const TrainSpec& train, const Passage& passage, const std::string& path,
                     OscStats* stats, std::string* error);
// The configuration file the installation would run with.
std::string ConfigurationJson(const TrainSpec& train);
// What a correct weighing returns, keyed like the result document.
std::string TruthJson(const TrainSpec& train, const Passage& passage, const OscStats& stats);

}  // namespace synth
