// A UDP listener standing in for the master server, and small datagram
// helpers for tests of the master link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ReceivedDatagram {
  std::string bytes;
  uint16_t sourcePort = 0;
};

class MasterListener {
 public:
  // Binds 127.0.0.1:port exclusively (port 0: any free port). Other test runs
  // on this machine may hold the master port for a moment, so the bind is
  // retried for up to bindWait_ms. The receive buffer is made large so that a
  // long series of result messages is not dropped.
  explicit MasterListener(uint16_t port, int bindWait_ms = 20000);
  ~MasterListener();
  MasterListener(const MasterListener&) = delete;
  MasterListener& operator=(const MasterListener&) = delete;

  bool bound() const { return handle_ >= 0; }
  uint16_t port() const { return port_; }
  // The next datagram, or nothing when none arrives within timeout_ms.
  std::optional<ReceivedDatagram> Receive(int timeout_ms);
  // Datagrams until `count` have arrived or timeout_ms has passed in all.
  std::vector<ReceivedDatagram> ReceiveMany(size_t count, int timeout_ms);

 private:
  int handle_ = -1;
  uint16_t port_ = 0;
};

// Sends `bytes` as one datagram from a fresh socket to 127.0.0.1:port.
// Returns false when the send call failed.
bool SendDatagramTo(uint16_t port, const std::string& bytes);

// A UDP port on which nothing was bound a moment ago.
uint16_t UnusedUdpPort();
