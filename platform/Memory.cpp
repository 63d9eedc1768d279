#include "Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace plat {

void AdviseLargeBlock(void* block, size_t bytes) {
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    if (!block || bytes < 4 * kHugePage) return;
    // Only the huge pages that lie wholly inside the block.
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace plat
