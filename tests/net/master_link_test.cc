// The master link in this process over real loopback sockets: what the
// receive loop dispatches and logs, and the sends to the master.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "config/settings.h"
#include "net/net.h"
#include "tests/support/harness.h"

namespace {

std::mutex lock;
std::vector<std::pair<std::string, bool>> dispatched;  // bytes, every later byte of the buffer zero; GUARDED by lock

void Record(int32_t linkId, const char* data, uint16_t length) {
  EXPECT_EQ(linkId, 23);
  std::lock_guard<std::mutex> guard(lock);
  dispatched.emplace_back(std::string(data, length),
                          std::all_of(data + length, data + MASTER_RECEIVE_BUFFER_BYTES, [](char c) { return !c; }));
}

size_t DispatchedCount() {
  std::lock_guard<std::mutex> guard(lock);
  return dispatched.size();
}

std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

// A link as the program opens it, with id 23 so that a hard-coded 10 shows.
std::unique_ptr<MasterLink> OpenLink() {
  auto link = std::make_unique<MasterLink>();
  link->receiveBufferSize = MASTER_RECEIVE_BUFFER_BYTES;
  link->linkId = 23;
  link->onData = Record;
  link->clearBeforeReceive = true;
  EXPECT_EQ(OpenMasterLink(*link), LINK_OK);
  return link;
}

TEST(MasterLink, ReceiveLoopDispatchesWholeDatagramsAndEndsOnAFailedReceive) {
  dispatched.clear();
  testing::internal::CaptureStderr();
  std::unique_ptr<MasterLink> link = OpenLink();
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(link->socketHandle, reinterpret_cast<sockaddr*>(&address), &length);
  uint16_t port = ntohs(address.sin_port);
  int result = LINK_OK;
  std::thread loop([&] { result = ReceiveLoop(*link); });
  // Port-unreachable answers to sends nobody takes must not break the loop.
  masterPort = FakeMaster(0).port;
  for (int i = 0; i < 3; ++i) SendToMaster(*link, "{\"lost\":1}");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // After the full buffer, the short datagram must carry no leftovers.
  for (const std::string& bytes : {Pattern(MASTER_RECEIVE_BUFFER_BYTES), Pattern(MASTER_RECEIVE_BUFFER_BYTES + 1),
                                   std::string(), std::string("short")}) {
    SendTo(port, bytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (int i = 0; i < 500 && DispatchedCount() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The receive under way keeps waiting: the wake datagram ends it, and the
  // next one times out, the way any receive error ends the loop.
  timeval timeout = {0, 1000};
  ::setsockopt(link->socketHandle, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  SendTo(port, "wake");
  loop.join();
  ::close(link->socketHandle);
  masterPort = MASTER_PORT;
  std::vector<std::string> log = LogMessages(testing::internal::GetCapturedStderr());
  ASSERT_EQ(dispatched.size(), 3u);
  EXPECT_TRUE(dispatched[0].first == Pattern(MASTER_RECEIVE_BUFFER_BYTES));
  EXPECT_EQ(dispatched[1], std::make_pair(std::string("short"), true));
  EXPECT_EQ(log, (std::vector<std::string>{"UDP id 23 bound to local port " + std::to_string(port),
                                           "UDP id 23 read failed with error code : 10040", "UDP id 23 read 0 bytes",
                                           "UDP id 23 read failed with error code : 11"}));
  EXPECT_EQ(result, LINK_RECEIVE_FAILED);
}

TEST(MasterLink, SendsOneDatagramFromItsPortAndNoneAboveTheLargest) {
  FakeMaster master(0);
  masterPort = master.port;
  testing::internal::CaptureStderr();
  std::unique_ptr<MasterLink> link = OpenLink();
  SendToMaster(*link, Pattern(MAX_DATAGRAM_BYTES));
  uint16_t from = 0;
  EXPECT_EQ(master.Receive(2000, &from), Pattern(MAX_DATAGRAM_BYTES));
  SendToMaster(*link, Pattern(MAX_DATAGRAM_BYTES + 1));
  EXPECT_FALSE(master.Receive(300));
  std::vector<std::string> log = LogMessages(testing::internal::GetCapturedStderr());
  EXPECT_EQ(log.at(0), "UDP id 23 bound to local port " + std::to_string(from));
  EXPECT_EQ(log.at(1), "Message of 65508 bytes not sent to the master: a UDP datagram holds at most 65507 bytes");

  // The port is taken, without address reuse: the bind fails, and the
  // process ends without a line of its own.
  MasterLink taken;
  taken.localPort = master.port;
  testing::internal::CaptureStderr();
  EXPECT_EQ(OpenMasterLink(taken), LINK_BIND_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ::close(link->socketHandle);
  masterPort = MASTER_PORT;
}

}  // namespace
