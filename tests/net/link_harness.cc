#include "tests/net/link_harness.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "tests/support/master_listener.h"

namespace {

const char* const SETTLE_MARKER_PREFIX = "{\"cmd\":\"settle\",\"id\":";
// Ignored without a log line by OnMasterMessage and left out by the recorder.
const char* const WAKE_DATAGRAM = "{\"cmd\":\"settle\",\"id\":-1}";

std::mutex recordLock;
std::condition_variable recordChanged;
std::vector<DispatchedDatagram> recorded;  // GUARDED by recordLock
int lastSettleMarker = 0;                  // GUARDED by recordLock
int nextSettleMarker = 0;                  // GUARDED by recordLock; unique over all links

bool IsSettleMarker(const std::string& bytes) { return bytes.rfind(SETTLE_MARKER_PREFIX, 0) == 0; }

}  // namespace

void RecordDatagram(int32_t linkId, const char* data, uint16_t length) {
  DispatchedDatagram datagram;
  datagram.linkId = linkId;
  datagram.bytes.assign(data, length);
  // The handler is given a pointer into the link's 60000-byte buffer.
  const char* bufferEnd = data + MASTER_RECEIVE_BUFFER_BYTES;
  datagram.restOfBufferZero = std::all_of(data + length, bufferEnd, [](char c) { return c == '\0'; });
  std::lock_guard<std::mutex> guard(recordLock);
  if (IsSettleMarker(datagram.bytes)) {
    int marker = std::stoi(datagram.bytes.substr(std::string(SETTLE_MARKER_PREFIX).size()));
    lastSettleMarker = std::max(lastSettleMarker, marker);
  } else {
    recorded.push_back(std::move(datagram));
  }
  recordChanged.notify_all();
}

std::vector<DispatchedDatagram> RecordedDatagrams() {
  std::lock_guard<std::mutex> guard(recordLock);
  return recorded;
}

void ClearRecordedDatagrams() {
  std::lock_guard<std::mutex> guard(recordLock);
  recorded.clear();
}

RunningLink::RunningLink(MasterDataHandler onData, int32_t linkId) : link_(std::make_unique<MasterLink>()) {
  link_->receiveBufferSize = MASTER_RECEIVE_BUFFER_BYTES;
  link_->linkId = linkId;
  link_->localPort = 0;
  link_->onData = onData;
  link_->clearBeforeReceive = true;
  if (OpenMasterLink(*link_) != LINK_OK) return;
  opened_ = true;
  sockaddr_in address {};
  socklen_t length = sizeof address;
  ::getsockname(link_->socketHandle, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  loop_ = std::thread([this] { loopResult_ = ReceiveLoop(*link_); });
}

RunningLink::~RunningLink() {
  if (loop_.joinable()) Stop();
  if (link_->socketHandle >= 0) ::close(link_->socketHandle);
}

void RunningLink::Send(const std::string& bytes) const { SendDatagramTo(port_, bytes); }

bool RunningLink::Settle() {
  int marker = 0;
  {
    std::lock_guard<std::mutex> guard(recordLock);
    marker = ++nextSettleMarker;
  }
  Send(SETTLE_MARKER_PREFIX + std::to_string(marker) + "}");
  std::unique_lock<std::mutex> lock(recordLock);
  return recordChanged.wait_for(lock, std::chrono::seconds(5), [&] { return lastSettleMarker >= marker; });
}

int RunningLink::Stop() {
  if (!loop_.joinable()) return loopResult_;
  // The receive already waiting keeps its endless wait; the wake datagram
  // ends it, and the next receive then fails with EAGAIN.
  timeval timeout = {0, 1000};
  ::setsockopt(link_->socketHandle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  Send(WAKE_DATAGRAM);
  loop_.join();
  return loopResult_;
}
