// A master datagram: the handler reads exactly the received bytes, never a
// terminating zero that is not there.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  QuietStandardError();
  if (size > MASTER_RECEIVE_BUFFER_BYTES) return 0;
  // An exact-size heap copy, so a read past the datagram is caught.
  std::unique_ptr<char[]> datagram(new char[size == 0 ? 1 : size]);
  if (size > 0) std::memcpy(datagram.get(), data, size);
  OnMasterMessage(MASTER_LINK_ID, datagram.get(), static_cast<uint16_t>(size));
  return 0;
}
