// The master link through real loopback sockets: what the receive loop
// dispatches and logs, and the send to the master.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "config/settings.h"
#include "net/net.h"
#include "tests/net/link_harness.h"
#include "tests/support/master_listener.h"
#include "tests/support/run_program.h"

namespace {

// Not the program's 10, so that a hard-coded id in a log line shows.
constexpr int32_t TEST_LINK_ID = 23;

std::string Pattern(size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

int CountLines(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

// Points the link's sends elsewhere for one test, then back at the master.
struct MasterPortOverride {
  explicit MasterPortOverride(uint16_t port) { masterPort = port; }
  ~MasterPortOverride() { masterPort = MASTER_PORT; }
};

TEST(MasterLink, DispatchesWholeDatagramsAndLogsEmptyOversizedAndFailedReceives) {
  ClearRecordedDatagrams();
  testing::internal::CaptureStderr();
  int loopResult = LINK_OK;
  uint16_t port = 0;
  const std::string full = Pattern(MASTER_RECEIVE_BUFFER_BYTES);
  const std::string oversized = Pattern(MASTER_RECEIVE_BUFFER_BYTES + 1);
  {
    RunningLink running(RecordDatagram, TEST_LINK_ID);
    ASSERT_TRUE(running.opened());
    port = running.port();
    for (const std::string* bytes : {&full, &oversized}) {
      running.Send(*bytes);
      ASSERT_TRUE(running.Settle());
    }
    running.Send("");
    ASSERT_TRUE(running.Settle());
    running.Send("short");  // after the full one: no leftovers may follow it
    ASSERT_TRUE(running.Settle());
    loopResult = running.Stop();
  }
  std::vector<std::string> log = LogMessages(testing::internal::GetCapturedStderr());

  std::vector<DispatchedDatagram> dispatched = RecordedDatagrams();
  ASSERT_EQ(dispatched.size(), 2u);
  EXPECT_EQ(dispatched[0].bytes, full);
  EXPECT_EQ(dispatched[1].bytes, "short");
  EXPECT_TRUE(dispatched[1].restOfBufferZero);
  for (const DispatchedDatagram& datagram : dispatched) EXPECT_EQ(datagram.linkId, TEST_LINK_ID);

  EXPECT_TRUE(HasLine(log, "UDP id 23 bound to local port " + std::to_string(port)));
  EXPECT_EQ(CountLines(log, "UDP id 23 read failed with error code : 10040"), 1);
  EXPECT_EQ(CountLines(log, "UDP id 23 read 0 bytes"), 1);
  // The harness ends the loop with a receive timeout (EAGAIN): a failure
  // other than an oversized datagram ends the loop with its errno logged.
  EXPECT_TRUE(HasLine(log, "UDP id 23 read failed with error code : 11"));
  EXPECT_EQ(loopResult, LINK_RECEIVE_FAILED);
}

TEST(MasterLink, SendsWithNobodyListeningLeaveTheReceiveLoopRunning) {
  ClearRecordedDatagrams();
  testing::internal::CaptureStderr();
  {
    RunningLink running(RecordDatagram, TEST_LINK_ID);
    ASSERT_TRUE(running.opened());
    MasterPortOverride nobodyListening(UnusedUdpPort());
    for (int i = 0; i < 3; ++i) SendToMaster(running.link(), "{\"lost\":" + std::to_string(i) + "}");
    // Port-unreachable answers are back on loopback before this returns.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    running.Send("after");
    ASSERT_TRUE(running.Settle());
    running.Stop();
  }
  std::vector<std::string> log = LogMessages(testing::internal::GetCapturedStderr());
  std::vector<DispatchedDatagram> dispatched = RecordedDatagrams();
  ASSERT_EQ(dispatched.size(), 1u);
  EXPECT_EQ(dispatched[0].bytes, "after");
  int failedReads = 0;
  for (const std::string& line : log) failedReads += line.rfind("UDP id 23 read failed", 0) == 0;
  EXPECT_EQ(failedReads, 1) << "only the harness's own stop may fail a receive";
}

TEST(MasterLink, SendsOneDatagramFromTheLinksPortAndRefusesTextsAboveTheLargestDatagram) {
  MasterListener master(0);
  ASSERT_TRUE(master.bound());
  MasterPortOverride toListener(master.port());
  const std::string largest = Pattern(MAX_DATAGRAM_BYTES);
  std::optional<ReceivedDatagram> received, refused;
  uint16_t linkPort = 0;
  testing::internal::CaptureStderr();
  {
    RunningLink running(RecordDatagram, TEST_LINK_ID);
    linkPort = running.port();
    SendToMaster(running.link(), largest);
    received = master.Receive(2000);
    SendToMaster(running.link(), Pattern(MAX_DATAGRAM_BYTES + 1));
    refused = master.Receive(300);
  }
  std::vector<std::string> log = LogMessages(testing::internal::GetCapturedStderr());
  ASSERT_NE(linkPort, 0);
  ASSERT_TRUE(received);
  EXPECT_EQ(received->bytes, largest);
  EXPECT_EQ(received->sourcePort, linkPort);
  EXPECT_FALSE(refused);
  EXPECT_TRUE(HasLine(log, "Message of 65508 bytes not sent to the master: a UDP datagram holds at most 65507 bytes"));
}

TEST(MasterLink, BindFailureReturnsWithoutALogLine) {
  MasterListener holder(0);  // bound without address reuse: nobody may share it
  ASSERT_TRUE(holder.bound());
  MasterLink link;
  link.localPort = holder.port();
  link.linkId = TEST_LINK_ID;
  testing::internal::CaptureStderr();
  int result = OpenMasterLink(link);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, LINK_BIND_FAILED);
  EXPECT_LT(link.socketHandle, 0);
  EXPECT_EQ(log, "");
}

}  // namespace
