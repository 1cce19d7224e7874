#include "calc/computation.h"

#include "log/log.h"

std::vector<LineResult*>& LineResults() {
  static auto* results = new std::vector<LineResult*>();
  return *results;
}
std::mutex& LineResultsMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
std::vector<LineResult*> CopyLineResults() {
  std::lock_guard<std::mutex> guard(LineResultsMutex());
  return LineResults();
}
int RunComputation() {
  Tarvik_SetOnLog(Log);
  Tarvik_Init();
  return COMPUTATION_OK;
}
void ComputeLine(int32_t) {}
