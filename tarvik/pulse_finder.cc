// Baseline and pulse detection for one sensor channel.
//
// The baseline follows b + tau * (T - 20): it is fitted by least squares to
// the quiet samples (those away from any wheel), so that a temperature
// course during the passage is taken out instead of being read as load.
// Pulses are found on the residual with a hysteresis threshold set from the
// noise and from the channel's largest loads, so that neither noise nor the
// tails of a pulse make a wheel appear twice.
#include <algorithm>
#include <cmath>
#include <vector>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double REFERENCE_TEMPERATURE_C = 20.0;
constexpr double MAD_TO_SIGMA = 1.4826;
constexpr double MIN_THRESHOLD_COUNTS = 10.0;      // below this a clean channel only shows rounding
constexpr double HIGH_THRESHOLD_SIGMAS = 6.0;      // false wheels from Gaussian noise: practically never
constexpr double HIGH_THRESHOLD_OF_LARGEST = 0.05; // a light wheel is well above 5% of the heaviest
constexpr size_t MIN_SAMPLES = 16;
constexpr size_t MIN_BLOCKS = 8;
constexpr double BLOCK_S = 0.002;      // detection resolution: 13 blocks across the quickest pulse
constexpr double SMOOTHING_S = 0.003;

// Value at fraction q of the sorted values, from a histogram of counts.
int HistogramQuantile(const std::vector<uint32_t>& histogram, size_t total, double q) {
  size_t rank = static_cast<size_t>(q * static_cast<double>(total - 1));
  size_t seen = 0;
  for (size_t value = 0; value < histogram.size(); ++value) {
    seen += histogram[value];
    if (seen > rank) return static_cast<int>(value);
  }
  return static_cast<int>(histogram.size() - 1);
}

// Marks as active every sample of a run above `threshold` (in
// residual = x - baseline), widened by half the run on both sides so that
// the low tails of the influence line stay out of the quiet set.
void MarkActive(const ScratchArray<float>& residual, size_t n, double threshold, ScratchArray<uint8_t>* active) {
  std::fill(active->data(), active->data() + n, 0);
  size_t i = 0;
  const float limit = static_cast<float>(threshold);
  while (i < n) {
    if (residual[i] <= limit) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < n && residual[i] > limit) ++i;
    size_t margin = (i - start) / 2 + 2;
    size_t from = start > margin ? start - margin : 0;
    size_t to = std::min(n, i + margin);
    std::fill(active->data() + from, active->data() + to, 1);
  }
}

// Least-squares b and tau over the quiet samples; the noise left over.
Baseline FitBaseline(const DeviceWorkspace& w, const Baseline& previous) {
  double n = 0, st = 0, sx = 0, stt = 0, stx = 0, sxx = 0;
  for (size_t i = 0; i < w.blocks; ++i) {
    if (w.active[i]) continue;
    double t = w.temperature_c[i] - REFERENCE_TEMPERATURE_C;
    double x = w.values[i];
    n += 1, st += t, sx += x, stt += t * t, stx += t * x, sxx += x * x;
  }
  if (n < 4) return previous;
  Baseline fit;
  double mean_t = st / n, mean_x = sx / n;
  double var_t = stt / n - mean_t * mean_t;
  double cov_tx = stx / n - mean_t * mean_x;
  double var_x = std::max(0.0, sxx / n - mean_x * mean_x);
  // Without a temperature course the drift cannot be told from b; it then
  // needs no separate term either.
  double residual_var = var_x;
  if (var_t > 1e-4) {
    fit.drift_counts_per_c = cov_tx / var_t;
    residual_var = std::max(0.0, var_x - cov_tx * cov_tx / var_t);
  }
  fit.offset_counts = mean_x - fit.drift_counts_per_c * mean_t;
  fit.noise_counts = std::sqrt(residual_var);
  return fit;
}

void ComputeResidual(DeviceWorkspace* w, const Baseline& baseline) {
  const float b = static_cast<float>(baseline.offset_counts - baseline.drift_counts_per_c * REFERENCE_TEMPERATURE_C);
  const float tau = static_cast<float>(baseline.drift_counts_per_c);
  for (size_t i = 0; i < w->blocks; ++i) w->residual[i] = w->values[i] - b - tau * w->temperature_c[i];
}

}  // namespace

bool PrepareDevice(const SampleStore& store, double fallback_temperature_c, DeviceWorkspace* w) {
  w->store = &store;
  w->size = store.Size();
  size_t n = w->size;
  // Sample rate from the median spacing of a spread of samples.
  std::vector<double> spacing;
  size_t stride = std::max<size_t>(1, n / 4096);
  for (size_t i = stride; i < n; i += stride)
    spacing.push_back((store.TimeS(i) - store.TimeS(i - stride)) / static_cast<double>(stride));
  double sample_period_s = 1e-3;
  if (!spacing.empty()) {
    std::nth_element(spacing.begin(), spacing.begin() + static_cast<std::ptrdiff_t>(spacing.size() / 2), spacing.end());
    if (spacing[spacing.size() / 2] > 0) sample_period_s = spacing[spacing.size() / 2];
  }
  w->block = std::clamp<size_t>(static_cast<size_t>(BLOCK_S / sample_period_s + 0.5), 1, 64);
  w->blocks = (n + w->block - 1) / w->block;
  w->block_period_s = sample_period_s * static_cast<double>(w->block);
  size_t blocks = w->blocks;
  if (!w->temperature_c.Reserve(blocks) || !w->values.Reserve(blocks) || !w->residual.Reserve(blocks) ||
      !w->active.Reserve(blocks)) {
    w->size = w->blocks = 0;
    return false;
  }
  // The temperature moves slowly: a block's first reading stands for it.
  for (size_t b = 0; b < blocks; ++b)
    w->temperature_c[b] = static_cast<float>(SampleTemperature(store.At(b * w->block), fallback_temperature_c));
  w->value_histogram.assign(65536, 0);
  w->step_histogram.assign(65536, 0);
  return true;
}

