// The cross-line merge: every line's LineResult, in the order the lines
// finished, becomes one TrainResult.
//
// All integer sums are unsigned 32-bit and wrap around; every mean of
// integers is the integer quotient.
//
// Records the library got wrong in shape are merged as far as they go and
// never read beyond what they hold. The rules, each announced by one log line:
// - a null LineResult pointer is skipped: the library broke its contract for
//   that line, but the other lines still weigh the train;
// - a merged record with fewer carriages than the result, or a null carriage
//   pointer, is left out of the carriages it lacks;
// - a record with fewer axles than the carriage's axle count is left out of
//   the axles it lacks; a null axle pointer, or an axle with fewer than two
//   wheels or a null wheel pointer, leaves the record out of that axle;
// - a speed that is not a finite number, or one that would make the
//   single-precision sum infinite, is left out of that axle's speed mean (the
//   record's wheels still count); with no usable speed the axle gets 0, the
//   document's "no speed measured".
// Every mean divides by the records that contributed to it, so the lines that
// did deliver keep their true mean. A carriage or axle nobody contributed to
// stays in the result with zero values, so the carriage and axle counts still
// follow the rules for disagreeing lines.
#include "result/result.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "log/log.h"

namespace {

// The library's booleans are read as bytes, never as C++ bool: a record may
// carry other values there, and only 1 means the line delivered.
bool IsCorrect(const LineResult& record) {
  uint8_t byte;
  std::memcpy(&byte, &record.correct, 1);
  return byte == 1;
}

bool IsLoco(const LocoInfo& loco) {
  uint8_t byte;
  std::memcpy(&byte, &loco.flag, 1);
  return byte != 0;
}

unsigned LineNumber(const LineResult& record) { return record.line; }

// The condition sum is truncated toward zero after every addition, so each
// line's fraction is lost (0.6 + 0.6 gives 0). A negative sum wraps like the
// integer sums; a sum that is not a number or beyond 64 bits counts as 0.
uint32_t TruncateConditionSum(float sum) {
  if (!(std::fabs(sum) < 9.0e18f)) return 0;
  return static_cast<uint32_t>(static_cast<int64_t>(sum));
}

// One merged record's share of a carriage.
struct CarriagePart {
  const LineResult* record;
  const LineCarriage* carriage;
};

// One merged record's share of an axle.
struct AxlePart {
  const LineResult* record;
  const LineAxis* axle;
};

WheelResult MergeWheel(const std::vector<AxlePart>& parts, size_t wheelIndex) {
  WheelResult wheel;
  uint32_t conditionSum = 0;
  uint32_t weightSum = 0;
  for (const AxlePart& part : parts) {
    const LineWheel& source = *part.axle->wheels[wheelIndex];
    conditionSum = TruncateConditionSum(static_cast<float>(conditionSum) + source.condition);
    weightSum += static_cast<uint32_t>(source.weight);
    wheel.strength.insert(wheel.strength.end(), source.strength.begin(), source.strength.end());
    wheel.ids.insert(wheel.ids.end(), source.ids.begin(), source.ids.end());
  }
  uint32_t k = static_cast<uint32_t>(parts.size());
  if (k > 0) {
    wheel.condition = conditionSum / k;
    wheel.weight = weightSum / k;
  }
  return wheel;
}

AxisResult MergeAxle(const std::vector<CarriagePart>& carriageParts, size_t carriageIndex, size_t axleIndex) {
  std::vector<AxlePart> parts;
  parts.reserve(carriageParts.size());
  for (const CarriagePart& part : carriageParts) {
    const std::vector<LineAxis*>& axles = part.carriage->axis;
    if (axleIndex >= axles.size()) continue;  // announced with the axle counts
    const LineAxis* axle = axles[axleIndex];
    if (axle == nullptr || axle->wheels.size() < 2 || axle->wheels[0] == nullptr || axle->wheels[1] == nullptr) {
      Log("Line %u has an incomplete axle %zu at carriage %zu, left out of it\n", LineNumber(*part.record), axleIndex,
          carriageIndex);
      continue;
    }
    parts.push_back({part.record, axle});
  }

  AxisResult result;
  // The sum is kept in single precision and widened for every addition.
  float speedSum = 0;
  uint32_t speedCount = 0;
  for (const AxlePart& part : parts) {
    float next = static_cast<float>(static_cast<double>(speedSum) + part.axle->speed);
    if (!std::isfinite(next)) {
      Log("Line %u has no usable speed at axle %zu of carriage %zu, left out of its mean\n", LineNumber(*part.record),
          axleIndex, carriageIndex);
      continue;
    }
    speedSum = next;
    ++speedCount;
  }
  if (speedCount > 0) result.speed = speedSum / static_cast<float>(speedCount);
  result.wheels.push_back(MergeWheel(parts, 0));
  result.wheels.push_back(MergeWheel(parts, 1));
  return result;
}

CarriageResult MergeCarriage(const std::vector<const LineResult*>& merged, size_t carriageIndex) {
  std::vector<CarriagePart> parts;
  parts.reserve(merged.size());
  for (const LineResult* record : merged) {
    if (carriageIndex >= record->carriages.size()) continue;  // announced before the carriages
    const LineCarriage* carriage = record->carriages[carriageIndex];
    if (carriage == nullptr) {
      Log("Line %u has no record for carriage %zu, left out of it\n", LineNumber(*record), carriageIndex);
      continue;
    }
    parts.push_back({record, carriage});
  }

  CarriageResult result;
  if (parts.empty()) return result;
  uint32_t weightSum = 0;
  bool loco = false;
  for (const CarriagePart& part : parts) {
    loco = loco || IsLoco(part.carriage->loco);
    weightSum += static_cast<uint32_t>(part.carriage->full_weight);
  }
  result.loco.flag = loco;
  // The last merged record's text wins, even when it is empty.
  result.loco.type = parts.back().carriage->loco.type;
  result.full_weight = weightSum / static_cast<uint32_t>(parts.size());

  // 0 counts as not yet set: a record without axles lets a later one decide.
  size_t axleCount = 0;
  for (const CarriagePart& part : parts) {
    size_t count = part.carriage->axis.size();
    if (axleCount == 0) {
      axleCount = count;
    } else if (count != axleCount) {
      Log("Not equal axis count at %i carriage in different lines\n", static_cast<int>(carriageIndex));
      axleCount = count < axleCount ? count : axleCount;
    }
  }
  for (const CarriagePart& part : parts) {
    size_t count = part.carriage->axis.size();
    if (count < axleCount) {
      Log("Line %u has %zu of %zu axles at carriage %zu, left out of the axles it lacks\n", LineNumber(*part.record),
          count, axleCount, carriageIndex);
    }
  }
  result.axis.reserve(axleCount);
  for (size_t a = 0; a < axleCount; ++a) result.axis.push_back(MergeAxle(parts, carriageIndex, a));
  return result;
}

}  // namespace

