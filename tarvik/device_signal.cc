// One device's signals: block means over time, lost stretches, and per
// channel the baseline, the mains hum and the pulses of the wheels.
//
// Everything here works on block means of about 2 ms, indexed by time so
// that a stretch of lost records leaves empty blocks instead of shifting the
// rest: the quickest pulse still spans several blocks, and each pass over a
// long passage costs a few blocks instead of every sample. Single-sample
// spikes stand out of a block mean against its neighbours and are taken out
// by a running median before anything is fitted or detected.
#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double BLOCK_S = 0.002;
constexpr double SMOOTHING_S = 0.003;       // detection: short against the quickest pulse (about 15 ms)
constexpr double MAD_TO_SIGMA = 1.4826;
constexpr double MIN_THRESHOLD_COUNTS = 10.0;
constexpr double HIGH_THRESHOLD_SIGMAS = 6.0;
constexpr double HIGH_THRESHOLD_OF_LARGEST = 0.05;  // a light wheel is well above 5 % of the heaviest
constexpr double SPIKE_SIGMAS = 8.0;
constexpr double STUCK_SHARE = 0.5;
constexpr size_t MIN_SAMPLES = 16;
constexpr size_t MIN_BLOCKS = 8;
constexpr int64_t MAINS_PERIOD_US = 20000;
constexpr int MAINS_TABLE_STEP_US = 10;

struct MainsTable {
  std::array<float, MAINS_PERIOD_US / MAINS_TABLE_STEP_US> cos_values, sin_values;
  MainsTable() {
    for (size_t i = 0; i < cos_values.size(); ++i) {
      double angle = 2 * std::numbers::pi * static_cast<double>(i) * MAINS_TABLE_STEP_US / MAINS_PERIOD_US;
      cos_values[i] = static_cast<float>(std::cos(angle));
      sin_values[i] = static_cast<float>(std::sin(angle));
    }
  }
};
const MainsTable mains_table;

double Median(std::vector<double> values) {
  if (values.empty()) return NaN;
  auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// The median of the values that `keep` admits, from an even spread of at
// most a few thousand of them: robust figures of a long passage need no more.
template <typename Keep, typename Value>
double SpreadMedian(size_t n, Keep keep, Value value) {
  constexpr size_t ENOUGH = 8192;
  size_t kept = 0;
  for (size_t i = 0; i < n; ++i) kept += keep(i);
  size_t stride = std::max<size_t>(1, kept / ENOUGH);
  std::vector<double> values;
  values.reserve(std::min(kept, 2 * ENOUGH));
  for (size_t i = 0, seen = 0; i < n; ++i)
    if (keep(i) && seen++ % stride == 0) values.push_back(value(i));
  return Median(std::move(values));
}

// Solves the small system a x = b (n unknowns, a row-major) by Gaussian
// elimination with partial pivoting. False when it is singular.
bool SolveSmall(std::vector<double> a, std::vector<double> b, size_t n, std::vector<double>* x) {
  for (size_t c = 0; c < n; ++c) {
    size_t pivot = c;
    for (size_t r = c + 1; r < n; ++r)
      if (std::fabs(a[r * n + c]) > std::fabs(a[pivot * n + c])) pivot = r;
    if (!(std::fabs(a[pivot * n + c]) > 1e-12)) return false;
    if (pivot != c) {
      for (size_t k = 0; k < n; ++k) std::swap(a[c * n + k], a[pivot * n + k]);
      std::swap(b[c], b[pivot]);
    }
    for (size_t r = c + 1; r < n; ++r) {
      double f = a[r * n + c] / a[c * n + c];
      for (size_t k = c; k < n; ++k) a[r * n + k] -= f * a[c * n + k];
      b[r] -= f * b[c];
    }
  }
  x->assign(n, 0);
  for (size_t c = n; c-- > 0;) {
    double s = b[c];
    for (size_t k = c + 1; k < n; ++k) s -= a[c * n + k] * (*x)[k];
    (*x)[c] = s / a[c * n + c];
  }
  return true;
}

// Per-block values shared by the channels of a device.
struct Blocks {
  size_t count = 0;
  size_t samples_per_block = 1;
  double period_s = 0;
  double first_time_s = 0;
  double hum_gain = 1;               // a block mean's share of the hum (its average over the block)
  std::vector<float> temperature_c;  // per block
  std::vector<uint16_t> filled;      // samples per block; 0: lost
  std::vector<float> mains_cos, mains_sin;  // at the block's middle
  double TimeS(size_t b) const {
    return first_time_s + (static_cast<double>(b) + 0.5) * period_s - 0.5 * period_s / static_cast<double>(samples_per_block);
  }
};

// Marks every block of a run beyond +-threshold, widened on both sides by
// the run's length: the low tails of an influence line, and the dips below
// zero some lines have beside the pulse, stay out of the quiet set.
void MarkActive(const std::vector<float>& residual, double threshold, std::vector<uint8_t>* active) {
  size_t n = residual.size();
  active->assign(n, 0);
  const float limit = static_cast<float>(threshold);
  size_t i = 0;
  while (i < n) {
    if (std::fabs(residual[i]) <= limit) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < n && std::fabs(residual[i]) > limit) ++i;
    size_t margin = (i - start) + 2;
    size_t from = start > margin ? start - margin : 0;
    size_t to = std::min(n, i + margin);
    std::fill(active->begin() + static_cast<std::ptrdiff_t>(from), active->begin() + static_cast<std::ptrdiff_t>(to), 1);
  }
}

