#include "tests/support/harness.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "app/run.h"
#include "osc/osc_format.h"

namespace {

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

Child::Child(const std::function<int()>& body) {
  int out[2], err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) return;
  std::fflush(nullptr);  // or the child would write the parent's pending output again
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    EndProcess(body() & 0xff);
  }
  ::close(out[1]);
  ::close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : fds_)
    if (fd >= 0) ::close(fd);
}

bool Child::Pump(int timeout_ms) {
  pollfd ready[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (::poll(ready, 2, timeout_ms) <= 0) return fds_[0] >= 0 || fds_[1] >= 0;
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0 || ready[i].revents == 0) continue;
    char buffer[65536];
    ssize_t n = ::read(fds_[i], buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? run_.out : run_.err).append(buffer, static_cast<size_t>(n));
    } else {
      ::close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return fds_[0] >= 0 || fds_[1] >= 0;
}

std::optional<std::string> Child::WaitForLog(const std::string& prefix, int timeout_ms) {
  for (int64_t deadline = NowMs() + timeout_ms;;) {
    // Only whole lines count: the one wanted may still be arriving.
    for (const std::string& message : LogMessages(run_.err.substr(0, run_.err.rfind('\n') + 1)))
      if (message.rfind(prefix, 0) == 0) return message;
    if (NowMs() > deadline || !Pump(100)) return std::nullopt;
  }
}

ChildRun Child::Wait(int timeout_ms) {
  int64_t deadline = NowMs() + timeout_ms;
  while (Pump(100))
    if (NowMs() > deadline) ::kill(pid_, SIGKILL);
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
    if (WIFEXITED(status)) run_.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run_.signal = WTERMSIG(status);
  }
  pid_ = -1;
  return run_;
}

ChildRun RunInChild(const std::function<int()>& body) { return Child(body).Wait(); }

std::vector<std::string> LogMessages(const std::string& text) {
  static const std::regex timestamp(R"(^\d\d-\d\d-\d{4} \d\d:\d\d:\d\d \.\d{1,3}: )");
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(std::regex_replace(line, timestamp, "", std::regex_constants::format_first_only));
  return lines;
}

std::string Oscillogram(const std::vector<Rec>& records, const std::vector<CarriageEntry>& carriages) {
  std::string bytes(osc::START_OFFSET + records.size() * osc::RECORD_BYTES, '\0');
  auto put = [&](size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
  };
  for (size_t i = 0; i < carriages.size(); ++i) {
    size_t at = i * osc::CARRIAGE_ENTRY_BYTES;
    put(at + osc::CARRIAGE_NUMBER_AT, carriages[i].number, 1);
    put(at + osc::CARRIAGE_OFFSET_AT, carriages[i].offset, 8);
    put(at + osc::CARRIAGE_TIME_AT, static_cast<uint32_t>(carriages[i].time), 4);
  }
  for (size_t r = 0; r < records.size(); ++r) {
    size_t at = osc::START_OFFSET + r * osc::RECORD_BYTES, payload = at + osc::RECORD_HEADER_BYTES;
    put(at + osc::HEADER_DEVICE_ID_AT, records[r].device, 1);
    put(at + osc::HEADER_PAYLOAD_LENGTH_AT, records[r].payloadLength, 2);
    put(at + osc::HEADER_COUNTER_AT, records[r].counter, 4);
    put(payload + osc::PAYLOAD_THERMISTOR_AT, records[r].thermistor, 2);
    for (int c = 0; c < 4; ++c) put(payload + osc::PAYLOAD_CHANNEL0_AT + 2 * c, records[r].channel0 + c, 2);
  }
  return bytes;
}

Passage::Passage(const std::string& config, const std::string& script) {
  dir.Write("c.json", config);
  environment = {{"LD_LIBRARY_PATH", SCRIPTED_TARVIK_DIR}, {"TARVIK_RECORD", dir.File("calls.txt")}};
  if (!script.empty()) environment.emplace_back("TARVIK_SCRIPT", dir.Write("script.json", script));
}

std::unique_ptr<Child> Passage::Start(const std::vector<std::string>& arguments) const {
  return std::make_unique<Child>([&] {
    if (::chdir(workingDirectory.c_str()) != 0) return 126;
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> argv = {const_cast<char*>(KORVANET_BINARY)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(KORVANET_BINARY, argv.data());
    return 127;
  });
}

std::vector<std::string> Passage::Calls(const std::string& prefix) const {
  std::vector<std::string> calls;
  for (const std::string& call : LogMessages(ReadFileText(dir.File("calls.txt"))))
    if (call.rfind(prefix, 0) == 0) calls.push_back(call);
  return calls;
}

FakeMaster::FakeMaster(uint16_t wanted) {
  for (int64_t deadline = NowMs() + 20000; fd < 0 && NowMs() < deadline;) {
    fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    int size = 8 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address = Loopback(wanted);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
      return;
    }
    ::close(fd);
    fd = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

FakeMaster::~FakeMaster() {
  if (fd >= 0) ::close(fd);
}

std::optional<std::string> FakeMaster::Receive(int timeout_ms, uint16_t* sourcePort) const {
  pollfd ready = {fd, POLLIN, 0};
  if (fd < 0 || ::poll(&ready, 1, timeout_ms) <= 0) return std::nullopt;
  std::string datagram(65536, '\0');
  sockaddr_in source{};
  socklen_t length = sizeof source;
  ssize_t n = ::recvfrom(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&source), &length);
  if (n < 0) return std::nullopt;
  if (sourcePort != nullptr) *sourcePort = ntohs(source.sin_port);
  datagram.resize(static_cast<size_t>(n));
  return datagram;
}

bool SendTo(uint16_t port, const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address = Loopback(port);
  bool sent = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
              static_cast<ssize_t>(bytes.size());
  ::close(fd);
  return sent;
}
