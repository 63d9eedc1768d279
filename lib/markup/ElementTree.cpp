#include "markup/ElementTree.h"

#include <algorithm>
#include <new>

#include "Memory.h"

namespace RYL {

namespace {

constexpr size_t kPageBytes = size_t(ElementTree::kPageRecords) * sizeof(ElementRecord);

}  // namespace

ElementTree::~ElementTree() { Clear(); }

void ElementTree::Reserve(size_t records) {
    const size_t pages = (records + kPageRecords - 1) / kPageRecords;
    if (pages < size_t(kLeastReservedPages) || pages > 65536) return;
    // Pages already allocated stay where they are; a full page in the block is there for good,
    // so a block is replaced only while the tree holds no pages.
    if (int(pages) <= reservedPages_ || (reserved_ && capacity_ > 0)) return;
    plat::UnmapLargeBlock(reserved_, size_t(reservedPages_) * kPageBytes);
    reserved_ = static_cast<ElementRecord*>(plat::MapLargeBlock(pages * kPageBytes));
    reservedPages_ = reserved_ ? int(pages) : 0;
}

ElementTree::Page ElementTree::NewPage(int index, size_t records) {
    if (records == size_t(kPageRecords) && index < reservedPages_)
        return Page(reserved_ + size_t(index) * kPageRecords, FreePage{false});
    void* page = std::malloc(records * sizeof(ElementRecord));
    if (!page) throw std::bad_alloc();
    plat::AdviseLargeBlock(page, records * sizeof(ElementRecord));
    return Page(static_cast<ElementRecord*>(page));
}

void ElementTree::Grow(int n) {
    if (n <= capacity_) return;
    bool hadRecords = capacity_ > 0;
    int hi = (hadRecords ? capacity_ - 1 : 0) >> 16;
    int d = (n - 1) >> 16;
    if (d > hi + 1) {
        d = hi + 1;
        n = (hi + 2) << 16;
    }
    if (d >= pageCapacity_) {
        int newCapacity = 2 * d + 4;
        auto pages = std::make_unique<Page[]>(size_t(newCapacity));
        for (int i = 0; i < pageCapacity_; ++i) pages[i] = std::move(pages_[i]);
        pages_ = std::move(pages);
        pageCapacity_ = newCapacity;
    }
    int inLastPage = hadRecords ? capacity_ - (hi << 16) : 0;
    if (d > hi && lastPageRecords_ < kPageRecords) {
        Page full = NewPage(hi, kPageRecords);
        if (hadRecords) std::copy_n(pages_[hi].get(), inLastPage, full.get());
        pages_[hi] = std::move(full);
    }
    // A page past a few thousand records, or in the reserved block, is allocated whole at once:
    // memory that is not written is not used, and a growing page then never moves.
    int wanted = n - (d << 16);
    int records = wanted > kSmallPageRecords || d < reservedPages_ ? kPageRecords : wanted;
    if (d > hi || !hadRecords) {
        pages_[d] = NewPage(d, size_t(records));
        lastPageRecords_ = records;
    } else if (wanted > lastPageRecords_) {
        Page page = NewPage(d, size_t(records));
        std::copy_n(pages_[d].get(), inLastPage, page.get());
        pages_[d] = std::move(page);
        lastPageRecords_ = records;
    }
    capacity_ = n;
}

void ElementTree::Clear() {
    pages_.reset();
    capacity_ = 0;
    pageCapacity_ = 0;
    lastPageRecords_ = 0;
    plat::UnmapLargeBlock(reserved_, size_t(reservedPages_) * kPageBytes);
    reserved_ = nullptr;
    reservedPages_ = 0;
}

}  // namespace RYL
