// The result messages: fixed text pieces around the train identifier and the
// (already quote-escaped) result document, joined by plain concatenation.
// The identifier is copied as it is, even where that leaves invalid JSON:
// the master matches it byte for byte.
#include <initializer_list>
#include <string>
#include <string_view>

#include "net/net.h"

namespace {

constexpr std::string_view SINGLE_HEAD = "{\"cmd\":\"scales_result\",\"param\":\"";
constexpr std::string_view SINGLE_MIDDLE = "\",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"";
constexpr std::string_view PART_HEAD = "{\"cmd\":\"scales_result_part\",\"param\":\"";
constexpr std::string_view PART_NUMBER_KEY = "\",\"paramInt\":";
constexpr std::string_view PART_MIDDLE = ",\"name\":\"recorderScales\",\"id\":0,\"values\":[\"";
constexpr std::string_view CLOSING_REST = "\",\"paramInt\":-1,\"name\":\"recorderScales\",\"id\":0,\"values\":[]}";
constexpr std::string_view TAIL = "\"]}";

static_assert(SINGLE_HEAD.size() == 32 && SINGLE_MIDDLE.size() == 44 && TAIL.size() == 3);
static_assert(PART_HEAD.size() == 37 && PART_NUMBER_KEY.size() == 13 && PART_MIDDLE.size() == 43);
static_assert(CLOSING_REST.size() == 59);

std::string Join(std::initializer_list<std::string_view> pieces) {
  size_t length = 0;
  for (std::string_view piece : pieces) length += piece.size();
  std::string message;
  message.reserve(length);
  for (std::string_view piece : pieces) message.append(piece);
  return message;
}

std::string SingleMessage(std::string_view trainId, std::string_view document) {
  return Join({SINGLE_HEAD, trainId, SINGLE_MIDDLE, document, TAIL});
}

std::string PartMessage(std::string_view trainId, size_t partNumber, std::string_view chunk) {
  std::string number = std::to_string(partNumber);
  return Join({PART_HEAD, trainId, PART_NUMBER_KEY, number, PART_MIDDLE, chunk, TAIL});
}

std::string ClosingMessage(std::string_view trainId) { return Join({PART_HEAD, trainId, CLOSING_REST}); }

// Hands every message of the document to `emit`, in sending order, one at a
// time, so that a long series is never held in memory all at once.
template <typename Emit>
void ForEachResultMessage(const std::string& trainId, const std::string& document, Emit emit) {
  if (document.size() <= RESULT_CHUNK_SIZE) {
    emit(SingleMessage(trainId, document));
    return;
  }
  // The series always has L / RESULT_CHUNK_SIZE + 1 parts, so a document of
  // an exact multiple of the chunk size ends with an empty part, as the
  // master expects.
  size_t partCount = document.size() / RESULT_CHUNK_SIZE + 1;
  std::string_view whole(document);
  for (size_t part = 0; part < partCount; ++part)
    emit(PartMessage(trainId, part, whole.substr(part * RESULT_CHUNK_SIZE, RESULT_CHUNK_SIZE)));
  emit(ClosingMessage(trainId));
}

}  // namespace

std::vector<std::string> BuildResultMessages(const std::string& trainId, const std::string& document) {
  std::vector<std::string> messages;
  ForEachResultMessage(trainId, document, [&](std::string message) { messages.push_back(std::move(message)); });
  return messages;
}

void SendResultMessages(MasterLink& link, const std::string& trainId, const std::string& document) {
  ForEachResultMessage(trainId, document, [&](const std::string& message) { SendToMaster(link, message); });
}
