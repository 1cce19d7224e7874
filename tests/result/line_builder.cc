#include "tests/result/line_builder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace result_test {

LineSpec UniformLine(uint16_t line, int32_t base, size_t carriageCount, size_t axlesPerCarriage) {
  LineSpec spec;
  spec.line = line;
  spec.total_weight = base * 100;
  for (size_t c = 0; c < carriageCount; ++c) {
    CarriageSpec carriage;
    carriage.full_weight = base * 10 + static_cast<int32_t>(c);
    carriage.type = "T" + std::to_string(line);
    for (size_t a = 0; a < axlesPerCarriage; ++a) {
      AxleSpec axle;
      axle.speed = base + static_cast<double>(a) / 4;
      for (size_t w = 0; w < 2; ++w) {
        int32_t tag = static_cast<int32_t>(line * 1000 + c * 100 + a * 10 + w);
        axle.wheels[w] = WheelSpec{base + static_cast<int32_t>(w), 1.0f, {tag}, {tag + 1}};
      }
      carriage.axles.push_back(axle);
    }
    spec.carriages.push_back(carriage);
  }
  return spec;
}

LinePool::LinePool() {
  long page = ::sysconf(_SC_PAGESIZE);
  void* mapped = ::mmap(nullptr, static_cast<size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped != MAP_FAILED) unmapped_ = mapped;
}

LinePool::~LinePool() {
  if (unmapped_ != nullptr) ::munmap(unmapped_, static_cast<size_t>(::sysconf(_SC_PAGESIZE)));
}

LineResult* LinePool::Add(const LineSpec& spec) {
  auto result = std::make_unique<LineResult>();
  result->line = spec.line;
  result->correct = true;
  result->total_weight = spec.total_weight;
  for (const CarriageSpec& carriageSpec : spec.carriages) {
    auto carriage = std::make_unique<LineCarriage>();
    carriage->full_weight = carriageSpec.full_weight;
    carriage->loco.flag = carriageSpec.loco;
    carriage->loco.type = carriageSpec.type;
    for (const AxleSpec& axleSpec : carriageSpec.axles) {
      auto axle = std::make_unique<LineAxis>();
      axle->speed = axleSpec.speed;
      for (const WheelSpec& wheelSpec : axleSpec.wheels) {
        auto wheel = std::make_unique<LineWheel>();
        wheel->strength = wheelSpec.strength;
        wheel->ids = wheelSpec.ids;
        wheel->weight = wheelSpec.weight;
        wheel->condition = wheelSpec.condition;
        axle->wheels.push_back(wheel.get());
        wheels_.push_back(std::move(wheel));
      }
      carriage->axis.push_back(axle.get());
      axles_.push_back(std::move(axle));
    }
    result->carriages.push_back(carriage.get());
    carriages_.push_back(std::move(carriage));
  }
  results_.push_back(std::move(result));
  return results_.back().get();
}

LineResult* LinePool::AddGarbage() {
  // Raw storage, never constructed or destroyed as a LineResult: its
  // "vector" is three pointers into the inaccessible page.
  auto storage = std::make_unique<unsigned char[]>(sizeof(LineResult));
  unsigned char* bytes = storage.get();
  std::memset(bytes, 0xA5, sizeof(LineResult));
  bytes[offsetof(LineResult, correct)] = 0;
  auto* begin = static_cast<unsigned char*>(unmapped_);
  unsigned char* pointers[3] = {begin, begin + 64, begin + 128};
  std::memcpy(bytes + offsetof(LineResult, carriages), pointers, sizeof(pointers));
  garbage_.push_back(std::move(storage));
  return reinterpret_cast<LineResult*>(bytes);
}

}  // namespace result_test