TrainResult MergeLineResults(std::vector<LineResult*> results) {
  std::vector<const LineResult*> correct;
  uint32_t weightSum = 0;
  const LineResult* reference = nullptr;
  size_t referenceCount = 0;  // R; 0 counts as not yet set
  const LineResult* selected = nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    const LineResult* record = results[i];
    if (record == nullptr) {
      Log("Line result %zu of %zu is missing, line skipped\n", i + 1, results.size());
      continue;
    }
    if (!IsCorrect(*record)) continue;
    correct.push_back(record);
    weightSum += static_cast<uint32_t>(record->total_weight);
    size_t count = record->carriages.size();
    if (referenceCount == 0) {
      reference = record;
      referenceCount = count;
    } else if (count != referenceCount) {
      Log("Not equal carriages count in different lines\n");
      // The last differing record decides: the longer of it and the reference.
      selected = count > referenceCount ? record : reference;
    }
  }

  TrainResult train;
  if (correct.empty()) {
    Log("Result has no correct data in any line\n");
    return train;
  }
  train.correct = true;
  // The mean over all correct lines, also when only one of them is merged.
  train.total_weight = weightSum / static_cast<uint32_t>(correct.size());

  std::vector<const LineResult*> merged;
  if (selected != nullptr) {
    merged.push_back(selected);
  } else {
    merged = correct;
  }
  for (const LineResult* record : merged) {
    size_t count = record->carriages.size();
    if (count < referenceCount) {
      Log("Line %u has %zu of %zu carriages, left out of the carriages it lacks\n", LineNumber(*record), count,
          referenceCount);
    }
  }
  train.carriages.reserve(referenceCount);
  for (size_t c = 0; c < referenceCount; ++c) train.carriages.push_back(MergeCarriage(merged, c));
  return train;
}
