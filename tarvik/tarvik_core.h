// The reference calculation library's insides.
//
// Flow of one passage:
// 1. Tarvik_PushSideData appends each sample to its device's SampleStore.
// 2. DeviceDigest (per device, on the passage's worker while the samples
//    arrive): block means, lost stretches, the baseline with its temperature
//    drift and mains hum, and every pulse of every channel, found on block
//    means cleaned of single-sample spikes.
// 3. SolveRail (per rail of a line): the train's motion from the pulses,
//    each sensor's influence line learned from the passage itself, and one
//    reading (peak height in counts) of every wheel at every sensor.
// 4. JoinRails: the two rails paired into axles, axles grouped into vehicles.
// 5. WeighVehicle (per vehicle, over every line that saw it): the static
//    wheel loads, separated from the body's bounce, pitch and roll where the
//    readings support it, and wheel flats.
// Stages 2-4 read only their inputs, so devices and lines solve side by side.
#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numbers>
#include <array>
#include <string>
#include <vector>

#include "calc/huge_page_memory.h"
#include "calc/tarvik.h"

namespace tarvik {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double MODEL_HALF_WIDTH_M = 0.30;  // the installation model's cos^2 influence line
constexpr int MAX_SENSORS_PER_DEVICE = 4;    // channels 0..3
constexpr int MAX_DEVICE_ID = 255;           // ids above are refused at registration
constexpr double MAINS_HZ = 50.0;            // hum of the installation's power grid
constexpr double INFLUENCE_REACH_M = 0.9;    // wider than any influence line's pulse and its side dips
constexpr double MAD_TO_SIGMA = 1.4826;      // median absolute deviation to sigma, for normal noise

// One stored sample: 12 bytes instead of the 32 of a SideSample. The time is
// kept relative to the device's first stored sample; a 32-bit microsecond
// offset covers +-35 minutes, far beyond any passage. The temperature is
// kept apart, as its changes.
struct CompactSample {
  uint16_t channels[4];
  int32_t time_offset_us;
};
static_assert(sizeof(CompactSample) == 12);

// Append-only chunked storage of one device's samples.
// Threads: one writer (Append); readers may run at the same time and see a
// consistent prefix of Size() samples, because the chunk table never moves
// and the count is published after the sample is written. Another thread
// may map the writer's next chunk ahead of it (Reserve), so that the feeding
// thread neither maps memory nor takes the page faults of fresh memory.
class SampleStore {
 public:
  // As many samples as fill a huge page: clearing fresh memory is most of
  // what the store costs, and a whole page is cleared at once.
  static constexpr size_t CHUNK_BYTES = size_t{2} << 20;
  static constexpr size_t CHUNK_SAMPLES = CHUNK_BYTES / sizeof(CompactSample);
  static constexpr size_t MAX_CHUNKS = 3072;  // 512 Mi samples per device

  // A thermistor moves slowly: its temperature is kept only where it
  // changes, from sample `first` on.
  struct TemperatureChange {
    uint32_t first;
    float celsius;
  };
  // Where a reader going through the samples in order stands in the changes:
  // `celsius` holds for the samples before `until`.
  struct TemperatureCursor {
    size_t next = 0, until = 0;
    float celsius = std::numeric_limits<float>::quiet_NaN();
  };

  SampleStore();
  ~SampleStore();
  SampleStore(const SampleStore&) = delete;
  SampleStore& operator=(const SampleStore&) = delete;

  // Copies what the solver needs out of `sample`: a copy of 12 bytes, with
  // a slower path only at the first sample, at a chunk's end and where the
  // temperature changes. Returns false (and stores nothing) when the time
  // cannot be held or storage is exhausted.
  bool Append(const SideSample& sample) {
    uint64_t offset = static_cast<uint64_t>(sample.timeUs) - static_cast<uint64_t>(base_time_us_);
    uint32_t temperature_bits;
    std::memcpy(&temperature_bits, &sample.temperature, sizeof temperature_bits);
    // Unsigned: one comparison tells an offset that fits 32 bits. Before the
    // first sample there is no chunk (both null), so the first goes the slow
    // way, which sets the time base.
    if (cursor_ == chunk_end_ || offset + 0x80000000u > 0xFFFFFFFFu || temperature_bits != temperature_bits_)
      return AppendSlowly(sample);
    CompactSample& slot = *cursor_++;
    std::memcpy(slot.channels, sample.channels, sizeof(slot.channels));
    slot.time_offset_us = static_cast<int32_t>(static_cast<int64_t>(offset));
    size_.store(++written_, std::memory_order_release);
    return true;
  }
  // Maps the chunk after the writer's, unless it is there already. Any thread.
  void Reserve();

