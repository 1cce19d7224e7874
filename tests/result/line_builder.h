// LineResult records shaped like the calculation library's, for the merge
// tests. Values derive from a line's `base`: total_weight base*100; carriage c
// weighs base*10+c; its axle a has speed base+a/4 and wheels w = 0, 1 weighing
// base+w with condition 1, strength {tag} and ids {tag+1}, where
// tag = line*1000 + c*100 + a*10 + w. Tests change fields afterwards; the pool
// keeps its own references, so even bent records are freed.
#pragma once

#include <memory>
#include <vector>

#include "calc/tarvik.h"

namespace result_test {

class LinePool {
 public:
  // A correct record with one carriage per entry of `axleCounts`.
  LineResult* Add(uint16_t line, int32_t base, const std::vector<size_t>& axleCounts);
  // A record with correct 0 and garbage everywhere else, its carriage
  // pointers included: any read beyond its `correct` byte crashes the test.
  LineResult* AddGarbage();

 private:
  std::vector<std::unique_ptr<LineResult>> results_;
  std::vector<std::unique_ptr<LineCarriage>> carriages_;
  std::vector<std::unique_ptr<LineAxis>> axles_;
  std::vector<std::unique_ptr<LineWheel>> wheels_;
  std::vector<std::unique_ptr<unsigned char[]>> garbage_;
};

}  // namespace result_test
