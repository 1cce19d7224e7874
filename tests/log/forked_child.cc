#include "tests/log/forked_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "tests/support/temp_dir.h"

#ifdef KORVANET_COVERAGE
extern "C" void __gcov_dump();
#endif

ChildRun RunInChild(const std::string& directory, const std::function<int()>& body, int timeoutSeconds) {
  std::string outPath = directory + "/child.stdout", errPath = directory + "/child.stderr";
  // Unflushed test output would otherwise be written a second time by the child.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t child = ::fork();
  if (child == 0) {
    int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (out < 0 || err < 0) ::_exit(126);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    int result = body();
    std::fflush(stdout);
    std::fflush(stderr);
#ifdef KORVANET_COVERAGE
    __gcov_dump();
#endif
    ::_exit(result & 0xff);
  }
  ChildRun run;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      run.timedOut = true;
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  run.out = ReadFileText(outPath);
  run.err = ReadFileText(errPath);
  return run;
}
