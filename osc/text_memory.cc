#include "osc/text_memory.h"

#include "calc/huge_page_memory.h"

char* AllocateTextBlock() { return static_cast<char*>(MapHugePageArea(TEXT_BLOCK_BYTES)); }

void FreeTextBlock(char* block) { UnmapHugePageArea(block, TEXT_BLOCK_BYTES); }
