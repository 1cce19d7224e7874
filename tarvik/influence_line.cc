// Each sensor's influence line, learned from the passage itself.
//
// Once the motion is known, every sample near a sensor maps to the distance
// u of each wheel from it, and every wheel's pulse is a scaled copy of one
// shape along the track: residual = sum over wheels of A_j h(u_j). With the
// peak heights A_j from the previous round, the ordinates of h on a 1 cm
// grid follow by least squares, smoothed by a penalty on third differences
// (which leaves a parabolic top untouched, so the peak that `coeff` refers
// to keeps its height). The shape is then re-centred on its peak: the wheel
// stands over the sensor when its response is highest.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double STEP_M = 0.01;
constexpr double CELLS_PER_M = 1 / STEP_M;
constexpr double SMOOTHING = 200.0;     // third-difference penalty against the mean data weight of a cell
constexpr double END_WEIGHT = 1000.0;   // pulls the ordinates at the reach to zero
constexpr double MIN_PEAK = 0.2;        // a learned peak this low against the readings is a failed fit
constexpr double SUPPORT_SHARE = 0.002;  // ordinates below this share of the peak are the line's end
constexpr double SUPPORT_MARGIN_M = 0.05;

size_t GridSize() { return static_cast<size_t>(std::lround(2 * INFLUENCE_REACH_M / STEP_M)) + 1; }

}  // namespace

