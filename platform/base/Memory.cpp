#include "Memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace plat {
namespace {

constexpr uintptr_t kHugePage = uintptr_t(2) << 20;

size_t RoundToHugePages(size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void AdviseLargeBlock(void* block, size_t bytes) {
    if (!block || bytes < 4 * kHugePage) return;
    // Only the huge pages that lie wholly inside the block.
    uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(kHugePage - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* MapLargeBlock(size_t bytes) {
    if (bytes == 0) return nullptr;
    const size_t size = RoundToHugePages(bytes);
    // One huge page more, so that an aligned start lies inside; the ends are given back.
    void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > start) munmap(mapped, aligned - start);
    const uintptr_t end = start + size + kHugePage;
    if (end > aligned + size) munmap(reinterpret_cast<void*>(aligned + size), end - (aligned + size));
    madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void UnmapLargeBlock(void* block, size_t bytes) {
    if (block) munmap(block, RoundToHugePages(bytes));
}

}  // namespace plat
