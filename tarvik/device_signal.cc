// One device's signals, digested as the samples arrive: block means over
// time, lost stretches, and per channel the baseline, the mains hum, the
// spikes and the pulses of the wheels.
//
// Everything here works on block means of about 2 ms, indexed by time so
// that a stretch of lost records leaves empty blocks instead of shifting the
// rest: the quickest pulse still spans several blocks. Each block is seen
// once and then forgotten but for a short delay line, so the work keeps pace
// with the file and the memory does not grow with it:
// - a spike stands out of its block against both neighbours and is replaced
//   by their mean;
// - a running baseline (level and hum, following a slow temperature course)
//   gives the residual in which pulses are found with a hysteresis;
// - blocks well clear of any pulse feed the sums of a least-squares fit of
//   b + tau (T - 20) + hum, made once at the end.
#include <algorithm>
#include <array>
#include <cstring>
#include <cmath>
#include <numbers>
#include <vector>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double BLOCK_S = 0.002;
constexpr double SMOOTHING_S = 0.003;       // detection: short against the quickest pulse (about 15 ms)
constexpr double TRACKING_S = 0.5;          // the running baseline follows over this
constexpr double MIN_THRESHOLD_COUNTS = 10.0;
constexpr double HIGH_THRESHOLD_SIGMAS = 6.0;
constexpr double HIGH_THRESHOLD_OF_LARGEST = 0.05;  // a light wheel is well above 5 % of the heaviest
constexpr double QUIET_SIGMAS = 3.0;
constexpr double SPIKE_SIGMAS = 8.0;
constexpr double STUCK_SHARE = 0.5;
constexpr size_t MIN_SAMPLES = 16;
constexpr size_t PERIOD_SAMPLES = 64;       // samples that fix the sample period
constexpr size_t STARTUP_BLOCKS = 32;       // blocks that fix a channel's starting level
constexpr size_t WRITER_LEAD = 4096;        // samples (64 KiB) left to the feeding thread's caches
constexpr size_t WORKER_SLICE = 16384;      // samples digested by one Take while the feeding goes on
constexpr size_t DELAY_BLOCKS = 1024;       // blocks held back until no pulse can claim them
constexpr size_t META_BLOCKS = 2048;        // blocks whose shared figures are kept (beyond the delay)
constexpr size_t MAX_STEPS = 8192;          // noise figures kept from an even spread of blocks
constexpr size_t MAX_RUN_BLOCKS = 1 << 16;  // a pulse longer than this is no wheel

float Median3(float a, float b, float c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }
// Of the four, the lowest and the highest cannot be the median of five.
float Median5(float a, float b, float c, float d, float e) {
  return Median3(e, std::max(std::min(a, b), std::min(c, d)), std::min(std::max(a, b), std::max(c, d)));
}

// Solves the small system a x = b (n unknowns, a row-major) by Gaussian
// elimination with partial pivoting. False when it is singular.
bool SolveSmall(std::array<double, 16> a, std::array<double, 4> b, size_t n, std::array<double, 4>* x) {
  for (size_t c = 0; c < n; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r * 4 + c]) > std::fabs(a[pivot * 4 + c])) pivot = r;
    if (!(std::fabs(a[pivot * 4 + c]) > 1e-9)) return false;
    if (pivot != c) {
      for (size_t k = 0; k < n; ++k) std::swap(a[c * 4 + k], a[pivot * 4 + k]);
      std::swap(b[c], b[pivot]);
    }
    for (size_t r = c + 1; r < n; ++r) {
      double f = a[r * 4 + c] / a[c * 4 + c];
      for (size_t k = c; k < n; ++k) a[r * 4 + k] -= f * a[c * 4 + k];
      b[r] -= f * b[c];
    }
  }
  for (size_t c = n; c-- > 0;) {
    double s = b[c];
    for (size_t k = c + 1; k < n; ++k) s -= a[c * 4 + k] * (*x)[k];
    (*x)[c] = s / a[c * 4 + c];
  }
  return true;
}

}  // namespace

