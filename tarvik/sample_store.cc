// Compact per-device sample storage of the reference library.
#include <cstring>
#include <limits>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {
constexpr size_t CHUNK_BYTES = SampleStore::CHUNK_SAMPLES * sizeof(CompactSample);
}

SampleStore::SampleStore() = default;

SampleStore::~SampleStore() {
  for (CompactSample* chunk : chunks_)
    if (chunk) FreeChunk(chunk, CHUNK_BYTES);
}

bool SampleStore::Append(const SideSample& sample) {
  size_t index = size_.load(std::memory_order_relaxed);
  int64_t time_us = sample.timeUs;
  if (index == 0) base_time_us_ = time_us;
  // Differences are taken in unsigned arithmetic: garbage times near the
  // int64 limits must not overflow.
  uint64_t delta = static_cast<uint64_t>(time_us) - static_cast<uint64_t>(base_time_us_);
  int64_t offset = static_cast<int64_t>(delta);
  if (offset < std::numeric_limits<int32_t>::min() || offset > std::numeric_limits<int32_t>::max() ||
      static_cast<int64_t>(static_cast<uint64_t>(base_time_us_) + delta) != time_us) {
    ++dropped_;
    return false;
  }
  size_t chunk = index >> CHUNK_SHIFT;
  if (chunk >= MAX_CHUNKS) {
    ++dropped_;
    return false;
  }
  if (!chunks_[chunk]) {
    chunks_[chunk] = static_cast<CompactSample*>(AllocateChunk(CHUNK_BYTES));
    if (!chunks_[chunk]) {
      ++dropped_;
      return false;
    }
  }
  CompactSample& slot = chunks_[chunk][index & (CHUNK_SAMPLES - 1)];
  std::memcpy(slot.channels, sample.channels, sizeof(slot.channels));
  slot.time_offset_us = static_cast<int32_t>(offset);
  slot.temperature_c = sample.temperature;
  size_.store(index + 1, std::memory_order_release);
  return true;
}

}  // namespace tarvik
