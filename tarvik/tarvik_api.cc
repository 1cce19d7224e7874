// The reference calculation library's six functions: registration, sample
// intake and per-line computation over tarvik_core.
//
// Shared state and its owner: `registry_mutex` guards the device
// coefficients and the line table. Sample intake does not take it: the
// stores are reached through an array of atomic pointers, written only by
// Tarvik_Init and Tarvik_InitDevice, and each store has a single writer
// (the feeding thread). Tarvik_Compute copies what it needs under the lock,
// then solves without it, so lines compute side by side.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "calc/tarvik.h"
#include "tarvik/tarvik_core.h"

#define TARVIK_EXPORT __attribute__((visibility("default")))

namespace {

using tarvik::MAX_DEVICE_ID;
using tarvik::SampleStore;

struct DeviceEntry {
  std::vector<double> coeff;
  std::vector<double> positions;
  std::unique_ptr<SampleStore> store;
};

struct LineEntry {
  int32_t odd = -1;
  int32_t even = -1;
};

std::atomic<TarvikLogCallback> log_callback{nullptr};
std::mutex registry_mutex;
std::map<int32_t, DeviceEntry> devices;   // guarded by registry_mutex
std::map<int32_t, LineEntry> lines;       // guarded by registry_mutex
std::array<std::atomic<SampleStore*>, MAX_DEVICE_ID + 1> stores{};  // intake's view of devices
std::atomic<uint64_t> unknown_device_samples{0};

void LibraryLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LibraryLog(const char* format, ...) {
  TarvikLogCallback callback = log_callback.load();
  if (!callback) return;
  char text[512];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  callback("%s", text);
}

LineResult* NotCorrect(int32_t line_id) {
  LineResult* result = new (std::nothrow) LineResult();
  if (!result) return nullptr;
  result->line = static_cast<uint16_t>(line_id);
  result->correct = false;
  result->total_weight = 0;
  return result;
}

LineResult* BuildResult(int32_t line_id, const tarvik::LineEstimate& estimate) {
  LineResult* result = new LineResult();
  result->line = static_cast<uint16_t>(line_id);
  result->correct = estimate.correct;
  int64_t total = 0;
  for (const tarvik::VehicleEstimate& vehicle : estimate.vehicles) {
    LineCarriage* carriage = new LineCarriage();
    int64_t full = 0;
    for (const tarvik::AxleEstimate& axle : vehicle.axles) {
      LineAxis* axis = new LineAxis();
      axis->speed = axle.speed_kmh;
      for (const tarvik::WheelEstimate& estimate_wheel : axle.wheels) {
        LineWheel* wheel = new LineWheel();
        double weight = std::clamp(estimate_wheel.weight_kg, -1e9, 1e9);
        wheel->weight = static_cast<int32_t>(std::lround(weight));
        wheel->condition = static_cast<float>(estimate_wheel.condition_percent);
        wheel->strength = estimate_wheel.strength_counts;
        wheel->ids = estimate_wheel.sensor_ids;
        full += wheel->weight;
        axis->wheels.push_back(wheel);
      }
      carriage->axis.push_back(axis);
    }
    carriage->full_weight = static_cast<int32_t>(std::clamp<int64_t>(full, INT32_MIN, INT32_MAX));
    carriage->loco.flag = vehicle.locomotive;
    if (vehicle.locomotive) carriage->loco.type = "Co-Co";
    total += carriage->full_weight;
    result->carriages.push_back(carriage);
  }
  result->total_weight = static_cast<int32_t>(std::clamp<int64_t>(total, INT32_MIN, INT32_MAX));
  return result;
}

void LogFindings(int32_t line_id, const tarvik::LineEstimate& estimate) {
  for (const std::string& note : estimate.notes) LibraryLog("tarvik: line %d: %s\n", line_id, note.c_str());
  if (!estimate.correct) {
    LibraryLog("tarvik: line %d not weighed: %s\n", line_id, estimate.problem.c_str());
    return;
  }
  size_t axles = 0;
  double slowest = INFINITY, fastest = 0;
  for (const auto& vehicle : estimate.vehicles)
    for (const auto& axle : vehicle.axles) {
      ++axles;
      slowest = std::min(slowest, axle.speed_kmh);
      fastest = std::max(fastest, axle.speed_kmh);
    }
  LibraryLog("tarvik: line %d: %zu axles, %zu vehicles, speed %.1f-%.1f km/h\n", line_id, axles,
             estimate.vehicles.size(), slowest, fastest);
}

}  // namespace