MainsTable::MainsTable() {
  for (size_t i = 0; i < cos_values.size(); ++i) {
    double angle = 2 * std::numbers::pi * static_cast<double>(i) * STEP_US / PERIOD_US;
    cos_values[i] = static_cast<float>(std::cos(angle));
    sin_values[i] = static_cast<float>(std::sin(angle));
  }
}
const MainsTable mains_table;

// --- The four channels, block by block ----------------------------------------

// What every channel of a block shares, kept for as long as the delay line.
struct DeviceDigest::BlockData {
  double time_s = 0;
  float temperature_c = 0;
  float mains_cos = 0, mains_sin = 0;  // the mains phase, times the block's share of the hum
  bool filled = false;
};

namespace {

constexpr int CHANNELS = MAX_SENSORS_PER_DEVICE;
// The four channels' figures of one block side by side: the work common to
// all of them is one vector operation.
using F4 = DeviceDigest::F4;
using I4 = int32_t __attribute__((vector_size(16)));

struct RunBlock {
  double time_s;
  float smoothed, residual;
};

bool Any(I4 mask) { return mask[0] | mask[1] | mask[2] | mask[3]; }

}  // namespace

struct DeviceDigest::Delayed {
  F4 value;
  uint8_t usable;            // per channel bit: filled and no spike
  uint8_t active;            // per channel bit: claimed by a pulse
};

struct DeviceDigest::Channels {
  // The first blocks wait until each channel's level is known from them.
  bool started = false;
  std::vector<F4> startup;
  std::vector<uint8_t> startup_filled;
  // Raw block means of the last eight blocks: the spike test judges the
  // block two back from the newest.
  std::array<F4, 8> raw{};
  std::array<uint8_t, 8> raw_filled{};
  size_t seen = 0, judged = 0, smoothed_count = 0;
  F4 held{};                 // the last clean values, standing in for lost blocks

  // Noise from the steps between neighbouring raw blocks.
  std::array<std::vector<double>, CHANNELS> steps;
  size_t step_stride = 1, step_countdown = 1, step_count = 0, next_sigma_update = 16;
  std::array<double, CHANNELS> block_sigma{};

  // Running baseline and detection, in single precision: a tenth of a count
  // is far below the noise, and four lanes fill one register.
  F4 level{}, hum_cos{}, hum_sin{}, running{};
  std::array<F4, 64> residuals{};
  F4 largest{}, low{}, quiet{};
  F4 spike_limit{};
  std::array<double, CHANNELS> high{};
  uint8_t in_run = 0;        // per channel bit
  std::array<size_t, CHANNELS> run_start{}, quiet_after{}, active_until{};
  std::array<std::vector<RunBlock>, CHANNELS> run;
  std::array<std::vector<Pulse>, CHANNELS> pulses;
  std::array<std::vector<size_t>, CHANNELS> spike_blocks;

  // The delay line; per channel the sums of the final baseline fit over its
  // quiet blocks: the ten products of the regressors (1, hum cos, hum sin,
  // temperature), the four with the value, the value's square and the count.
  std::array<Delayed, DELAY_BLOCKS> delay{};
  std::array<std::array<double, 16>, CHANNELS> sums{};
  float reference_c = NaN;
};

namespace {

double SigmaFromSteps(const std::vector<double>& steps) {
  double median = Median(steps);
  return std::isfinite(median) ? MAD_TO_SIGMA * median / std::sqrt(2.0) : 0.0;
}

}  // namespace

DeviceDigest::DeviceDigest(const SampleStore* store)
    : store_(store), meta_(META_BLOCKS), channels_(std::make_unique<Channels>()) {}
DeviceDigest::~DeviceDigest() = default;

