// Phase probe: preloaded into the program by the bench (LD_PRELOAD), it
// stamps the moments that the program's own log does not show, without any
// change to the program:
//
//   main_entry      the program's main is entered (after exec and loading)
//   init            Tarvik_Init is called: configuration and master link done
//   compute_start   a line thread enters Tarvik_Compute (one per line)
//   compute_end     a line thread's Tarvik_Compute returns (one per line)
//   compute_cpu     that line thread's CPU time in Tarvik_Compute (one per
//                   line; a duration in microseconds, not a moment)
//   ending          the run is over and the process begins to end: main
//                   returns, or exit, _exit or _Exit is called
//
// Stamps are CLOCK_REALTIME microseconds, written at `ending` as
// "NAME MICROS" lines to the file named by KORVANET_PROBE_OUT. It wraps
// __libc_start_main for main and interposes the two library calls and the
// exit calls; the hot Tarvik_PushSideData is left alone, so feeding runs at
// full speed.
#include <dlfcn.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "calc/tarvik.h"

namespace {

constexpr int MAX_STAMPS = 128;

struct Stamp {
  const char* name;
  long long micros;
};

Stamp stamps[MAX_STAMPS];
std::atomic<int> stampCount{0};

using MainFunction = int (*)(int, char**, char**);
MainFunction programMain = nullptr;

long long Micros(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

void Record(const char* name, long long micros) {
  int at = stampCount.fetch_add(1);
  if (at < MAX_STAMPS) stamps[at] = {name, micros};
}

void Note(const char* name) { Record(name, Micros(CLOCK_REALTIME)); }

void WriteStamps() {
  const char* path = std::getenv("KORVANET_PROBE_OUT");
  if (path == nullptr) return;
  int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (file < 0) return;
  char line[96];
  int count = stampCount.load();
  for (int i = 0; i < count && i < MAX_STAMPS; ++i) {
    int length = std::snprintf(line, sizeof line, "%s %lld\n", stamps[i].name, stamps[i].micros);
    if (::write(file, line, static_cast<size_t>(length)) != length) break;
  }
  ::close(file);
}

// Once only: a process may call exit from several threads or after main.
void NoteEnding() {
  static std::atomic<bool> noted{false};
  if (noted.exchange(true)) return;
  Note("ending");
  WriteStamps();
}

int ProbedMain(int argc, char** argv, char** envp) {
  Note("main_entry");
  int status = programMain(argc, argv, envp);
  NoteEnding();
  return status;
}

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

using StartMain = int (*)(MainFunction, int, char**, void (*)(), void (*)(), void (*)(), void*);

__attribute__((visibility("default"))) int __libc_start_main(MainFunction main, int argc, char** argv,
                                                             void (*init)(), void (*fini)(), void (*rtldFini)(),
                                                             void* stackEnd) {
  programMain = main;
  static StartMain next = Next<StartMain>("__libc_start_main");
  return next(ProbedMain, argc, argv, init, fini, rtldFini, stackEnd);
}

__attribute__((visibility("default"))) void Tarvik_Init() {
  Note("init");
  static auto next = Next<void (*)()>("Tarvik_Init");
  next();
}

__attribute__((visibility("default"))) LineResult* Tarvik_Compute(int32_t lineId) {
  static auto next = Next<LineResult* (*)(int32_t)>("Tarvik_Compute");
  Note("compute_start");
  long long cpuStart = Micros(CLOCK_THREAD_CPUTIME_ID);
  LineResult* result = next(lineId);
  Record("compute_cpu", Micros(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
  Note("compute_end");
  return result;
}

__attribute__((visibility("default"), noreturn)) void exit(int status) {
  NoteEnding();
  static auto next = Next<void (*)(int)>("exit");
  next(status);
  __builtin_unreachable();
}

__attribute__((visibility("default"), noreturn)) void _exit(int status) {
  NoteEnding();
  static auto next = Next<void (*)(int)>("_exit");
  next(status);
  __builtin_unreachable();
}

__attribute__((visibility("default"), noreturn)) void _Exit(int status) {
  NoteEnding();
  static auto next = Next<void (*)(int)>("_Exit");
  next(status);
  __builtin_unreachable();
}

}  // extern "C"
