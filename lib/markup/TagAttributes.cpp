#include "markup/TagAttributes.h"

#include "markup/MarkupText.h"

namespace RYL {

std::wstring TagAttribute::Value(const wchar_t* text) const {
    size_t from = valueStart, to = valueEnd;
    if (to > from && (text[from] == L'"' || text[from] == L'\'')) {
        ++from;
        if (to > from && text[to - 1] == text[valueStart]) --to;
    }
    return std::wstring(text + from, to - from);
}

bool NextAttribute(const wchar_t* text, size_t& i, size_t end, TagAttribute& a) {
    auto space = [&](size_t k) { return k < end && IsMarkupSpace(text[k]); };
    auto closing = [&](size_t k) { return text[k] == L'/' && k + 1 == end; };
    while (space(i)) ++i;
    if (i >= end || closing(i)) return false;
    a.nameStart = i;
    while (i < end && !IsMarkupSpace(text[i]) && text[i] != L'=' && !closing(i)) ++i;
    a.nameEnd = i;
    size_t j = i;
    while (space(j)) ++j;
    a.hasValue = j < end && text[j] == L'=';
    a.valueStart = a.valueEnd = a.nameEnd;
    if (a.hasValue) {
        ++j;
        while (space(j)) ++j;
        a.valueStart = j;
        if (j < end && (text[j] == L'"' || text[j] == L'\'')) {
            wchar_t quote = text[j++];
            while (j < end && text[j] != quote) ++j;
            if (j < end) ++j;
        } else {
            while (j < end && !IsMarkupSpace(text[j])) ++j;
        }
        a.valueEnd = j;
        i = j;
    }
    if (i == a.nameStart) ++i;
    return true;
}

}  // namespace RYL
