// Text blocks on Linux: anonymous mappings aligned to 2 MiB with transparent
// huge pages requested (a huge page only backs an aligned 2 MiB stretch).
#include <sys/mman.h>

#include <cstdint>

#include "osc/text_memory.h"

namespace {
constexpr size_t HUGE_PAGE_BYTES = size_t{2} << 20;
static_assert(TEXT_BLOCK_BYTES % HUGE_PAGE_BYTES == 0);
}  // namespace

char* AllocateTextBlock() {
  // Map one huge page more than needed and trim both ends to the aligned part.
  size_t mapped = TEXT_BLOCK_BYTES + HUGE_PAGE_BYTES;
  void* memory = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  uintptr_t start = reinterpret_cast<uintptr_t>(memory);
  uintptr_t aligned = (start + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
  if (aligned > start) munmap(memory, aligned - start);
  uintptr_t end = start + mapped;
  if (end > aligned + TEXT_BLOCK_BYTES) munmap(reinterpret_cast<void*>(aligned + TEXT_BLOCK_BYTES), end - (aligned + TEXT_BLOCK_BYTES));
#ifdef MADV_HUGEPAGE
  // Advice only: a kernel without huge pages keeps the ordinary ones.
  madvise(reinterpret_cast<void*>(aligned), TEXT_BLOCK_BYTES, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<char*>(aligned);
}

void FreeTextBlock(char* block) {
  if (block != nullptr) munmap(block, TEXT_BLOCK_BYTES);
}