bool DeviceDigest::Take(bool to_the_end) {
  if (!store_ || !problem_.empty()) return false;
  // The writer's next chunk, mapped here rather than by the feeding thread.
  if (!to_the_end) const_cast<SampleStore*>(store_)->Reserve();
  size_t size = store_->Size();
  if (!to_the_end) size = size > WRITER_LEAD ? size - WRITER_LEAD : 0;
  if (size <= next_) return false;
  // A slice at a time while the feeding goes on, so that a worker told to
  // stop leaves the rest to Finish within a fraction of a millisecond.
  if (!to_the_end && started_) size = std::min(size, next_ + WORKER_SLICE);
  if (!started_) {
    // The sample period from the median spacing of the first samples, which
    // a lost stretch cannot move; until they are in, nothing is done.
    if (size < PERIOD_SAMPLES) return false;
    Start(PERIOD_SAMPLES);
    if (!started_) return false;
  }
  // The block being filled lives in locals here: the loop runs per sample,
  // the four channels as one vector.
  using U32x4 = uint32_t __attribute__((vector_size(16)));
  using U16x4 = uint16_t __attribute__((vector_size(8)));
  U32x4 sums = {static_cast<uint32_t>(sums_[0]), static_cast<uint32_t>(sums_[1]), static_cast<uint32_t>(sums_[2]),
                static_cast<uint32_t>(sums_[3])};
  U32x4 at_limit = {0, 0, 0, 0};
  uint32_t filled = filled_;
  int64_t previous_us = previous_us_;
  const int64_t gap_us = gap_us_;
  double boundary_us = next_boundary_us_;
  const int64_t base_us = store_->BaseTimeUs();
  for (size_t i = next_; i < size;) {
    size_t run = 0;
    const CompactSample* sample = store_->Run(i, &run);
    run = std::min(run, size - i);
    for (const CompactSample* end = sample + run; sample != end; ++sample, ++i) {
      int64_t time_us = base_us + sample->time_offset_us;
      if (time_us - previous_us > gap_us)
        gaps_.push_back(Gap{static_cast<double>(previous_us) * 1e-6, static_cast<double>(time_us) * 1e-6});
      previous_us = time_us;
      if (static_cast<double>(time_us) >= boundary_us) {
        double position = (static_cast<double>(time_us) - first_us_) / block_us_ + half_sample_;
        size_t b = static_cast<size_t>(position);
        if (b > block_ + std::max<size_t>(100000, 4 * i)) {
          problem_ = "sample times jump too far";
          return false;
        }
        EmitBlock(filled, {sums[0], sums[1], sums[2], sums[3]}, block_temperature_c_);
        filled = 0;
        sums = U32x4{0, 0, 0, 0};
        while (++block_ < b) EmitBlock(0, {0, 0, 0, 0}, 0);  // records lost
        boundary_us = first_us_ + (static_cast<double>(block_ + 1) - half_sample_) * block_us_;
      }
      if (filled == 0)
        block_temperature_c_ = static_cast<float>(SampleTemperature(store_->TemperatureAt(i, &temperature_), fallback_c_));
      ++filled;
      U16x4 raw;
      std::memcpy(&raw, sample->channels, sizeof raw);
      U32x4 v = __builtin_convertvector(raw, U32x4);
      sums += v;
      at_limit -= (v == 0) | (v == 65535);  // a true comparison is all ones, minus one
    }
  }
  next_ = size;
  for (int c = 0; c < CHANNELS; ++c) sums_[c] = sums[c], at_limit_[c] += at_limit[c];
  filled_ = filled;
  previous_us_ = previous_us;
  next_boundary_us_ = boundary_us;
  return true;
}

