// One log record, copied by value.
#pragma once
#include "OleDateTime.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace RYL {

constexpr int32_t LOG_LEVEL_ERROR = 0;
constexpr int32_t LOG_LEVEL_INFO = 2;
constexpr int32_t LOG_LEVEL_ALL = 3;

struct tagLogRecord {
    // Copies keep at most this many characters, terminator included.
    static constexpr size_t kNameBound = 64;
    static constexpr size_t kTextBound = 512;

    int32_t nLevel;
    COleDateTime dtTime;
    wchar_t szName[65];
    wchar_t szName2[65];
    uint32_t dwCode;
    wchar_t szText[513];

    tagLogRecord();
    tagLogRecord(const tagLogRecord& other);
    tagLogRecord& operator=(const tagLogRecord& other);

    // Longer texts are cut to 63, 63 and 511 characters.
    void SetName(std::wstring_view name);
    void SetName2(std::wstring_view name);
    void SetText(std::wstring_view text);
    std::wstring Name() const;
    std::wstring Text() const;
};

}  // namespace RYL
