// Compact per-device sample storage of the reference library: the paths
// Append takes seldom, and the mapping of chunks ahead of the writer.
#include <cstring>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr size_t CHUNK_BYTES = SampleStore::CHUNK_SAMPLES * sizeof(CompactSample);
constexpr size_t PAGE_BYTES = 4096;

// A chunk mapped and every page of it touched, so that its faults are taken
// by the thread that maps it.
CompactSample* FreshChunk() {
  auto* chunk = static_cast<CompactSample*>(AllocateChunk(CHUNK_BYTES));
  if (chunk)
    for (size_t at = 0; at < CHUNK_BYTES; at += PAGE_BYTES) reinterpret_cast<volatile char*>(chunk)[at] = 0;
  return chunk;
}

// The chunk at `slot`, mapping it if nobody has; a chunk mapped in vain (by
// two threads at once) is given back.
CompactSample* ChunkAt(std::atomic<CompactSample*>& slot) {
  CompactSample* chunk = slot.load(std::memory_order_acquire);
  if (chunk) return chunk;
  CompactSample* fresh = FreshChunk();
  if (!fresh) return nullptr;
  if (slot.compare_exchange_strong(chunk, fresh, std::memory_order_acq_rel)) return fresh;
  FreeChunk(fresh, CHUNK_BYTES);
  return chunk;
}

}  // namespace

SampleStore::SampleStore() = default;

SampleStore::~SampleStore() {
  for (auto& slot : chunks_)
    if (CompactSample* chunk = slot.load()) FreeChunk(chunk, CHUNK_BYTES);
}

bool SampleStore::AppendSlowly(const SideSample& sample) {
  if (written_ == 0) base_time_us_ = sample.timeUs;
  uint64_t offset = static_cast<uint64_t>(sample.timeUs) - static_cast<uint64_t>(base_time_us_);
  if (offset + 0x80000000u > 0xFFFFFFFFu) {
    ++dropped_;
    return false;
  }
  if (cursor_ == chunk_end_) {
    size_t chunk = written_ >> CHUNK_SHIFT;
    CompactSample* memory = chunk < MAX_CHUNKS ? ChunkAt(chunks_[chunk]) : nullptr;
    if (!memory) {
      ++dropped_;
      return false;
    }
    cursor_ = memory;
    chunk_end_ = memory + CHUNK_SAMPLES;
  }
  return Append(sample);  // the fast path now holds: a slot is there and the time fits
}

size_t SampleStore::FirstAtOrAfter(double time_s, size_t size) const {
  size_t low = 0, high = size;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (TimeS(mid) < time_s) low = mid + 1;
    else high = mid;
  }
  return low;
}

void SampleStore::Reserve() {
  // Before the first sample the first chunk, which the writer needs at once;
  // after it the next one.
  size_t size = Size();
  size_t chunk = size == 0 ? 0 : (size >> CHUNK_SHIFT) + 1;
  if (chunk < MAX_CHUNKS) ChunkAt(chunks_[chunk]);
}

}  // namespace tarvik
