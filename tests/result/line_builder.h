// Builds LineResult records in memory, shaped like the calculation library's,
// for the merge tests. The pool owns every record it builds; tests may bend a
// record afterwards (null pointers, short vectors) since the pool keeps its
// own references to free them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "calc/tarvik.h"

namespace result_test {

struct WheelSpec {
  int32_t weight = 0;
  float condition = 0;
  std::vector<int32_t> strength;
  std::vector<int32_t> ids;
};

struct AxleSpec {
  double speed = 0;
  std::vector<WheelSpec> wheels{WheelSpec{}, WheelSpec{}};
};

struct CarriageSpec {
  int32_t full_weight = 0;
  bool loco = false;
  std::string type;
  std::vector<AxleSpec> axles;
};

struct LineSpec {
  uint16_t line = 0;
  int32_t total_weight = 0;
  std::vector<CarriageSpec> carriages;
};

// A line of `carriageCount` carriages with `axlesPerCarriage` axles each,
// every value derived from `base` so that lines differ predictably.
LineSpec UniformLine(uint16_t line, int32_t base, size_t carriageCount, size_t axlesPerCarriage);

class LinePool {
 public:
  LinePool();
  ~LinePool();
  LinePool(const LinePool&) = delete;
  LinePool& operator=(const LinePool&) = delete;

  // A record with correct set to 1.
  LineResult* Add(const LineSpec& spec);
  // A record with correct 0 and every other byte garbage: its pointers lead
  // to unmapped memory, so any read of them crashes the test.
  LineResult* AddGarbage();

 private:
  std::vector<std::unique_ptr<LineResult>> results_;
  std::vector<std::unique_ptr<LineCarriage>> carriages_;
  std::vector<std::unique_ptr<LineAxis>> axles_;
  std::vector<std::unique_ptr<LineWheel>> wheels_;
  std::vector<std::unique_ptr<unsigned char[]>> garbage_;
  void* unmapped_ = nullptr;  // a reserved page with no access
};

}  // namespace result_test
