// The library through its six C functions: what the program relies on,
// whatever the sample stream, and concurrent computation of lines.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "calc/tarvik.h"
#include "tests/support/temp_dir.h"
#include "tests/tarvik/synth_passage.h"

namespace {

std::mutex log_mutex;
std::vector<std::string> log_lines;

void CaptureLog(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.push_back(text);
}

bool Logged(const std::string& fragment) {
  std::lock_guard<std::mutex> lock(log_mutex);
  for (const std::string& line : log_lines)
    if (line.find(fragment) != std::string::npos) return true;
  return false;
}

void Push(const SideSample& sample) {
  auto* owned = static_cast<SideSample*>(std::calloc(1, sizeof(SideSample)));
  std::memcpy(owned, &sample, sizeof(SideSample));
  Tarvik_PushSideData(owned);
}

void Start() {
  {
    std::lock_guard<std::mutex> lock(log_mutex);
    log_lines.clear();
  }
  Tarvik_SetOnLog(CaptureLog);
  Tarvik_Init();
}

void RegisterLine(int32_t line, int32_t odd, int32_t even, double first_m = 0) {
  std::vector<double> positions{first_m, first_m + 0.9, first_m + 1.8, first_m + 2.7};
  Tarvik_InitDevice(odd, {2.0, 2.0, 2.0, 2.0}, positions);
  Tarvik_InitDevice(even, {2.0, 2.0, 2.0, 2.0}, positions);
  Tarvik_InitLine(line, odd, even);
}

SideSample Sample(uint32_t device, int64_t time_us, uint16_t value) {
  SideSample sample{};
  sample.deviceId = device;
  sample.timeUs = time_us;
  sample.temperature = 20.f;
  for (uint16_t& channel : sample.channels) channel = value;
  return sample;
}

// A locomotive and a wagon at 43.2 km/h over line 1 at 0 m and line 2 at 20 m.
const char* const TWO_LINES = R"({"speed": {"initial_kmh": 43.2}, "noise_sigma": 25, "installation": {"lines": [
    {"id": 1, "positions_m": [0.0, 0.9, 1.8, 2.7], "odd": {"port": 7126}, "even": {"port": 7127}},
    {"id": 2, "positions_m": [20.0, 20.9, 21.8, 22.7], "odd": {"port": 7128}, "even": {"port": 7129}}]},
  "vehicles": [{"bogie_axles": 3, "axle_spacing_m": 2.0, "bogie_centres_m": 11.0, "axle_load_kg": 22000},
               {"axle_spacing_m": 1.8, "bogie_centres_m": 9.0, "axle_load_kg": 14000}]})";

struct BadStreamCase {
  const char* name;
  std::function<void()> feed;  // registration and samples; line 1 is computed
  const char* expected_log;
};
void PrintTo(const BadStreamCase& c, std::ostream* os) { *os << c.name; }

class BadStream : public testing::TestWithParam<BadStreamCase> {};

