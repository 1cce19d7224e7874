// The reference calculation library's insides: compact sample storage per
// device and the per-line solver that inverts the installation model.
//
// Flow: Tarvik_PushSideData appends each sample to its device's SampleStore
// (main thread). Tarvik_Compute hands the line's two stores, read-only, to
// SolveLine, which finds the wheels at every sensor, fits the train's
// motion, turns each pulse into a load and groups the axles into vehicles.
// SolveLine touches no shared mutable state, so lines solve concurrently.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calc/huge_page_memory.h"
#include "calc/tarvik.h"

namespace tarvik {

constexpr double INFLUENCE_HALF_WIDTH_M = 0.30;  // a: h(u) = cos^2(pi u / 2a) for |u| < a
constexpr int MAX_SENSORS_PER_DEVICE = 4;        // channels 0..3
constexpr int MAX_DEVICE_ID = 255;               // ids above are refused at registration

// One stored sample: 16 bytes instead of the 32 of a SideSample. The time is
// kept relative to the device's first stored sample; a 32-bit microsecond
// offset covers +-35 minutes, far beyond any passage.
struct CompactSample {
  uint16_t channels[4];
  int32_t time_offset_us;
  float temperature_c;   // NaN kept as is; the solver substitutes
};
static_assert(sizeof(CompactSample) == 16);

// Append-only chunked storage of one device's samples.
// Threads: one writer (Append); readers may run at the same time and see a
// consistent prefix of Size() samples, because the chunk table never moves
// and the count is published after the sample is written.
class SampleStore {
 public:
  static constexpr size_t CHUNK_SHIFT = 17;                 // 128 Ki samples = 2 MiB per chunk
  static constexpr size_t CHUNK_SAMPLES = size_t{1} << CHUNK_SHIFT;
  static constexpr size_t MAX_CHUNKS = 4096;                // 512 Mi samples per device

  SampleStore();
  ~SampleStore();
  SampleStore(const SampleStore&) = delete;
  SampleStore& operator=(const SampleStore&) = delete;

  // Copies what the solver needs out of `sample`. Returns false (and stores
  // nothing) when the time cannot be held or storage is exhausted.
  bool Append(const SideSample& sample);

  size_t Size() const { return size_.load(std::memory_order_acquire); }
  const CompactSample& At(size_t index) const {
    return chunks_[index >> CHUNK_SHIFT][index & (CHUNK_SAMPLES - 1)];
  }
  // Time of sample `index` in seconds since the device's time origin.
  double TimeS(size_t index) const { return (base_time_us_ + At(index).time_offset_us) * 1e-6; }
  uint64_t dropped() const { return dropped_; }

 private:
  CompactSample* chunks_[MAX_CHUNKS] = {};
  std::atomic<size_t> size_{0};
  int64_t base_time_us_ = 0;
  uint64_t dropped_ = 0;  // samples refused by Append; written by the writer only
};

// Chunk memory: large, zeroed, and on Linux backed by transparent huge pages
// where the kernel allows it, which halves the page-fault cost of streaming
// a passage in.
inline void* AllocateChunk(size_t bytes) { return MapHugePageArea(bytes); }
inline void FreeChunk(void* chunk, size_t bytes) { UnmapHugePageArea(chunk, bytes); }

// A large scratch array in chunk memory: huge pages where the kernel allows,
// so that the solver's per-sample buffers do not cost a page fault per
// 4 KiB. Grows only; callers fill it before reading, after every Reserve.
template <typename T>
class ScratchArray {
 public:
  ScratchArray() = default;
  ~ScratchArray() { Release(); }
  ScratchArray(const ScratchArray&) = delete;
  ScratchArray& operator=(const ScratchArray&) = delete;
  // False when the memory cannot be had.
  bool Reserve(size_t count) {
    if (count <= capacity_) return true;
    Release();
    // Whole huge pages for large arrays; small ones take ordinary pages
    // rather than a mostly empty 2 MiB.
    size_t wanted = count * sizeof(T);
    size_t page = wanted >= (size_t{2} << 20) ? (size_t{2} << 20) : 4096;
    size_t bytes = (wanted | (page - 1)) + 1;
    data_ = static_cast<T*>(AllocateChunk(bytes));
    if (!data_) return false;
    bytes_ = bytes;
    capacity_ = bytes / sizeof(T);
    return true;
  }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* data() { return data_; }

