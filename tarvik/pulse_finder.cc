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
void MarkActive(const std::vector<float>& residual, double threshold, std::vector<uint8_t>* active) {
  size_t n = residual.size();
  active->assign(n, 0);
  size_t i = 0;
  while (i < n) {
    if (residual[i] <= threshold) {
      ++i;
      continue;
    }
    size_t start = i;
    while (i < n && residual[i] > threshold) ++i;
    size_t margin = (i - start) / 2 + 2;
    size_t from = start > margin ? start - margin : 0;
    size_t to = std::min(n, i + margin);
    std::fill(active->begin() + static_cast<std::ptrdiff_t>(from), active->begin() + static_cast<std::ptrdiff_t>(to), 1);
  }
}

// Least-squares b and tau over the quiet samples; the noise left over.
Baseline FitBaseline(const SampleStore& store, const std::vector<float>& x, const std::vector<uint8_t>& active,
                     double fallback_c, const Baseline& previous) {
  double n = 0, st = 0, sx = 0, stt = 0, stx = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (active[i]) continue;
    double t = SampleTemperature(store.At(i), fallback_c) - REFERENCE_TEMPERATURE_C;
    n += 1;
    st += t;
    sx += x[i];
    stt += t * t;
    stx += t * x[i];
  }
  if (n < 4) return previous;
  Baseline fit;
  double var_t = stt / n - (st / n) * (st / n);
  // Without a temperature course the drift cannot be told from b; it then
  // needs no separate term either.
  if (var_t > 1e-4) {
    fit.drift_counts_per_c = (stx / n - (st / n) * (sx / n)) / var_t;
    fit.offset_counts = sx / n - fit.drift_counts_per_c * st / n;
  } else {
    fit.offset_counts = sx / n;
  }
  double ss = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (active[i]) continue;
    double t = SampleTemperature(store.At(i), fallback_c) - REFERENCE_TEMPERATURE_C;
    double r = x[i] - fit.offset_counts - fit.drift_counts_per_c * t;
    ss += r * r;
  }
  fit.noise_counts = std::sqrt(ss / n);
  return fit;
}

void ComputeResidual(const SampleStore& store, const std::vector<float>& x, const Baseline& baseline,
                     double fallback_c, std::vector<float>* residual) {
  residual->resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double t = SampleTemperature(store.At(i), fallback_c) - REFERENCE_TEMPERATURE_C;
    (*residual)[i] = static_cast<float>(x[i] - baseline.offset_counts - baseline.drift_counts_per_c * t);
  }
}

}  // namespace

void FindPulses(const SampleStore& store, int channel, double fallback_temperature_c, Baseline* baseline,
                std::vector<Pulse>* pulses) {
  pulses->clear();
  *baseline = Baseline{};
  size_t n = store.Size();
  if (n < MIN_SAMPLES || channel < 0 || channel >= MAX_SENSORS_PER_DEVICE) return;

  std::vector<float> x(n);
  std::vector<uint32_t> value_histogram(65536, 0), step_histogram(65536, 0);
  for (size_t i = 0; i < n; ++i) {
    uint16_t value = store.At(i).channels[channel];
    x[i] = value;
    ++value_histogram[value];
    if (i > 0) ++step_histogram[static_cast<size_t>(std::abs(int(value) - int(store.At(i - 1).channels[channel])))];
  }
  double median = HistogramQuantile(value_histogram, n, 0.5);
  double largest = HistogramQuantile(value_histogram, n, 0.999) - median;
  // Consecutive differences see the noise (times sqrt 2) and hardly the
  // slow pulses: a first noise figure that wheels do not inflate.
  double sigma = std::max(0.5, HistogramQuantile(step_histogram, n - 1, 0.5) * MAD_TO_SIGMA / std::sqrt(2.0));
  value_histogram = {};
  step_histogram = {};

  // Sample rate from the median spacing of a spread of samples.
  std::vector<double> spacing;
  size_t stride = std::max<size_t>(1, n / 4096);
  for (size_t i = stride; i < n; i += stride)
    spacing.push_back((store.TimeS(i) - store.TimeS(i - stride)) / static_cast<double>(stride));
  std::nth_element(spacing.begin(), spacing.begin() + static_cast<std::ptrdiff_t>(spacing.size() / 2), spacing.end());
  double sample_period_s = spacing[spacing.size() / 2];
  if (!(sample_period_s > 0)) sample_period_s = 1e-3;

  // Two rounds: the median as baseline gives a first quiet set, the fitted
  // baseline a better one.
  std::vector<float> residual(n);
  for (size_t i = 0; i < n; ++i) residual[i] = static_cast<float>(x[i] - median);
  std::vector<uint8_t> active;
  Baseline fit;
  fit.offset_counts = median;
  fit.noise_counts = sigma;
  for (int round = 0; round < 2; ++round) {
    double quiet_threshold = std::max({3.0 * fit.noise_counts, 0.025 * largest, MIN_THRESHOLD_COUNTS / 2});
    MarkActive(residual, quiet_threshold, &active);
    fit = FitBaseline(store, x, active, fallback_temperature_c, fit);
    ComputeResidual(store, x, fit, fallback_temperature_c, &residual);
  }
  *baseline = fit;
  active = {};
  x = {};

  // Detection on a short moving average (about 2 ms): enough to calm the
  // noise, far shorter than the quickest pulse (27 ms at 80 km/h).
  size_t window = std::clamp<size_t>(static_cast<size_t>(0.002 / sample_period_s + 0.5), 1, 64);
  double smoothed_sigma = fit.noise_counts / std::sqrt(static_cast<double>(window));
  double high = std::max({HIGH_THRESHOLD_SIGMAS * smoothed_sigma, HIGH_THRESHOLD_OF_LARGEST * largest,
                          MIN_THRESHOLD_COUNTS});
  double low = high / 2;
  std::vector<float> smoothed(n);
  double running = 0;
  for (size_t i = 0; i < n; ++i) {
    running += residual[i];
    if (i >= window) running -= residual[i - window];
    size_t count = std::min(i + 1, window);
    // Centre the average on the middle of its window.
    size_t centre = i >= (count - 1) / 2 ? i - (count - 1) / 2 : 0;
    smoothed[centre] = static_cast<float>(running / static_cast<double>(count));
  }
  for (size_t i = n - (window - 1) / 2; i < n && window > 1; ++i) smoothed[i] = residual[i];

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
    // Centroid of the upper half: symmetric about the passage, untouched by
    // where the noisy feet crossed the threshold.
    double sum = 0, weighted = 0;
    for (size_t k = start; k < i; ++k) {
      if (smoothed[k] < 0.5 * peak) continue;
      double w = std::max(0.0, double(residual[k]));
      sum += w;
      weighted += w * store.TimeS(k);
    }
    if (sum <= 0) continue;
    pulses->push_back(Pulse{weighted / sum, peak});
  }
}

}  // namespace tarvik
