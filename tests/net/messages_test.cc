// The messages exchanged with the master: the result messages byte for byte,
// with the cut points of a part series, and what the master's own datagrams
// change.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include "config/settings.h"
#include "net/net.h"
#include "tests/support/harness.h"

namespace {

// An escaped document of `length` bytes whose backslash-quote pairs and
// two-byte characters fall on every kind of offset, so that cut points split
// some of them, as they may in real documents.
std::string EscapedDocument(size_t length) {
  std::string document;
  while (document.size() < length) document += "{\\\"axle\\\":7,\\\"name\\\":\\\"v\xc3\xa4gen\\\",\\\"w\\\":21.5},";
  return document.substr(0, length);
}

std::string PartHead(const std::string& trainId, size_t part) {
  return "{\"cmd\":\"scales_result_part\",\"param\":\"" + trainId + "\",\"paramInt\":" + std::to_string(part) +
         ",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"";
}

TEST(ResultMessages, OneMessageOrANumberedSeriesThatJoinsBackExactly) {
  // The identifier is copied as it is, even where that leaves invalid JSON.
  const std::string id = "a\"b\\c";
  EXPECT_EQ(BuildResultMessages(id, "{\\\"x\\\":1}"),
            std::vector<std::string>{"{\"cmd\":\"scales_result\",\"param\":\"a\"b\\c\",\"name\":\"recorderScales\","
                                     "\"id\":0,\"values\":[\"{\\\"x\\\":1}\"]}"});
  const size_t CHUNK = RESULT_CHUNK_SIZE;
  const std::pair<size_t, size_t> cases[] = {  // document bytes, parts (0: one "scales_result" message)
      {0, 0}, {CHUNK, 0}, {CHUNK + 1, 2}, {2 * CHUNK, 3} /* ends with an empty part */, {11 * CHUNK - 1, 11}};
  for (auto [bytes, parts] : cases) {
    SCOPED_TRACE(bytes);
    const std::string document = EscapedDocument(bytes);
    std::vector<std::string> messages = BuildResultMessages("T-1", document);
    if (parts == 0) {
      EXPECT_EQ(messages, std::vector<std::string>{"{\"cmd\":\"scales_result\",\"param\":\"T-1\",\"name\":\"recorderScales\","
                                                   "\"id\":0,\"values\":[\"" + document + "\"]}"});
      continue;
    }
    ASSERT_EQ(messages.size(), parts + 1);
    std::string joined;
    for (size_t part = 0; part < parts; ++part) {
      const std::string& message = messages[part];
      size_t head = PartHead("T-1", part).size();
      ASSERT_EQ(message.substr(0, head), PartHead("T-1", part));
      ASSERT_EQ(message.substr(message.size() - 3), "\"]}");
      EXPECT_EQ(message.size() - head - 3, std::min(CHUNK, bytes - part * CHUNK));
      EXPECT_LE(message.size(), MAX_DATAGRAM_BYTES - (MAX_TRAIN_ID_BYTES - 3));  // any identifier taken fits
      joined += message.substr(head, message.size() - head - 3);
    }
    EXPECT_TRUE(joined == document);
    EXPECT_EQ(messages.back(), "{\"cmd\":\"scales_result_part\",\"param\":\"T-1\",\"paramInt\":-1,"
                               "\"name\":\"recorderScales\",\"id\":0,\"values\":[]}");
  }
}

TEST(ResultMessages, ASeriesLeavesTheLinkWholeAndInOrder) {
  FakeMaster master(0);
  masterPort = master.port;
  MasterLink link;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OpenMasterLink(link), LINK_OK);
  testing::internal::GetCapturedStderr();
  const std::string document = EscapedDocument(2 * RESULT_CHUNK_SIZE + 7);
  SendResultMessages(link, "T-1", document);
  for (const std::string& expected : BuildResultMessages("T-1", document)) EXPECT_TRUE(master.Receive(5000) == expected);
  EXPECT_FALSE(master.Receive(100)) << "more messages than expected";
  ::close(link.socketHandle);
  masterPort = MASTER_PORT;
}

// Only a well-formed "status" message changes the server id. The rows of bad
// datagrams are in BadInput.MasterDatagramsDuringAPassage, through the program.
TEST(MasterMessage, OnlyWellFormedStatusMessagesSetTheServerId) {
  static const std::pair<std::string, std::string> cases[] = {  // datagram, server id after it
      {R"({"cmd":"status","param":"{\"ServerId\":\"srv-1\"}","name":"master","id":1})", "srv-1"},
      {R"({"cmd":"status","param":"{\"ServerId\":\"srv-2\"}"})", "srv-2"},
      // Deep nesting beside it: the parser must not recurse on a thread's stack.
      {R"({"cmd":"status","param":"{\"ServerId\":\"deep\"}","x":)" + std::string(29000, '[') +
           std::string(29000, ']') + "}",
       "deep"},
      {R"({"cmd":"Status","param":"{\"ServerId\":\"x\"}"})", "before"},
      {R"({"cmd":"ping","param":"{\"ServerId\":\"x\"}"})", "before"},
      {R"({"cmd":"status","param":"{\"ServerId\":5}"})", "before"},  // with a log line
      {R"({"cmd":"status","param":"[\"srv\"]"})", "before"},         // with a log line
  };
  static std::vector<std::string> serverIds;
  auto body = [](void*) -> void* {
    for (const auto& [datagram, ignored] : cases) {
      OnStatusMessage("{\"ServerId\":\"before\"}");
      // Bytes after the datagram are not zero, so a read past its length shows.
      std::string buffer = datagram + std::string(64, 'x');
      OnMasterMessage(MASTER_LINK_ID, buffer.data(), static_cast<uint16_t>(datagram.size()));
      serverIds.push_back(ServerId());
    }
    return nullptr;
  };
  // The receive thread has no more stack than any other thread.
  pthread_attr_t small;
  pthread_attr_init(&small);
  pthread_attr_setstacksize(&small, 512 * 1024);
  pthread_t thread;
  testing::internal::CaptureStderr();
  ASSERT_EQ(pthread_create(&thread, &small, body, nullptr), 0);
  pthread_join(thread, nullptr);
  EXPECT_EQ(LogMessages(testing::internal::GetCapturedStderr()),
            std::vector<std::string>(2, "Master status ignored: its param holds no JSON object with a string \"ServerId\""));
  std::vector<std::string> expected;
  for (const auto& c : cases) expected.push_back(c.second);
  EXPECT_EQ(serverIds, expected);
}

}  // namespace
