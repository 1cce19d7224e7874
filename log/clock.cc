#include "log/clock.h"

#include <chrono>
#include <ctime>
#include <thread>

int64_t SystemClockMicros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string LocalTimeText(const char* format) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[21] = {};
  std::strftime(text, sizeof text, format, &local);
  return text;
}

void SleepMs(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }
