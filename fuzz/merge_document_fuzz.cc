// Line results of any shape a library might return: the merge must never read
// past a record's own carriages, axles or wheels, and the document must stay
// valid JSON whatever the numbers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include <rapidjson/document.h>

#include "calc/tarvik.h"
#include "fuzz/fuzz_support.h"
#include "result/result.h"

namespace {

// Owns every record built for one input, so nothing leaks between inputs.
struct Arena {
  std::vector<std::unique_ptr<LineResult>> results;
  std::vector<std::unique_ptr<LineCarriage>> carriages;
  std::vector<std::unique_ptr<LineAxis>> axles;
  std::vector<std::unique_ptr<LineWheel>> wheels;
};

std::vector<int32_t> IntList(FuzzedDataProvider& in) {
  std::vector<int32_t> list(in.ConsumeIntegralInRange<size_t>(0, 4));
  for (int32_t& value : list) value = in.ConsumeIntegral<int32_t>();
  return list;
}

LineWheel* MakeWheel(FuzzedDataProvider& in, Arena& arena) {
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return nullptr;
  auto wheel = std::make_unique<LineWheel>();
  wheel->strength = IntList(in);
  wheel->ids = IntList(in);
  wheel->weight = in.ConsumeIntegral<int32_t>();
  wheel->condition = in.ConsumeFloatingPoint<float>();
  arena.wheels.push_back(std::move(wheel));
  return arena.wheels.back().get();
}

LineAxis* MakeAxle(FuzzedDataProvider& in, Arena& arena) {
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return nullptr;
  auto axle = std::make_unique<LineAxis>();
  axle->speed = in.ConsumeFloatingPoint<double>();
  size_t wheels = in.ConsumeIntegralInRange<size_t>(0, 3);
  for (size_t w = 0; w < wheels; ++w) axle->wheels.push_back(MakeWheel(in, arena));
  arena.axles.push_back(std::move(axle));
  return arena.axles.back().get();
}

LineCarriage* MakeCarriage(FuzzedDataProvider& in, Arena& arena) {
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return nullptr;
  auto carriage = std::make_unique<LineCarriage>();
  carriage->full_weight = in.ConsumeIntegral<int32_t>();
  carriage->loco.flag = in.ConsumeBool();
  carriage->loco.type = in.ConsumeRandomLengthString(12);
  size_t axles = in.ConsumeIntegralInRange<size_t>(0, 6);
  for (size_t a = 0; a < axles; ++a) carriage->axis.push_back(MakeAxle(in, arena));
  arena.carriages.push_back(std::move(carriage));
  return arena.carriages.back().get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  FuzzedDataProvider in(data, size);
  Arena arena;
  std::vector<LineResult*> lines;
  size_t lineCount = in.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t l = 0; l < lineCount; ++l) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
      lines.push_back(nullptr);
      continue;
    }
    auto result = std::make_unique<LineResult>();
    result->line = static_cast<uint16_t>(l);
    result->correct = in.ConsumeBool();
    result->total_weight = in.ConsumeIntegral<int32_t>();
    size_t carriages = in.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t c = 0; c < carriages; ++c) result->carriages.push_back(MakeCarriage(in, arena));
    arena.results.push_back(std::move(result));
    lines.push_back(arena.results.back().get());
  }

  TrainResult train = MergeLineResults(lines);
  std::string plain = BuildResultDocument(train, false, true);
  std::string escaped = BuildResultDocument(train, true, true);
  rapidjson::Document parsed;
  parsed.Parse(plain.c_str(), plain.size());
  if (parsed.HasParseError() || !parsed.IsObject()) __builtin_trap();
  // Escaping adds exactly one backslash per quotation mark.
  size_t quotes = 0;
  for (char c : plain) quotes += c == '"';
  if (escaped.size() != plain.size() + quotes) __builtin_trap();
  return 0;
}