// Least squares of b, tau and the hum over the quiet blocks.
bool FitBaseline(const Blocks& blocks, const std::vector<float>& values, const std::vector<uint8_t>& quiet,
                 Baseline* baseline) {
  double mean_t = 0, n = 0;
  for (size_t i = 0; i < blocks.count; ++i)
    if (quiet[i]) mean_t += blocks.temperature_c[i], n += 1;
  if (n < 8) return false;
  mean_t /= n;
  double var_t = 0;
  for (size_t i = 0; i < blocks.count; ++i)
    if (quiet[i]) var_t += (blocks.temperature_c[i] - mean_t) * (blocks.temperature_c[i] - mean_t);
  var_t /= n;
  // Without a temperature course the drift cannot be told from b.
  bool with_drift = var_t > 1e-4;
  size_t m = with_drift ? 4 : 3;
  // Sums in locals: the compiler keeps them in registers.
  std::array<double, 16> sum{};
  std::array<double, 4> sum_x{};
  for (size_t i = 0; i < blocks.count; ++i) {
    if (!quiet[i]) continue;
    const double row[4] = {1, blocks.hum_gain * blocks.mains_cos[i], blocks.hum_gain * blocks.mains_sin[i],
                           blocks.temperature_c[i] - mean_t};
    for (size_t r = 0; r < 4; ++r) {
      sum_x[r] += row[r] * values[i];
      for (size_t c = 0; c < 4; ++c) sum[r * 4 + c] += row[r] * row[c];
    }
  }
  std::vector<double> a(m * m), rhs(m), x;
  for (size_t r = 0; r < m; ++r) {
    rhs[r] = sum_x[r];
    for (size_t c = 0; c < m; ++c) a[r * m + c] = sum[r * 4 + c];
  }
  if (!SolveSmall(a, rhs, m, &x)) return false;
  double drift = with_drift ? x[3] : 0;
  baseline->hum_cos_counts = x[1];
  baseline->hum_sin_counts = x[2];
  baseline->drift_counts_per_c = drift;
  baseline->offset_counts = x[0] - drift * (mean_t - 20.0);
  return true;
}

void Residual(const Blocks& blocks, const std::vector<float>& values, const Baseline& b, std::vector<float>* out) {
  out->resize(blocks.count);
  for (size_t i = 0; i < blocks.count; ++i)
    (*out)[i] = static_cast<float>(values[i] - BaselineCounts(b, blocks.temperature_c[i],
                                                              blocks.hum_gain * blocks.mains_cos[i],
                                                              blocks.hum_gain * blocks.mains_sin[i]));
}