TEST_P(BadStream, GivesAnHonestNotCorrectRecord) {
  Start();
  GetParam().feed();
  Tarvik_PushSideData(nullptr);
  for (int call = 0; call < 2; ++call) {
    LineResult* result = Tarvik_Compute(1);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->line, 1);
    EXPECT_FALSE(result->correct);
  }
  EXPECT_TRUE(Logged(GetParam().expected_log)) << GetParam().expected_log;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BadStream,
    testing::Values(
        BadStreamCase{"no_samples", [] { RegisterLine(1, 0, 1); }, "device 0 sent no samples"},
        BadStreamCase{"line_never_registered", [] { RegisterLine(2, 0, 1); }, "line 1 was never registered"},
        BadStreamCase{"quiet_track",
                      [] {
                        RegisterLine(1, 0, 1);
                        for (int i = 0; i < 5000; ++i)
                          for (uint32_t d : {0u, 1u}) Push(Sample(d, i * 500, static_cast<uint16_t>(5000 + i % 3)));
                      },
                      "no wheel found"},
        BadStreamCase{"one_device_only",
                      [] {
                        RegisterLine(1, 0, 1);
                        for (const SideSample& s : Synthesize(TWO_LINES).samples[0]) Push(s);
                      },
                      "device 1 sent no samples"},
        BadStreamCase{"random_garbage",
                      [] {
                        RegisterLine(1, 0, 1);
                        std::mt19937_64 random(3);
                        for (int i = 0; i < 20000; ++i) {
                          SideSample s{};
                          s.deviceId = static_cast<uint32_t>(random() % 3);
                          s.timeUs = static_cast<int64_t>(random() % 2 ? random() : i * 250);
                          uint32_t bits = static_cast<uint32_t>(random());
                          std::memcpy(&s.temperature, &bits, sizeof bits);
                          for (uint16_t& c : s.channels) c = static_cast<uint16_t>(random());
                          Push(s);
                        }
                      },
                      "line 1 not weighed"},
        BadStreamCase{"unregistered_devices_and_bad_registration",
                      [] {
                        Tarvik_InitDevice(-3, {1.0}, {0.0});
                        Tarvik_InitDevice(0, {}, {});
                        Tarvik_InitDevice(1, {NAN, -2.0, 0.0, INFINITY}, {NAN, 0.5, 1.0, 1.5});
                        Tarvik_InitLine(1, 0, 1);
                        for (uint32_t d : {0u, 1u, 5u, 300u, 0xFFFFFFFFu})
                          for (int i = 0; i < 100; ++i) Push(Sample(d, i * 1000, 7000));
                      },
                      "samples of unregistered devices ignored"}),
    [](const testing::TestParamInfo<BadStreamCase>& info) { return std::string(info.param.name); });

// Walks the whole record the way the merge does; fails on broken invariants.
int64_t CheckedTotal(const LineResult* result) {
  int64_t total = 0;
  for (const LineCarriage* carriage : result->carriages) {
    int64_t full = 0;
    for (const LineAxis* axis : carriage->axis) {
      EXPECT_GE(axis->wheels.size(), 2u);
      for (const LineWheel* wheel : axis->wheels) {
        full += wheel->weight;
        EXPECT_EQ(wheel->strength.size(), wheel->ids.size());
      }
    }
    EXPECT_EQ(carriage->full_weight, full);
    EXPECT_EQ(carriage->loco.type, carriage->loco.flag ? "Co-Co" : "");
    total += full;
  }
  EXPECT_EQ(result->total_weight, total);
  return total;
}

// Two lines see the same train at other positions; their computations run
// side by side (they share the rails and the vehicles out between them)
// and must give exactly what the lines give one after the other.
TEST(LibraryLines, ComputeConcurrentlyAsAlone) {
  SynthPassage s = Synthesize(TWO_LINES);
  auto load = [&] {
    Start();
    RegisterLine(1, 0, 1);
    RegisterLine(2, 2, 3, 20.0);
    for (int d = 0; d < 4; ++d)
      for (const SideSample& sample : s.samples[d]) Push(sample);
  };
  load();
  LineResult* alone[2] = {Tarvik_Compute(1), Tarvik_Compute(2)};
  load();
  LineResult* together[2] = {nullptr, nullptr};
  std::thread first([&] { together[0] = Tarvik_Compute(1); });
  std::thread second([&] { together[1] = Tarvik_Compute(2); });
  first.join();
  second.join();

  for (int line = 0; line < 2; ++line) {
    ASSERT_TRUE(alone[line]->correct) << "line " << line + 1;
    ASSERT_TRUE(together[line]->correct);
    EXPECT_EQ(alone[line]->line, line + 1);
    EXPECT_NEAR(CheckedTotal(alone[line]), 6 * 22000 + 4 * 14000, 0.005 * (6 * 22000 + 4 * 14000));
    EXPECT_EQ(CheckedTotal(together[line]), alone[line]->total_weight);
    ASSERT_EQ(together[line]->carriages.size(), 2u);
    EXPECT_TRUE(together[line]->carriages[0]->loco.flag);
    EXPECT_FALSE(together[line]->carriages[1]->loco.flag);
    EXPECT_EQ(together[line]->carriages[0]->axis.size(), 6u);
    int32_t even = 2 * line + 1;
    EXPECT_EQ(together[line]->carriages[0]->axis[0]->wheels[1]->ids,
              (std::vector<int32_t>{4 * even, 4 * even + 1, 4 * even + 2, 4 * even + 3}));
  }
  EXPECT_TRUE(Logged("tarvik: line 1: 10 axles, 2 vehicles, speed 43.2-43.2 km/h"));
}

