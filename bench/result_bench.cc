// Publication cost after the computation: a 300-axle train seen by 3 lines,
// with wide info, goes through MergeLineResults, BuildResultDocument (wide,
// quotes escaped) and BuildResultMessages. Prints the median time of each
// step and of the whole, and the size of the document and its messages.
// The publication runs once per passage, so what matters is that it stays
// far below the time the master waits for a result (target: well under 5 ms).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "net/net.h"
#include "result/result.h"

namespace {

constexpr int LINE_COUNT = 3;
constexpr int CARRIAGE_COUNT = 75;
constexpr int AXLES_PER_CARRIAGE = 4;  // 300 axles
constexpr int SENSORS_PER_WHEEL = 6;   // entries of strength and ids per wheel and line
constexpr int REPETITIONS = 101;

// Owns the records the way the library would: built once, never changed.
struct LineStore {
  std::deque<LineResult> results;
  std::deque<LineCarriage> carriages;
  std::deque<LineAxis> axles;
  std::deque<LineWheel> wheels;
};

LineResult* BuildLine(LineStore& store, uint16_t line) {
  LineResult& result = store.results.emplace_back();
  result.line = line;
  result.correct = true;
  result.total_weight = 6000000 + line;
  for (int c = 0; c < CARRIAGE_COUNT; ++c) {
    LineCarriage& carriage = store.carriages.emplace_back();
    carriage.full_weight = 80000 + c * 7 + line;
    carriage.loco.flag = c == 0;
    carriage.loco.type = c == 0 ? "DL-7 \"K\"" : "";
    for (int a = 0; a < AXLES_PER_CARRIAGE; ++a) {
      LineAxis& axle = store.axles.emplace_back();
      axle.speed = 42.37 + 0.01 * (a + c) + 0.001 * line;
      for (int w = 0; w < 2; ++w) {
        LineWheel& wheel = store.wheels.emplace_back();
        wheel.weight = 10000 + c * 13 + a * 3 + w;
        wheel.condition = 0.25f * (a + w + line);
        for (int s = 0; s < SENSORS_PER_WHEEL; ++s) {
          wheel.strength.push_back(-1200 + s * 251 + c);
          wheel.ids.push_back(line * 100 + w * 10 + s);
        }
        axle.wheels.push_back(&wheel);
      }
      carriage.axis.push_back(&axle);
    }
    result.carriages.push_back(&carriage);
  }
  return &result;
}

double Microseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  LineStore store;
  std::vector<LineResult*> lines;
  for (int line = 1; line <= LINE_COUNT; ++line) lines.push_back(BuildLine(store, static_cast<uint16_t>(line)));
  const std::string trainId = "bench-train-0001";

  std::vector<double> mergeUs, documentUs, messagesUs, totalUs;
  size_t documentBytes = 0, messageCount = 0, messageBytes = 0;
  for (int i = 0; i < REPETITIONS; ++i) {
    auto start = std::chrono::steady_clock::now();
    TrainResult train = MergeLineResults(lines);
    auto merged = std::chrono::steady_clock::now();
    std::string document = BuildResultDocument(train, true, true);
    auto written = std::chrono::steady_clock::now();
    std::vector<std::string> messages = BuildResultMessages(trainId, document);
    auto end = std::chrono::steady_clock::now();

    mergeUs.push_back(Microseconds(merged - start));
    documentUs.push_back(Microseconds(written - merged));
    messagesUs.push_back(Microseconds(end - written));
    totalUs.push_back(Microseconds(end - start));
    documentBytes = document.size();
    messageCount = messages.size();
    messageBytes = 0;
    for (const std::string& message : messages) messageBytes += message.size();
  }

  std::printf("train: %d lines, %d carriages, %d axles, %d strength/ids entries per wheel and line\n", LINE_COUNT,
              CARRIAGE_COUNT, CARRIAGE_COUNT * AXLES_PER_CARRIAGE, SENSORS_PER_WHEEL);
  std::printf("document (wide, escaped): %zu bytes; %zu messages, %zu bytes in all\n", documentBytes, messageCount,
              messageBytes);
  std::printf("median of %d runs: merge %.0f us, document %.0f us, messages %.0f us, total %.0f us (%.2f ms)\n",
              REPETITIONS, Median(mergeUs), Median(documentUs), Median(messagesUs), Median(totalUs),
              Median(totalUs) / 1000);
  return 0;
}
