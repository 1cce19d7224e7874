// Runs one program and reports its wall time and true peak RSS.
//
//   measure STDOUT_FILE STDERR_FILE [NAME=VALUE...] PROGRAM [ARGUMENTS...]
//
// NAME=VALUE pairs are set in the program's environment only (the phase
// probe's LD_PRELOAD must not load into this launcher).
// Prints one line on standard output:
//   wall_us=W cpu_us=C maxrss_kb=K status=S spawn_us=A end_us=B
// wall_us runs from just before fork to the return of wait4; cpu_us is the
// program's user and system time, all threads; spawn_us and end_us are the
// same two moments as wall_us on the system clock (CLOCK_REALTIME, in
// microseconds), for setting the phase probe's stamps against.
//
// Why not spawn from the bench script itself: Linux carries a process's peak
// RSS across exec, so a child forked or vforked from the interpreter starts
// with the interpreter's peak (tens of MB). This launcher is small; its own
// few hundred kB are the floor of what it reports.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

long long Micros(clockid_t clock) {
  timespec now;
  clock_gettime(clock, &now);
  return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: measure STDOUT_FILE STDERR_FILE [NAME=VALUE...] PROGRAM [ARGUMENTS...]\n");
    return 2;
  }
  int out = ::open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0) {
    std::perror("measure: output file");
    return 2;
  }
  int program = 3;
  while (program < argc && std::strchr(argv[program], '=') != nullptr) ++program;
  if (program == argc) {
    std::fprintf(stderr, "measure: no program given\n");
    return 2;
  }
  long long spawnUs = Micros(CLOCK_REALTIME);
  long long startUs = Micros(CLOCK_MONOTONIC);
  pid_t child = ::fork();
  if (child < 0) {
    std::perror("measure: fork");
    return 2;
  }
  if (child == 0) {
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    for (int i = 3; i < program; ++i) ::putenv(argv[i]);
    ::execv(argv[program], argv + program);
    std::perror("measure: exec");
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(child, &status, 0, &usage) < 0) {
    std::perror("measure: wait4");
    return 2;
  }
  long long wallUs = Micros(CLOCK_MONOTONIC) - startUs;
  long long endUs = Micros(CLOCK_REALTIME);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  long long cpuUs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
                    usage.ru_stime.tv_usec;
  std::printf("wall_us=%lld cpu_us=%lld maxrss_kb=%ld status=%d spawn_us=%lld end_us=%lld\n", wallUs, cpuUs,
              usage.ru_maxrss, code, spawnUs, endUs);
  return 0;
}
