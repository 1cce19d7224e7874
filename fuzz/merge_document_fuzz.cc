// Line results of any shape a library might return: the merge must never read
// past a record's own carriages, axles or wheels, and the document must stay
// valid JSON whatever the numbers.
#include <fuzzer/FuzzedDataProvider.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "result/result.h"

namespace {

// Every record built for one input, freed with it.
std::vector<std::shared_ptr<void>> arena;

template <typename Record>
Record* Make(FuzzedDataProvider& in) {
  if (in.ConsumeIntegralInRange<int>(0, 31) == 0) return nullptr;  // a null pointer now and then
  auto record = std::make_shared<Record>();
  arena.push_back(record);
  return record.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  FuzzedDataProvider in(data, size);
  std::vector<LineResult*> lines(in.ConsumeIntegralInRange<size_t>(0, 4));
  for (LineResult*& line : lines) {
    if (!(line = Make<LineResult>(in))) continue;
    line->line = static_cast<uint16_t>(&line - lines.data());
    line->correct = in.ConsumeBool();
    line->total_weight = in.ConsumeIntegral<int32_t>();
    line->carriages.resize(in.ConsumeIntegralInRange<size_t>(0, 6));
    for (LineCarriage*& carriage : line->carriages) {
      if (!(carriage = Make<LineCarriage>(in))) continue;
      carriage->full_weight = in.ConsumeIntegral<int32_t>();
      carriage->loco = {in.ConsumeBool(), in.ConsumeRandomLengthString(12)};
      carriage->axis.resize(in.ConsumeIntegralInRange<size_t>(0, 6));
      for (LineAxis*& axle : carriage->axis) {
        if (!(axle = Make<LineAxis>(in))) continue;
        axle->speed = in.ConsumeFloatingPoint<double>();
        axle->wheels.resize(in.ConsumeIntegralInRange<size_t>(0, 3));
        for (LineWheel*& wheel : axle->wheels) {
          if (!(wheel = Make<LineWheel>(in))) continue;
          for (std::vector<int32_t>* list : {&wheel->strength, &wheel->ids}) {
            list->resize(in.ConsumeIntegralInRange<size_t>(0, 4));
            for (int32_t& value : *list) value = in.ConsumeIntegral<int32_t>();
          }
          wheel->weight = in.ConsumeIntegral<int32_t>();
          wheel->condition = in.ConsumeFloatingPoint<float>();
        }
      }
    }
  }
  TrainResult train = MergeLineResults(lines);
  std::string plain = BuildResultDocument(train, false, true), escaped = BuildResultDocument(train, true, true);
  rapidjson::Document parsed;
  if (parsed.Parse(plain.c_str(), plain.size()).HasParseError() || !parsed.IsObject()) __builtin_trap();
  // Escaping adds exactly one backslash per quotation mark.
  if (escaped.size() != plain.size() + static_cast<size_t>(std::count(plain.begin(), plain.end(), '"')))
    __builtin_trap();
  arena.clear();
  return 0;
}