void DeviceDigest::Start(size_t samples) {
  std::vector<double> spacing, temperatures;
  for (size_t i = 1; i < samples; ++i) {
    spacing.push_back(store_->TimeS(i) - store_->TimeS(i - 1));
    double t = SampleTemperature(store_->TemperatureAt(i), NaN);
    if (!std::isnan(t)) temperatures.push_back(t);
  }
  period_s_ = Median(spacing);
  if (!(period_s_ > 0)) {
    problem_ = "sample times do not advance";
    return;
  }
  fallback_c_ = temperatures.empty() ? 20.0 : Median(temperatures);
  samples_per_block_ = std::clamp<size_t>(static_cast<size_t>(BLOCK_S / period_s_ + 0.5), 1, 64);
  block_period_s_ = period_s_ * static_cast<double>(samples_per_block_);
  block_us_ = block_period_s_ * 1e6;
  half_sample_ = 0.5 / static_cast<double>(samples_per_block_);
  first_us_ = static_cast<double>(store_->TimeUs(0));
  first_time_s_ = first_us_ * 1e-6;
  previous_us_ = store_->TimeUs(0);
  gap_us_ = static_cast<int64_t>(1.5 * period_s_ * 1e6);
  next_boundary_us_ = first_us_ + (1 - half_sample_) * block_us_;
  hum_gain_ = MainsShareOfMean(static_cast<double>(samples_per_block_), period_s_);
  window_ = std::clamp<size_t>(static_cast<size_t>(SMOOTHING_S / block_period_s_ + 0.5), 1, 32);
  tracking_share_ = 1 - std::exp(-block_period_s_ / TRACKING_S);
  hum_share_ = 2 * tracking_share_ / (hum_gain_ * hum_gain_);
  started_ = true;
}

double DeviceDigest::BlockTimeS(size_t b) const {
  return first_time_s_ + (static_cast<double>(b) + 0.5) * block_period_s_ - 0.5 * period_s_;
}

void DeviceDigest::EmitBlock(uint32_t filled, const std::array<uint64_t, 4>& sums, float temperature_c) {
  size_t b = block_;
  BlockData& meta = meta_[b % META_BLOCKS];
  meta.time_s = BlockTimeS(b);
  meta.filled = filled > 0;
  meta.temperature_c = filled ? temperature_c : static_cast<float>(fallback_c_);
  double c = 0, s = 0;
  MainsPhase(static_cast<int64_t>(meta.time_s * 1e6 + 0.5), &c, &s);
  meta.mains_cos = static_cast<float>(hum_gain_ * c);
  meta.mains_sin = static_cast<float>(hum_gain_ * s);
  float inverse = filled ? 1.0f / static_cast<float>(filled) : 0.0f;
  F4 values = {static_cast<float>(sums[0]), static_cast<float>(sums[1]), static_cast<float>(sums[2]),
               static_cast<float>(sums[3])};
  PushBlock(b, values * inverse, filled > 0);
}

void DeviceDigest::PushBlock(size_t b, F4 values, bool filled) {
  Channels& ch = *channels_;
  // Noise figures: the steps between filled neighbours, from an even spread
  // of blocks, thinned further when there are too many.
  size_t before = (b + 7) & 7;
  if (filled && b > 0 && ch.raw_filled[before] && --ch.step_countdown == 0) {
    ch.step_countdown = ch.step_stride;
    F4 step = values - ch.raw[before];
    for (int c = 0; c < CHANNELS; ++c) {
      std::vector<double>& steps = ch.steps[c];
      steps.push_back(std::fabs(step[c]));
      if (steps.size() >= 2 * MAX_STEPS) {
        for (size_t i = 0; i < MAX_STEPS; ++i) steps[i] = steps[2 * i];
        steps.resize(MAX_STEPS);
      }
    }
    if (ch.steps[0].size() == MAX_STEPS) ch.step_stride *= 2;
    if (ch.started && ++ch.step_count >= ch.next_sigma_update) {
      ch.next_sigma_update = std::min<size_t>(2 * ch.next_sigma_update, ch.step_count + 8192);
      for (int c = 0; c < CHANNELS; ++c) {
        ch.block_sigma[c] = SigmaFromSteps(ch.steps[c]);
        SetThresholds(c);
      }
    }
  }
  ch.raw[b & 7] = values;
  ch.raw_filled[b & 7] = filled;
  ch.seen = b + 1;
  if (!ch.started) {
    ch.startup.push_back(values);
    ch.startup_filled.push_back(filled);
    if (ch.startup.size() >= STARTUP_BLOCKS) StartChannels();
    return;
  }
  // The spike test needs two blocks after the one it judges.
  if (b >= 2) JudgeBlock(b - 2, b + 1);
}

