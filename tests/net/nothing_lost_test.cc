// Nothing lost between the program and the master: a long train's result
// series reaches a master that is reading, whole and in order, and a master
// that is busy during the burst keeps exactly as much as its receive buffer
// holds, always the series' head, never a damaged message.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "config/settings.h"
#include "net/net.h"
#include "tests/support/master_listener.h"
#include "tests/support/program_session.h"
#include "tests/support/scripted_library.h"
#include "tests/support/temp_dir.h"

namespace {

// The receive buffer a master needs for the longest result series it must
// survive while busy: see BusyMasterKeepsWhatItsReceiveBufferHolds.
constexpr int MASTER_RECEIVE_BUFFER_FOR_LONG_TRAINS = 4 * 1024 * 1024;

// A master socket on a free loopback port. `requestedBytes` 0 keeps the
// system default (net.core.rmem_default).
struct MasterSocket {
  int handle = -1;
  uint16_t port = 0;
  int bufferBytes = 0;  // SO_RCVBUF as the kernel granted it

  explicit MasterSocket(int requestedBytes) {
    handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (handle < 0) return;
    if (requestedBytes > 0) ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF, &requestedBytes, sizeof requestedBytes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ::close(handle);
      handle = -1;
      return;
    }
    port = ntohs(address.sin_port);
    socklen_t size = sizeof bufferBytes;
    ::getsockopt(handle, SOL_SOCKET, SO_RCVBUF, &bufferBytes, &size);
  }
  ~MasterSocket() {
    if (handle >= 0) ::close(handle);
  }

  // The next datagram within timeout_ms, or false.
  bool Receive(std::string& datagram, int timeout_ms) const {
    pollfd ready = {handle, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0) return false;
    datagram.assign(65536, '\0');
    ssize_t n = ::recv(handle, datagram.data(), datagram.size(), 0);
    if (n < 0) return false;
    datagram.resize(static_cast<size_t>(n));
    return true;
  }
};

// A link of this process whose sends go to `port`.
struct SendingLink {
  MasterLink link;
  SendingLink(uint16_t port) {
    masterPort = port;
    testing::internal::CaptureStderr();  // the bound-port line
    OpenMasterLink(link);
    testing::internal::GetCapturedStderr();
  }
  ~SendingLink() {
    if (link.socketHandle >= 0) ::close(link.socketHandle);
  }
};

std::string Document(size_t bytes) {
  std::string document(bytes, 'x');
  for (size_t at = 0; at < bytes; at += 997) document[at] = static_cast<char>('a' + at % 26);
  return document;
}

// A master that is busy while the whole series arrives (it reads only
// afterwards) keeps the head of the series, as many parts as its receive
// buffer holds, each one whole; the closing message may still arrive after
// lost parts, so only the part numbers tell a gap. Prints how many 64.6 KB
// parts each buffer size holds (about 66 KiB of granted buffer per part).
TEST(NothingLost, BusyMasterKeepsWhatItsReceiveBufferHolds) {
  const size_t partCount = 24;  // about 1.5 MB of document, a train of some 2,500 axles with wide info
  const std::string document = Document(partCount * RESULT_CHUNK_SIZE - 1);
  const std::vector<std::string> series = BuildResultMessages("T-1", document);
  ASSERT_EQ(series.size(), partCount + 1);
  for (int requested : {0, 1024 * 1024, MASTER_RECEIVE_BUFFER_FOR_LONG_TRAINS}) {
    MasterSocket master(requested);
    ASSERT_GE(master.handle, 0);
    SendingLink sender(master.port);
    SendResultMessages(sender.link, "T-1", document);
    std::vector<std::string> kept;
    for (std::string datagram; master.Receive(datagram, 200);) kept.push_back(datagram);

    SCOPED_TRACE("SO_RCVBUF " + std::to_string(master.bufferBytes));
    // The head of the series, whole; once the buffer is full the parts are
    // dropped, but the short closing message may still fit behind them.
    ASSERT_GE(kept.size(), 1u);
    ASSERT_LE(kept.size(), series.size());
    bool closingKept = kept.back() == series.back();
    size_t partsKept = kept.size() - (closingKept ? 1 : 0);
    for (size_t i = 0; i < partsKept; ++i) EXPECT_TRUE(kept[i] == series[i]) << "message " << i;
    std::printf("[ figure ] SO_RCVBUF requested %d, granted %d bytes: %zu of %zu parts kept while not reading%s\n",
                requested, master.bufferBytes, partsKept, series.size() - 1,
                closingKept ? ", and the closing message" : "");
    // The documented size holds the whole series, where the system allows it.
    if (requested == MASTER_RECEIVE_BUFFER_FOR_LONG_TRAINS && master.bufferBytes >= 2 * requested) {
      EXPECT_EQ(kept.size(), series.size());
    }
    if (!closingKept) {
      EXPECT_EQ(partsKept, kept.size());
    }
  }
}

