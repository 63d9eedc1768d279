// Memory advice for large blocks.
#pragma once
#include <cstddef>

namespace plat {

// A block of several megabytes that is about to be filled: asks the system to back it with huge
// pages where it allows that, so that the first writes take far fewer page faults (filling a
// fresh block otherwise costs one fault per 4 KiB). Smaller blocks, and systems without huge
// pages, are left as they are.
void AdviseLargeBlock(void* block, size_t bytes);

// Address space for a large array that is filled from its start: aligned to huge pages and
// advised for them; memory is taken only where it is written. Null when it cannot be mapped.
void* MapLargeBlock(size_t bytes);
void UnmapLargeBlock(void* block, size_t bytes);

}  // namespace plat