extern "C" {

TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback callback) { log_callback.store(callback); }

// Starts over with no devices and no lines. REQUIRES: no other call of the
// library in progress (stores of earlier devices are released here).
TARVIK_EXPORT void Tarvik_Init() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (auto& slot : stores) slot.store(nullptr);
  devices.clear();
  lines.clear();
  unknown_device_samples.store(0);
}

TARVIK_EXPORT void Tarvik_InitDevice(int32_t deviceId, std::vector<double> coeff, std::vector<double> velCoeff) {
  if (deviceId < 0 || deviceId > MAX_DEVICE_ID) {
    LibraryLog("tarvik: device id %d out of range 0..%d, ignored\n", deviceId, MAX_DEVICE_ID);
    return;
  }
  try {
    std::lock_guard<std::mutex> lock(registry_mutex);
    DeviceEntry& entry = devices[deviceId];
    // A device registered again (shared by two lines) keeps its samples.
    entry.coeff = std::move(coeff);
    entry.positions = std::move(velCoeff);
    if (!entry.store) {
      entry.store = std::make_unique<SampleStore>();
      stores[deviceId].store(entry.store.get());
    }
  } catch (const std::exception& e) {
    LibraryLog("tarvik: device %d not registered: %s\n", deviceId, e.what());
  }
}

TARVIK_EXPORT void Tarvik_InitLine(int32_t lineId, int32_t oddDeviceId, int32_t evenDeviceId) {
  try {
    std::lock_guard<std::mutex> lock(registry_mutex);
    lines[lineId] = LineEntry{oddDeviceId, evenDeviceId};
  } catch (const std::exception& e) {
    LibraryLog("tarvik: line %d not registered: %s\n", lineId, e.what());
  }
}

// The hot path: one call per record. No lock, no allocation but a new chunk
// every 128 Ki samples of a device.
TARVIK_EXPORT void Tarvik_PushSideData(SideSample* sample) {
  if (!sample) return;
  SampleStore* store = sample->deviceId <= static_cast<uint32_t>(MAX_DEVICE_ID)
                           ? stores[sample->deviceId].load(std::memory_order_acquire)
                           : nullptr;
  if (store) store->Append(*sample);
  else unknown_device_samples.fetch_add(1, std::memory_order_relaxed);
  std::free(sample);
}

TARVIK_EXPORT LineResult* Tarvik_Compute(int32_t lineId) {
  try {
    tarvik::DeviceInput odd, even;
    uint64_t unknown = unknown_device_samples.load();
    {
      std::lock_guard<std::mutex> lock(registry_mutex);
      auto line = lines.find(lineId);
      if (line == lines.end()) {
        LibraryLog("tarvik: line %d was never registered\n", lineId);
        return NotCorrect(lineId);
      }
      for (auto [input, id] : {std::pair{&odd, line->second.odd}, std::pair{&even, line->second.even}}) {
        input->device_id = id;
        auto device = devices.find(id);
        if (device == devices.end()) continue;
        input->coeff_kg_per_count = device->second.coeff;
        input->position_m = device->second.positions;
        input->samples = device->second.store.get();
      }
    }
    if (unknown) LibraryLog("tarvik: %llu samples of unregistered devices ignored\n", (unsigned long long)unknown);
    for (const tarvik::DeviceInput* input : {&odd, &even})
      if (input->samples && input->samples->dropped())
        LibraryLog("tarvik: device %d: %llu samples with unusable times ignored\n", input->device_id,
                   (unsigned long long)input->samples->dropped());
    tarvik::LineEstimate estimate = tarvik::SolveLine(odd, even);
    LogFindings(lineId, estimate);
    return BuildResult(lineId, estimate);
  } catch (const std::exception& e) {
    LibraryLog("tarvik: line %d not weighed: %s\n", lineId, e.what());
    return NotCorrect(lineId);
  }
}

}  // extern "C"
