#include "markup/ElementTree.h"

#include <algorithm>
#include <new>

namespace RYL {

ElementTree::Page ElementTree::NewPage(size_t records) {
    void* page = std::malloc(records * sizeof(ElementRecord));
    if (!page) throw std::bad_alloc();
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
    if (d > hi && inLastPage < kPageRecords) {
        Page full = NewPage(kPageRecords);
        if (hadRecords) std::copy_n(pages_[hi].get(), inLastPage, full.get());
        pages_[hi] = std::move(full);
    }
    Page page = NewPage(size_t(n - (d << 16)));
    if (d == hi && hadRecords) std::copy_n(pages_[d].get(), inLastPage, page.get());
    pages_[d] = std::move(page);
    capacity_ = n;
}

void ElementTree::Clear() {
    pages_.reset();
    capacity_ = 0;
    pageCapacity_ = 0;
}

}  // namespace RYL
