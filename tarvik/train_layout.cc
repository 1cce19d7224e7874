// From axle spacings to vehicles.
#include <algorithm>
#include <cmath>
#include <limits>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

// Spacing limits of the train layout: within a bogie at most 2.8 m, between
// bogies of one vehicle at least 4 m, between vehicles at least 3.2 m. The
// cuts sit between the limits so that measurement error cannot cross them.
constexpr double BOGIE_CUT_M = 3.0;
constexpr double MIN_VEHICLE_BOGIE_GAP_M = 3.6;

}  // namespace

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