  size_t Size() const { return size_.load(std::memory_order_acquire); }
  const CompactSample& At(size_t index) const {
    return chunks_[index / CHUNK_SAMPLES].load(std::memory_order_relaxed)[index % CHUNK_SAMPLES];
  }
  int64_t TimeUs(size_t index) const { return base_time_us_ + At(index).time_offset_us; }
  // The samples from `index` on that lie side by side in memory: a pointer
  // to the first and, in *count, how many (at least one, when index < Size()).
  const CompactSample* Run(size_t index, size_t* count) const {
    *count = CHUNK_SAMPLES - index % CHUNK_SAMPLES;
    return &At(index);
  }
  int64_t BaseTimeUs() const { return base_time_us_; }
  // The first of the first `size` samples at or after `time_s` (size when none).
  size_t FirstAtOrAfter(double time_s, size_t size) const;
  // Time of sample `index` (or of a stored sample) in seconds since the
  // device's time origin.
  double TimeS(size_t index) const { return TimeS(At(index)); }
  double TimeS(const CompactSample& sample) const {
    return static_cast<double>(base_time_us_ + sample.time_offset_us) * 1e-6;
  }
  // The temperature of sample `index` (< Size()) as it came, NaN kept.
  float TemperatureAt(size_t index) const;
  // The same for indices that only ascend from one call to the next.
  float TemperatureAt(size_t index, TemperatureCursor* cursor) const {
    return index < cursor->until ? cursor->celsius : Advance(index, cursor);
  }
  uint64_t dropped() const { return dropped_; }

 private:
  bool AppendSlowly(const SideSample& sample);
  bool NoteTemperature(float celsius, uint32_t bits);
  float Advance(size_t index, TemperatureCursor* cursor) const;
  // The changes lie in blocks that double in size: block k holds
  // FIRST_CHANGES << k of them.
  static constexpr size_t FIRST_CHANGES = 4096, CHANGE_BLOCKS = 20;
  static size_t ChangeBlock(size_t k) { return static_cast<size_t>(63 - __builtin_clzll(k / FIRST_CHANGES + 1)); }
  static size_t WithinBlock(size_t k, size_t block) { return k - FIRST_CHANGES * ((size_t{1} << block) - 1); }
  const TemperatureChange& Change(size_t k) const {
    size_t block = ChangeBlock(k);
    return change_blocks_[block].load(std::memory_order_relaxed)[WithinBlock(k, block)];
  }