double RobustSigma(const std::vector<float>& residual, const std::vector<uint8_t>& quiet) {
  double mad = SpreadMedian(
      residual.size(), [&](size_t i) { return quiet[i] != 0; }, [&](size_t i) { return std::fabs(residual[i]); });
  return std::isfinite(mad) ? MAD_TO_SIGMA * mad : 0;
}

// Fills the channel's baseline and pulses; `spiky_blocks` receives the
// blocks that held a spike.
void AnalyseChannel(const Blocks& blocks, std::vector<float> means, ChannelSignal* channel,
                    std::vector<size_t>* spiky_blocks) {
  size_t n = blocks.count;
  // Lost blocks take the straight line between their neighbours, so that
  // neither the filters nor the detection see a step.
  size_t previous = n;
  for (size_t i = 0; i < n; ++i) {
    if (!blocks.filled[i]) continue;
    if (previous == n) {
      for (size_t k = 0; k < i; ++k) means[k] = means[i];
    } else if (i > previous + 1) {
      for (size_t k = previous + 1; k < i; ++k)
        means[k] = means[previous] + (means[i] - means[previous]) * static_cast<float>(k - previous) /
                                         static_cast<float>(i - previous);
    }
    previous = i;
  }
  for (size_t k = previous + 1; k < n && previous < n; ++k) means[k] = means[previous];

  // Median of five: a spike lives in one block, a pulse spans many.
  std::vector<float> median(means);
  for (size_t i = 2; i + 2 < n; ++i) {
    std::array<float, 5> w = {means[i - 2], means[i - 1], means[i], means[i + 1], means[i + 2]};
    std::nth_element(w.begin(), w.begin() + 2, w.end());
    median[i] = w[2];
  }
  // The noise from steps between raw neighbours: a median would calm it,
  // and the few spikes do not move a median of steps.
  double step = SpreadMedian(
      n - 1, [](size_t) { return true; }, [&](size_t i) { return std::fabs(means[i + 1] - means[i]); });
  double block_sigma = std::max(0.3, MAD_TO_SIGMA * step / std::sqrt(2.0));
  double level = SpreadMedian(
      n, [](size_t) { return true; }, [&](size_t i) { return median[i]; });
  // The heaviest wheel's top, spikes taken out by the running median.
  double largest = *std::max_element(median.begin(), median.end()) - level;

  // A spike: one block far off its neighbours' median, where the median
  // itself is quiet enough that a sharp pulse top cannot be mistaken for one.
  std::vector<float> clean(means);
  std::vector<uint8_t> spiky(n, 0);
  for (size_t i = 2; i + 2 < n; ++i) {
    double deviation = means[i] - median[i];
    if (std::fabs(deviation) > SPIKE_SIGMAS * block_sigma &&
        std::fabs(deviation) > 0.5 * std::fabs(median[i] - level)) {
      clean[i] = median[i];
      spiky[i] = 1;
      if (blocks.filled[i]) spiky_blocks->push_back(i);
    }
  }

  // Two rounds: the median as baseline gives a first quiet set, the fitted
  // baseline a better one.
  Baseline fit;
  fit.offset_counts = level;
  std::vector<float> residual;
  Residual(blocks, clean, fit, &residual);
  std::vector<uint8_t> active, quiet(n);
  double sigma = block_sigma;
  for (int round = 0; round < 2; ++round) {
    double threshold = std::max({3.0 * sigma, 0.025 * largest, MIN_THRESHOLD_COUNTS / 2});
    MarkActive(residual, threshold, &active);
    for (size_t i = 0; i < n; ++i) quiet[i] = !active[i] && !spiky[i] && blocks.filled[i];
    FitBaseline(blocks, clean, quiet, &fit);
    Residual(blocks, clean, fit, &residual);
    double quiet_sigma = RobustSigma(residual, quiet);
    if (quiet_sigma > 0) sigma = quiet_sigma;
  }
  // White noise: a block mean of k samples has 1/sqrt(k) of a sample's.
  fit.noise_counts = sigma * std::sqrt(static_cast<double>(blocks.samples_per_block));
  channel->baseline = fit;

  // Detection on a short moving average of the cleaned residual.
  size_t window = std::clamp<size_t>(static_cast<size_t>(SMOOTHING_S / blocks.period_s + 0.5), 1, 64);
  double smoothed_sigma = sigma / std::sqrt(static_cast<double>(window));
  double high = std::max({HIGH_THRESHOLD_SIGMAS * smoothed_sigma, HIGH_THRESHOLD_OF_LARGEST * largest,
                          MIN_THRESHOLD_COUNTS});
  double low = high / 2;
  std::vector<float> smoothed(residual);
  size_t half = (window - 1) / 2;
  double running = 0;
  for (size_t i = 0; i < n; ++i) {
    running += residual[i];
    if (i >= window) running -= residual[i - window];
    if (i + 1 >= window) smoothed[i - half] = static_cast<float>(running / static_cast<double>(window));
  }
  size_t i = 0;
  while (i < n) {
    if (smoothed[i] <= low) {
      ++i;
      continue;
    }
    size_t start = i;
    double peak = 0;
    while (i < n && smoothed[i] > low) peak = std::max(peak, double(smoothed[i++]));
    if (peak < high) continue;
    // Centroid of the upper half: untouched by where the noisy feet crossed
    // the threshold. Lopsided lines put it off the peak; the rail's fits
    // correct that once the line's shape is known.
    double sum = 0, weighted = 0;
    for (size_t k = start; k < i; ++k) {
      if (smoothed[k] < 0.5 * peak) continue;
      double weight = std::max(0.0, double(residual[k]));
      sum += weight;
      weighted += weight * blocks.TimeS(k);
    }
    if (sum > 0) channel->pulses.push_back(Pulse{weighted / sum, peak});
  }
}

}  // namespace

