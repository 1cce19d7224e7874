#include "tests/result/line_builder.h"

#include <cstring>

namespace result_test {

LineResult* LinePool::Add(uint16_t line, int32_t base, const std::vector<size_t>& axleCounts) {
  results_.push_back(std::make_unique<LineResult>(LineResult{line, true, base * 100, {}}));
  for (size_t c = 0; c < axleCounts.size(); ++c) {
    carriages_.push_back(std::make_unique<LineCarriage>());
    LineCarriage& carriage = *carriages_.back();
    carriage.full_weight = base * 10 + static_cast<int32_t>(c);
    for (size_t a = 0; a < axleCounts[c]; ++a) {
      axles_.push_back(std::make_unique<LineAxis>());
      axles_.back()->speed = base + a / 4.0;
      for (int32_t w = 0; w < 2; ++w) {
        int32_t tag = static_cast<int32_t>(line * 1000 + c * 100 + a * 10) + w;
        wheels_.push_back(std::make_unique<LineWheel>(LineWheel{{tag}, {tag + 1}, base + w, 1.0f}));
        axles_.back()->wheels.push_back(wheels_.back().get());
      }
      carriage.axis.push_back(axles_.back().get());
    }
    results_.back()->carriages.push_back(&carriage);
  }
  return results_.back().get();
}

LineResult* LinePool::AddGarbage() {
  // Raw storage, never constructed or destroyed as a LineResult. Its
  // carriages "vector" spans 8 pointers at a non-canonical address, so any
  // read of them faults.
  garbage_.push_back(std::make_unique<unsigned char[]>(sizeof(LineResult)));
  unsigned char* bytes = garbage_.back().get();
  std::memset(bytes, 0xA5, sizeof(LineResult));
  bytes[offsetof(LineResult, correct)] = 0;
  uintptr_t end = 0xA5A5A5A5A5A5A5A5u + 8 * sizeof(LineCarriage*);
  std::memcpy(bytes + offsetof(LineResult, carriages) + sizeof(void*), &end, sizeof(end));
  return reinterpret_cast<LineResult*>(bytes);
}

}  // namespace result_test
