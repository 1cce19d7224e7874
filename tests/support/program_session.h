// Runs the real program in the background, so that a test can talk to it
// while it runs: read its log as it is written, send it datagrams, then wait
// for its end.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/run_program.h"

class ProgramSession {
 public:
  // Starts `program` with `arguments` (argv[0] excluded); standard input is
  // /dev/null, standard output and standard error are captured.
  ProgramSession(const std::string& program, const std::vector<std::string>& arguments,
                 const ProgramOptions& options);
  // Kills the program if it still runs, and reaps it.
  ~ProgramSession();
  ProgramSession(const ProgramSession&) = delete;
  ProgramSession& operator=(const ProgramSession&) = delete;

  bool started() const { return pid_ > 0; }
  // The first log message (timestamp dropped) that begins with `prefix`,
  // reading standard error as it comes for up to timeout_ms.
  std::optional<std::string> WaitForLogMessage(const std::string& prefix, int timeout_ms);
  // Waits up to timeout_ms for the program to end (then kills it) and returns
  // everything it wrote with its exit status.
  ProgramRun Wait(int timeout_ms);

 private:
  // Reads what is ready on the pipes within timeout_ms; false once both are closed.
  bool Pump(int timeout_ms);

  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  ProgramRun run_;
};

// Starts build/korvanet; with `scriptedLibrary` the test build of the
// calculation library is put in front through LD_LIBRARY_PATH.
std::unique_ptr<ProgramSession> StartKorvanet(const std::vector<std::string>& arguments, ProgramOptions options,
                                              bool scriptedLibrary);
