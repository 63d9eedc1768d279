// The open elements of a parse, innermost on top; level 0 holds the parse parent and no name.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace RYL {

class ElementStack {
public:
    struct Entry {
        std::wstring name;
        uint32_t pos = 0;
    };

    ElementStack() : entries_(7) {}

    int Top() const { return top_; }
    Entry& operator[](int level) { return entries_[size_t(level)]; }

    void Push(const wchar_t* name, size_t length, uint32_t pos) {
        if (size_t(top_) + 1 >= entries_.size()) entries_.resize(entries_.size() * 2);
        Entry& e = entries_[size_t(++top_)];
        e.name.assign(name, length);  // entries keep their buffers for reuse
        e.pos = pos;
    }
    void PopTo(int level) { top_ = level; }

private:
    std::vector<Entry> entries_;
    int top_ = 0;
};

}  // namespace RYL
