// Compact per-device sample storage of the reference library: the paths
// Append takes seldom, and the mapping of chunks ahead of the writer.
#include <cstring>
#include <new>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {

constexpr size_t CHUNK_BYTES = SampleStore::CHUNK_BYTES;
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
  for (auto& block : change_blocks_) delete[] block.load();
}

bool SampleStore::AppendSlowly(const SideSample& sample) {
  if (written_ == 0) base_time_us_ = sample.timeUs;
  uint64_t offset = static_cast<uint64_t>(sample.timeUs) - static_cast<uint64_t>(base_time_us_);
  if (offset + 0x80000000u > 0xFFFFFFFFu) {
    ++dropped_;
    return false;
  }
  if (cursor_ == chunk_end_) {
    size_t chunk = written_ / CHUNK_SAMPLES;
    CompactSample* memory = chunk < MAX_CHUNKS ? ChunkAt(chunks_[chunk]) : nullptr;
    if (!memory) {
      ++dropped_;
      return false;
    }
    cursor_ = memory;
    chunk_end_ = memory + CHUNK_SAMPLES;
  }
  uint32_t bits;
  std::memcpy(&bits, &sample.temperature, sizeof bits);
  if ((written_ == 0 || bits != temperature_bits_) && !NoteTemperature(sample.temperature, bits)) {
    ++dropped_;
    return false;
  }
  return Append(sample);  // the fast path now holds: a slot is there, the time fits, the temperature is noted
}

bool SampleStore::NoteTemperature(float celsius, uint32_t bits) {
  size_t k = changes_.load(std::memory_order_relaxed);
  size_t block = ChangeBlock(k);
  if (block >= CHANGE_BLOCKS || written_ > UINT32_MAX) return false;
  TemperatureChange* changes = change_blocks_[block].load(std::memory_order_relaxed);
  if (!changes) {
    changes = new (std::nothrow) TemperatureChange[FIRST_CHANGES << block];
    if (!changes) return false;
    change_blocks_[block].store(changes, std::memory_order_release);
  }
  changes[WithinBlock(k, block)] = {static_cast<uint32_t>(written_), celsius};
  changes_.store(k + 1, std::memory_order_release);
  temperature_bits_ = bits;
  return true;
}

float SampleStore::Advance(size_t index, TemperatureCursor* cursor) const {
  // Every change of the samples stored so far is published before them.
  size_t size = Size(), changes = changes_.load(std::memory_order_acquire);
  while (cursor->next < changes && Change(cursor->next).first <= index) cursor->celsius = Change(cursor->next++).celsius;
  cursor->until = cursor->next < changes ? Change(cursor->next).first : size;
  return cursor->celsius;
}

float SampleStore::TemperatureAt(size_t index) const {
  // The last change at or before the sample.
  size_t low = 0, high = changes_.load(std::memory_order_acquire);
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (Change(mid).first <= index) low = mid + 1;
    else high = mid;
  }
  return low > 0 ? Change(low - 1).celsius : std::numeric_limits<float>::quiet_NaN();
}

size_t SampleStore::FirstAtOrAfter(double time_s, size_t size) const {
  // The chunk first, by the times of the chunks' first samples, then the
  // sample within it: each step a plain load.
  size_t low = 0, high = (size + CHUNK_SAMPLES - 1) / CHUNK_SAMPLES;
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (TimeS(mid * CHUNK_SAMPLES) < time_s) low = mid + 1;
    else high = mid;
  }
  if (low == 0) return 0;
  size_t chunk = low - 1;
  const CompactSample* samples = chunks_[chunk].load(std::memory_order_relaxed);
  size_t first = 0, last = std::min(CHUNK_SAMPLES, size - chunk * CHUNK_SAMPLES);
  while (first < last) {
    size_t mid = first + (last - first) / 2;
    if (TimeS(samples[mid]) < time_s) first = mid + 1;
    else last = mid;
  }
  return chunk * CHUNK_SAMPLES + first;
}

void SampleStore::Reserve() {
  // Before the first sample the first chunk, which the writer needs at once;
  // after it the next one.
  size_t size = Size();
  size_t chunk = size == 0 ? 0 : size / CHUNK_SAMPLES + 1;
  if (chunk < MAX_CHUNKS) ChunkAt(chunks_[chunk]);
}

}  // namespace tarvik
