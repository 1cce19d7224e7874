// The reference calculation library's six functions: registration, sample
// intake and per-line computation over tarvik_core.
//
// Shared state and its owner: `registry_mutex` guards the device and line
// tables and the passage pointer. Sample intake does not take it: the
// stores are reached through an array of atomic pointers, written only by
// Tarvik_Init and Tarvik_InitDevice, and each store has a single writer (the
// feeding thread).
//
// While the samples stream in, the passage's worker thread digests them
// (block means, baselines, pulses) on the core the feeding thread leaves
// free, so that the feeding thread only hands each sample over. The first
// Tarvik_Compute stops the worker; from then on the work of a passage is
// done once, whichever line's Tarvik_Compute comes first to each piece:
// every device finished once, every rail solved once (each thread takes the
// next rail nobody has taken, its own line's first, so that the rails solve
// side by side however unequal they are), and the vehicles weighed once
// over all lines. Where the machine has more cores than the passage has
// lines, helper threads of the library's own take rails and vehicles too:
// a line has two rails to solve side by side.
#include <algorithm>
#include <chrono>
#include <condition_variable>
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
#include <thread>

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
  std::unique_ptr<tarvik::DeviceDigest> digest;  // the worker's until it stops
  std::once_flag analysed;
  tarvik::DeviceSignal signal;
};

struct LineEntry {
  int32_t odd = -1;
  int32_t even = -1;
  std::atomic<bool> rail_taken[2] = {false, false};  // by the computing thread that solves it
  bool rail_solved[2] = {false, false};               // guarded by the passage's rails_mutex
  std::once_flag joined;
  tarvik::LineSolution solution;
};

// One passage: everything registered and found since Tarvik_Init.
struct Passage {
  std::map<int32_t, DeviceEntry> devices;
  std::map<int32_t, LineEntry> lines;
  std::vector<int32_t> line_order;  // registration order
  std::once_flag weighing_prepared, weighing_finished;
  tarvik::LineWeighing weighing;
  std::string trace_path;           // empty: no trace
  std::mutex trace_mutex;
  // Guards the lines' rail_solved; told of every rail solved.
  std::mutex rails_mutex;
  std::condition_variable rail_solved;

  // The worker. `digests` (guarded by digest_mutex) lists what it digests;
  // `worker_mutex` serialises starting and stopping it.
  std::mutex digest_mutex, worker_mutex;
  std::vector<tarvik::DeviceDigest*> digests;
  std::thread worker;
  std::atomic<bool> stop{false};
  std::mutex pause_mutex;           // with `woken`: a stop cuts the worker's pause short
  std::condition_variable woken;
  double worker_cpu_s = 0;          // written by the worker before it ends

  // Helpers in the computation, started by the first Tarvik_Compute.
  std::once_flag helpers_started;
  std::vector<std::thread> helpers;

  ~Passage() {
    StopWorker();
    for (std::thread& helper : helpers) helper.join();
  }
  void StartWorker();
  // Returns once the worker has ended; true the first time.
  bool StopWorker();
};

constexpr auto IDLE_WAIT = std::chrono::microseconds(500);
constexpr auto BUSY_WAIT = std::chrono::microseconds(200);

void Passage::StartWorker() {
  std::lock_guard<std::mutex> lock(worker_mutex);
  if (worker.joinable() || stop) return;
  try {
    worker = std::thread([this] {
      double started = tarvik::ThreadCpuSeconds();
      std::vector<tarvik::DeviceDigest*> list;
      while (!stop.load(std::memory_order_acquire)) {
        {
          std::lock_guard<std::mutex> guard(digest_mutex);
          list = digests;
        }
        bool busy = false;
        // Slice by slice, so that the first Tarvik_Compute need not wait
        // for a backlog the computing threads can share.
        for (tarvik::DeviceDigest* digest : list)
          while (!stop.load(std::memory_order_acquire) && digest->Take()) busy = true;
        // Between rounds a pause: every look at a store's count costs the
        // feeding thread its cache line.
        std::unique_lock<std::mutex> pause(pause_mutex);
        woken.wait_for(pause, busy ? BUSY_WAIT : IDLE_WAIT, [this] { return stop.load(); });
      }
      worker_cpu_s = tarvik::ThreadCpuSeconds() - started;
    });
  } catch (const std::exception&) {
    // Without a worker every device is digested when the lines compute.
  }
}

