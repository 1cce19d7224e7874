#include "tests/support/master_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

constexpr int LISTENER_RECEIVE_BUFFER_BYTES = 8 * 1024 * 1024;

sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

MasterListener::MasterListener(uint16_t port, int bindWait_ms) {
  int64_t deadline_ms = NowMs() + bindWait_ms;
  for (;;) {
    int handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle < 0) return;
    int size = LISTENER_RECEIVE_BUFFER_BYTES;
    ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in address = LoopbackAddress(port);
    if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      socklen_t length = sizeof address;
      ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
      handle_ = handle;
      port_ = ntohs(address.sin_port);
      return;
    }
    ::close(handle);
    if (NowMs() >= deadline_ms) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

MasterListener::~MasterListener() {
  if (handle_ >= 0) ::close(handle_);
}

std::optional<ReceivedDatagram> MasterListener::Receive(int timeout_ms) {
  if (handle_ < 0) return std::nullopt;
  pollfd ready = {handle_, POLLIN, 0};
  if (::poll(&ready, 1, timeout_ms) <= 0) return std::nullopt;
  std::string buffer(65536, '\0');
  sockaddr_in source {};
  socklen_t sourceLength = sizeof source;
  ssize_t received =
      ::recvfrom(handle_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
  if (received < 0) return std::nullopt;
  buffer.resize(static_cast<size_t>(received));
  return ReceivedDatagram{std::move(buffer), ntohs(source.sin_port)};
}

std::vector<ReceivedDatagram> MasterListener::ReceiveMany(size_t count, int timeout_ms) {
  std::vector<ReceivedDatagram> datagrams;
  int64_t deadline_ms = NowMs() + timeout_ms;
  while (datagrams.size() < count) {
    int64_t left_ms = deadline_ms - NowMs();
    if (left_ms <= 0) break;
    std::optional<ReceivedDatagram> datagram = Receive(static_cast<int>(left_ms));
    if (!datagram) break;
    datagrams.push_back(std::move(*datagram));
  }
  return datagrams;
}

bool SendDatagramTo(uint16_t port, const std::string& bytes) {
  int handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (handle < 0) return false;
  sockaddr_in address = LoopbackAddress(port);
  ssize_t sent =
      ::sendto(handle, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::close(handle);
  return sent == static_cast<ssize_t>(bytes.size());
}

uint16_t UnusedUdpPort() {
  int handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (handle < 0) return 0;
  sockaddr_in address = LoopbackAddress(0);
  socklen_t length = sizeof address;
  uint16_t port = 0;
  if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(handle);
  return port;
}
