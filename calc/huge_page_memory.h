// Large anonymous memory areas, zero-filled and, on Linux, backed by
// transparent huge pages where the kernel allows: filling them costs a page
// fault per 2 MiB instead of one per 4 KiB. Shared by the program (the raw
// dump text of debug mode) and the reference library (its sample store and
// scratch arrays), which both stream a whole passage into fresh memory.
#pragma once

#include <cstddef>

// An area of `bytes` (a multiple of 4 KiB), or null when it cannot be had.
void* MapHugePageArea(size_t bytes);
void UnmapHugePageArea(void* area, size_t bytes);
