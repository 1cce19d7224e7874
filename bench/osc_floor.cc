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

#include "calc/tarvik.h"
#include "osc/osc_format.h"

namespace {

constexpr size_t CHUNK_BYTES = size_t{1} << 20;

// Opaque to the optimiser, so that no calloc/free pair is folded away.
void (*volatile releaseSample)(void*) = std::free;

}  // namespace

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
  std::vector<uint8_t> buffer(CHUNK_BYTES);
  uint64_t records = 0, checksum = 0;
  size_t held = 0;
  for (;;) {
    ssize_t got = ::read(file, buffer.data() + held, CHUNK_BYTES - held);
    if (got > 0) held += static_cast<size_t>(got);
    size_t at = 0;
    for (; held - at >= osc::RECORD_BYTES; at += osc::RECORD_BYTES) {
      const uint8_t* record = buffer.data() + at;
      const uint8_t* payload = record + osc::RECORD_HEADER_BYTES;
      auto* sample = static_cast<SideSample*>(std::calloc(1, sizeof(SideSample)));
      sample->deviceId = record[osc::HEADER_DEVICE_ID_AT];
      sample->timeUs = osc::ReadU32(record + osc::HEADER_COUNTER_AT) +
                       osc::ReadU16(record + osc::HEADER_PAYLOAD_LENGTH_AT);
      sample->temperature = osc::ReadU16(payload + osc::PAYLOAD_THERMISTOR_AT);
      for (int c = 0; c < 4; ++c) sample->channels[c] = osc::ReadU16(payload + osc::PAYLOAD_CHANNEL0_AT + 2 * c);
      checksum += static_cast<uint64_t>(sample->timeUs) + sample->channels[3] + sample->deviceId;
      releaseSample(sample);
      ++records;
    }
    if (got <= 0) break;
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
  }
  ::close(file);
  auto loopUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::printf("records=%llu loop_us=%lld checksum=%llu\n", static_cast<unsigned long long>(records),
              static_cast<long long>(loopUs.count()), static_cast<unsigned long long>(checksum));
  finish.set_value();
  idle.join();
  return 0;
}
