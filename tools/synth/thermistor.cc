// The device's thermistor: an NTC of beta 3950, 10 kOhm at 25 C, read
// through a divider by a 10-bit converter. The reading goes the other way
// from the temperature: a higher reading is a colder device.
#include <cmath>
#include <vector>

#include "tools/synth/synth.h"

namespace synth {
namespace {

constexpr int LOWEST_USABLE_READING = 1;    // 0 and 1023 read as -273.15 C
constexpr int HIGHEST_USABLE_READING = 1022;

// Each step rounded to single precision, as the sample feeding computes it.
float Convert(int reading) {
  float r = static_cast<float>(1023.0 / reading - 1.0);
  float resistance = static_cast<float>(10000.0 / r);
  float x = static_cast<float>(resistance / 10000.0);
  float l = std::log(x);
  float y = static_cast<float>(l / 3950.0);
  y = static_cast<float>(y + 0.0033540164346805303);
  float kelvin = static_cast<float>(1.0 / y);
  return static_cast<float>(kelvin - 273.15);
}

const std::vector<float>& Table() {
  static const std::vector<float> table = [] {
    std::vector<float> t(HIGHEST_USABLE_READING + 1);
    for (int a = 0; a <= HIGHEST_USABLE_READING; ++a) t[static_cast<size_t>(a)] = Convert(a);
    return t;
  }();
  return table;
}

}  // namespace

float ThermistorCelsius(int reading) { return Convert(reading); }

int ThermistorReading(double celsius) {
  const std::vector<float>& t = Table();
  // Temperatures fall as the reading rises: find the first reading at or
  // below celsius, then take the nearer of it and its neighbour.
  int lo = LOWEST_USABLE_READING, hi = HIGHEST_USABLE_READING;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (t[static_cast<size_t>(mid)] > celsius)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo > LOWEST_USABLE_READING &&
      std::fabs(t[static_cast<size_t>(lo - 1)] - celsius) <= std::fabs(t[static_cast<size_t>(lo)] - celsius))
    return lo - 1;
  return lo;
}

}  // namespace synth