  // Read with every sample by the readers, written seldom.
  std::atomic<CompactSample*> chunks_[MAX_CHUNKS] = {};
  std::atomic<TemperatureChange*> change_blocks_[CHANGE_BLOCKS] = {};
  std::atomic<size_t> changes_{0};  // published before the first sample they cover
  int64_t base_time_us_ = 0;  // set with the first sample
  uint64_t dropped_ = 0;      // samples refused; written by the writer only
  // The writer's own, on a cache line of their own: it writes them with
  // every sample, and a reader must not lose its line to that.
  alignas(64) CompactSample* cursor_ = nullptr;  // where the next sample goes
  CompactSample* chunk_end_ = nullptr;
  size_t written_ = 0;
  uint32_t temperature_bits_ = 0;  // of the last change (any value before the first sample)
  // The count, published with every sample, on the next line; the class's
  // alignment rounds its size up to whole lines, so nothing else shares it.
  alignas(64) std::atomic<size_t> size_{0};
};

// Chunk memory: large, zeroed, and on Linux backed by transparent huge pages
// where the kernel allows it, which halves the page-fault cost of streaming
// a passage in.
inline void* AllocateChunk(size_t bytes) { return MapHugePageArea(bytes); }
inline void FreeChunk(void* chunk, size_t bytes) { UnmapHugePageArea(chunk, bytes); }

// A sample's temperature, or `fallback_c` when the reading is missing or
// out of any physical range.
inline double SampleTemperature(float celsius, double fallback_c) {
  double t = celsius;
  return t > -100.0 && t < 200.0 ? t : fallback_c;  // false for NaN too
}

// Solves a x = b for a symmetric positive definite band matrix held as
// band[i * (width + 1) + k] = a(i, i - k); x holds b on entry. False when
// the matrix is not positive definite.
bool SolveBand(std::vector<double> band, size_t n, size_t width, std::vector<double>* x);

// printf into a string: the text of a line's notes and problems (at most 255
// characters).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The middle value (the upper one of an even count); NaN for none.
double Median(std::vector<double> values);

// --- Stage 2: one device's signals ------------------------------------------

// What a channel reads with no wheel on the track: b + tau * (T - 20) plus
// the mains hum, and the noise left over.
struct Baseline {
  double offset_counts = 0;        // b
  double drift_counts_per_c = 0;   // tau
  double hum_cos_counts = 0;       // hum = c cos(2 pi 50 t) + s sin(2 pi 50 t)
  double hum_sin_counts = 0;
  double noise_counts = 0;         // sigma of one sample's quiet residual
  double HumAmplitude() const { return std::hypot(hum_cos_counts, hum_sin_counts); }
};
// The baseline at a moment; `hum_cos`, `hum_sin`: cos and sin of the mains
// phase then (see MainsPhase).
inline double BaselineCounts(const Baseline& b, double temperature_c, double hum_cos, double hum_sin) {
  return b.offset_counts + b.drift_counts_per_c * (temperature_c - 20.0) + b.hum_cos_counts * hum_cos +
         b.hum_sin_counts * hum_sin;
}
// One mains period of cos and sin in steps of 10 us.
struct MainsTable {
  static constexpr int64_t PERIOD_US = 20000;
  static constexpr int64_t STEP_US = 10;
  std::array<float, PERIOD_US / STEP_US> cos_values, sin_values;
  MainsTable();
};
extern const MainsTable mains_table;
// cos and sin of 2 pi 50 t for a time in microseconds, from the table:
// inline, since the points of every sensor ask for it.
inline void MainsPhase(int64_t time_us, double* cos_value, double* sin_value) {
  int64_t phase = time_us % MainsTable::PERIOD_US;
  if (phase < 0) phase += MainsTable::PERIOD_US;
  size_t index = static_cast<size_t>(phase / MainsTable::STEP_US);
  *cos_value = mains_table.cos_values[index];
  *sin_value = mains_table.sin_values[index];
}
// The mean of the mains wave over `samples` samples `period_s` apart: the
// wave at their middle time times this share.
inline double MainsShareOfMean(double samples, double period_s) {
  double omega_half = std::numbers::pi * MAINS_HZ * period_s;
  return std::sin(samples * omega_half) / (samples * std::sin(omega_half));
}

// One wheel's pulse at one sensor as detection sees it.
struct Pulse {
  double time_s = 0;        // passage time estimate (centroid of the upper half)
  double peak_counts = 0;   // highest smoothed value above the baseline
};

// A stretch of a device's clock without records (its sample counter jumped).
struct Gap {
  double from_s = 0;  // last sample before
  double to_s = 0;    // first sample after
};

struct ChannelSignal {
  bool stuck = false;                  // reads a converter limit most of the time
  Baseline baseline;
  std::vector<Pulse> pulses;
  std::vector<double> spike_times_s;   // single-sample spikes taken out of the block means
};

struct DeviceSignal {
  const SampleStore* store = nullptr;
  size_t size = 0;                     // samples considered (a snapshot of the store's size)
  double sample_period_s = 1e-3;
  double fallback_temperature_c = 20;
  std::vector<Gap> gaps;
  ChannelSignal channels[MAX_SENSORS_PER_DEVICE];
  std::string problem;                 // why nothing could be found; empty otherwise
};

// Digests one device's samples as they arrive (Take, as often as wanted,
// from one thread) and gives the device's signals after the last (Finish).
// Memory stays small whatever the passage's length: each 2 ms block is seen
// once and then kept only in a short delay line.
class DeviceDigest {
 public:
  // A value per channel, as one vector.
  using F4 = float __attribute__((vector_size(16)));

  explicit DeviceDigest(const SampleStore* store);
  ~DeviceDigest();
  DeviceDigest(const DeviceDigest&) = delete;
  DeviceDigest& operator=(const DeviceDigest&) = delete;
  // Digests the samples the store holds now, but for the newest few while
  // the feeding goes on (their cache lines are still the writer's), and then
  // at most a slice of them; false when there was nothing to do.
  bool Take(bool to_the_end = false);
  // Digests the rest; call once, after the last sample was stored.
  DeviceSignal Finish();