void DeviceDigest::StartChannels() {
  Channels& ch = *channels_;
  // The level the running baseline starts from: the median of the first
  // blocks, which a spike or a wheel already on the sensors cannot move far.
  for (int c = 0; c < CHANNELS; ++c) {
    std::vector<double> values;
    for (size_t i = 0; i < ch.startup.size(); ++i)
      if (ch.startup_filled[i]) values.push_back(ch.startup[i][c]);
    ch.level[c] = values.empty() ? 0.0 : Median(values);
    if (ch.steps[c].size() >= 4) ch.block_sigma[c] = SigmaFromSteps(ch.steps[c]);
    SetThresholds(c);
  }
  ch.started = true;
  // The waiting blocks go through now, as if they came one by one.
  for (size_t b = 0; b < ch.startup.size(); ++b) {
    ch.raw[b & 7] = ch.startup[b];
    ch.raw_filled[b & 7] = ch.startup_filled[b];
    if (b >= 2) JudgeBlock(b - 2, b + 1);
  }
  ch.startup.clear();
  ch.startup_filled.clear();
}

// Judges block `b`; blocks before `end` are in the raw ring.
void DeviceDigest::JudgeBlock(size_t b, size_t end) {
  Channels& ch = *channels_;
  F4 values = ch.raw[b & 7];
  bool filled = ch.raw_filled[b & 7];
  uint8_t usable = filled ? 0xF : 0;
  // A spike lives in one block (two at most, close together), a pulse spans
  // many. Most blocks sit near both neighbours and are passed at once; the
  // others are held against the median of the five around them, and a
  // block far off it, by more than a sharp pulse top stands out of its
  // flanks, held a spike.
  if (filled && b >= 2 && b + 2 < end) {
    F4 before = values - ch.raw[(b - 1) & 7], after = values - ch.raw[(b + 1) & 7];
    F4 away = (before < 0 ? -before : before);
    F4 after_away = (after < 0 ? -after : after);
    away = away > after_away ? away : after_away;
    I4 suspect = (away > ch.spike_limit) & (ch.spike_limit > 0);
    if (Any(suspect) && ch.raw_filled[(b - 2) & 7] && ch.raw_filled[(b - 1) & 7] && ch.raw_filled[(b + 1) & 7] &&
        ch.raw_filled[(b + 2) & 7])
      for (int c = 0; c < CHANNELS; ++c) {
        if (!suspect[c]) continue;
        double median = Median5(ch.raw[(b - 2) & 7][c], ch.raw[(b - 1) & 7][c], values[c], ch.raw[(b + 1) & 7][c],
                                ch.raw[(b + 2) & 7][c]);
        double deviation = values[c] - median;
        if (std::fabs(deviation) > ch.spike_limit[c] && std::fabs(deviation) > 0.5 * std::fabs(median - ch.level[c])) {
          values[c] = static_cast<float>(median);
          usable &= static_cast<uint8_t>(~(1u << c));
          ch.spike_blocks[c].push_back(b);
        }
      }
  }
  if (!filled) values = ch.held;
  ch.held = values;
  ch.judged = b + 1;
  Detect(b, values, usable);
}

