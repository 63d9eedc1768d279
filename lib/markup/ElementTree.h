// The element index of a markup document: records in pages of 65536, addressed by position
// (high 16 bits the page, low 16 bits the record).
#pragma once
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace RYL {

// Bits of ElementRecord::flags.
inline constexpr uint32_t kElemFreePosition = 0x20000;  // write-file mode: position on the free list
inline constexpr uint32_t kElemStartWritten = 0x40000;  // write-file mode: the start tag is written out
inline constexpr uint32_t kElemFirstChild = 0x80000;
inline constexpr uint32_t kElemNoEndTag = 0x100000;
inline constexpr uint32_t kElemContentError = 0x200000;
inline constexpr uint32_t kElemNotWellFormed = 0x800000;  // on the record where a parse began

struct ElementRecord {
    uint32_t start = 0;           // offset of the '<' of the start tag
    uint32_t length = 0;          // through the end tag's '>', or the start tag alone
    uint32_t startTagLength = 0;
    uint32_t endTagLength = 0;    // 0: no end tag
    uint32_t flags = 0;
    uint32_t depth = 0;           // top-level elements 0
    uint32_t parent = 0;
    uint32_t firstChild = 0;
    uint32_t nextSibling = 0;
    uint32_t previousSibling = 0; // of a first child: the last sibling
};

class ElementTree {
public:
    static constexpr int kPageRecords = 65536;

    ElementRecord& operator[](uint32_t pos) { return pages_[pos >> 16][pos & 0xFFFF]; }
    const ElementRecord& operator[](uint32_t pos) const { return pages_[pos >> 16][pos & 0xFFFF]; }

    int Capacity() const { return capacity_; }
    // Grows to n records, by at most one new page per call.
    void Grow(int n);
    void Clear();

private:
    // Pages are not cleared: a record is written when its position is handed out.
    struct FreePage {
        void operator()(ElementRecord* page) const { std::free(page); }
    };
    using Page = std::unique_ptr<ElementRecord[], FreePage>;
    static Page NewPage(size_t records);

    std::unique_ptr<Page[]> pages_;
    static constexpr int kSmallPageRecords = 4096;

    int capacity_ = 0;
    int pageCapacity_ = 0;
    int lastPageRecords_ = 0;  // records allocated for the last page (at least its capacity)
};

}  // namespace RYL