 private:
  struct BlockData;
  struct Channels;
  void Start(size_t samples);
  double BlockTimeS(size_t block) const;
  void EmitBlock(uint32_t filled, const std::array<uint64_t, 4>& sums, float temperature_c);
  void PushBlock(size_t block, F4 values, bool filled);
  void StartChannels();
  void JudgeBlock(size_t block, size_t end);
  void Detect(size_t block, F4 values, uint8_t usable);
  void Smoothed(size_t block, F4 residual, F4 smoothed);
  void SetThresholds(int channel);
  void EndRun(int channel, size_t end);
  struct Delayed;
  void Commit(size_t block, const Delayed& delayed);

  const SampleStore* store_;
  bool started_ = false;
  std::string problem_;
  size_t next_ = 0;                 // first sample not yet digested
  double period_s_ = 0, fallback_c_ = 20, block_period_s_ = 0, block_us_ = 0, half_sample_ = 0;
  double first_time_s_ = 0, first_us_ = 0, next_boundary_us_ = 0;
  double hum_gain_ = 1, tracking_share_ = 0, hum_share_ = 0;
  int64_t previous_us_ = 0, gap_us_ = 0;
  size_t samples_per_block_ = 1, window_ = 1;
  std::vector<Gap> gaps_;
  size_t block_ = 0;                // the block being filled
  uint32_t filled_ = 0;
  std::array<uint64_t, 4> sums_{};
  std::array<uint64_t, 4> at_limit_{};
  float block_temperature_c_ = 20;
  SampleStore::TemperatureCursor temperature_;  // where the blocks' first samples stand in the temperature changes
  std::vector<BlockData> meta_;     // ring of the last blocks' shared figures
  std::unique_ptr<Channels> channels_;
};

// Digests a whole stored device at once.
DeviceSignal AnalyseDevice(const SampleStore& store);

// --- Stage 3: one rail -------------------------------------------------------

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

// A sensor's response to a unit load at distance u from it, learned from
// the passage: ordinates g on a grid, read as h(u) = g(u + peak_u_m) / peak_value,
// so that h peaks at 1 with the wheel over the sensor, which is what `coeff`
// (kilograms per count at the peak) refers to.
struct InfluenceLine {
  double from_m = -INFLUENCE_REACH_M;
  double step_m = 0.01;
  std::vector<double> ordinates;
  double peak_u_m = 0;
  double peak_value = 1;
  double support_m = INFLUENCE_REACH_M;     // beyond |u| of this, h is 0 (within the grid)
  double GridReachM() const { return -from_m; }

