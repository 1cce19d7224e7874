// Runs a piece of this process's code in a forked child with its standard
// streams on files, for code that redirects or writes the process's own
// streams (the log facility, the configuration loader's messages): the test
// process itself is never redirected.
#pragma once

#include <functional>
#include <string>

struct ChildRun {
  int exitStatus = -1;   // the low 8 bits of what `body` returned; -1 when killed
  int signal = 0;        // the signal that ended the child, if any
  bool timedOut = false; // killed after the time limit (a hang or a deadlock)
  std::string out;       // what reached the child's standard output
  std::string err;       // what reached the child's standard error
};

// Forks, points the child's stdout and stderr at files in `directory`, runs
// `body` there and ends the child with _exit(its result) after flushing both
// streams. The parent waits at most `timeoutSeconds`.
ChildRun RunInChild(const std::string& directory, const std::function<int()>& body, int timeoutSeconds = 60);