void MainsPhase(int64_t time_us, double* cos_value, double* sin_value) {
  int64_t phase = time_us % MAINS_PERIOD_US;
  if (phase < 0) phase += MAINS_PERIOD_US;
  size_t index = static_cast<size_t>(phase / MAINS_TABLE_STEP_US);
  *cos_value = mains_table.cos_values[index];
  *sin_value = mains_table.sin_values[index];
}

DeviceSignal AnalyseDevice(const SampleStore& store) {
  DeviceSignal device;
  device.store = &store;
  device.size = store.Size();
  size_t n = device.size;
  if (n < MIN_SAMPLES) {
    device.problem = "too few samples (" + std::to_string(n) + ")";
    return device;
  }
  // Sample period: the median spacing of neighbouring samples, which lost
  // stretches cannot move.
  std::vector<double> spacing, temperatures;
  size_t stride = std::max<size_t>(1, n / 4096);
  for (size_t i = 1; i < n; i += stride) {
    spacing.push_back(store.TimeS(i) - store.TimeS(i - 1));
    double t = SampleTemperature(store.At(i), NaN);
    if (!std::isnan(t)) temperatures.push_back(t);
  }
  double period = Median(spacing);
  if (!(period > 0)) {
    device.problem = "sample times do not advance";
    return device;
  }
  device.sample_period_s = period;
  device.fallback_temperature_c = temperatures.empty() ? 20.0 : Median(temperatures);

  Blocks blocks;
  blocks.samples_per_block = std::clamp<size_t>(static_cast<size_t>(BLOCK_S / period + 0.5), 1, 64);
  blocks.period_s = period * static_cast<double>(blocks.samples_per_block);
  blocks.first_time_s = store.TimeS(0);
  double span_s = store.TimeS(n - 1) - blocks.first_time_s;
  if (!(span_s >= 0) || span_s / blocks.period_s > 4.0 * static_cast<double>(n)) {
    device.problem = "sample times run backwards or jump too far";
    return device;
  }
  blocks.count = static_cast<size_t>(span_s / blocks.period_s + 0.5 / blocks.samples_per_block) + 1;
  if (blocks.count < MIN_BLOCKS) {
    device.problem = "too short a recording";
    return device;
  }
  double omega_half = std::numbers::pi * MAINS_HZ * period;
  double k = static_cast<double>(blocks.samples_per_block);
  blocks.hum_gain = std::sin(k * omega_half) / (k * std::sin(omega_half));
  blocks.temperature_c.assign(blocks.count, static_cast<float>(device.fallback_temperature_c));
  blocks.filled.assign(blocks.count, 0);
  blocks.mains_cos.resize(blocks.count);
  blocks.mains_sin.resize(blocks.count);
  std::vector<float> sums[MAX_SENSORS_PER_DEVICE];
  for (auto& s : sums) s.assign(blocks.count, 0);
  size_t at_limit[MAX_SENSORS_PER_DEVICE] = {};

  // The one pass over every sample.
  double previous_s = blocks.first_time_s;
  const double inverse_block = 1.0 / blocks.period_s, offset = 0.5 / k;
  for (size_t i = 0; i < n; ++i) {
    const CompactSample& sample = store.At(i);
    double t = store.TimeS(i);
    if (t - previous_s > 1.5 * period) device.gaps.push_back(Gap{previous_s, t});
    previous_s = t;
    size_t b = static_cast<size_t>(std::max(0.0, (t - blocks.first_time_s) * inverse_block + offset));
    if (b >= blocks.count) continue;  // a time running backwards far; ignored
    if (blocks.filled[b] == 0)
      blocks.temperature_c[b] = static_cast<float>(SampleTemperature(sample, device.fallback_temperature_c));
    if (blocks.filled[b] < 65535) ++blocks.filled[b];
    for (int c = 0; c < MAX_SENSORS_PER_DEVICE; ++c) {
      uint16_t v = sample.channels[c];
      sums[c][b] += v;
      at_limit[c] += v == 0 || v == 65535;
    }
  }
  for (size_t b = 0; b < blocks.count; ++b) {
    double c = 0, s = 0;
    MainsPhase(static_cast<int64_t>(std::llround(blocks.TimeS(b) * 1e6)), &c, &s);
    blocks.mains_cos[b] = static_cast<float>(c);
    blocks.mains_sin[b] = static_cast<float>(s);
  }
  for (int c = 0; c < MAX_SENSORS_PER_DEVICE; ++c) {
    ChannelSignal& channel = device.channels[c];
    if (static_cast<double>(at_limit[c]) > STUCK_SHARE * static_cast<double>(n)) {
      channel.stuck = true;
      continue;
    }
    std::vector<float>& means = sums[c];
    for (size_t b = 0; b < blocks.count; ++b)
      if (blocks.filled[b]) means[b] /= static_cast<float>(blocks.filled[b]);
    std::vector<size_t> spiky_blocks;
    AnalyseChannel(blocks, std::move(means), &channel, &spiky_blocks);
    // The spike's own sample: the one of its block farthest from the rest.
    for (size_t b : spiky_blocks) {
      double from = blocks.first_time_s + static_cast<double>(b) * blocks.period_s - 0.5 * period;
      size_t i = 0, high = n;
      while (i < high) {
        size_t mid = i + (high - i) / 2;
        if (store.TimeS(mid) < from) i = mid + 1;
        else high = mid;
      }
      size_t end = std::min(n, i + blocks.samples_per_block), best = i;
      double mean = 0;
      for (size_t k = i; k < end; ++k) mean += store.At(k).channels[c];
      mean /= static_cast<double>(std::max<size_t>(1, end - i));
      for (size_t k = i; k < end; ++k)
        if (std::fabs(store.At(k).channels[c] - mean) > std::fabs(store.At(best).channels[c] - mean)) best = k;
      if (best < n) channel.spike_times_s.push_back(store.TimeS(best));
    }
  }
  return device;
}

}  // namespace tarvik
