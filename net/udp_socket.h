// The socket layer under the master link: every system call of the link goes
// through these three operations, so the link's logic (net/master_link.cc)
// stays free of platform code. Implemented in udp_socket_posix.cc.
#pragma once

#include <cstddef>
#include <cstdint>

#include <netinet/in.h>

// Creates an IPv4 UDP socket with address reuse on, fills `boundAddress` with
// 0.0.0.0:localPort (localPort 0: any free port) and binds to it. Returns the
// socket, or -1 when it could not be created or bound (nothing is left open
// then). `boundPort` receives the port the system actually chose.
int OpenUdpSocket(uint16_t localPort, sockaddr_in& boundAddress, uint16_t& boundPort);

enum class ReceiveStatus {
  kData,         // `length` bytes are in the buffer
  kEmpty,        // a zero-length datagram
  kTooLarge,     // longer than the buffer; its first bytes are in it, the rest is lost
  kInterrupted,  // a signal broke the wait; nothing was received
  kFailed,       // any other error; `errorCode` holds errno
};

struct ReceiveOutcome {
  ReceiveStatus status = ReceiveStatus::kFailed;
  size_t length = 0;  // bytes received (kData); the full datagram size (kTooLarge)
  int errorCode = 0;
};

// Blocks until one datagram arrives on `socketHandle`, writes at most
// `bufferBytes` of it into `buffer` and its source into `peer`/`peerLength`.
ReceiveOutcome ReceiveDatagram(int socketHandle, char* buffer, size_t bufferBytes, sockaddr_in& peer,
                               int32_t& peerLength);

// Sends `length` bytes as one datagram to 127.0.0.1:port. The outcome is not
// reported: a datagram the master never gets is simply lost.
void SendDatagram(int socketHandle, uint16_t port, const char* data, size_t length);
