// The computation of one passage: library set-up, loading, and one detached
// thread per line under the time limit.
#include "calc/computation.h"

#include <chrono>
#include <exception>
#include <thread>

#include "config/config.h"
#include "config/settings.h"
#include "log/clock.h"
#include "log/log.h"
#include "osc/osc.h"

std::vector<LineResult*>& LineResults() {
  static auto* results = new std::vector<LineResult*>();
  return *results;
}

std::mutex& LineResultsMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

std::condition_variable& LineResultsArrived() {
  static auto* arrived = new std::condition_variable();
  return *arrived;
}

std::vector<LineResult*> CopyLineResults() {
  std::lock_guard<std::mutex> guard(LineResultsMutex());
  return LineResults();
}

namespace {

// Hands one device and the coefficients of all its sensors, in configuration
// order, to the library. Every sensor is passed, enabled or not, so the lists
// mirror the configured sensors position for position; what a disabled
// sensor means is the library's decision.
void RegisterDevice(const DeviceConfig& device) {
  std::vector<double> coeff;
  std::vector<double> velCoeff;
  coeff.reserve(device.sensors.size());
  velCoeff.reserve(device.sensors.size());
  for (const SensorConfig& sensor : device.sensors) {
    coeff.push_back(static_cast<double>(sensor.coeff));
    velCoeff.push_back(static_cast<double>(sensor.vel_coeff));
  }
  Tarvik_InitDevice(device.id, std::move(coeff), std::move(velCoeff));
}

void RegisterLines() {
  for (const LineConfig& line : conf->deviceConfigList) {
    RegisterDevice(line.devconf.first);
    RegisterDevice(line.devconf.second);
    Tarvik_InitLine(line.id, line.devconf.first.id, line.devconf.second.id);
  }
}

// Starts a detached thread per active line. Returns how many started: only
// those will deliver, so only those are waited for.
size_t StartLineThreads() {
  size_t started = 0;
  for (const LineConfig& line : conf->deviceConfigList) {
    if (!line.active) continue;
    try {
      std::thread(ComputeLine, line.id).detach();
    } catch (const std::exception& error) {  // std::system_error when no thread can be had
      Log("Cannot start line %i compute thread: %s; the line is left out\n", line.id, error.what());
      continue;
    }
    ++started;
    Log("Start line %i compute thread\n", line.id);
  }
  return started;
}

}  // namespace

void ComputeLine(int32_t lineId) {
  // A detached thread's body: nothing may escape it, or the process ends. A
  // line that fails here delivers nothing, and the wait ends at the limit.
  try {
    LineResult* result = Tarvik_Compute(lineId);
    {
      std::lock_guard<std::mutex> guard(LineResultsMutex());
      LineResults().push_back(result);
    }
    LineResultsArrived().notify_all();
  } catch (const std::exception& error) {
    Log("Line %i compute thread failed: %s\n", lineId, error.what());
  } catch (...) {
    Log("Line %i compute thread failed\n", lineId);
  }
}

LineWaitOutcome WaitForLineResults(const std::vector<LineResult*>& results, std::mutex& mutex,
                                   std::condition_variable& arrived, size_t expectedCount,
                                   int64_t startMicros, int32_t limitMs, int64_t (*clockMicros)()) {
  auto allIn = [&] { return results.size() >= expectedCount; };
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (allIn()) return {};
  }
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      arrived.wait_for(lock, std::chrono::milliseconds(LINE_POLL_INTERVAL_MS), allIn);
    }
    int32_t elapsedMs = ElapsedMs(startMicros, clockMicros());
    if (elapsedMs > limitMs) return {true, elapsedMs};
    std::lock_guard<std::mutex> guard(mutex);
    if (allIn()) return {};
  }
}

int RunComputation() {
  Tarvik_SetOnLog(Log);
  Tarvik_Init();
  RegisterLines();

  int64_t loadStartMicros = SystemClockMicros();
  LoadOscillogram(oscFilePath);
  if (debugMode && WriteRawDump() != COMPUTATION_OK) return COMPUTATION_DUMP_FAILED;
  Log("LoadFile complete, it takes %i ms\n", ElapsedMs(loadStartMicros, SystemClockMicros()));

  int64_t computeStartMicros = SystemClockMicros();
  size_t started = StartLineThreads();
  LineWaitOutcome wait = WaitForLineResults(LineResults(), LineResultsMutex(), LineResultsArrived(), started,
                                            computeStartMicros, COMPUTE_TIME_LIMIT_MS, SystemClockMicros);
  if (wait.limitPassed) Log("Calc break after %i ms\n", wait.elapsedMs);
  Log("Calc complete, it takes %i ms\n", ElapsedMs(computeStartMicros, SystemClockMicros()));
  return COMPUTATION_OK;
}
