// POSIX sockets for the master link. On Linux an unconnected UDP socket does
// not turn port-unreachable answers into receive errors, so a send to a
// master that is not listening never breaks the receive loop, and nothing
// needs switching off for it.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/udp_socket.h"

int OpenUdpSocket(uint16_t localPort, sockaddr_in& boundAddress, uint16_t& boundPort) {
  int handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (handle < 0) return -1;
  int reuse = 1;
  // A failure here is harmless as long as the bind succeeds.
  ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

  std::memset(&boundAddress, 0, sizeof boundAddress);
  boundAddress.sin_family = AF_INET;
  boundAddress.sin_port = htons(localPort);
  boundAddress.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(handle, reinterpret_cast<const sockaddr*>(&boundAddress), sizeof boundAddress) != 0) {
    ::close(handle);
    return -1;
  }

  boundPort = localPort;
  sockaddr_in chosen {};
  socklen_t chosenLength = sizeof chosen;
  if (::getsockname(handle, reinterpret_cast<sockaddr*>(&chosen), &chosenLength) == 0)
    boundPort = ntohs(chosen.sin_port);
  return handle;
}

ReceiveOutcome ReceiveDatagram(int socketHandle, char* buffer, size_t bufferBytes, sockaddr_in& peer,
                               int32_t& peerLength) {
  socklen_t addressLength = static_cast<socklen_t>(peerLength);
  // MSG_TRUNC makes the call return the datagram's real length even when it
  // did not fit, which is how an oversized datagram is told apart.
  ssize_t received = ::recvfrom(socketHandle, buffer, bufferBytes, MSG_TRUNC,
                                reinterpret_cast<sockaddr*>(&peer), &addressLength);
  ReceiveOutcome outcome;
  if (received < 0) {
    outcome.errorCode = errno;
    outcome.status = outcome.errorCode == EINTR ? ReceiveStatus::kInterrupted : ReceiveStatus::kFailed;
    return outcome;
  }
  peerLength = static_cast<int32_t>(addressLength);
  outcome.length = static_cast<size_t>(received);
  if (outcome.length == 0)
    outcome.status = ReceiveStatus::kEmpty;
  else if (outcome.length > bufferBytes)
    outcome.status = ReceiveStatus::kTooLarge;
  else
    outcome.status = ReceiveStatus::kData;
  return outcome;
}

void SendDatagram(int socketHandle, uint16_t port, const char* data, size_t length) {
  sockaddr_in destination {};
  destination.sin_family = AF_INET;
  destination.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &destination.sin_addr);
  ::sendto(socketHandle, data, length, 0, reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
}
