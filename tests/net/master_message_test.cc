// The master's datagrams as the handler reads them: only a well-formed
// "status" message changes the server id, and anything else, however
// malformed, costs at most one log line.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <vector>

#include "net/net.h"
#include "tests/support/run_program.h"

namespace {

const char* const UNCHANGED = "before";

std::string Status(const std::string& param, const std::string& cmd = "status") {
  return "{\"cmd\":\"" + cmd + "\",\"param\":" + param + ",\"name\":\"master\",\"id\":1}";
}
std::string ServerIdParam(const std::string& serverId) {
  return "\"{\\\"ServerId\\\":\\\"" + serverId + "\\\"}\"";
}

// A status message of exactly `length` bytes, padded with blanks inside.
std::string StatusOfLength(size_t length, const std::string& serverId) {
  std::string message = Status(ServerIdParam(serverId));
  message.insert(1, length - message.size(), ' ');
  return message;
}

std::string Nested(size_t depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

struct MessageCase {
  const char* name;
  std::string datagram;
  std::string serverIdAfter;
  std::string logPrefix;  // "" : no line at all; otherwise exactly one line starting so
};

std::vector<MessageCase> MessageCases() {
  const std::string tooBig = "{\"cmd\":\"status\",\"param\":" + ServerIdParam("x") + ",\"id\":1e999}";
  return {
      {"status", Status(ServerIdParam("srv-1")), "srv-1", ""},
      {"status without name and id", "{\"cmd\":\"status\",\"param\":" + ServerIdParam("srv-2") + "}", "srv-2", ""},
      {"status filling the whole buffer", StatusOfLength(MASTER_RECEIVE_BUFFER_BYTES, "srv-full"), "srv-full", ""},
      {"status followed by a zero and junk", Status(ServerIdParam("srv-nul")) + std::string(1, '\0') + "junk",
       "srv-nul", ""},
      {"status with a huge integer id", "{\"cmd\":\"status\",\"param\":" + ServerIdParam("srv-big") +
       ",\"id\":123456789012345678901234567890}", "srv-big", ""},
      {"status with deep nesting beside it",
       "{\"cmd\":\"status\",\"param\":" + ServerIdParam("srv-deep") + ",\"extra\":" + Nested(29000, "0") + "}",
       "srv-deep", ""},
      {"cmd in other letter case", Status(ServerIdParam("x"), "Status"), UNCHANGED, ""},
      {"cmd with a trailing blank", Status(ServerIdParam("x"), "status "), UNCHANGED, ""},
      {"cmd with an embedded zero", Status(ServerIdParam("x"), "status\\u0000"), UNCHANGED, ""},
      {"another cmd", Status(ServerIdParam("x"), "ping"), UNCHANGED, ""},
      {"plain text", "hello", UNCHANGED, "UDP id 10 message of 5 bytes ignored: not JSON: "},
      {"binary junk", std::string("\0\xff\x01{\"cmd\"", 9), UNCHANGED,
       "UDP id 10 message of 9 bytes ignored: not JSON: "},
      {"number too big for a double", tooBig, UNCHANGED,
       "UDP id 10 message of " + std::to_string(tooBig.size()) + " bytes ignored: not JSON: "},
      {"only opening brackets", std::string(MASTER_RECEIVE_BUFFER_BYTES, '['), UNCHANGED,
       "UDP id 10 message of 60000 bytes ignored: not JSON: "},
      {"an array", "[1,2]", UNCHANGED, "UDP id 10 message of 5 bytes ignored: not a JSON object"},
      {"no cmd", "{\"param\":\"x\"}", UNCHANGED, "UDP id 10 message of 13 bytes ignored: no string \"cmd\""},
      {"cmd not a string", "{\"cmd\":5}", UNCHANGED, "UDP id 10 message of 9 bytes ignored: no string \"cmd\""},
      {"param not a string", Status("5"), UNCHANGED, "UDP id 10 status message ignored: no string \"param\""},
      {"param not JSON", Status("\"not json\""), UNCHANGED, "Master status ignored: "},
      {"ServerId not a string", Status("\"{\\\"ServerId\\\":5}\""), UNCHANGED, "Master status ignored: "},
      {"param an array", Status("\"[\\\"srv\\\"]\""), UNCHANGED, "Master status ignored: "},
  };
}

struct MessageOutcome {
  std::string serverId;
  std::vector<std::string> logLines;
};

// The receive thread has no more stack than any other thread; a handler
// that recursed per nesting level would overflow a small one.
void RunOnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 512 * 1024);
  pthread_t thread;
  auto body = [](void* argument) -> void* {
    (*static_cast<const std::function<void()>*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, body, const_cast<std::function<void()>*>(&work)), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

TEST(MasterMessage, OnlyWellFormedStatusMessagesSetTheServerIdAndJunkCostsOneLine) {
  const std::vector<MessageCase> cases = MessageCases();
  std::vector<MessageOutcome> outcomes;
  RunOnSmallStack([&] {
    for (const MessageCase& test : cases) {
      OnStatusMessage("{\"ServerId\":\"before\"}");
      // Bytes after the datagram are not zero, so reading past its length shows.
      std::string buffer = test.datagram + std::string(64, 'x');
      testing::internal::CaptureStderr();
      OnMasterMessage(MASTER_LINK_ID, buffer.data(), static_cast<uint16_t>(test.datagram.size()));
      std::string log = testing::internal::GetCapturedStderr();
      outcomes.push_back({ServerId(), log.empty() ? std::vector<std::string>{} : LogMessages(log)});
    }
  });
  ASSERT_EQ(outcomes.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(outcomes[i].serverId, cases[i].serverIdAfter);
    if (cases[i].logPrefix.empty()) {
      EXPECT_TRUE(outcomes[i].logLines.empty()) << outcomes[i].logLines.front();
    } else {
      ASSERT_EQ(outcomes[i].logLines.size(), 1u);
      EXPECT_EQ(outcomes[i].logLines[0].rfind(cases[i].logPrefix, 0), 0u) << outcomes[i].logLines[0];
    }
  }
}

}  // namespace
