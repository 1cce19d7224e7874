// Loading and feeding speed against the floor set by the disk cache and the
// allocator: a passage of 2,000,000 records from 4 devices (about 38 MB).
//
// (a) floor: read the file in large chunks, decode every record, calloc and
//     free one 32-byte sample per record;
// (b) LoadOscillogram + FeedRecord into a sink that frees each sample;
// (c) as (b) in debug mode, with the dump written afterwards.
// One idle thread stays alive throughout: the program always runs with more
// than one thread, and glibc's allocator is slower once there are two.
// Figures are medians of repetitions interleaved (a), (b), so that drift of a
// shared machine hits both alike.
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bench/streaming_floor.h"
#include "calc/computation.h"
#include "calc/tarvik.h"
#include "config/settings.h"
#include "osc/osc.h"
#include "osc/osc_format.h"

namespace {

constexpr uint32_t RECORD_COUNT = 2000000;
constexpr int DEVICE_COUNT = 4;
constexpr uint16_t FREQUENCY_HZ = 1000;
constexpr int REPETITIONS = 7;

void PutLE(uint8_t* at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Builds the passage once and keeps it in /tmp for later runs.
std::string CachedPassage() {
  std::string path = "/tmp/korvanet-bench-" + std::to_string(RECORD_COUNT) + ".osc";
  uintmax_t size = osc::START_OFFSET + uintmax_t{RECORD_COUNT} * osc::RECORD_BYTES;
  std::error_code error;
  if (std::filesystem::file_size(path, error) == size) return path;

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return "";
  std::vector<uint8_t> table(osc::START_OFFSET, 0);
  for (int carriage = 0; carriage < 8; ++carriage) {
    uint8_t* entry = table.data() + carriage * osc::CARRIAGE_ENTRY_BYTES;
    entry[osc::CARRIAGE_NUMBER_AT] = static_cast<uint8_t>(carriage + 1);
    PutLE(entry + osc::CARRIAGE_OFFSET_AT, osc::START_OFFSET + carriage * 4750000ull, 8);
    PutLE(entry + osc::CARRIAGE_TIME_AT, carriage * 125000u, 4);
  }
  std::fwrite(table.data(), 1, table.size(), file);
  std::vector<uint8_t> record(osc::RECORD_BYTES);
  for (uint32_t r = 0; r < RECORD_COUNT; ++r) {
    uint32_t counter = 1000 + r / DEVICE_COUNT;
    std::fill(record.begin(), record.end(), 0);
    PutLE(&record[osc::HEADER_DEVICE_ID_AT], r % DEVICE_COUNT, 1);
    PutLE(&record[osc::HEADER_PAYLOAD_LENGTH_AT], osc::RECORD_PAYLOAD_BYTES, 2);
    PutLE(&record[osc::HEADER_COUNTER_AT], counter, 4);
    uint8_t* payload = &record[osc::RECORD_HEADER_BYTES];
    PutLE(payload + osc::PAYLOAD_THERMISTOR_AT, 400 + counter % 200, 2);
    for (int c = 0; c < 4; ++c) PutLE(payload + osc::PAYLOAD_CHANNEL0_AT + 2 * c, (counter * (c + 3)) & 0x3ff, 2);
    std::fwrite(record.data(), 1, record.size(), file);
  }
  std::fclose(file);
  return path;
}

// The sink of (b) releases samples the way the floor does.
void FreeSample(SideSample* sample) { bench::releaseFloorSample(sample); }

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// (a): the least any loader must do per record.
double StreamingFloorSeconds(const std::string& path, uint64_t& checksum) {
  auto start = std::chrono::steady_clock::now();
  int file = ::open(path.c_str(), O_RDONLY);
  ::lseek(file, static_cast<off_t>(osc::START_OFFSET), SEEK_SET);
  bench::StreamRecordsThroughAllocator(file, checksum);
  ::close(file);
  return Seconds(start);
}

// A fresh passage of the bench's devices.
void StartPassage() {
  ResetFeeding();
  for (int id = 0; id < DEVICE_COUNT; ++id) frequencyById[id] = FREQUENCY_HZ;
}

// Runs `work` with standard output and error sent to /dev/null (the
// loader's and the dump's own messages), and returns its time.
template <typename Work>
double QuietSeconds(Work work) {
  std::fflush(stdout);
  std::fflush(stderr);
  int savedOut = ::dup(1), savedErr = ::dup(2);
  int devNull = ::open("/dev/null", O_WRONLY);
  ::dup2(devNull, 1);
  ::dup2(devNull, 2);
  auto start = std::chrono::steady_clock::now();
  work();
  double seconds = Seconds(start);
  std::fflush(stdout);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(devNull);
  ::close(savedOut);
  ::close(savedErr);
  return seconds;
}

// (b) and (c).
double LoadSeconds(const std::string& path) {
  StartPassage();
  return QuietSeconds([&] { LoadOscillogram(path); });
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void Report(const char* what, double seconds) {
  std::printf("%-44s %8.1f ms  %6.1f ns/record  %6.2f M records/s\n", what, seconds * 1e3,
              seconds * 1e9 / RECORD_COUNT, RECORD_COUNT / seconds / 1e6);
}

}  // namespace

int main() {
  std::string path = CachedPassage();
  if (path.empty()) {
    std::fprintf(stderr, "cannot write the benchmark passage to /tmp\n");
    return 1;
  }
  std::promise<void> finish;
  std::thread idle([done = finish.get_future()]() mutable { done.wait(); });
  SetSampleSink(FreeSample);

  uint64_t checksum = 0;
  StreamingFloorSeconds(path, checksum);  // warms the page cache
  LoadSeconds(path);
  std::vector<double> floorSeconds, loadSeconds;
  for (int repetition = 0; repetition < REPETITIONS; ++repetition) {
    floorSeconds.push_back(StreamingFloorSeconds(path, checksum));
    loadSeconds.push_back(LoadSeconds(path));
  }
  double floor = Median(floorSeconds), load = Median(loadSeconds);
  std::printf("%u records, %d devices, %s, median of %d (checksum %llu)\n", RECORD_COUNT, DEVICE_COUNT,
              path.c_str(), REPETITIONS, static_cast<unsigned long long>(checksum % 1000));
  Report("(a) streaming floor", floor);
  Report("(b) LoadOscillogram + FeedRecord", load);
  std::printf("ratio (b)/(a): %.2f (target <= 1.3)\n", load / floor);

  // Debug mode: the text lines are kept until the process ends, so each
  // repetition starts from empty lists (released by StartPassage).
  debugMode = true;
  std::vector<double> debugSeconds, dumpSeconds;
  double heapBytesPerRecord = 0;
  oscFilePath = "/tmp/korvanet-bench-dump.osc";
  for (int repetition = 0; repetition < 5; ++repetition) {
    StartPassage();
    // The packed dump text sits in large blocks, which malloc maps apart from its heap.
    auto heapBytes = [] { return static_cast<double>(mallinfo2().uordblks + mallinfo2().hblkhd); };
    double heapBefore = heapBytes();
    debugSeconds.push_back(LoadSeconds(path));
    heapBytesPerRecord = (heapBytes() - heapBefore) / RECORD_COUNT;
    dumpSeconds.push_back(QuietSeconds(WriteRawDump));
  }
  debugMode = false;
  StartPassage();
  for (int id = 0; id < DEVICE_COUNT; ++id) std::remove((oscFilePath + "_out" + std::to_string(id) + ".dat").c_str());
  double debug = Median(debugSeconds);
  std::printf("%-44s %8.1f ms  %6.1f ns/record\n", "(c) as (b) in debug mode", debug * 1e3,
               debug * 1e9 / RECORD_COUNT);
  std::printf("debug mode extra: %.1f ns/record, %.1f heap bytes/record kept\n",
               (debug - load) * 1e9 / RECORD_COUNT, heapBytesPerRecord);
  std::printf("%-44s %8.1f ms  %6.1f ns/record\n", "raw dump of all lines", Median(dumpSeconds) * 1e3,
               Median(dumpSeconds) * 1e9 / RECORD_COUNT);

  finish.set_value();
  idle.join();
  return 0;
}
