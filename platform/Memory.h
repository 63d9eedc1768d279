// Memory advice for large blocks.
#pragma once
#include <cstddef>

namespace plat {

// A block of several megabytes that is about to be filled: asks the system to back it with huge
// pages where it allows that, so that the first writes take far fewer page faults (filling a
// fresh block otherwise costs one fault per 4 KiB). Smaller blocks, and systems without huge
// pages, are left as they are.
void AdviseLargeBlock(void* block, size_t bytes);

}  // namespace plat
