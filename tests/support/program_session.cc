#include "tests/support/program_session.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

ProgramSession::ProgramSession(const std::string& program, const std::vector<std::string>& arguments,
                               const ProgramOptions& options) {
  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0) return;
  if (::pipe(errPipe) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return;
  }
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(127);
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  outFd_ = outPipe[0];
  errFd_ = errPipe[0];
  pid_ = child;
}

ProgramSession::~ProgramSession() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool ProgramSession::Pump(int timeout_ms) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  if (::poll(fds, 2, timeout_ms) <= 0) return true;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[65536];
    ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? run_.out : run_.err).append(buffer, static_cast<size_t>(n));
    } else {
      int& fd = i == 0 ? outFd_ : errFd_;
      ::close(fd);
      fd = -1;
    }
  }
  return outFd_ >= 0 || errFd_ >= 0;
}

std::optional<std::string> ProgramSession::WaitForLogMessage(const std::string& prefix, int timeout_ms) {
  int64_t deadline_ms = NowMs() + timeout_ms;
  for (;;) {
    // Only whole lines count: the line may still be arriving.
    size_t complete = run_.err.rfind('\n');
    if (complete != std::string::npos) {
      for (const std::string& message : LogMessages(run_.err.substr(0, complete + 1)))
        if (message.rfind(prefix, 0) == 0) return message;
    }
    int64_t left_ms = deadline_ms - NowMs();
    if (left_ms <= 0 || !Pump(static_cast<int>(std::min<int64_t>(left_ms, 100)))) return std::nullopt;
  }
}

ProgramRun ProgramSession::Wait(int timeout_ms) {
  int64_t deadline_ms = NowMs() + timeout_ms;
  while (Pump(100)) {
    if (NowMs() > deadline_ms) {
      ::kill(pid_, SIGKILL);
      break;
    }
  }
  if (pid_ > 0) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status)) run_.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run_.signal = WTERMSIG(status);
  }
  return run_;
}

std::unique_ptr<ProgramSession> StartKorvanet(const std::vector<std::string>& arguments, ProgramOptions options,
                                              bool scriptedLibrary) {
  if (scriptedLibrary) options.environment.emplace_back("LD_LIBRARY_PATH", SCRIPTED_TARVIK_DIR);
  return std::make_unique<ProgramSession>(KORVANET_BINARY, arguments, options);
}
