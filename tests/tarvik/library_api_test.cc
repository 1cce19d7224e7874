// The library through its six C functions: what the program relies on,
// whatever the sample stream, and concurrent computation of lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "calc/tarvik.h"
#include "tests/tarvik/passage_model.h"

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
  SideSample* owned = static_cast<SideSample*>(std::calloc(1, sizeof(SideSample)));
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

const std::vector<double> POSITIONS_M{0.0, 0.9, 1.8, 2.7};

void RegisterLine(int32_t line, int32_t odd, int32_t even, std::vector<double> positions = POSITIONS_M) {
  Tarvik_InitDevice(odd, {2.0, 2.0, 2.0, 2.0}, positions);
  Tarvik_InitDevice(even, {2.0, 2.0, 2.0, 2.0}, positions);
  Tarvik_InitLine(line, odd, even);
}

// Walks the whole record the way the merge does; fails on broken invariants.
int64_t CheckedTotal(const LineResult* result) {
  EXPECT_NE(result, nullptr);
  if (!result || !result->correct) return 0;
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

struct BadStreamCase {
  const char* name;
  std::function<void()> feed;   // registration and samples; line 1 is computed
  const char* expected_log;
};
// Names the case in test listings instead of dumping its bytes.
void PrintTo(const BadStreamCase& c, std::ostream* os) { *os << c.name; }

SideSample Sample(uint32_t device, int64_t time_us, uint16_t value, float temperature = 20.f) {
  SideSample sample{};
  sample.deviceId = device;
  sample.timeUs = time_us;
  sample.temperature = temperature;
  for (uint16_t& channel : sample.channels) channel = value;
  return sample;
}

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
                        ModelPassage passage;
                        passage.axles.push_back(ModelAxle{});
                        ModelDevice odd;
                        for (double x : POSITIONS_M) odd.sensors.push_back({x, 2.0, 5000, 0});
                        for (const SideSample& s : GenerateSamples(passage, odd, 0)) Push(s);
                      },
                      "device 1 sent no samples"},
        BadStreamCase{"saturated_counts",
                      [] {
                        RegisterLine(1, 0, 1);
                        for (int i = 0; i < 3000; ++i)
                          for (uint32_t d : {0u, 1u}) Push(Sample(d, i * 1000, 65535, NAN));
                      },
                      "no wheel found"},
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

// Two lines see the same train at other positions; their computations run
// side by side and must give exactly what each gives alone.
TEST(LibraryLines, ComputeConcurrentlyAsAlone) {
  Start();
  ModelPassage passage;
  passage.speed_mps = 12;
  passage.noise_counts = 25;
  double end = AddVehicle(&passage.axles, 0, 3, 2.0, 11.0, 11000);
  AddVehicle(&passage.axles, end + 3.5, 2, 1.8, 9.0, 7000);
  std::vector<double> far_positions{20.0, 20.9, 21.8, 22.7};
  ModelDevice devices[4];
  for (int d = 0; d < 4; ++d) {
    devices[d].id = d;
    devices[d].frequency_hz = 2000;
    for (double x : d < 2 ? POSITIONS_M : far_positions) devices[d].sensors.push_back({x, 2.0, 4000.0 + 100 * d, 0});
  }
  RegisterLine(1, 0, 1);
  RegisterLine(2, 2, 3, far_positions);
  // Each line's layout starts from its own sensors, so both see the train
  // from the start of their own recording.
  for (int d = 0; d < 4; ++d)
    for (const SideSample& s : GenerateSamples(passage, devices[d], d % 2)) Push(s);

  LineResult* alone[2] = {Tarvik_Compute(1), Tarvik_Compute(2)};
  LineResult* together[2] = {nullptr, nullptr};
  std::thread first([&] { together[0] = Tarvik_Compute(1); });
  std::thread second([&] { together[1] = Tarvik_Compute(2); });
  first.join();
  second.join();

  double true_total = 0;
  for (const ModelAxle& axle : passage.axles) true_total += axle.load_kg[0] + axle.load_kg[1];
  for (int line = 0; line < 2; ++line) {
    ASSERT_TRUE(alone[line]->correct) << "line " << line + 1;
    ASSERT_TRUE(together[line]->correct);
    EXPECT_EQ(alone[line]->line, line + 1);
    EXPECT_NEAR(CheckedTotal(alone[line]), true_total, 0.005 * true_total);
    EXPECT_EQ(CheckedTotal(together[line]), alone[line]->total_weight);
    ASSERT_EQ(together[line]->carriages.size(), 2u);
    EXPECT_TRUE(together[line]->carriages[0]->loco.flag);
    EXPECT_FALSE(together[line]->carriages[1]->loco.flag);
    EXPECT_EQ(together[line]->carriages[0]->axis.size(), 6u);
    EXPECT_EQ(together[line]->carriages[0]->axis[0]->wheels[1]->ids, (std::vector<int32_t>{4 * (2 * line + 1),
                                                                                            4 * (2 * line + 1) + 1,
                                                                                            4 * (2 * line + 1) + 2,
                                                                                            4 * (2 * line + 1) + 3}));
  }
  EXPECT_TRUE(Logged("tarvik: line 1: 10 axles, 2 vehicles, speed 43.2-43.2 km/h"));
}

}  // namespace