void FindPulses(DeviceWorkspace* w, int channel, Baseline* baseline, std::vector<Pulse>* pulses) {
  pulses->clear();
  *baseline = Baseline{};
  size_t n = w->size, blocks = w->blocks;
  if (n < MIN_SAMPLES || blocks < MIN_BLOCKS || !w->store || channel < 0 || channel >= MAX_SENSORS_PER_DEVICE) return;
  const SampleStore& store = *w->store;

  // Everything up to the fits works on block means: one pass over the
  // samples here, the rest over blocks.
  std::fill(w->value_histogram.begin(), w->value_histogram.end(), 0);
  std::fill(w->step_histogram.begin(), w->step_histogram.end(), 0);
  int previous = -1;
  for (size_t b = 0; b < blocks; ++b) {
    size_t first = b * w->block, last = std::min(n, first + w->block);
    int sum = 0;
    for (size_t i = first; i < last; ++i) sum += store.At(i).channels[channel];
    float mean = static_cast<float>(sum) / static_cast<float>(last - first);
    w->values[b] = mean;
    int rounded = static_cast<int>(mean + 0.5f);
    ++w->value_histogram[static_cast<size_t>(rounded)];
    if (previous >= 0) ++w->step_histogram[static_cast<size_t>(std::abs(rounded - previous))];
    previous = rounded;
  }
  double median = HistogramQuantile(w->value_histogram, blocks, 0.5);
  double largest = HistogramQuantile(w->value_histogram, blocks, 0.999) - median;
  // Consecutive differences see the noise (times sqrt 2) and hardly the
  // slow pulses: a first noise figure that wheels do not inflate.
  double block_sigma = HistogramQuantile(w->step_histogram, blocks - 1, 0.5) * MAD_TO_SIGMA / std::sqrt(2.0);
  double block_root = std::sqrt(static_cast<double>(w->block));

  // Two rounds: the median as baseline gives a first quiet set, the fitted
  // baseline a better one. All figures here are of block means.
  for (size_t i = 0; i < blocks; ++i) w->residual[i] = static_cast<float>(w->values[i] - median);
  Baseline fit;
  fit.offset_counts = median;
  fit.noise_counts = std::max(0.5, block_sigma);
  for (int round = 0; round < 2; ++round) {
    double quiet_threshold = std::max({3.0 * fit.noise_counts, 0.025 * largest, MIN_THRESHOLD_COUNTS / 2});
    MarkActive(w->residual, blocks, quiet_threshold, &w->active);
    fit = FitBaseline(*w, fit);
    ComputeResidual(w, fit);
  }
  *baseline = fit;
  // White noise: a block mean of k samples has 1/sqrt(k) of a sample's.
  baseline->noise_counts = fit.noise_counts * block_root;

  // Detection on a short moving average (about 3 ms): enough to calm the
  // noise, far shorter than the quickest pulse (27 ms at 80 km/h).
  size_t window = std::clamp<size_t>(static_cast<size_t>(SMOOTHING_S / w->block_period_s + 0.5), 1, 64);
  double smoothed_sigma = fit.noise_counts / std::sqrt(static_cast<double>(window));
  double high = std::max({HIGH_THRESHOLD_SIGMAS * smoothed_sigma, HIGH_THRESHOLD_OF_LARGEST * largest,
                          MIN_THRESHOLD_COUNTS});
  double low = high / 2;
  const ScratchArray<float>& residual = w->residual;
  ScratchArray<float>& smoothed = w->values;  // block means are no longer needed
  size_t half = (window - 1) / 2;
  double running = 0;
  for (size_t i = 0; i < blocks; ++i) {
    running += residual[i];
    if (i >= window) running -= residual[i - window];
    // The average of residual[i - window + 1 .. i] belongs to the middle of that stretch.
    if (i + 1 >= window) smoothed[i - half] = static_cast<float>(running / static_cast<double>(window));
  }
  // The few blocks at both ends without a full window keep their own value.
  for (size_t i = 0; i + half + 1 < window && i < blocks; ++i) smoothed[i] = residual[i];
  for (size_t i = blocks >= window ? blocks - window + 1 + half : 0; i < blocks; ++i) smoothed[i] = residual[i];

  size_t i = 0;
  while (i < blocks) {
    if (smoothed[i] <= low) {
      ++i;
      continue;
    }
    size_t start = i;
    double peak = 0;
    while (i < blocks && smoothed[i] > low) peak = std::max(peak, double(smoothed[i++]));
    if (peak < high) continue;
    // Centroid of the upper half: symmetric about the passage, untouched by
    // where the noisy feet crossed the threshold.
    double sum = 0, weighted = 0;
    for (size_t k = start; k < i; ++k) {
      if (smoothed[k] < 0.5 * peak) continue;
      double weight = std::max(0.0, double(residual[k]));
      sum += weight;
      weighted += weight * w->BlockTimeS(k);
    }
    if (sum <= 0) continue;
    pulses->push_back(Pulse{weighted / sum, peak});
  }
}

}  // namespace tarvik
