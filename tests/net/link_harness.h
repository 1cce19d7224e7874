// Runs a real master link in the test process: the socket bound by
// OpenMasterLink, ReceiveLoop on its own thread, and a way to end the loop
// that the program itself never needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"

// One datagram as the link handed it to the recording handler.
struct DispatchedDatagram {
  int32_t linkId = 0;
  std::string bytes;
  bool restOfBufferZero = false;  // every buffer byte after the datagram was zero
};

// The recording data handler and what it saw, in order. The settle markers
// of RunningLink are left out.
void RecordDatagram(int32_t linkId, const char* data, uint16_t length);
std::vector<DispatchedDatagram> RecordedDatagrams();
void ClearRecordedDatagrams();

class RunningLink {
 public:
  // Opens a link with `onData` and link id `linkId`, buffer clearing on, and
  // starts ReceiveLoop. opened() tells whether OpenMasterLink succeeded.
  RunningLink(MasterDataHandler onData, int32_t linkId);
  ~RunningLink();

  bool opened() const { return opened_; }
  MasterLink& link() { return *link_; }
  uint16_t port() const { return port_; }

  // Sends one datagram to the link's port.
  void Send(const std::string& bytes) const;
  // Returns once every datagram sent before has been handled (only with the
  // recording handler), so that a burst never overflows the socket buffer.
  bool Settle();
  // Makes the next receive time out, wakes the loop and joins it. Returns
  // what ReceiveLoop returned.
  int Stop();

 private:
  std::unique_ptr<MasterLink> link_;
  std::thread loop_;
  bool opened_ = false;
  uint16_t port_ = 0;
  int loopResult_ = LINK_OK;
};
