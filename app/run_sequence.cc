// The run of one passage, on the main thread: options, configuration, master
// link, frequency table, computation, then publication.
#include <cinttypes>
#include <cstdio>
#include <thread>

#include "app/publication.h"
#include "app/run.h"
#include "calc/computation.h"
#include "config/config.h"
#include "config/settings.h"
#include "log/log.h"
#include "net/net.h"
#include "osc/osc.h"

namespace {

const char* const USAGE_TEXT =
    "Valid usage: Korvanet.exe oscillogram_file.osc --trainId=`trainId` "
    "[--config-file=`config-file-full-name` --wideinfo=(1|true|yes|Yes)]\n";

// The one link of the process. Never destroyed: the receive thread uses it
// until the process ends.
MasterLink& ProcessMasterLink() {
  static MasterLink* link = new MasterLink();
  return *link;
}

void StartMasterLink() {
  MasterLink& link = ProcessMasterLink();
  link.receiveBufferSize = MASTER_RECEIVE_BUFFER_BYTES;
  link.linkId = MASTER_LINK_ID;
  link.localPort = 0;
  link.onData = OnMasterMessage;
  link.clearBeforeReceive = true;
  // Bound before the receive thread starts, so the socket exists for every send.
  if (OpenMasterLink(link) != LINK_OK) EndProcess(EXIT_LINK_BIND_FAILED);
  std::thread([] {
    ReceiveLoop(ProcessMasterLink());
    EndProcess(EXIT_LINK_RECEIVE_FAILED);
  }).detach();
}

void FillFrequencyTable() {
  for (const LineConfig& line : conf->deviceConfigList) {
    Log("line.devconf.first.id = %i, freq = %i \n", line.devconf.first.id, line.devconf.first.frequency);
    // The loader refuses ports outside the id range; a defaulted side has id 0.
    for (const DeviceConfig* device : {&line.devconf.first, &line.devconf.second}) {
      if (device->id >= 0 && device->id < DEVICE_ID_COUNT) frequencyById[device->id] = device->frequency;
    }
  }
}

}  // namespace

int RunKorvanet(int argc, char** argv) {
  Log("Korvanet v1.1.0.109 started\r\n");
  if (argc < 2) {
    std::fprintf(stderr, "%s", USAGE_TEXT);
    std::fprintf(stderr, "\n");
    return EXIT_RUN_FINISHED;
  }
  RunOptions options = ReadRunOptions(argc, argv);
  wideInfo = options.wideInfo;
  debugMode = options.debugMode;
  if (options.trainId.size() > MAX_TRAIN_ID_BYTES) {
    Log("Train identifier of %zu bytes refused: a result message holds at most %zu bytes of it\n",
        options.trainId.size(), MAX_TRAIN_ID_BYTES);
    return EXIT_TRAIN_ID_TOO_LONG;
  }

  if (LoadConfig(options.configPath.c_str()) != CONFIG_OK) {
    std::fprintf(stderr, "\n");
    EndProcess(EXIT_CONFIG_FAILED);
  }
  masterPort = MASTER_PORT;
  Log("Init master server connection to port %d\n", MASTER_PORT);
  StartMasterLink();

  Log("conf->deviceConfigList.size = %lli\n", static_cast<long long>(conf->deviceConfigList.size()));
  FillFrequencyTable();
  oscFilePath = options.oscFile;

  if (RunComputation() == COMPUTATION_DUMP_FAILED) EndProcess(EXIT_DUMP_FAILED);
  PublishResult(ProcessMasterLink(), options.trainId);
  return EXIT_RUN_FINISHED;
}
