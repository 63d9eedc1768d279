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

    ElementTree() = default;
    ~ElementTree();
    ElementTree(const ElementTree&) = delete;
    ElementTree& operator=(const ElementTree&) = delete;

    ElementRecord& operator[](uint32_t pos) { return pages_[pos >> 16][pos & 0xFFFF]; }
    const ElementRecord& operator[](uint32_t pos) const { return pages_[pos >> 16][pos & 0xFFFF]; }

    int Capacity() const { return capacity_; }
    // Grows to n records, by at most one new page per call.
    void Grow(int n);
    void Clear();
    // The tree may grow to this many records: from a few pages up, the full pages it takes
    // from now on lie one after another in one block of address space that only the records
    // written occupy, in huge pages (one fault per 2 MiB instead of one per 4 KiB).
    void Reserve(size_t records);

private:
    // Pages are not cleared: a record is written when its position is handed out. Pages that
    // lie in the reserved block are not freed one by one.
    struct FreePage {
        bool owned = true;
        void operator()(ElementRecord* page) const {
            if (owned) std::free(page);
        }
    };
    using Page = std::unique_ptr<ElementRecord[], FreePage>;
    Page NewPage(int index, size_t records);

    std::unique_ptr<Page[]> pages_;
    static constexpr int kSmallPageRecords = 4096;
    static constexpr int kLeastReservedPages = 4;

    int capacity_ = 0;
    int pageCapacity_ = 0;
    int lastPageRecords_ = 0;  // records allocated for the last page (at least its capacity)
    ElementRecord* reserved_ = nullptr;  // full page i at reserved_ + i * kPageRecords
    int reservedPages_ = 0;
};

}  // namespace RYL