  // The line read at many points, as the fits do: the grid's scale and the
  // peak's inverse worked out once, and every reading inline.
  struct Reader {
    const double* g;
    size_t size;
    double shift_m, cells_per_m, per_peak;
    double Value(double u_m) const {
      double f = (u_m + shift_m) * cells_per_m;
      if (!(f >= 0) || size < 2 || f >= static_cast<double>(size - 1)) return 0;
      size_t i = static_cast<size_t>(f);
      double w = f - static_cast<double>(i);
      return (g[i] + w * (g[i + 1] - g[i])) * per_peak;
    }
    // dh/du: the slope of the straight piece, blended toward the next one,
    // so that the shift fits see a continuous derivative.
    double Slope(double u_m) const {
      double f = (u_m + shift_m) * cells_per_m;
      if (!(f >= 0) || size < 2 || f >= static_cast<double>(size - 1)) return 0;
      size_t i = static_cast<size_t>(f);
      double w = f - static_cast<double>(i);
      double here = g[i + 1] - g[i];
      double next = i + 2 < size ? g[i + 2] - g[i + 1] : here;
      double before = i > 0 ? g[i] - g[i - 1] : here;
      double slope = w < 0.5 ? (0.5 + w) * here + (0.5 - w) * before : (1.5 - w) * here + (w - 0.5) * next;
      return slope * cells_per_m * per_peak;
    }
    // d2h/du2
    double Curvature(double u_m) const {
      double f = (u_m + shift_m) * cells_per_m + 0.5;
      if (!(f >= 1) || f >= static_cast<double>(size - 1)) return 0;
      size_t i = static_cast<size_t>(f);
      return (g[i - 1] - 2 * g[i] + g[i + 1]) * cells_per_m * cells_per_m * per_peak;
    }
    // What a point averaging over distances of variance `spread_m2` around u sees.
    double Seen(double u_m, double spread_m2) const { return Value(u_m) + 0.5 * spread_m2 * Curvature(u_m); }
  };
  // Valid while the line lives unchanged.
  Reader Read() const {
    return Reader{ordinates.data(), ordinates.size(), peak_u_m - from_m, 1 / step_m, 1 / peak_value};
  }
  // h at one distance, for a reading or two (the trace, the tools).
  double Value(double u_m) const { return Read().Value(u_m); }
};
// The installation model's cos^2(pi u / 2a), a = 0.30 m, on the same grid.
InfluenceLine ModelInfluenceLine();

// The residual (sample minus baseline) around every wheel's passage at one
// sensor, as means of a few samples: as many points per pulse as the shape
// needs, however slow the train. Points inside spikes stay; fits reject them.
struct FitPoint {
  double time_s;
  float residual_counts;
  float samples;    // how many samples the point averages
  float spread_m2;  // variance of the wheel's distance over them: a point sees the line a little blurred
};
struct SensorSeries {
  std::vector<FitPoint> points;   // time order
  std::vector<uint8_t> rejected;  // per point: an outlier the fits leave out
  double point_noise_counts = 0;  // sigma of a one-sample point
  double sample_period_s = 0;
};
// Collects the points within the line's reach of each wheel's passage.
void CollectSeries(const DeviceSignal& device, int channel, double position_m, const std::vector<WheelMotion>& motions,
                   double reach_m, SensorSeries* series);

// One wheel's reading at one sensor.
struct WheelReading {
  double amplitude_counts = NaN;   // peak height of the wheel's pulse
  double standard_error_counts = NaN;
  double shift_m = 0;              // where the pulse sits against the motion (positive: later)
  double coverage = 0;             // share of the pulse's weight that records exist for
  bool valid = false;
  // Filled by the weighing: the dynamic load factor at the moment, and
  // whether the reading counts toward the wheel's weight.
  double factor = 1;
  bool used = false;
  std::string why;                 // why it does not count
};

// Least-squares peak heights of every wheel at one sensor, wheels whose
// pulses overlap solved together; outliers (spikes) are rejected against
// the fit and marked in `series`. With `fit_shift`, each wheel's offset
// against the motion too.
// `robust_rounds`: how often the outliers are judged anew against the fit
// (at least once); 0 keeps those the series holds.
std::vector<WheelReading> FitReadings(SensorSeries* series, const InfluenceLine& line, double position_m,
                                      const std::vector<WheelMotion>& motions, bool fit_shift, int robust_rounds = 3);

// The influence line that best explains the series given each wheel's peak
// height (NaN: not used), re-centred on its peak. `current` is the line the
// readings were taken with.
InfluenceLine LearnInfluenceLine(const SensorSeries& series, double position_m, const std::vector<WheelMotion>& motions,
                                 const std::vector<WheelReading>& readings, const InfluenceLine& current);

// The times during which each wheel is within reach of a sensor. Wheels
// pass in order, so the wheels in reach at a time are a short run.
struct WheelWindows {
  std::vector<double> from_s, to_s;  // per wheel
  // Moves [*lo, *hi) to cover every wheel whose window holds t; call with
  // non-decreasing t, starting from lo = hi = 0.
  void Advance(double t_s, size_t* lo, size_t* hi) const {
    while (*lo < from_s.size() && to_s[*lo] < t_s) ++*lo;
    if (*hi < *lo) *hi = *lo;
    while (*hi < from_s.size() && from_s[*hi] <= t_s) ++*hi;
  }
};
WheelWindows WindowsAt(double position_m, const std::vector<WheelMotion>& motions, double reach_m);

// What the solver knows about one device.
struct DeviceInput {
  int32_t device_id = 0;
  std::vector<double> coeff_kg_per_count;  // per sensor
  std::vector<double> position_m;          // per sensor (vel_coeff)
  const DeviceSignal* signal = nullptr;    // null: no sample was pushed
};

struct SensorSolution {
  int channel = 0;
  int32_t id = 0;                  // device id * 4 + channel
  double position_m = 0;
  double coeff = 0;
  std::string left_out;            // why the sensor is not used; empty when it is
  double relative_bias = 0;        // how much it reads above the rail's other sensors, relative
  InfluenceLine influence;
  std::vector<WheelReading> readings;  // per rail wheel
};

struct RailSolution {
  int32_t device_id = 0;
  double sample_period_s = 0;
  std::vector<Gap> gaps;
  std::vector<SensorSolution> sensors;  // every configured sensor, used or not
  std::vector<WheelMotion> motions;     // per wheel, order of passage
  std::vector<double> passage_time_s;   // per wheel, at the line's reference position
  std::vector<double> speed_mps;        // per wheel, there
  std::string problem;                  // why the rail gave no wheels
  std::vector<std::string> notes;
};
RailSolution SolveRail(const DeviceInput& device, double reference_m);

// How each sensor reads the rail's wheels against the others: per sensor,
// its load of each wheel over the median of the sensors' loads of that
// wheel, for the wheels that three sensors or more read. A sensor whose
// `readings` are null takes no part; `coeff` turns its counts into loads.
std::vector<std::vector<double>> RatiosToWheelMedian(const std::vector<const std::vector<WheelReading>*>& readings,
                                                     const std::vector<double>& coeff, size_t wheels);

// --- Stage 4: one line -------------------------------------------------------

struct AxleSolution {
  size_t wheel[2] = {0, 0};        // rail wheel index, [0] odd, [1] even
  double speed_kmh = 0;
  double passage_time_s = 0;       // odd device's clock, at the reference position
  double offset_m = 0;             // behind the vehicle's first axle
  // Filled by the weighing.
  double weight_kg[2] = {0, 0};
  double condition_percent[2] = {0, 0};
};
struct VehicleSolution {
  std::vector<AxleSolution> axles;  // order of passage
  bool locomotive = false;
  std::string dynamics;             // how the weighing treated the body's motion
};
struct LineSolution {
  int32_t line_id = 0;
  bool correct = false;
  std::string problem;
  std::vector<std::string> notes;
  RailSolution rails[2];
  double even_clock_offset_s = 0;          // even device's clock minus the odd one's
  std::vector<VehicleSolution> vehicles;  // front of the train first
};
// The position (the middle of the line's sensors) at which both rails of a
// line take speeds and passage times: SolveRail's reference_m.
double ReferencePosition(const DeviceInput& odd, const DeviceInput& even);
// Pairs the solved rails of `line` into axles and groups the axles into
// vehicles; a rail's problem becomes the line's.
void JoinRails(LineSolution* line);

// Groups axle spacings into vehicles: spacing_m[i] is the distance between
// axle i and axle i+1 (order of passage). Returns the number of axles of each
// vehicle in order, and marks vehicles of two three-axle bogies.
struct VehicleGrouping {
  std::vector<int> axle_counts;
  std::vector<bool> locomotive;
  bool consistent = true;  // every vehicle has two bogies of 2 or 3 axles
};
VehicleGrouping GroupAxles(const std::vector<double>& spacing_m);

// --- Stage 5: weighing -------------------------------------------------------

// Readings of one quantity per axle over time: z = static(axle) + motion(t).
struct MotionSeries {
  std::vector<size_t> axle;
  std::vector<double> time_s, z, weight;
  std::vector<std::array<double, 2>> rho;  // per reading, per motion: how strongly the motion shows
};
// One combination of frequencies with the amplitudes it implies.
struct MotionTerm {
  double probability = 0;
  std::array<int, 2> frequency{{-1, -1}};  // index into the grid, -1: motion absent
  std::array<double, 2> hz{{0, 0}};
  std::array<double, 4> amplitude{};       // cos, sin of motion 0, then of motion 1
};
struct MotionPosterior {
  std::vector<MotionTerm> terms;  // the likeliest combinations, their weights made whole
  std::vector<double> static_z;   // per axle
  double motion_probability = 0;
  MotionTerm best;
  std::array<double, 2> probability{};  // per motion, that it is there
  std::array<double, 2> moment{};       // per motion, expected squared amplitude where it is
};
// The posterior over `motions` (1 or 2) sines of frequencies on a grid of
// `step_hz` in `series`, each with its prior amplitude and presence;
// `learning` also works out each combination's amplitude variance, for the
// moments.
MotionPosterior Marginalise(const MotionSeries& series, size_t axles, size_t motions,
                            const std::array<double, 2>& prior, const std::array<double, 2>& presence,
                            double step_hz, bool learning);
// The posterior mean of the motion at a moment, given how strongly each
// motion shows there.
double MotionAt(const MotionPosterior& posterior, double time_s, const std::array<double, 2>& rho);
// The same, and how much the combinations disagree about it (their variance).
void MotionAndSpread(const MotionPosterior& posterior, double time_s, const std::array<double, 2>& rho,
                     double* mean, double* variance);
// The likeliest combination's motions, by `names`, added to `text`.
void DescribeMotions(const MotionPosterior& posterior, const char* const names[2], std::string* text);

// One sensor's reading of one wheel of a vehicle, in kilograms.
struct LoadObservation {
  size_t wheel = 0;     // axle * 2 + side within the vehicle
  size_t group = 0;     // a line and rail: readings of one group share a flat's sensor
  size_t slot = 0;      // the place: the two wheels of an axle read at one slot are read together
  double load_kg = 0;
  double standard_error_kg = 0;
  double time_s = 0;    // the wheel over the sensor
};
struct VehicleLoads {
  std::vector<double> axle_offset_m;      // behind the first axle
  std::vector<LoadObservation> observations;
};
// What a track's vehicles do, learned over the passage: the typical
// amplitude of each motion's sine and cosine parts, and the scatter of the
// readings beyond the motions (axle vibration and the like), relative.
struct MotionPrior {
  double presence[3] = {0.5, 0.5, 0.5};      // how likely a vehicle shows each motion
  double amplitude[3] = {0.02, 0.02, 0.02};  // bounce, pitch, roll
  double scatter = 0.006;                     // per reading of a wheel
  double difference_scatter = 0.002;          // per difference of an axle's pair
};
// A vehicle's contribution to learning the prior.
struct MotionStatistics {
  double probability[3] = {0, 0, 0};  // that the motion is there
  double moment[3] = {0, 0, 0};       // expected squared amplitude (both parts), where it is
  double squares = 0, dof = 0;                         // readings' residuals beyond the motions
  double difference_squares = 0, difference_dof = 0;
};
struct VehicleWeighing {
  std::vector<double> wheel_kg;           // static loads, per wheel (axle * 2 + side)
  std::vector<double> factor;             // per observation: fitted dynamic load factor
  std::vector<double> excess;             // per observation: share above the model (a flat's mark)
  std::vector<uint8_t> flat;              // per observation: a wheel flat's inflated reading
  bool dynamics_fitted = false;
  std::string dynamics;                   // what was fitted, or why averaging was kept
  MotionStatistics statistics;
};
// `learning`: also work out what the vehicle tells of the prior (statistics).
VehicleWeighing WeighVehicle(const VehicleLoads& loads, const MotionPrior& prior, bool learning = false);

// Weighing every vehicle of the lines: lines that agree on the train are
// weighed together, each wheel over every sensor and line that saw it.
// One thread prepares (the groups of lines and the sensors' scales); any
// number then share the work, round by round: the rounds that learn the
// track's motion prior from a spread of vehicles, then every vehicle with
// the prior learned; one finishes.
constexpr int PRIOR_ROUNDS = 2;
struct LineWeighing {
  std::vector<LineSolution*> lines;
  std::vector<std::vector<LineSolution*>> groups;
  std::vector<std::pair<size_t, size_t>> vehicles;  // group, vehicle within it
  std::vector<size_t> learning;                     // the vehicles the prior is learned from
  std::vector<MotionStatistics> statistics;         // per learning vehicle, this round
  MotionPrior prior;
  struct Round {
    std::atomic<size_t> next{0};
    size_t done = 0;                                // guarded by mutex
  };
  std::array<Round, PRIOR_ROUNDS + 1> rounds;       // the learning rounds, then every vehicle
  std::mutex mutex;                                 // guards the rounds' done, the prior between rounds, failure
  std::condition_variable round_done;
  std::string failure;                              // why a vehicle could not be weighed
};
void PrepareWeighing(const std::vector<LineSolution*>& lines, LineWeighing* weighing);
// Takes part in every round until none is left; returns once every vehicle
// is weighed, by this thread or another.
void ShareWeighing(LineWeighing* weighing);
void FinishWeighing(LineWeighing* weighing);

// CPU time the calling thread has used, seconds.
double ThreadCpuSeconds();

// --- Trace -------------------------------------------------------------------

// One line's findings as one line of JSON, for the trace file; the devices'
// signals (may be null) add baselines and spikes.
std::string TraceJson(const LineSolution& line, const DeviceSignal* odd, const DeviceSignal* even);

}  // namespace tarvik
