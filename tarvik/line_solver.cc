// One measuring line: its two rails paired into axles, the axles grouped
// into vehicles.
#include <algorithm>
#include <cmath>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr double MPS_TO_KMH = 3.6;
// Wheels of the two rails belong to one axle when they pass the line within
// this distance of each other; axles of one bogie are a metre apart or more.
constexpr double AXLE_PAIRING_TOLERANCE_M = 0.45;

// Distance between two wheels of one rail, taken when the later one passes
// the reference position.
double Spacing(const RailSolution& rail, size_t first, size_t second) {
  double t = rail.passage_time_s[second];
  return std::fabs(rail.motions[first].PositionAt(t) - rail.motions[second].PositionAt(t));
}

}  // namespace

double ReferencePosition(const DeviceInput& odd, const DeviceInput& even) {
  // Speeds and passage times are taken with the wheel over the line's
  // centre: the middle of the stretch that the line's sensors cover.
  double low = INFINITY, high = -INFINITY;
  for (const DeviceInput* device : {&odd, &even})
    for (size_t k = 0; k < device->position_m.size() && k < MAX_SENSORS_PER_DEVICE; ++k)
      if (std::isfinite(device->position_m[k]))
        low = std::min(low, device->position_m[k]), high = std::max(high, device->position_m[k]);
  return low <= high ? 0.5 * (low + high) : 0.0;
}

void JoinRails(LineSolution* solution) {
  LineSolution& line = *solution;
  for (const RailSolution& rail : line.rails) line.notes.insert(line.notes.end(), rail.notes.begin(), rail.notes.end());
  for (const RailSolution& rail : line.rails)
    if (!rail.problem.empty()) {
      line.problem = rail.problem;
      return;
    }

  // The devices' clocks start at their own first records, so they differ by
  // a sample or so, or by more when one device started late; the median gap
  // between same-numbered wheels takes that out before pairing when both
  // rails saw the same count. The tolerance check below still has to pass.
  const RailSolution& a = line.rails[0];
  const RailSolution& b = line.rails[1];
  size_t na = a.passage_time_s.size(), nb = b.passage_time_s.size();
  if (na == nb) {
    std::vector<double> gaps;
    for (size_t i = 0; i < na; ++i) gaps.push_back(b.passage_time_s[i] - a.passage_time_s[i]);
    line.even_clock_offset_s = Median(std::move(gaps));
  }
  std::vector<std::pair<size_t, size_t>> pairs;
  for (size_t i = 0, j = 0; i < na && j < nb;) {
    double gap_s = b.passage_time_s[j] - line.even_clock_offset_s - a.passage_time_s[i];
    double tolerance_s = AXLE_PAIRING_TOLERANCE_M / std::max(0.5 * (a.speed_mps[i] + b.speed_mps[j]), 0.1);
    if (std::fabs(gap_s) <= tolerance_s) pairs.push_back({i++, j++});
    else if (gap_s < 0) ++j;
    else ++i;
  }
  if (pairs.empty() || (pairs.size() != na && pairs.size() != nb)) {
    line.problem = Format("wheels of the two rails do not pair into axles (%zu odd, %zu even, %zu paired)", na, nb,
                          pairs.size());
    return;
  }

  std::vector<AxleSolution> axles;
  std::vector<double> spacing_m;
  for (size_t p = 0; p < pairs.size(); ++p) {
    AxleSolution axle;
    axle.wheel[0] = pairs[p].first;
    axle.wheel[1] = pairs[p].second;
    axle.speed_kmh = 0.5 * (a.speed_mps[axle.wheel[0]] + b.speed_mps[axle.wheel[1]]) * MPS_TO_KMH;
    axle.passage_time_s = a.passage_time_s[axle.wheel[0]];
    axles.push_back(axle);
    if (p > 0)
      spacing_m.push_back(0.5 * (Spacing(a, pairs[p - 1].first, pairs[p].first) +
                                 Spacing(b, pairs[p - 1].second, pairs[p].second)));
  }
  VehicleGrouping grouping = GroupAxles(spacing_m);
  if (!grouping.consistent) line.notes.push_back("axle spacings do not make vehicles of two bogies of 2 or 3 axles");
  size_t next = 0;
  for (size_t v = 0; v < grouping.axle_counts.size(); ++v) {
    VehicleSolution vehicle;
    vehicle.locomotive = grouping.locomotive[v];
    double offset = 0;
    for (int k = 0; k < grouping.axle_counts[v] && next < axles.size(); ++k, ++next) {
      if (k > 0) offset += spacing_m[next - 1];
      axles[next].offset_m = offset;
      vehicle.axles.push_back(axles[next]);
    }
    line.vehicles.push_back(std::move(vehicle));
  }
  line.correct = true;
  if (pairs.size() != na || pairs.size() != nb)
    line.notes.push_back(Format("%zu wheels without a partner on the other rail left out", na + nb - 2 * pairs.size()));
}

}  // namespace tarvik
