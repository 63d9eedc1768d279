// The open elements of a parse, innermost on top; level 0 holds the parse parent and no name.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace RYL {

class ElementStack {
public:
    struct Entry {
        uint32_t nameStart = 0;  // the name lies in the document text
        uint32_t nameLength = 0;
        uint32_t pos = 0;
        uint32_t count = 0;  // which count is its name's, once counted
    };

    // fold: names compare without regard to ASCII case. depthBound: the most levels the text
    // can open, reserved at once so that a deep text never copies the stack (memory not reached
    // stays untouched).
    ElementStack(bool fold, size_t depthBound) : fold_(fold) {
        entries_.reserve(std::min(depthBound, kMostReserved) + 1);
        entries_.emplace_back();
    }
    ElementStack(const ElementStack&) = delete;
    ElementStack& operator=(const ElementStack&) = delete;

    int Top() const { return top_; }
    Entry& operator[](int level) { return entries_[size_t(level)]; }

    void Push(size_t nameStart, size_t nameLength, uint32_t pos) {
        entries_.push_back(Entry{uint32_t(nameStart), uint32_t(nameLength), pos, 0});
        ++top_;
        absent_.length = 0;  // the name found absent last may be open now
    }
    void PopTo(int level) {
        for (; counted_ > level; --counted_) --counts_[entries_[size_t(counted_)].count];
        top_ = level;
        entries_.erase(entries_.begin() + level + 1, entries_.end());
    }

    // True when the name is the one MayBeOpen found absent last and no element opened since: a
    // run of end tags of one name that is not open.
    bool KnownAbsent(const wchar_t* text, size_t start, size_t length) {
        text_ = text;
        return absent_.length && NameEqual{this}(absent_, Name{start, length});
    }

    // False when no open element carries the name text[start, start + length) (true does not
    // promise a match when names fold). The names are counted only when an end tag misses the
    // innermost elements, so a well-formed text never pays for the count; each entry is counted
    // at most once. Asked only after KnownAbsent gave false for the same name.
    bool MayBeOpen(const wchar_t* text, size_t start, size_t length) {
        text_ = text;
        for (; counted_ < top_; ++counted_) {
            Entry& e = entries_[size_t(counted_ + 1)];
            const Name name{e.nameStart, e.nameLength};
            if (counted_ > 0 && NameEqual{this}(name, Name{entries_[size_t(counted_)].nameStart,
                                                           entries_[size_t(counted_)].nameLength})) {
                e.count = entries_[size_t(counted_)].count;  // a run of one name
            } else {
                auto [it, added] = names_.try_emplace(name, uint32_t(counts_.size()));
                if (added) counts_.push_back(0);
                e.count = it->second;
            }
            ++counts_[e.count];
        }
        auto it = names_.find(Name{start, length});
        if (it != names_.end() && counts_[it->second] != 0) return true;
        absent_ = Name{start, length};
        return false;
    }

private:
    // A name in the text, hashed and compared by its units (ASCII letters lowered when folding).
    struct Name {
        size_t start, length;
    };
    wchar_t Unit(const Name& n, size_t i) const {
        wchar_t c = text_[n.start + i];
        return (fold_ && c >= L'A' && c <= L'Z') ? wchar_t(c + 32) : c;
    }
    struct NameHash {
        const ElementStack* stack;
        size_t operator()(const Name& n) const {
            size_t h = 14695981039346656037ull;
            for (size_t i = 0; i < n.length; ++i) h = (h ^ size_t(stack->Unit(n, i))) * 1099511628211ull;
            return h;
        }
    };
    struct NameEqual {
        const ElementStack* stack;
        bool operator()(const Name& a, const Name& b) const {
            if (a.length != b.length) return false;
            for (size_t i = 0; i < a.length; ++i)
                if (stack->Unit(a, i) != stack->Unit(b, i)) return false;
            return true;
        }
    };

    static constexpr size_t kMostReserved = size_t(1) << 20;
    std::vector<Entry> entries_;
    int top_ = 0;
    bool fold_;
    int counted_ = 0;  // levels 1 to counted_ are counted in counts_
    const wchar_t* text_ = nullptr;  // where the names lie; it moves when read-file mode loads more
    Name absent_{0, 0};  // the name found absent last, until an element opens
    std::unordered_map<Name, uint32_t, NameHash, NameEqual> names_{16, NameHash{this}, NameEqual{this}};
    std::vector<size_t> counts_;  // open elements by name
};

}  // namespace RYL
