#include <sys/mman.h>

#include <cstdint>

#include "calc/huge_page_memory.h"

namespace {
constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;
}

void* MapHugePageArea(size_t bytes) {
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

void UnmapHugePageArea(void* area, size_t bytes) {
  if (area != nullptr) munmap(area, bytes);
}
