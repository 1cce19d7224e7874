// Chunk memory of the sample store on Linux: anonymous mappings aligned to
// 2 MiB, with transparent huge pages requested, so that streaming a passage
// in costs one page fault per 2 MiB instead of one per 4 KiB.
#include <sys/mman.h>

#include <cstdint>

#include "tarvik/tarvik_core.h"

namespace tarvik {

namespace {
constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;
}

void* AllocateChunk(size_t bytes) {
  // A huge page only backs a 2 MiB-aligned stretch: map one page more than
  // needed and trim both ends to the aligned part.
  size_t mapped = bytes + HUGE_PAGE_BYTES;
  void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(memory);
  uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
  if (aligned > start) munmap(memory, aligned - start);
  uintptr_t end = start + mapped;
  if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
#ifdef MADV_HUGEPAGE
  // Advice only: a kernel without huge pages keeps the ordinary ones.
  madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreeChunk(void* chunk, size_t bytes) { munmap(chunk, bytes); }

}  // namespace tarvik