// One line of `axles` axles, every wheel carrying `listLength` strength
// values and sensor ids, so that the wide document runs to several parts.
std::string LongTrainScript(int axles, int listLength) {
  std::string list;
  for (int i = 0; i < listLength; ++i) {
    if (i > 0) list += ',';
    list += std::to_string(100000 + i);
  }
  std::string wheel = R"({"weight": 12345, "condition": 3, "strength": [)" + list + R"(], "ids": [)" + list + "]}";
  std::string axle = R"({"speed": 42.25, "wheels": [)" + wheel + "," + wheel + "]}";
  std::string carriages;
  for (int c = 0; c < axles / 4; ++c) {
    carriages += c ? "," : "";
    carriages += R"({"full_weight": 98760, "loco": {"flag": false, "type": ""}, "axis": [)" + axle + "," + axle + "," +
                 axle + "," + axle + "]}";
  }
  return R"({"lines": [{"line": 1, "result": {"correct": true, "total_weight": 98760, "carriages": [)" + carriages +
         "]}}]}";
}

const char* const ONE_LINE = R"({"lines": [{"id": 1, "devices": {
  "odd":  {"enabled": true, "port": 7126, "frequency": 1000, "sensors": []},
  "even": {"enabled": true, "port": 7127, "frequency": 1000, "sensors": []}}}]})";

// Through the program: a 320-axle train with wide info goes out as a series
// of parts that a reading master joins back into the whole document.
TEST(NothingLost, LongTrainReachesAReadingMasterWhole) {
  MasterListener master(MASTER_PORT);  // reads as the messages come, with a large buffer
  ASSERT_TRUE(master.bound()) << "127.0.0.1:3021 stayed busy";
  TempDir dir;
  ScriptedLibrary library = PrepareScriptedLibrary(dir, LongTrainScript(320, 24));
  std::string config = dir.Write("c.json", ONE_LINE);
  ProgramOptions options;
  UseScriptedLibrary(library, options);
  std::unique_ptr<ProgramSession> program = StartKorvanet(
      {dir.File("missing.osc"), "--config-file=" + config, "--trainId=long-1", "--wideinfo=1"}, options, true);
  ASSERT_TRUE(program->started());

  std::vector<ReceivedDatagram> received;
  for (;;) {
    std::optional<ReceivedDatagram> datagram = master.Receive(20000);
    if (!datagram) break;
    received.push_back(*datagram);
    if (datagram->bytes.find("\"paramInt\":-1,") != std::string::npos) break;
  }
  ProgramRun run = program->Wait(20000);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  ASSERT_GE(received.size(), 4u) << "expected a series of at least three parts and its closing message";

  // The chunks are cut at fixed offsets, so a part may end inside a
  // backslash-quote pair: take them by their frame, not as JSON.
  const std::string middle = ",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"";
  std::string escaped;
  for (size_t i = 0; i + 1 < received.size(); ++i) {
    const std::string& bytes = received[i].bytes;
    std::string head = "{\"cmd\":\"scales_result_part\",\"param\":\"long-1\",\"paramInt\":" + std::to_string(i) + middle;
    ASSERT_EQ(bytes.rfind(head, 0), 0u) << "part " << i;
    ASSERT_EQ(bytes.substr(bytes.size() - 3), "\"]}");
    escaped.append(bytes, head.size(), bytes.size() - head.size() - 3);
  }
  std::string plain;
  for (size_t at = 0; at < escaped.size(); ++at) {
    if (escaped[at] == '\\' && at + 1 < escaped.size() && escaped[at + 1] == '"') continue;
    plain += escaped[at];
  }
  rapidjson::Document document;
  document.Parse(plain.c_str(), plain.size());
  ASSERT_FALSE(document.HasParseError());
  size_t axles = 0;
  for (const auto& carriage : document["carriages"].GetArray()) axles += carriage["axis"].Size();
  EXPECT_EQ(axles, 320u);
  EXPECT_EQ(document["carriages"][79]["axis"][3]["wheels"][1]["ids"].Size(), 24u);
  std::printf("[ figure ] 320-axle wide document: %zu bytes in %zu parts\n", escaped.size(), received.size() - 1);
}

}  // namespace
