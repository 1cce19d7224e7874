// Memory for the raw dump text of debug mode: tens of megabytes for a long
// passage, kept until the process ends. Large blocks, on Linux backed by
// transparent huge pages where the kernel allows, so that filling them costs
// a page fault per 2 MiB rather than per 4 KiB.
#pragma once

#include <cstddef>

constexpr size_t TEXT_BLOCK_BYTES = size_t{4} << 20;

// A block of TEXT_BLOCK_BYTES, or null when the memory cannot be had.
char* AllocateTextBlock();
void FreeTextBlock(char* block);
