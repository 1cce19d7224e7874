// The master server link: one UDP socket bound to a free local port that both
// sends the result messages to the master (127.0.0.1:masterPort) and receives
// the master's own messages on a receive thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <netinet/in.h>

constexpr uint16_t MASTER_PORT = 3021;
constexpr int32_t MASTER_LINK_ID = 10;
constexpr size_t MASTER_RECEIVE_BUFFER_BYTES = 60000;
// Windows Sockets' code for a datagram larger than the buffer; kept in the log
// line so that the operators' log monitors keep matching.
constexpr int RECEIVE_ERROR_TOO_LARGE = 10040;
// The largest UDP payload over IPv4; no datagram above it is ever attempted.
constexpr size_t MAX_DATAGRAM_BYTES = 65507;

typedef void (*MasterDataHandler)(int32_t linkId, const char* data, uint16_t length);

// The link record. The main thread fills it completely before the receive
// thread starts and changes nothing afterwards; from then on the receive
// thread is the only writer of receiveBuffer, peerAddress and
// peerAddressLength.
struct MasterLink {
  MasterDataHandler onData = nullptr;
  bool clearBeforeReceive = false;
  char receiveBuffer[MASTER_RECEIVE_BUFFER_BYTES] = {};
  uint16_t receiveBufferSize = 0;
  uint16_t localPort = 0;
  int32_t linkId = 0;
  int socketHandle = -1;
  sockaddr_in peerAddress = {};
  int32_t peerAddressLength = 0;
};

// Results of the link operations; the caller turns them into exit codes.
constexpr int LINK_OK = 0;
constexpr int LINK_BIND_FAILED = -1;
constexpr int LINK_RECEIVE_FAILED = -2;

// Creates the socket and binds it to link.localPort (0: any free port).
int OpenMasterLink(MasterLink& link);
// The receive thread's body: receives and dispatches datagrams until a
// receive fails with an error other than an oversized datagram, then
// returns LINK_RECEIVE_FAILED. REQUIRES: OpenMasterLink succeeded.
int ReceiveLoop(MasterLink& link);

// The link's data handler: reads a master message and acts on "status".
void OnMasterMessage(int32_t linkId, const char* data, uint16_t length);
void OnStatusMessage(const std::string& param);
// The last "ServerId" the master reported. Written only by the receive thread.
std::string ServerId();

// Sends `text` as one datagram to 127.0.0.1:masterPort through the link's
// socket. The outcome is not looked at. A text above MAX_DATAGRAM_BYTES is
// not sent (logged instead).
void SendToMaster(MasterLink& link, const std::string& text);

// The result messages.
constexpr size_t RESULT_CHUNK_SIZE = 64535;
// The longest train identifier whose messages still fit one datagram, with
// room for part numbers of up to six digits.
constexpr size_t MAX_TRAIN_ID_BYTES = MAX_DATAGRAM_BYTES - RESULT_CHUNK_SIZE - 96 - 6;

// The messages that carry `document` (already quote-escaped) for `trainId`:
// one "scales_result", or the numbered "scales_result_part" series and its
// closing -1 message.
std::vector<std::string> BuildResultMessages(const std::string& trainId, const std::string& document);
// Builds and sends them back to back.
void SendResultMessages(MasterLink& link, const std::string& trainId, const std::string& document);
