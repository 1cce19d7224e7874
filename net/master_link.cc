// The master link's logic: opening, the receive loop with its log lines, the
// master's messages and the send to the master. The socket calls themselves
// are in udp_socket_posix.cc.
#include <algorithm>
#include <mutex>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "config/settings.h"
#include "log/log.h"
#include "net/net.h"
#include "net/udp_socket.h"

namespace {

// The master's messages come from outside the process: nesting depth is not
// bounded by anything but the datagram size, so the parser must not recurse.
constexpr unsigned MASTER_PARSE_FLAGS = rapidjson::kParseDefaultFlags | rapidjson::kParseIterativeFlag;

// GUARDS serverId. The receive thread writes it; tests read it from theirs.
// Both are never destroyed: the receive thread may still be running while
// the process exits.
std::mutex& ServerIdLock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
}
std::string& ServerIdValue() {
  static std::string* value = new std::string();
  return *value;
}

bool IsStringMember(const rapidjson::Value& object, const char* name) {
  auto member = object.FindMember(name);
  return member != object.MemberEnd() && member->value.IsString();
}

std::string StringMember(const rapidjson::Value& object, const char* name) {
  const rapidjson::Value& value = object[name];
  return std::string(value.GetString(), value.GetStringLength());
}

}  // namespace

int OpenMasterLink(MasterLink& link) {
  uint16_t boundPort = 0;
  link.socketHandle = OpenUdpSocket(link.localPort, link.peerAddress, boundPort);
  link.peerAddressLength = sizeof link.peerAddress;
  // The bind failure ends the process without a line of its own.
  if (link.socketHandle < 0) return LINK_BIND_FAILED;
  Log("UDP id %d bound to local port %u\n", link.linkId, static_cast<unsigned>(boundPort));
  return LINK_OK;
}

int ReceiveLoop(MasterLink& link) {
  const size_t bufferBytes = std::min<size_t>(link.receiveBufferSize, sizeof link.receiveBuffer);
  for (;;) {
    // Cleared so that a short datagram after a long one carries no leftovers
    // and ends with a zero byte.
    if (link.clearBeforeReceive) std::fill_n(link.receiveBuffer, bufferBytes, '\0');
    ReceiveOutcome outcome =
        ReceiveDatagram(link.socketHandle, link.receiveBuffer, bufferBytes, link.peerAddress, link.peerAddressLength);
    switch (outcome.status) {
      case ReceiveStatus::kInterrupted:
        break;
      case ReceiveStatus::kTooLarge:
        Log("UDP id %d read failed with error code : %d\n", link.linkId, RECEIVE_ERROR_TOO_LARGE);
        break;
      case ReceiveStatus::kFailed:
        Log("UDP id %d read failed with error code : %d\n", link.linkId, outcome.errorCode);
        return LINK_RECEIVE_FAILED;
      case ReceiveStatus::kEmpty:
        Log("UDP id %d read 0 bytes\n", link.linkId);
        break;
      case ReceiveStatus::kData:
        if (link.onData) link.onData(link.linkId, link.receiveBuffer, static_cast<uint16_t>(outcome.length));
        break;
    }
  }
}

// Only a "status" message is acted on. A datagram that is not a JSON object
// with a string "cmd" gets one line naming what was wrong; a well-formed
// message with another "cmd" is ignored silently, as the master sends many
// that are not for us.
void OnMasterMessage(int32_t linkId, const char* data, uint16_t length) {
  rapidjson::Document message;
  // Never past `length`: a datagram that fills the buffer has no zero after it.
  message.Parse<MASTER_PARSE_FLAGS>(data, length);
  if (message.HasParseError()) {
    Log("UDP id %d message of %u bytes ignored: not JSON: %s (at byte %zu)\n", linkId,
        static_cast<unsigned>(length), rapidjson::GetParseError_En(message.GetParseError()),
        message.GetErrorOffset());
    return;
  }
  if (!message.IsObject()) {
    Log("UDP id %d message of %u bytes ignored: not a JSON object\n", linkId, static_cast<unsigned>(length));
    return;
  }
  if (!IsStringMember(message, "cmd")) {
    Log("UDP id %d message of %u bytes ignored: no string \"cmd\"\n", linkId, static_cast<unsigned>(length));
    return;
  }
  // "name" and "id" carry nothing this program uses.
  if (StringMember(message, "cmd") != "status") return;
  if (!IsStringMember(message, "param")) {
    Log("UDP id %d status message ignored: no string \"param\"\n", linkId);
    return;
  }
  OnStatusMessage(StringMember(message, "param"));
}

void OnStatusMessage(const std::string& param) {
  rapidjson::Document status;
  status.Parse<MASTER_PARSE_FLAGS>(param.data(), param.size());
  if (status.HasParseError() || !status.IsObject() || !IsStringMember(status, "ServerId")) {
    Log("Master status ignored: its param holds no JSON object with a string \"ServerId\"\n");
    return;
  }
  std::string serverId = StringMember(status, "ServerId");
  std::lock_guard<std::mutex> guard(ServerIdLock());
  ServerIdValue() = std::move(serverId);
}

std::string ServerId() {
  std::lock_guard<std::mutex> guard(ServerIdLock());
  return ServerIdValue();
}

void SendToMaster(MasterLink& link, const std::string& text) {
  if (text.size() > MAX_DATAGRAM_BYTES) {
    Log("Message of %zu bytes not sent to the master: a UDP datagram holds at most %zu bytes\n", text.size(),
        MAX_DATAGRAM_BYTES);
    return;
  }
  SendDatagram(link.socketHandle, masterPort, text.data(), text.size());
}