void DeviceDigest::Detect(size_t b, F4 values, uint8_t usable) {
  Channels& ch = *channels_;
  const BlockData& meta = meta_[b % META_BLOCKS];
  if (std::isnan(ch.reference_c)) ch.reference_c = meta.temperature_c;
  F4 residual = values - ch.level - (ch.hum_cos * meta.mains_cos + ch.hum_sin * meta.mains_sin);

  // Delay line: a block is committed to the baseline's sums once no pulse
  // can claim it any more.
  Delayed& slot = ch.delay[b % DELAY_BLOCKS];
  if (b >= DELAY_BLOCKS) Commit(b - DELAY_BLOCKS, slot);
  uint8_t active = 0;
  for (int c = 0; c < CHANNELS; ++c) active |= static_cast<uint8_t>((b < ch.active_until[c]) << c);
  slot = Delayed{values, usable, active};

  // Centred moving average: the block `half` back gets its smoothed value.
  ch.residuals[b & 63] = residual;
  ch.running += residual;
  if (b >= window_) ch.running -= ch.residuals[(b - window_) & 63];
  size_t half = (window_ - 1) / 2;
  if (b < half) return;
  size_t centre = b - half;
  F4 smoothed = b + 1 >= window_ ? ch.running * (1.0f / static_cast<float>(window_)) : ch.residuals[centre & 63];
  Smoothed(centre, ch.residuals[centre & 63], smoothed);
  ch.smoothed_count = centre + 1;
}

void DeviceDigest::Smoothed(size_t b, F4 residual, F4 smoothed) {
  Channels& ch = *channels_;
  const BlockData& meta = meta_[b % META_BLOCKS];
  if (meta.filled && Any(smoothed > ch.largest))
    for (int c = 0; c < CHANNELS; ++c)
      if (smoothed[c] > ch.largest[c]) {
        ch.largest[c] = smoothed[c];
        SetThresholds(c);
      }
  I4 high = smoothed > ch.low;
  uint8_t running = 0;
  if (Any(high) || ch.in_run) {
    for (int c = 0; c < CHANNELS; ++c) {
      if (high[c] && ch.run[c].size() < MAX_RUN_BLOCKS) {
        if (!((ch.in_run >> c) & 1)) ch.in_run |= static_cast<uint8_t>(1u << c), ch.run_start[c] = b, ch.run[c].clear();
        ch.run[c].push_back({meta.time_s, static_cast<float>(smoothed[c]), static_cast<float>(residual[c])});
        running |= static_cast<uint8_t>(1u << c);
      } else if ((ch.in_run >> c) & 1) {
        EndRun(c, b);
      }
    }
  }
  // The running baseline learns from quiet blocks well clear of a pulse;
  // least mean squares, so the hum's part of the residual moves its
  // estimate too.
  if (!meta.filled) return;
  F4 magnitude = smoothed < 0 ? -smoothed : smoothed;
  I4 learn = magnitude < ch.quiet;
  for (int c = 0; c < CHANNELS; ++c)
    if (b < ch.quiet_after[c] || ((running >> c) & 1)) learn[c] = 0;
  F4 step = learn ? residual : F4{0, 0, 0, 0};
  ch.level += static_cast<float>(tracking_share_) * step;
  ch.hum_cos += static_cast<float>(hum_share_ * meta.mains_cos) * step;
  ch.hum_sin += static_cast<float>(hum_share_ * meta.mains_sin) * step;
}

// Thresholds from the noise and the heaviest wheel seen so far.
void DeviceDigest::SetThresholds(int c) {
  Channels& ch = *channels_;
  double smoothed_sigma = ch.block_sigma[c] / std::sqrt(static_cast<double>(window_));
  ch.high[c] = std::max({HIGH_THRESHOLD_SIGMAS * smoothed_sigma, HIGH_THRESHOLD_OF_LARGEST * ch.largest[c],
                         MIN_THRESHOLD_COUNTS});
  ch.low[c] = static_cast<float>(ch.high[c] / 2);
  ch.quiet[c] = static_cast<float>(std::max(QUIET_SIGMAS * smoothed_sigma, MIN_THRESHOLD_COUNTS / 2));
  ch.spike_limit[c] = static_cast<float>(SPIKE_SIGMAS * 1.2247 * ch.block_sigma[c]);
}

