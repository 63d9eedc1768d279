// An array of texts that sorts itself.
#pragma once
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace RYL {

class CRylSortStringArray {
public:
    virtual ~CRylSortStringArray() = default;

    size_t Add(const std::wstring& text) {
        m_items.push_back(text);
        return m_items.size() - 1;
    }
    size_t GetSize() const { return m_items.size(); }
    const std::wstring& GetAt(size_t index) const { return m_items.at(index); }
    const std::wstring& operator[](size_t index) const { return m_items.at(index); }
    void RemoveAll() { m_items.clear(); }

    // Ascending by CompareStrings.
    void Sort() {
        std::sort(m_items.begin(), m_items.end(), [](const std::wstring& a, const std::wstring& b) {
            return CompareStrings(&a, &b) < 0;
        });
    }

    // Below, equal to or above zero as a comes before, with or after b. Character codes are
    // compared, so the order does not depend on the locale.
    static int CompareStrings(const std::wstring* a, const std::wstring* b) {
        int r = a->compare(*b);
        return r < 0 ? -1 : r > 0 ? 1 : 0;
    }

private:
    std::vector<std::wstring> m_items;
};

}  // namespace RYL
