#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "osc/osc.h"
#include "osc/osc_format.h"

// The loader reads the data records through a 19-byte window: each window is
// the next 19 bytes of the file, the well-formed record in it is fed, and a
// window that cannot be filled ends the loading. Passages hold millions of
// records, so the file is read in large chunks into one buffer and the
// window slides over it; the buffer never grows with the file.

namespace {

constexpr size_t READ_CHUNK_BYTES = size_t{1} << 20;

void ListCarriages(const uint8_t* table) {
  for (size_t entry = 0; entry < osc::CARRIAGE_TABLE_ENTRIES; ++entry) {
    const uint8_t* at = table + entry * osc::CARRIAGE_ENTRY_BYTES;
    uint64_t offsetBytes = osc::ReadU64(at + osc::CARRIAGE_OFFSET_AT);
    if (offsetBytes == 0) continue;  // unused entry
    std::fprintf(stderr, "carriage %d offset %u bytes (time %i)\n", at[osc::CARRIAGE_NUMBER_AT],
                 static_cast<unsigned>(offsetBytes & 0xffffffffu),
                 static_cast<int>(static_cast<int32_t>(osc::ReadU32(at + osc::CARRIAGE_TIME_AT))));
  }
}

// Feeds the records from the file's current position (START_OFFSET) on.
// Stops at the first window that is not a whole record of payload length 12:
// a shorter trailing piece or a longer payload ends silently (neither fits
// the window); a shorter payload ends with a message, since its fields would
// lie outside the record and the next header would sit inside the window.
// Returns the errno of a failed read; 0 at the end of the file or at a stop.
int StreamRecords(std::FILE* file, uint8_t* buffer) {
  int64_t bufferOffset = static_cast<int64_t>(osc::START_OFFSET);  // file offset of buffer[0]
  size_t held = 0;                                                   // bytes in the buffer
  for (;;) {
    size_t got = std::fread(buffer + held, 1, READ_CHUNK_BYTES - held, file);
    held += got;
    // The whole records of payload length 12 from the start of the buffer
    // go to the feeding in one call.
    size_t at = 0;
    while (held - at >= osc::RECORD_BYTES &&
           osc::ReadU16(buffer + at + osc::HEADER_PAYLOAD_LENGTH_AT) == osc::RECORD_PAYLOAD_BYTES)
      at += osc::RECORD_BYTES;
    FeedRecords(buffer, at / osc::RECORD_BYTES);
    if (held - at >= osc::RECORD_BYTES) {
      uint16_t payloadLength = osc::ReadU16(buffer + at + osc::HEADER_PAYLOAD_LENGTH_AT);
      if (payloadLength < osc::RECORD_PAYLOAD_BYTES) {
        std::fprintf(stderr, "Record at offset %lli has payload length %u, shorter than %u; loading stopped\n",
                     static_cast<long long>(bufferOffset + static_cast<int64_t>(at)),
                     static_cast<unsigned>(payloadLength), static_cast<unsigned>(osc::RECORD_PAYLOAD_BYTES));
      }
      return 0;
    }
    // A trailing piece is ignored.
    if (got == 0) return std::ferror(file) ? errno : 0;
    std::memmove(buffer, buffer + at, held - at);
    held -= at;
    bufferOffset += static_cast<int64_t>(at);
  }
}

}  // namespace

void LoadOscillogram(std::string path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "Cannot open input file %s\n", path.c_str());
    return;
  }
  // Reads go straight into our own buffer; a stdio buffer would only add a copy.
  std::setvbuf(file, nullptr, _IONBF, 0);
  std::fprintf(stderr, "File %s opened\n", path.c_str());

  // A file shorter than the table lists what it holds; the rest stays zero.
  std::vector<uint8_t> carriageTable(osc::START_OFFSET, 0);
  size_t tableBytes = std::fread(carriageTable.data(), 1, carriageTable.size(), file);
  int readError = std::ferror(file) ? errno : 0;
  ListCarriages(carriageTable.data());
  std::fprintf(stderr, "\n");
  std::fprintf(stderr, "Read file start_offset = %u\n", static_cast<unsigned>(osc::START_OFFSET));
  std::fprintf(stderr, "Loading file %s...\n", path.c_str());

  auto* buffer = static_cast<uint8_t*>(std::malloc(READ_CHUNK_BYTES));
  if (buffer == nullptr) {
    std::fprintf(stderr, "ERROR (malloc return NULL)\n");
    std::fclose(file);
    return;
  }
  // Without a whole table there are no data records.
  if (tableBytes == osc::START_OFFSET) readError = StreamRecords(file, buffer);
  // A path that opens but cannot be read (a directory, a failing disk) would
  // otherwise pass for a short or empty passage.
  if (readError != 0) std::fprintf(stderr, "Input file %s cannot be read: %s\n", path.c_str(), std::strerror(readError));
  std::free(buffer);
  std::fclose(file);
}
