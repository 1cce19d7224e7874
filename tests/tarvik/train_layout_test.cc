// Wheel loads from per-sensor loads, and vehicles from axle spacings.
#include <gtest/gtest.h>

#include "tarvik/tarvik_core.h"

namespace {

using tarvik::CombineSensorLoads;
using tarvik::GroupAxles;
using tarvik::SensorLoad;

struct CombineCase {
  const char* name;
  std::vector<SensorLoad> loads;
  double weight_kg;
  int flat_sensor;
  double condition_percent;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CombineCase& c, std::ostream* os) { *os << c.name; }

class Combine : public testing::TestWithParam<CombineCase> {};

TEST_P(Combine, FlatSensorIsLeftOutAndNamed) {
  const CombineCase& c = GetParam();
  tarvik::CombinedLoad combined = CombineSensorLoads(c.loads);
  EXPECT_NEAR(combined.weight_kg, c.weight_kg, 0.5);
  EXPECT_EQ(combined.flat_sensor, c.flat_sensor);
  EXPECT_NEAR(combined.condition_percent, c.condition_percent, 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Wheels, Combine,
    testing::Values(
        CombineCase{"sound", {{5000, 20}, {5040, 20}, {4960, 20}, {5000, 20}}, 5000, -1, 0},
        // Noise of a few percent on a noisy sensor is no flat.
        CombineCase{"sound_noisy", {{5000, 150}, {5500, 150}, {4900, 150}, {5100, 150}}, 5125, -1, 0},
        CombineCase{"flat_first", {{7500, 20}, {5000, 20}, {5000, 20}, {5000, 20}}, 5000, 0, 50},
        CombineCase{"flat_last_full", {{6000, 20}, {6000, 20}, {6000, 20}, {12000, 20}}, 6000, 3, 100},
        CombineCase{"flat_with_two_sensors", {{4000, 20}, {5000, 20}}, 4000, 1, 25},
        // The precise sensors carry the mean.
        CombineCase{"weighted_by_precision", {{5000, 10}, {5300, 100}, {5000, 10}}, 5001.5, -1, 0},
        CombineCase{"single_sensor", {{4321, 20}}, 4321, -1, 0},
        CombineCase{"none", {}, 0, -1, 0}),
    [](const testing::TestParamInfo<CombineCase>& info) { return std::string(info.param.name); });

struct GroupCase {
  const char* name;
  std::vector<double> spacing_m;
  std::vector<int> axle_counts;
  std::vector<bool> locomotive;
  bool consistent;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }

class Group : public testing::TestWithParam<GroupCase> {};

TEST_P(Group, AxlesMakeVehiclesOfTwoBogies) {
  const GroupCase& c = GetParam();
  tarvik::VehicleGrouping grouping = GroupAxles(c.spacing_m);
  EXPECT_EQ(grouping.axle_counts, c.axle_counts);
  EXPECT_EQ(grouping.locomotive, c.locomotive);
  EXPECT_EQ(grouping.consistent, c.consistent);
}

INSTANTIATE_TEST_SUITE_P(
    Trains, Group,
    testing::Values(
        GroupCase{"one_wagon", {1.85, 6.8, 1.85}, {4}, {false}, true},
        GroupCase{"loco_and_wagon", {2.0, 2.0, 7.0, 2.0, 2.0, 3.4, 1.85, 6.8, 1.85}, {6, 4}, {true, false}, true},
        // A gap between vehicles can be longer than one within: the pairing
        // of bogies in order decides, not the gap's length.
        GroupCase{"long_coupling", {2.8, 4.1, 2.8, 9.0, 1.4, 4.0, 1.4}, {4, 4}, {false, false}, true},
        GroupCase{"mixed_bogies", {1.8, 1.8, 5.0, 1.8, 3.2, 1.8, 5.0, 1.8}, {5, 4}, {false, false}, true},
        // 3.5 m is too short between the bogies of one vehicle, yet one
        // flawed vehicle explains the axles better than two lone bogies;
        // the train is flagged.
        GroupCase{"too_close_for_one_vehicle", {1.8, 3.5, 1.8}, {4}, {false}, false},
        GroupCase{"lone_bogie_between_vehicles", {1.8, 6.0, 1.8, 3.3, 1.8, 3.3, 1.8, 6.0, 1.8}, {4, 2, 4},
                  {false, false, false}, false},
        GroupCase{"odd_bogie_count", {1.8, 6.0, 1.8, 3.3, 1.8}, {4, 2}, {false, false}, false},
        GroupCase{"one_axle", {}, {1}, {false}, false}),
    [](const testing::TestParamInfo<GroupCase>& info) { return std::string(info.param.name); });

}  // namespace
