#include "ReplyScan.h"

#include <algorithm>
#include <cwctype>

namespace RYL {

namespace {

bool IsBlank(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

}  // namespace

ReplyScan ScanReply(std::wstring_view text, std::wstring_view pattern, size_t bound)
{
    ReplyScan scan;
    size_t t = 0;
    size_t p = 0;
    while (p < pattern.size()) {
        const wchar_t pc = pattern[p];
        if (IsBlank(pc)) {
            while (p < pattern.size() && IsBlank(pattern[p])) ++p;
            while (t < text.size() && IsBlank(text[t])) ++t;
            continue;
        }
        if (pc != L'%' || p + 1 >= pattern.size() || pattern[p + 1] == L'%') {
            const wchar_t want = pc;
            p += (pc == L'%' && p + 1 < pattern.size()) ? 2 : 1;
            if (t >= text.size() || text[t] != want) return scan;
            ++t;
            continue;
        }
        const std::wstring_view rest = pattern.substr(p + 1);
        if (rest.starts_with(L"[^")) {
            // The excluded set runs to the next ']' that is not the set's first character.
            const size_t setStart = p + 3;
            size_t setEnd = setStart < pattern.size() && pattern[setStart] == L']' ? setStart + 1
                                                                                  : setStart;
            setEnd = pattern.find(L']', setEnd);
            if (setEnd == std::wstring_view::npos) return scan;  // malformed pattern
            const std::wstring_view excluded = pattern.substr(setStart, setEnd - setStart);
            size_t end = t;
            while (end < text.size() && excluded.find(text[end]) == std::wstring_view::npos) ++end;
            if (end == t) return scan;
            const size_t kept = std::min(end - t, bound);
            scan.fields.emplace_back(text.substr(t, kept));
            ++scan.count;
            t = end;
            p = setEnd + 1;
            continue;
        }
        if (rest.starts_with(L"lu")) {
            while (t < text.size() && IsBlank(text[t])) ++t;
            if (t < text.size() && text[t] == L'+') ++t;
            const size_t start = t;
            uint64_t value = 0;
            while (t < text.size() && text[t] >= L'0' && text[t] <= L'9') {
                value = value * 10 + static_cast<uint64_t>(text[t] - L'0');
                if (value > UINT32_MAX) return scan;
                ++t;
            }
            if (t == start) return scan;
            scan.fields.emplace_back(text.substr(start, t - start));
            scan.numbers.push_back(static_cast<uint32_t>(value));
            ++scan.count;
            p += 3;
            continue;
        }
        return scan;  // a directive this reader does not know
    }
    return scan;
}

int ScanCount(std::wstring_view text, std::wstring_view pattern)
{
    return ScanReply(text, pattern).count;
}

}  // namespace RYL