// The medians of the noise figures and of a fit's residual steps run over
// tens of thousands of values. Selection by digits is a few passes of
// counting where a comparison selection branches unpredictably at every
// value; it gives the same middle value.
namespace {

constexpr size_t RADIX_FROM = 1024;  // fewer values select faster by comparison
constexpr int DIGIT_BITS = 11;

// The double's bits as an unsigned key that orders as the doubles do.
uint64_t OrderKey(double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits >> 63 ? ~bits : bits | (uint64_t{1} << 63);
}
double FromOrderKey(uint64_t key) {
  uint64_t bits = key >> 63 ? key & ~(uint64_t{1} << 63) : ~key;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

double Median(std::vector<double> values) {
  if (values.empty()) return NaN;
  size_t k = values.size() / 2;
  bool ordered = values.size() >= RADIX_FROM;  // a NaN has no place in the order: compared as before
  std::vector<uint64_t> keys;
  uint64_t low = ~uint64_t{0}, high = 0;
  if (ordered) {
    keys.resize(values.size());
    for (size_t i = 0; i < values.size() && ordered; ++i) {
      ordered = !std::isnan(values[i]);
      keys[i] = OrderKey(values[i]);
      low = std::min(low, keys[i]), high = std::max(high, keys[i]);
    }
  }
  if (!ordered) {
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
  }
  // Each pass counts the keys by the digit just below the bits they all
  // share, and keeps those of the digit that holds the k-th.
  size_t count = keys.size();
  while (low != high) {
    int shift = std::max(0, 63 - __builtin_clzll(low ^ high) - (DIGIT_BITS - 1));
    std::array<uint32_t, size_t{1} << DIGIT_BITS> histogram{};
    constexpr uint64_t MASK = (uint64_t{1} << DIGIT_BITS) - 1;
    for (size_t i = 0; i < count; ++i) ++histogram[(keys[i] >> shift) & MASK];
    uint64_t digit = 0;
    for (; k >= histogram[digit]; ++digit) k -= histogram[digit];
    size_t kept = 0;
    low = ~uint64_t{0}, high = 0;
    for (size_t i = 0; i < count; ++i)
      if (((keys[i] >> shift) & MASK) == digit) {
        keys[kept++] = keys[i];
        low = std::min(low, keys[i]), high = std::max(high, keys[i]);
      }
    count = kept;
  }
  return FromOrderKey(low);
}

bool SolveBand(std::vector<double> band, size_t n, size_t width, std::vector<double>* x) {
  auto at = [&](size_t i, size_t j) -> double& { return band[i * (width + 1) + (i - j)]; };
  for (size_t i = 0; i < n; ++i) {
    size_t first = i > width ? i - width : 0;
    for (size_t j = first; j <= i; ++j) {
      double s = at(i, j);
      size_t from = std::max(first, j > width ? j - width : 0);
      for (size_t k = from; k < j; ++k) s -= at(i, k) * at(j, k);
      if (j == i) {
        if (!(s > 0)) return false;
        at(i, i) = std::sqrt(s);
      } else {
        at(i, j) = s / at(j, j);
      }
    }
  }
  for (size_t i = 0; i < n; ++i) {
    double s = (*x)[i];
    for (size_t k = i > width ? i - width : 0; k < i; ++k) s -= at(i, k) * (*x)[k];
    (*x)[i] = s / at(i, i);
  }
  for (size_t i = n; i-- > 0;) {
    double s = (*x)[i];
    for (size_t k = i + 1; k < n && k <= i + width; ++k) s -= at(k, i) * (*x)[k];
    (*x)[i] = s / at(i, i);
  }
  return true;
}

InfluenceLine ModelInfluenceLine() {
  InfluenceLine line;
  line.from_m = -INFLUENCE_REACH_M;
  line.step_m = STEP_M;
  line.support_m = MODEL_HALF_WIDTH_M + SUPPORT_MARGIN_M;
  line.ordinates.resize(GridSize());
  for (size_t i = 0; i < line.ordinates.size(); ++i) {
    double u = line.from_m + static_cast<double>(i) * STEP_M;
    double c = std::cos(std::numbers::pi * u / (2 * MODEL_HALF_WIDTH_M));
    line.ordinates[i] = std::fabs(u) < MODEL_HALF_WIDTH_M ? c * c : 0.0;
  }
  return line;
}

InfluenceLine LearnInfluenceLine(const SensorSeries& series, double position_m, const std::vector<WheelMotion>& motions,
                                 const std::vector<WheelReading>& readings, const InfluenceLine& current) {
  const size_t g = GridSize();
  const size_t width = 3;
  std::vector<double> band(g * (width + 1), 0), rhs(g, 0);
  auto at = [&](size_t i, size_t j) -> double& { return band[i * (width + 1) + (i - j)]; };

  // Each point teaches the wheel that dominates it; what the other wheels in
  // reach add is taken off with the current line, which keeps the system a
  // narrow band however close the axles stand.
  WheelWindows windows = WindowsAt(position_m, motions, INFLUENCE_REACH_M);
  const InfluenceLine::Reader h = current.Read();
  size_t lo = 0, hi = 0;
  for (size_t p = 0; p < series.points.size(); ++p) {
    if (series.rejected[p]) continue;
    const FitPoint& point = series.points[p];
    windows.Advance(point.time_s, &lo, &hi);
    double residual = point.residual_counts;
    size_t reach[4], count = 0;
    double distance[4];
    bool usable = true;
    for (size_t j = lo; j < hi && count < 4; ++j) {
      double u = motions[j].PositionAt(point.time_s) - position_m;
      if (std::fabs(u) >= INFLUENCE_REACH_M) continue;
      usable &= std::isfinite(readings[j].amplitude_counts);
      reach[count] = j, distance[count++] = u;
    }
    if (!usable || count == 0) continue;
    size_t dominant = reach[0];
    double dominant_u = distance[0];
    if (count > 1) {
      size_t best = 0;
      double best_share = 0;
      for (size_t k = 0; k < count; ++k) {
        double share = readings[reach[k]].amplitude_counts * std::max(0.05, std::fabs(h.Value(distance[k])));
        if (share > best_share) best = k, best_share = share;
      }
      for (size_t k = 0; k < count; ++k)
        if (k != best) residual -= readings[reach[k]].amplitude_counts * h.Seen(distance[k], point.spread_m2);
      dominant = reach[best], dominant_u = distance[best];
    }
    double amplitude = readings[dominant].amplitude_counts;
    double f = (dominant_u + INFLUENCE_REACH_M) * CELLS_PER_M;
    size_t i = std::clamp<size_t>(static_cast<size_t>(f), 1, g - 3);
    double w1 = f - static_cast<double>(i), w0 = 1 - w1;
    // The point sees the line between two ordinates, and blurred by the
    // distance its samples span: a second difference around the nearer.
    double blur = 0.5 * point.spread_m2 * (CELLS_PER_M * CELLS_PER_M);
    const bool lower = w1 < 0.5;  // ordinate i is the nearer
    const double row[4] = {lower ? blur : 0.0, lower ? w0 - 2 * blur : w0 + blur, lower ? w1 + blur : w1 - 2 * blur,
                           lower ? 0.0 : blur};  // ordinates i - 1 .. i + 2
    double weight = point.samples * amplitude * amplitude;
    for (size_t a = 0; a < 4; ++a) {
      rhs[i - 1 + a] += point.samples * amplitude * row[a] * residual;
      for (size_t b = 0; b <= a; ++b) at(i - 1 + a, i - 1 + b) += weight * row[a] * row[b];
    }
  }
  double scale = 0;
  for (size_t i = 0; i < g; ++i) scale += at(i, i);
  scale /= static_cast<double>(g);
  if (!(scale > 0)) return current;
  const double lambda = SMOOTHING * scale;
  const double d3[4] = {-1, 3, -3, 1};
  for (size_t r = 0; r + 3 < g; ++r)
    for (size_t a = 0; a < 4; ++a)
      for (size_t b = 0; b <= a; ++b) at(r + a, r + b) += lambda * d3[a] * d3[b];
  for (size_t i : {size_t{0}, size_t{1}, g - 2, g - 1}) at(i, i) += END_WEIGHT * scale;

  std::vector<double> ordinates(rhs);
  if (!SolveBand(band, g, width, &ordinates)) return current;

  InfluenceLine line;
  line.from_m = -INFLUENCE_REACH_M;
  line.step_m = STEP_M;
  line.ordinates = std::move(ordinates);
  size_t best = g / 2;
  for (size_t i = g / 4; i < 3 * g / 4; ++i)
    if (line.ordinates[i] > line.ordinates[best]) best = i;
  double left = line.ordinates[best - 1], mid = line.ordinates[best], right = line.ordinates[best + 1];
  double curvature = left - 2 * mid + right;
  double offset = curvature < 0 ? std::clamp(0.5 * (left - right) / curvature, -0.5, 0.5) : 0.0;
  line.peak_u_m = line.from_m + (static_cast<double>(best) + offset) * STEP_M;
  // The straight pieces between ordinates sag below a curved top, so least
  // squares lifts the ordinates there by about a twelfth of the second
  // difference; the peak of the curve itself lies that much lower.
  line.peak_value = mid - 0.25 * (left - right) * offset + curvature / 12;
  if (!(line.peak_value > MIN_PEAK) || !std::isfinite(line.peak_value)) return current;
  // Where the line has died away: points beyond carry nothing of a wheel,
  // and the fits need not look at them.
  double support = 0;
  for (size_t i = 0; i < g; ++i)
    if (std::fabs(line.ordinates[i]) > SUPPORT_SHARE * line.peak_value)
      support = std::max(support, std::fabs(line.from_m + static_cast<double>(i) * STEP_M - line.peak_u_m));
  line.support_m = std::min(INFLUENCE_REACH_M, support + SUPPORT_MARGIN_M);
  return line;
}

}  // namespace tarvik