void DeviceDigest::EndRun(int c, size_t end) {
  Channels& ch = *channels_;
  ch.in_run &= static_cast<uint8_t>(~(1u << c));
  size_t length = end - ch.run_start[c];
  // Blocks within the run's own length of it hold the influence line's low
  // tails and its dips: neither the running baseline nor the fit takes them.
  size_t margin = length + 2;
  size_t from = ch.run_start[c] > margin ? ch.run_start[c] - margin : 0;
  ch.active_until[c] = std::max(ch.active_until[c], end + margin);
  ch.quiet_after[c] = std::max(ch.quiet_after[c], end + margin);
  size_t newest = ch.judged;  // blocks before this are in the delay line
  size_t oldest = newest > DELAY_BLOCKS ? newest - DELAY_BLOCKS : 0;
  for (size_t b = std::max(from, oldest); b < newest; ++b) ch.delay[b % DELAY_BLOCKS].active |= static_cast<uint8_t>(1u << c);
  const std::vector<RunBlock>& run = ch.run[c];
  double peak = 0;
  for (const RunBlock& r : run) peak = std::max(peak, double(r.smoothed));
  double sum = 0, weighted = 0;
  for (const RunBlock& r : run) {
    if (r.smoothed < 0.5 * peak) continue;
    double weight = std::max(0.0, double(r.residual));
    sum += weight;
    weighted += weight * r.time_s;
  }
  // Centroid of the upper half: untouched by where the noisy feet crossed
  // the threshold. Lopsided lines put it off the peak; the rail's fits
  // correct that once the line's shape is known.
  if (sum > 0) ch.pulses[c].push_back(Pulse{weighted / sum, peak});
  ch.run[c].clear();
}

void DeviceDigest::Commit(size_t b, const Delayed& d) {
  uint8_t mask = d.usable & static_cast<uint8_t>(~d.active);
  if (!mask) return;
  Channels& ch = *channels_;
  const BlockData& meta = meta_[b % META_BLOCKS];
  // The regressors 1, hum cos, hum sin and temperature, and their ten
  // products, spelled out: kept in registers, not stored and loaded again.
  const double hc = meta.mains_cos, hs = meta.mains_sin, t = meta.temperature_c - ch.reference_c;
  const double hc_hc = hc * hc, hc_hs = hc * hs, hc_t = hc * t, hs_hs = hs * hs, hs_t = hs * t, t_t = t * t;
  for (int c = 0; c < CHANNELS; ++c) {
    if (!((mask >> c) & 1)) continue;
    std::array<double, 16>& sums = ch.sums[c];
    const double value = d.value[c];
    sums[0] += 1, sums[1] += hc, sums[2] += hs, sums[3] += t;
    sums[4] += hc_hc, sums[5] += hc_hs, sums[6] += hc_t, sums[7] += hs_hs, sums[8] += hs_t, sums[9] += t_t;
    sums[10] += value, sums[11] += value * hc, sums[12] += value * hs, sums[13] += value * t;
    sums[14] += value * value;
    sums[15] += 1;
  }
}