bool Passage::StopWorker() {
  std::lock_guard<std::mutex> lock(worker_mutex);
  bool first;
  {
    std::lock_guard<std::mutex> pause(pause_mutex);
    first = !stop.exchange(true);
  }
  woken.notify_all();
  if (worker.joinable()) worker.join();
  return first;
}

std::atomic<TarvikLogCallback> log_callback{nullptr};
std::mutex registry_mutex;
std::unique_ptr<Passage> passage = std::make_unique<Passage>();     // guarded by registry_mutex
std::array<std::atomic<SampleStore*>, MAX_DEVICE_ID + 1> stores{};  // intake's view of the devices
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

const tarvik::DeviceSignal* Analysed(Passage& p, int32_t device_id) {
  auto device = p.devices.find(device_id);
  if (device == p.devices.end()) return nullptr;
  DeviceEntry& entry = device->second;
  std::call_once(entry.analysed, [&] {
    try {
      entry.signal = entry.digest ? entry.digest->Finish() : tarvik::AnalyseDevice(*entry.store);
      entry.digest.reset();
    } catch (const std::exception& e) {
      entry.signal = tarvik::DeviceSignal{};
      entry.signal.size = 1;
      entry.signal.problem = e.what();
    }
  });
  return &entry.signal;
}

tarvik::DeviceInput Input(Passage& p, int32_t device_id) {
  tarvik::DeviceInput input;
  input.device_id = device_id;
  auto device = p.devices.find(device_id);
  if (device == p.devices.end()) return input;
  input.coeff_kg_per_count = device->second.coeff;
  input.position_m = device->second.positions;
  return input;
}

void SolveRail(Passage& p, LineEntry& line, int side) {
  tarvik::RailSolution& rail = line.solution.rails[side];
  try {
    tarvik::DeviceInput odd = Input(p, line.odd), even = Input(p, line.even);
    tarvik::DeviceInput& input = side == 0 ? odd : even;
    input.signal = Analysed(p, input.device_id);
    rail = tarvik::SolveRail(input, tarvik::ReferencePosition(odd, even));
  } catch (const std::exception& e) {
    rail = tarvik::RailSolution{};
    rail.device_id = side == 0 ? line.odd : line.even;
    rail.problem = e.what();
  }
}

// The rails of every line are shared out among the computing threads, each
// taking the next rail nobody has taken, its own line's first; the lines
// are joined once all rails are solved.
void SolveLines(Passage& p, const std::vector<std::pair<int32_t, LineEntry*>>& lines) {
  for (const auto& [id, line] : lines)
    for (int side = 0; side < 2; ++side) {
      if (line->rail_taken[side].exchange(true)) continue;
      SolveRail(p, *line, side);
      std::lock_guard<std::mutex> lock(p.rails_mutex);
      line->rail_solved[side] = true;
      p.rail_solved.notify_all();
    }
  {
    std::unique_lock<std::mutex> lock(p.rails_mutex);
    p.rail_solved.wait(lock, [&] {
      return std::all_of(lines.begin(), lines.end(),
                         [](const auto& line) { return line.second->rail_solved[0] && line.second->rail_solved[1]; });
    });
  }
  for (const auto& [id, line] : lines)
    std::call_once(line->joined, [&, id = id, line = line] {
      line->solution.line_id = id;
      try {
        tarvik::JoinRails(&line->solution);
      } catch (const std::exception& e) {
        line->solution.correct = false;
        line->solution.problem = e.what();
      }
    });
}

// Every computing thread weighs a share of the vehicles; the first to come
// prepares the weighing, and the line results wait until all are weighed.
void Weigh(Passage& p) {
  try {
    std::call_once(p.weighing_prepared, [&] {
      std::vector<tarvik::LineSolution*> all;
      for (int32_t id : p.line_order) all.push_back(&p.lines.at(id).solution);
      tarvik::PrepareWeighing(all, &p.weighing);
    });
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lock(p.weighing.mutex);
    p.weighing.failure = e.what();
  }
  tarvik::ShareWeighing(&p.weighing);
  std::call_once(p.weighing_finished, [&] { tarvik::FinishWeighing(&p.weighing); });
}

