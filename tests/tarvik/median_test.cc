// The median by digits must pick the very value a comparison selection
// picks: the noise figures and the fits' outlier limits rest on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tarvik/tarvik_core.h"

namespace {

double Sorted(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

TEST(Median, PicksTheMiddleOfLargeSetsOfAnySign) {
  std::mt19937 random(7);
  std::normal_distribution<double> normal(0, 1);
  for (size_t n : {1023, 1024, 1025, 20000}) {
    std::vector<double> mixed, ties, narrow;
    for (size_t i = 0; i < n; ++i) {
      mixed.push_back(i % 97 == 0 ? -1e300 : normal(random) * (i % 3 ? 1 : 1e-200));
      ties.push_back(std::round(normal(random)) * 0.5);
      narrow.push_back(1000 + 1e-13 * static_cast<double>(random() % 5));  // the last bits differ
    }
    for (const std::vector<double>* values : {&mixed, &ties, &narrow})
      EXPECT_EQ(tarvik::Median(*values), Sorted(*values)) << n;
  }
  std::vector<double> with_nan(2000, 1.0);
  with_nan[5] = tarvik::NaN;
  EXPECT_EQ(tarvik::Median(with_nan), 1.0);  // falls back to comparing
  EXPECT_TRUE(std::isnan(tarvik::Median({})));
}

}  // namespace