 private:
  void Release() {
    if (data_) FreeChunk(data_, bytes_);
    data_ = nullptr;
    capacity_ = bytes_ = 0;
  }
  T* data_ = nullptr;
  size_t capacity_ = 0;
  size_t bytes_ = 0;
};

// What the solver knows about one device.
struct DeviceInput {
  int32_t device_id = 0;
  std::vector<double> coeff_kg_per_count;  // per sensor
  std::vector<double> position_m;          // per sensor (vel_coeff)
  const SampleStore* samples = nullptr;    // may be null: no sample was pushed
};

// One wheel as the solver found it, before it becomes a LineWheel.
struct WheelEstimate {
  double weight_kg = 0;
  double condition_percent = 0;
  std::vector<int32_t> strength_counts;
  std::vector<int32_t> sensor_ids;
};

struct AxleEstimate {
  double speed_kmh = 0;
  double passage_time_s = 0;   // at the line's reference position, odd device's clock
  WheelEstimate wheels[2];     // [0] odd rail, [1] even rail
};

struct VehicleEstimate {
  std::vector<AxleEstimate> axles;  // order of passage
  bool locomotive = false;
};

struct LineEstimate {
  bool correct = false;
  std::vector<VehicleEstimate> vehicles;  // front of the train first
  std::string problem;                    // why correct is false, for the log
  std::vector<std::string> notes;         // what was left out or looks doubtful, for the log
};

// Inverts the installation model for one line. Pure: reads only its inputs.
LineEstimate SolveLine(const DeviceInput& odd, const DeviceInput& even);

// --- Stages of SolveLine, exposed for the unit tests -------------------------

// One wheel's pulse at one sensor.
struct Pulse {
  double time_s = 0;          // passage time (wheel over the sensor)
  double peak_counts = 0;     // highest detected value above the baseline
};

// Baseline of one sensor: b + tau * (T - 20) in counts, and the noise left.
struct Baseline {
  double offset_counts = 0;        // b
  double drift_counts_per_c = 0;   // tau
  double noise_counts = 0;         // sigma of the quiet residual
};

// The sample's temperature, or `fallback_c` when the reading is missing or
// out of any physical range.
inline double SampleTemperature(const CompactSample& sample, double fallback_c) {
  double t = sample.temperature_c;
  return t > -100.0 && t < 200.0 ? t : fallback_c;  // false for NaN too
}
inline double BaselineCounts(const Baseline& baseline, double temperature_c) {
  return baseline.offset_counts + baseline.drift_counts_per_c * (temperature_c - 20.0);
}

// Buffers of FindPulses, kept across the sensors and both devices of a line
// so that each sensor does not fault in fresh pages. Filled by PrepareDevice.
// Detection works on block means of a few samples (about 2 ms): the
// quickest pulse still spans a dozen blocks, and every pass over a long
// passage gets that much cheaper. The fits afterwards use every sample.
struct DeviceWorkspace {
  const SampleStore* store = nullptr;
  size_t size = 0;                      // samples considered (a snapshot of the store's size)
  size_t block = 1;                     // samples per block
  size_t blocks = 0;
  double block_period_s = 1e-3;
  ScratchArray<float> temperature_c;    // per block; NaN readings replaced by the fallback
  ScratchArray<float> values;           // per block, per sensor in turn: mean counts, then the smoothed residual
  ScratchArray<float> residual;
  ScratchArray<uint8_t> active;
  std::vector<uint32_t> value_histogram, step_histogram;  // of block means
  // Time of the middle of block b, seconds.
  double BlockTimeS(size_t b) const {
    size_t first = b * block, last = std::min(size, first + block) - 1;
    return 0.5 * (store->TimeS(first) + store->TimeS(last));
  }
};
// False when the buffers cannot be had.
bool PrepareDevice(const SampleStore& store, double fallback_temperature_c, DeviceWorkspace* workspace);

// Finds the baseline and every pulse of channel `channel` of the prepared device.
void FindPulses(DeviceWorkspace* workspace, int channel, Baseline* baseline, std::vector<Pulse>* pulses);

// The train's motion as one wheel of one rail sees it:
// position(t) = position_at_t0_m + speed_mps * (t - t0_s) + accel_mps2 * (t - t0_s)^2 / 2.
struct WheelMotion {
  double t0_s = 0;
  double position_at_t0_m = 0;
  double speed_mps = 0;
  double accel_mps2 = 0;
  double PositionAt(double t_s) const {
    double dt = t_s - t0_s;
    return position_at_t0_m + speed_mps * dt + 0.5 * accel_mps2 * dt * dt;
  }
  double SpeedAt(double t_s) const { return speed_mps + accel_mps2 * (t_s - t0_s); }
  // The time at which the wheel stands at `position_m` (nearest root to t0_s).
  double TimeAt(double position_m) const;
};

// Fits one rigid-train motion to passage times: times_s[wheel][sensor]
// (NaN where a sensor missed the wheel) at sensor positions positions_m.
// Returns one motion per wheel; an empty result when the times cannot
// support a fit. `rms_residual_m` receives the fit's residual.
std::vector<WheelMotion> FitMotion(const std::vector<std::vector<double>>& times_s,
                                   const std::vector<double>& positions_m, double* rms_residual_m);

// Least-squares fit of the influence line to one sensor's residual around
// the wheel's passage as `motion` predicts it: the peak height in counts
// that best explains the samples, its standard error from the baseline's
// noise, and (with fit_shift) how far the pulse sits from where the motion
// put it, in metres along the track (positive: the wheel reached the sensor
// when the motion placed it at sensor + shift).
struct PulseFit {
  double amplitude_counts = 0;
  double standard_error_counts = 0;
  double shift_m = 0;
  bool valid = false;
};
PulseFit FitPulse(const SampleStore& store, int channel, const Baseline& baseline, double fallback_temperature_c,
                  double sensor_position_m, const WheelMotion& motion, bool fit_shift);

// Combines one wheel's per-sensor loads: drops the one sensor a flat has
// inflated (if any) and averages the rest by their precision.
struct SensorLoad {
  double load_kg = 0;
  double standard_error_kg = 0;
};
struct CombinedLoad {
  double weight_kg = 0;
  double condition_percent = 0;
  int flat_sensor = -1;  // index into the input, -1 for a sound wheel
};
CombinedLoad CombineSensorLoads(const std::vector<SensorLoad>& loads);

// Groups axle spacings into vehicles: spacing_m[i] is the distance between
// axle i and axle i+1 (order of passage). Returns the number of axles of each
// vehicle in order, and marks vehicles of two three-axle bogies.
struct VehicleGrouping {
  std::vector<int> axle_counts;
  std::vector<bool> locomotive;
  bool consistent = true;  // every vehicle has two bogies of 2 or 3 axles
};
VehicleGrouping GroupAxles(const std::vector<double>& spacing_m);

}  // namespace tarvik