// Starts as many helpers as there are cores beyond the lines' own threads,
// but no more than there are rails beyond them; each shares the rails and
// the weighing as a line's thread does, and ends with the weighing.
void StartHelpers(Passage& p) {
  size_t lines = p.line_order.size();
  size_t threads = std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), 2 * lines);
  if (threads <= lines) return;
  std::vector<std::pair<int32_t, LineEntry*>> all;
  for (int32_t id : p.line_order) all.push_back({id, &p.lines.at(id)});
  // The last line's rails first: the lines' own threads start on theirs.
  std::reverse(all.begin(), all.end());
  for (size_t k = lines; k < threads; ++k) {
    try {
      p.helpers.emplace_back([&p, all] {
        try {
          SolveLines(p, all);
          Weigh(p);
        } catch (const std::exception& e) {
          LibraryLog("tarvik: a helper thread stopped: %s\n", e.what());
        }
      });
    } catch (const std::exception&) {
      return;  // the lines' own threads do the work alone
    }
  }
}

LineResult* BuildResult(const tarvik::LineSolution& solution) {
  LineResult* result = new LineResult();
  result->line = static_cast<uint16_t>(solution.line_id);
  result->correct = solution.correct;
  int64_t total = 0;
  for (const tarvik::VehicleSolution& vehicle : solution.vehicles) {
    LineCarriage* carriage = new LineCarriage();
    int64_t full = 0;
    for (const tarvik::AxleSolution& axle : vehicle.axles) {
      LineAxis* axis = new LineAxis();
      axis->speed = axle.speed_kmh;
      for (size_t side = 0; side < 2; ++side) {
        LineWheel* wheel = new LineWheel();
        double weight = std::clamp(axle.weight_kg[side], -1e9, 1e9);
        wheel->weight = static_cast<int32_t>(std::lround(std::isfinite(weight) ? weight : 0.0));
        wheel->condition = static_cast<float>(axle.condition_percent[side]);
        for (const tarvik::SensorSolution& sensor : solution.rails[side].sensors) {
          if (!sensor.left_out.empty() || axle.wheel[side] >= sensor.readings.size()) continue;
          const tarvik::WheelReading& reading = sensor.readings[axle.wheel[side]];
          if (!reading.valid) continue;
          wheel->strength.push_back(static_cast<int32_t>(std::lround(std::clamp(reading.amplitude_counts, -1e9, 1e9))));
          wheel->ids.push_back(sensor.id);
        }
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

void LogFindings(const tarvik::LineSolution& line) {
  for (const std::string& note : line.notes) LibraryLog("tarvik: line %d: %s\n", line.line_id, note.c_str());
  if (!line.correct) {
    LibraryLog("tarvik: line %d not weighed: %s\n", line.line_id, line.problem.c_str());
    return;
  }
  size_t axles = 0;
  double slowest = INFINITY, fastest = 0;
  for (const auto& vehicle : line.vehicles)
    for (const auto& axle : vehicle.axles) {
      ++axles;
      slowest = std::min(slowest, axle.speed_kmh);
      fastest = std::max(fastest, axle.speed_kmh);
    }
  LibraryLog("tarvik: line %d: %zu axles, %zu vehicles, speed %.1f-%.1f km/h\n", line.line_id, axles,
             line.vehicles.size(), slowest, fastest);
}

void WriteTrace(Passage& p, const LineEntry& line) {
  if (p.trace_path.empty()) return;
  auto signal = [&](int32_t id) -> const tarvik::DeviceSignal* {
    auto device = p.devices.find(id);
    return device == p.devices.end() ? nullptr : &device->second.signal;
  };
  std::string text = tarvik::TraceJson(line.solution, signal(line.odd), signal(line.even)) + "\n";
  std::lock_guard<std::mutex> lock(p.trace_mutex);
  FILE* file = std::fopen(p.trace_path.c_str(), "a");
  if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size())
    LibraryLog("tarvik: trace file %s could not be written\n", p.trace_path.c_str());
  if (file) std::fclose(file);
}

}  // namespace

extern "C" {

TARVIK_EXPORT void Tarvik_SetOnLog(TarvikLogCallback callback) { log_callback.store(callback); }

// Starts a new passage with no devices and no lines. REQUIRES: no other call
// of the library in progress (the earlier passage is released here).
TARVIK_EXPORT void Tarvik_Init() {
  std::lock_guard<std::mutex> lock(registry_mutex);
  for (auto& slot : stores) slot.store(nullptr);
  passage = std::make_unique<Passage>();
  unknown_device_samples.store(0);
  // The trace is the engineer's view into a passage; it is asked for by the
  // environment so that the library's interface stays the six functions.
  const char* trace = std::getenv("TARVIK_TRACE");
  if (trace && *trace) {
    passage->trace_path = trace;
    FILE* file = std::fopen(trace, "w");
    if (file) std::fclose(file);
    else LibraryLog("tarvik: trace file %s could not be created\n", trace);
  }
}

TARVIK_EXPORT void Tarvik_InitDevice(int32_t deviceId, std::vector<double> coeff, std::vector<double> velCoeff) {
  if (deviceId < 0 || deviceId > MAX_DEVICE_ID) {
    LibraryLog("tarvik: device id %d out of range 0..%d, ignored\n", deviceId, MAX_DEVICE_ID);
    return;
  }
  try {
    std::lock_guard<std::mutex> lock(registry_mutex);
    DeviceEntry& entry = passage->devices[deviceId];
    // A device registered again (shared by two lines) keeps its samples.
    entry.coeff = std::move(coeff);
    entry.positions = std::move(velCoeff);
    if (!entry.store) {
      entry.store = std::make_unique<SampleStore>();
      entry.digest = std::make_unique<tarvik::DeviceDigest>(entry.store.get());
      {
        std::lock_guard<std::mutex> guard(passage->digest_mutex);
        passage->digests.push_back(entry.digest.get());
      }
      stores[deviceId].store(entry.store.get());
      passage->StartWorker();
    }
  } catch (const std::exception& e) {
    LibraryLog("tarvik: device %d not registered: %s\n", deviceId, e.what());
  }
}

TARVIK_EXPORT void Tarvik_InitLine(int32_t lineId, int32_t oddDeviceId, int32_t evenDeviceId) {
  try {
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto [entry, added] = passage->lines.try_emplace(lineId);
    if (added) passage->line_order.push_back(lineId);
    entry->second.odd = oddDeviceId;
    entry->second.even = evenDeviceId;
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
    Passage* p = nullptr;
    LineEntry* own = nullptr;
    std::vector<std::pair<int32_t, LineEntry*>> lines;  // its own first
    {
      std::lock_guard<std::mutex> lock(registry_mutex);
      p = passage.get();
      auto line = p->lines.find(lineId);
      if (line == p->lines.end()) {
        LibraryLog("tarvik: line %d was never registered\n", lineId);
        return NotCorrect(lineId);
      }
      own = &line->second;
      lines.push_back({lineId, own});
      for (int32_t id : p->line_order)
        if (id != lineId) lines.push_back({id, &p->lines.at(id)});
    }
    // The samples are all in: the worker's digests pass to the lines.
    if (p->StopWorker())
      LibraryLog("tarvik: digesting the samples as they came took %.1f ms of CPU beside the feeding\n",
                 1e3 * p->worker_cpu_s);
    uint64_t unknown = unknown_device_samples.load();
    if (unknown) LibraryLog("tarvik: %llu samples of unregistered devices ignored\n", (unsigned long long)unknown);
    for (int32_t id : {own->odd, own->even}) {
      auto device = p->devices.find(id);
      if (device != p->devices.end() && device->second.store->dropped())
        LibraryLog("tarvik: device %d: %llu samples with unusable times ignored\n", id,
                   (unsigned long long)device->second.store->dropped());
    }
    std::call_once(p->helpers_started, [p] { StartHelpers(*p); });
    SolveLines(*p, lines);
    Weigh(*p);
    LogFindings(own->solution);
    WriteTrace(*p, *own);
    return BuildResult(own->solution);
  } catch (const std::exception& e) {
    LibraryLog("tarvik: line %d not weighed: %s\n", lineId, e.what());
    return NotCorrect(lineId);
  }
}

}  // extern "C"