// The trace is read by tools (plot_passage, calibrate): one strict JSON object
// appended per computation, whose axles name their wheels by the numbers that
// the sensors' readings carry.
TEST(LibraryTrace, AppendsOneJsonLinePerComputeWithAxlesJoinedToReadings) {
  TempDir dir;
  setenv("TARVIK_TRACE", dir.File("trace.jsonl").c_str(), 1);
  Start();
  unsetenv("TARVIK_TRACE");
  SynthPassage s = Synthesize(TWO_LINES);
  RegisterLine(1, 0, 1);
  for (int d = 0; d < 2; ++d)
    for (const SideSample& sample : s.samples[d]) Push(sample);
  Tarvik_Compute(1);
  Tarvik_Compute(1);
  std::string text = ReadFileText(dir.File("trace.jsonl"));
  ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  rapidjson::Document trace;
  ASSERT_FALSE(trace.Parse(text.substr(0, text.find('\n')).c_str()).HasParseError());
  EXPECT_EQ(trace["line"].GetInt(), 1);
  for (unsigned rail = 0; rail < 2; ++rail) {
    const rapidjson::Value& r = trace["rails"][rail];
    EXPECT_EQ(r["device"].GetInt(), static_cast<int>(rail));
    std::set<int> read, weighed;
    for (const auto& sensor : r["sensors"].GetArray())
      for (const auto& wheel : sensor["wheels"].GetArray()) read.insert(wheel["wheel"].GetInt());
    for (const auto& vehicle : trace["vehicles"].GetArray())
      for (const auto& axle : vehicle["axles"].GetArray()) weighed.insert(axle["wheels"][rail]["rail_wheel"].GetInt());
    EXPECT_EQ(weighed.size(), 10u);
    EXPECT_EQ(read, weighed);
  }
}

}  // namespace

// The worker digests while the samples stream in; a passage given up
// half-way (a new one begun), and one loaded and never computed, end it
// cleanly, and a computed one says what the worker spent.
TEST(LibraryWorker, EndsCleanlyWhereverThePassageStops) {
  SynthPassage s = Synthesize(TWO_LINES);
  for (int abandon = 0; abandon < 2; ++abandon) {
    Start();
    RegisterLine(1, 0, 1);
    for (int d = 0; d < 2; ++d)
      for (size_t i = 0; i < s.samples[d].size() / (abandon ? 2 : 1); ++i) Push(s.samples[d][i]);
  }
  Start();  // the second, whole passage is dropped uncomputed
  RegisterLine(1, 0, 1);
  for (const SideSample& sample : s.samples[0]) Push(sample);  // the even rail's device sends nothing
  EXPECT_FALSE(Tarvik_Compute(1)->correct);
  Start();
  RegisterLine(1, 0, 1);
  for (int d = 0; d < 2; ++d)
    for (const SideSample& sample : s.samples[d]) Push(sample);
  LineResult* result = Tarvik_Compute(1);
  ASSERT_TRUE(result->correct);
  EXPECT_EQ(result->carriages.size(), 2u);
  EXPECT_TRUE(Logged("digesting the samples as they came took"));
}
