// The streaming floor of a passage: the least any program that feeds an
// oscillogram to the calculation library must do, and nothing else.
//
//   osc_floor PASSAGE.osc
//
// Reads the data records sequentially in large chunks, decodes every field,
// and callocs, fills and frees one 32-byte SideSample per record, with one
// idle second thread alive (glibc's allocator takes its slower, locked path
// once a process has two threads, and the program always has them). No
// library work, no text, no configuration.
//
// Prints one line on standard output:
//   records=N loop_us=U checksum=C
// where loop_us is the time from opening the file to the last record. The
// bench takes the process's own wall time and peak RSS from outside.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "bench/streaming_floor.h"
#include "osc/osc_format.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: osc_floor PASSAGE.osc\n");
    return 2;
  }
  std::promise<void> finish;
  std::thread idle([done = finish.get_future()]() mutable { done.wait(); });

  auto start = std::chrono::steady_clock::now();
  int file = ::open(argv[1], O_RDONLY);
  if (file < 0 || ::lseek(file, static_cast<off_t>(osc::START_OFFSET), SEEK_SET) < 0) {
    std::fprintf(stderr, "osc_floor: cannot read %s\n", argv[1]);
    finish.set_value();
    idle.join();
    return 1;
  }
  uint64_t checksum = 0;
  uint64_t records = bench::StreamRecordsThroughAllocator(file, checksum);
  ::close(file);
  auto loopUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::printf("records=%llu loop_us=%lld checksum=%llu\n", static_cast<unsigned long long>(records),
              static_cast<long long>(loopUs.count()), static_cast<unsigned long long>(checksum));
  finish.set_value();
  idle.join();
  return 0;
}
