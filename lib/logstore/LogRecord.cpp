#include "LogRecord.h"

#include <algorithm>
#include <cwchar>

namespace RYL {
namespace {

template <size_t N>
void CopyBounded(wchar_t (&dst)[N], std::wstring_view src, size_t bound) {
    static_assert(N > 0);
    size_t n = std::min({src.size(), bound - 1, N - 1});
    // A terminator inside the source ends it, as for a C text.
    size_t nul = src.substr(0, n).find(L'\0');
    if (nul != std::wstring_view::npos) n = nul;
    std::copy_n(src.data(), n, dst);
    std::fill(dst + n, dst + N, L'\0');
}

template <size_t N>
std::wstring_view View(const wchar_t (&src)[N], size_t bound) {
    return std::wstring_view(src, wcsnlen(src, std::min(bound - 1, N - 1)));
}

}  // namespace

tagLogRecord::tagLogRecord() : nLevel(LOG_LEVEL_ALL), dwCode(0xFFFFFFFFu) {
    CopyBounded(szName, L"(undefined)", kNameBound);
    CopyBounded(szName2, L"(undefined)", kNameBound);
    CopyBounded(szText, L"(undefined)", kTextBound);
}

tagLogRecord::tagLogRecord(const tagLogRecord& other) : tagLogRecord() { *this = other; }

tagLogRecord& tagLogRecord::operator=(const tagLogRecord& other) {
    if (this == &other) return *this;
    nLevel = other.nLevel;
    dtTime = other.dtTime;
    dwCode = other.dwCode;
    CopyBounded(szName, View(other.szName, kNameBound), kNameBound);
    CopyBounded(szName2, View(other.szName2, kNameBound), kNameBound);
    CopyBounded(szText, View(other.szText, kTextBound), kTextBound);
    return *this;
}

void tagLogRecord::SetName(std::wstring_view name) { CopyBounded(szName, name, kNameBound); }
void tagLogRecord::SetName2(std::wstring_view name) { CopyBounded(szName2, name, kNameBound); }
void tagLogRecord::SetText(std::wstring_view text) { CopyBounded(szText, text, kTextBound); }
std::wstring tagLogRecord::Name() const { return std::wstring(View(szName, kNameBound)); }
std::wstring tagLogRecord::Text() const { return std::wstring(View(szText, kTextBound)); }

}  // namespace RYL