DeviceSignal DeviceDigest::Finish() {
  DeviceSignal device;
  device.store = store_;
  device.size = store_ ? store_->Size() : 0;
  Take(true);
  if (!started_ && problem_.empty()) {
    if (device.size < MIN_SAMPLES) problem_ = "too few samples (" + std::to_string(device.size) + ")";
    else Start(device.size);
    if (problem_.empty()) Take(true);
  }
  if (!problem_.empty()) {
    device.problem = problem_;
    return device;
  }
  EmitBlock(filled_, sums_, block_temperature_c_);
  device.sample_period_s = period_s_;
  device.fallback_temperature_c = fallback_c_;
  device.gaps = gaps_;
  Channels& ch = *channels_;
  if (!ch.started) StartChannels();
  // The last blocks have fewer after them; the moving average empties, the
  // runs end and the delay line is committed.
  for (size_t b = ch.judged; b < ch.seen; ++b) JudgeBlock(b, ch.seen);
  for (size_t b = ch.smoothed_count; b < ch.judged; ++b) Smoothed(b, ch.residuals[b & 63], ch.residuals[b & 63]);
  for (int c = 0; c < CHANNELS; ++c)
    if ((ch.in_run >> c) & 1) EndRun(c, ch.judged);
  for (size_t b = ch.judged > DELAY_BLOCKS ? ch.judged - DELAY_BLOCKS : 0; b < ch.judged; ++b)
    Commit(b, ch.delay[b % DELAY_BLOCKS]);

  for (int c = 0; c < CHANNELS; ++c) {
    ChannelSignal& signal = device.channels[c];
    if (static_cast<double>(at_limit_[c]) > STUCK_SHARE * static_cast<double>(device.size)) {
      signal.stuck = true;
      continue;
    }
    // The baseline: least squares of b, tau and the hum over the quiet
    // blocks. Without a temperature course the drift cannot be told from b.
    const std::array<double, 16>& sums = ch.sums[c];
    std::array<double, 16> xx{};
    std::array<double, 4> xy{};
    for (size_t r = 0, k = 0; r < 4; ++r) {
      xy[r] = sums[10 + r];
      for (size_t q = r; q < 4; ++q, ++k) xx[r * 4 + q] = xx[q * 4 + r] = sums[k];
    }
    double n = sums[15];
    Baseline& baseline = signal.baseline;
    baseline.offset_counts = ch.level[c];
    size_t m = xx[15] * n - xx[3] * xx[3] > 1e-4 * n * n ? 4 : 3;
    std::array<double, 4> beta{};
    if (n >= 8 && SolveSmall(xx, xy, m, &beta)) {
      double drift = m == 4 ? beta[3] : 0;
      baseline.hum_cos_counts = beta[1];
      baseline.hum_sin_counts = beta[2];
      baseline.drift_counts_per_c = drift;
      baseline.offset_counts = beta[0] - drift * (ch.reference_c - 20.0);
      double residual_squares = sums[14];
      for (size_t r = 0; r < m; ++r) {
        residual_squares -= 2 * beta[r] * xy[r];
        for (size_t k = 0; k < m; ++k) residual_squares += beta[r] * beta[k] * xx[r * 4 + k];
      }
      double block_sigma = std::sqrt(std::max(0.0, residual_squares) / std::max(1.0, n - static_cast<double>(m)));
      // White noise: a block mean of k samples has 1/sqrt(k) of a sample's.
      baseline.noise_counts = block_sigma * std::sqrt(static_cast<double>(samples_per_block_));
    } else {
      baseline.noise_counts = ch.block_sigma[c] * std::sqrt(static_cast<double>(samples_per_block_));
    }
    // Pulses that the whole passage's figures do not uphold: below the noise
    // or far below the heaviest wheel.
    SetThresholds(c);
    for (const Pulse& pulse : ch.pulses[c])
      if (pulse.peak_counts >= ch.high[c]) signal.pulses.push_back(pulse);
    // The spike's own sample: the one of its block farthest from the rest.
    for (size_t b : ch.spike_blocks[c]) {
      double from = first_time_s_ + static_cast<double>(b) * block_period_s_ - 0.5 * period_s_;
      size_t i = store_->FirstAtOrAfter(from, device.size);
      size_t end = std::min(device.size, i + samples_per_block_);
      size_t best = i;
      double mean = 0;
      for (size_t k = i; k < end; ++k) mean += store_->At(k).channels[c];
      mean /= static_cast<double>(std::max<size_t>(1, end - i));
      for (size_t k = i; k < end; ++k)
        if (std::fabs(store_->At(k).channels[c] - mean) > std::fabs(store_->At(best).channels[c] - mean)) best = k;
      if (best < device.size) signal.spike_times_s.push_back(store_->TimeS(best));
    }
  }
  return device;
}

DeviceSignal AnalyseDevice(const SampleStore& store) { return DeviceDigest(&store).Finish(); }

}  // namespace tarvik
