// Results: the merge of every line's LineResult into one train result, and
// the compact JSON result document written from it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "calc/tarvik.h"

struct WheelResult {
  std::vector<int32_t> strength;  // the lines' lists joined, in merge order
  std::vector<int32_t> ids;
  uint32_t weight = 0;
  uint32_t condition = 0;
};

struct AxisResult {
  std::vector<WheelResult> wheels;  // exactly two: odd rail, even rail
  float speed = 0;
};

struct CarriageResult {
  std::vector<AxisResult> axis;
  uint32_t full_weight = 0;
  LocoInfo loco{false, {}};
};

struct TrainResult {
  std::vector<CarriageResult> carriages;
  bool correct = false;
  uint32_t total_weight = 0;
};

// Merges the line results (in the order the lines finished). Never fails:
// disagreements are logged and settled by fixed rules. Reads only records
// whose compute call has returned; never reads past a record's own
// carriages, axles or wheels. A null record is skipped; a record short of a
// carriage, an axle or a wheel is left out of what it lacks, and each mean
// divides by the records that contributed to it (each case logged).
TrainResult MergeLineResults(std::vector<LineResult*> results);

// The result document. With escape_quotes every '"' becomes '\"' so the text
// can stand inside a JSON string; with wide_info every wheel also carries its
// "strength" and "ids" arrays.
std::string BuildResultDocument(TrainResult result, bool escape_quotes, bool wide_info);

// Replaces every occurrence of `from` in `text`; replaced text is not searched again.
void ReplaceAll(std::string& text, const std::string& from, const std::string& to);
