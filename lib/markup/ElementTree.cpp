#include "markup/ElementTree.h"

#include <algorithm>
#include <new>

#include "Memory.h"

namespace RYL {

ElementTree::Page ElementTree::NewPage(size_t records) {
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
        Page full = NewPage(kPageRecords);
        if (hadRecords) std::copy_n(pages_[hi].get(), inLastPage, full.get());
        pages_[hi] = std::move(full);
    }
    // A page past a few thousand records is allocated whole at once: memory that is not written
    // is not used, and a growing page then never moves.
    int wanted = n - (d << 16);
    int records = wanted > kSmallPageRecords ? kPageRecords : wanted;
    if (d > hi || !hadRecords) {
        pages_[d] = NewPage(size_t(records));
        lastPageRecords_ = records;
    } else if (wanted > lastPageRecords_) {
        Page page = NewPage(size_t(records));
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
}

}  // namespace RYL
