// The result messages byte for byte: the single message, the part series
// with its cut points and numbers, the closing message, and the series as
// the master receives it on 127.0.0.1:3021.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "net/net.h"
#include "tests/support/master_listener.h"

namespace {

const std::string TRAIN_ID = "T-2026/0417";

// An escaped document of exactly `length` bytes. Its backslash-quote pairs
// and two-byte characters fall on every kind of offset, so the cut points
// split some of them, as they may in real documents.
std::string EscapedDocument(size_t length) {
  const std::string piece = "{\\\"axle\\\":7,\\\"name\\\":\\\"v\xc3\xa4gen\\\",\\\"weight\\\":21.5},";
  std::string document;
  document.reserve(length + piece.size());
  while (document.size() < length) document += piece;
  document.resize(length);
  return document;
}

std::string PartPrefix(const std::string& trainId, const std::string& number) {
  return "{\"cmd\":\"scales_result_part\",\"param\":\"" + trainId + "\",\"paramInt\":" + number +
         ",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"";
}

std::string ClosingMessage(const std::string& trainId) {
  return "{\"cmd\":\"scales_result_part\",\"param\":\"" + trainId +
         "\",\"paramInt\":-1,\"name\":\"recorderScales\",\"id\":0,\"values\":[]}";
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }
bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(ResultMessages, ShortDocumentGoesOutAsOneValidScalesResultMessage) {
  const std::string document = "{\\\"correct\\\":true,\\\"total_weight\\\":84.25}";
  std::vector<std::string> messages = BuildResultMessages(TRAIN_ID, document);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0],
            "{\"cmd\":\"scales_result\",\"param\":\"T-2026/0417\",\"name\":\"recorderScales\",\"id\":0,"
            "\"values\":[\"{\\\"correct\\\":true,\\\"total_weight\\\":84.25}\"]}");

  rapidjson::Document parsed;
  parsed.Parse(messages[0].c_str());
  ASSERT_FALSE(parsed.HasParseError());
  EXPECT_STREQ(parsed["values"][0].GetString(), "{\"correct\":true,\"total_weight\":84.25}");
  EXPECT_EQ(parsed["id"].GetInt(), 0);
}

struct SeriesCase {
  size_t documentBytes;
  size_t partCount;  // 0: one "scales_result" message
};

TEST(ResultMessages, LongDocumentsAreCutIntoNumberedPartsThatJoinBackExactly) {
  const std::vector<SeriesCase> cases = {
      {0, 0},
      {RESULT_CHUNK_SIZE, 0},
      {RESULT_CHUNK_SIZE + 1, 2},
      {2 * RESULT_CHUNK_SIZE, 3},  // ends with an empty part
      {10 * RESULT_CHUNK_SIZE + 17, 11},
      {11 * RESULT_CHUNK_SIZE - 1, 11},  // part 10, written "10", is the last
  };
  for (const SeriesCase& test : cases) {
    SCOPED_TRACE("document of " + std::to_string(test.documentBytes) + " bytes");
    const std::string document = EscapedDocument(test.documentBytes);
    std::vector<std::string> messages = BuildResultMessages(TRAIN_ID, document);

    if (test.partCount == 0) {
      ASSERT_EQ(messages.size(), 1u);
      EXPECT_EQ(messages[0].size(), 79 + TRAIN_ID.size() + document.size());
      EXPECT_TRUE(StartsWith(messages[0], "{\"cmd\":\"scales_result\",\"param\":\"" + TRAIN_ID + "\","));
      EXPECT_EQ(messages[0].find("scales_result_part"), std::string::npos);
      continue;
    }

    ASSERT_EQ(messages.size(), test.partCount + 1);
    std::string joined;
    for (size_t part = 0; part < test.partCount; ++part) {
      const std::string& message = messages[part];
      const std::string prefix = PartPrefix(TRAIN_ID, std::to_string(part));
      ASSERT_TRUE(StartsWith(message, prefix)) << "part " << part;
      ASSERT_TRUE(EndsWith(message, "\"]}")) << "part " << part;
      std::string chunk = message.substr(prefix.size(), message.size() - prefix.size() - 3);
      size_t expectedChunk = std::min(RESULT_CHUNK_SIZE, document.size() - part * RESULT_CHUNK_SIZE);
      EXPECT_EQ(chunk.size(), expectedChunk) << "part " << part;
      EXPECT_EQ(message.size(), 96 + TRAIN_ID.size() + std::to_string(part).size() + expectedChunk);
      EXPECT_LE(message.size(), MAX_DATAGRAM_BYTES);
      joined += chunk;
    }
    EXPECT_TRUE(joined == document) << "joined parts differ from the document";
    EXPECT_EQ(messages.back(), ClosingMessage(TRAIN_ID));
  }
}

TEST(ResultMessages, TrainIdIsCopiedUnescapedIntoEveryMessage) {
  const std::string trainId = "a\"b\\c";
  std::vector<std::string> series = BuildResultMessages(trainId, EscapedDocument(RESULT_CHUNK_SIZE + 5));
  ASSERT_EQ(series.size(), 3u);
  EXPECT_TRUE(StartsWith(series[1], PartPrefix(trainId, "1")));
  EXPECT_EQ(series[2], ClosingMessage(trainId));
  EXPECT_EQ(BuildResultMessages(trainId, "{}")[0],
            "{\"cmd\":\"scales_result\",\"param\":\"a\"b\\c\",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"{}\"]}");
}

TEST(ResultMessages, MasterReceivesEveryMessageWholeAndInOrderFromTheLinksPort) {
  MasterListener master(MASTER_PORT);
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  masterPort = MASTER_PORT;
  MasterLink link;
  link.linkId = MASTER_LINK_ID;
  testing::internal::CaptureStderr();
  ASSERT_EQ(OpenMasterLink(link), LINK_OK);
  std::string openLog = testing::internal::GetCapturedStderr();
  const std::string boundLine = "UDP id 10 bound to local port ";
  size_t portAt = openLog.find(boundLine);
  ASSERT_NE(portAt, std::string::npos) << openLog;
  const int linkPort = std::stoi(openLog.substr(portAt + boundLine.size()));

  for (size_t documentBytes : {size_t{900}, 2 * RESULT_CHUNK_SIZE + 7}) {
    SCOPED_TRACE("document of " + std::to_string(documentBytes) + " bytes");
    const std::string document = EscapedDocument(documentBytes);
    std::vector<std::string> expected = BuildResultMessages(TRAIN_ID, document);
    SendResultMessages(link, TRAIN_ID, document);
    std::vector<ReceivedDatagram> received = master.ReceiveMany(expected.size(), 5000);
    ASSERT_EQ(received.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(received[i].bytes == expected[i]) << "message " << i << " differs";
      EXPECT_EQ(received[i].sourcePort, linkPort);
    }
    EXPECT_FALSE(master.Receive(100)) << "more messages than expected";
  }
  ::close(link.socketHandle);
}

}  // namespace
