// From per-sensor loads to wheel weights, and from axle spacings to vehicles.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

// A flat raises exactly one sensor's load by 20% or more; a sound wheel's
// sensors agree within a few percent even at high speed and low sample
// rates. A sensor counts as hit when it stands out by both margins.
constexpr double FLAT_MIN_EXCESS = 0.12;
constexpr double FLAT_MIN_SIGMAS = 5.0;

// Spacing limits of the train layout: within a bogie at most 2.8 m, between
// bogies of one vehicle at least 4 m, between vehicles at least 3.2 m. The
// cuts sit between the limits so that measurement error cannot cross them.
constexpr double BOGIE_CUT_M = 3.0;
constexpr double MIN_VEHICLE_BOGIE_GAP_M = 3.6;

struct Mean {
  double value = 0;
  double standard_error = 0;
};

// Precision-weighted mean of the loads except `skip`.
Mean WeightedMean(const std::vector<SensorLoad>& loads, int skip) {
  double sw = 0, swx = 0, plain = 0;
  int n = 0;
  for (size_t i = 0; i < loads.size(); ++i) {
    if (static_cast<int>(i) == skip) continue;
    double se = std::max(loads[i].standard_error_kg, 1e-6);
    double w = 1.0 / (se * se);
    sw += w, swx += w * loads[i].load_kg, plain += loads[i].load_kg, ++n;
  }
  if (n == 0) return {};
  if (!(sw > 0) || !std::isfinite(sw)) return {plain / n, 0};
  return {swx / sw, std::sqrt(1.0 / sw)};
}

}  // namespace

CombinedLoad CombineSensorLoads(const std::vector<SensorLoad>& loads) {
  CombinedLoad combined;
  if (loads.empty()) return combined;
  Mean all = WeightedMean(loads, -1);
  combined.weight_kg = all.value;
  if (loads.size() < 2) return combined;
  int highest = static_cast<int>(std::max_element(loads.begin(), loads.end(),
                                                  [](const SensorLoad& a, const SensorLoad& b) {
                                                    return a.load_kg < b.load_kg;
                                                  }) - loads.begin());
  Mean others = WeightedMean(loads, highest);
  if (!(others.value > 0)) return combined;
  double excess_kg = loads[highest].load_kg - others.value;
  double noise_kg = std::hypot(loads[highest].standard_error_kg, others.standard_error);
  if (excess_kg > FLAT_MIN_EXCESS * others.value && excess_kg > FLAT_MIN_SIGMAS * noise_kg) {
    combined.weight_kg = others.value;
    combined.condition_percent = 100.0 * excess_kg / others.value;
    combined.flat_sensor = highest;
  }
  return combined;
}

VehicleGrouping GroupAxles(const std::vector<double>& spacing_m) {
  VehicleGrouping grouping;
  // Bogies: runs of axles closer than the cut.
  std::vector<int> bogie_axles{1};
  std::vector<double> bogie_gap_m;  // gap after bogie b
  for (double spacing : spacing_m) {
    if (spacing > BOGIE_CUT_M) {
      bogie_gap_m.push_back(spacing);
      bogie_axles.push_back(1);
    } else {
      ++bogie_axles.back();
    }
  }
  size_t bogies = bogie_axles.size();
  auto valid_bogie = [&](size_t b) { return bogie_axles[b] == 2 || bogie_axles[b] == 3; };

  // Fewest vehicles that break the rules, walking bogies in order: a vehicle
  // is two bogies of 2-3 axles with room between them, anything else costs 1.
  constexpr int INF = std::numeric_limits<int>::max() / 2;
  std::vector<int> cost(bogies + 1, INF), take(bogies + 1, 0);
  cost[0] = 0;
  for (size_t i = 0; i < bogies; ++i) {
    if (cost[i] >= INF) continue;
    if (i + 1 < bogies) {
      bool good = valid_bogie(i) && valid_bogie(i + 1) && bogie_gap_m[i] >= MIN_VEHICLE_BOGIE_GAP_M;
      int c = cost[i] + (good ? 0 : 1);
      if (c < cost[i + 2]) cost[i + 2] = c, take[i + 2] = 2;
    }
    int c = cost[i] + 1;
    if (c < cost[i + 1]) cost[i + 1] = c, take[i + 1] = 1;
  }
  std::vector<std::pair<int, bool>> vehicles;  // axles, locomotive
  for (size_t i = bogies; i > 0; i -= take[i]) {
    if (take[i] == 2)
      vehicles.push_back({bogie_axles[i - 2] + bogie_axles[i - 1], bogie_axles[i - 2] == 3 && bogie_axles[i - 1] == 3});
    else
      vehicles.push_back({bogie_axles[i - 1], false});
  }
  std::reverse(vehicles.begin(), vehicles.end());
  for (const auto& [axles, loco] : vehicles) {
    grouping.axle_counts.push_back(axles);
    grouping.locomotive.push_back(loco);
  }
  grouping.consistent = cost[bogies] == 0;
  return grouping;
}

}  // namespace tarvik
