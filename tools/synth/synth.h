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
// Output is a pure function of the description and its seed: the random
// draws come from std::mt19937_64 through our own uniform and Box-Muller
// steps, never through the standard distributions, whose output differs
// between standard libraries.
#pragma once

#include <array>
#include <cstdint>
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
};

// Reads a train description. Returns 0, or -1 with a message in *error.
int ParseTrainDescription(const std::string& json_text, TrainSpec* train, std::string* error);

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

struct Passage {
  std::vector<AxlePlacement> axles;  // offsets ascending
  std::vector<int> first_axle_of_vehicle;
  double front_start_m = 0;  // front axle position at t = 0
  double duration_s = 0;     // the last axle is clear of every sensor (plus quiet track)
  double v0_mps = 0;
  double accel_mps2 = 0;
  int direction = 1;
};

// Lays the train out and fixes its motion. Returns 0, or -1 with a message
// (bad geometry, a train that stops before it has cleared the sensors).
int PlanPassage(const TrainSpec& train, Passage* passage, std::string* error);

// Distance the front axle has travelled at time t.
double TravelAt(const Passage& passage, double t_s);
// Time at which the front axle has travelled travel_m (the train never stops).
double TimeAtTravel(const Passage& passage, double travel_m);
double SpeedAtTravel(const Passage& passage, double travel_m);
// Travel of the front axle when an axle at offset_m stands at position_m.
double TravelWhenAt(const Passage& passage, double offset_m, double position_m);

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
