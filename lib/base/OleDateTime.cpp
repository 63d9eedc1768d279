#include "OleDateTime.h"

#include "Clock.h"

#include <cmath>
#include <cstdio>

namespace RYL {
namespace {

constexpr double kMinDate = -657434.0;        // 0100-01-01
constexpr double kMaxDate = 2958465.99999999; // 9999-12-31 23:59:59

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

}  // namespace

COleDateTime::COleDateTime(double date) : m_dt(date) {
    m_status = (std::isfinite(date) && date >= kMinDate && date <= kMaxDate) ? valid : invalid;
}

COleDateTime::COleDateTime(int year, int month, int day, int hour, int minute, int second) {
    SetDateTime(year, month, day, hour, minute, second);
}

bool COleDateTime::SetDateTime(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        m_dt = 0.0;
        m_status = invalid;
        return false;
    }
    const double days = static_cast<double>(DaysFromCivil(year, month, day) - kEpochOffset);
    const double time = (hour * 3600 + minute * 60 + second) / 86400.0;
    // Before 1899-12-30 the time of day still counts forward from the date's start.
    m_dt = days >= 0 ? days + time : days - time;
    m_status = valid;
    return true;
}

COleDateTime COleDateTime::FromTimeT(std::time_t t) {
    std::tm local{};
    COleDateTime date;
    if (!localtime_r(&t, &local)) {
        date.m_status = invalid;
        return date;
    }
    date.SetDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec);
    return date;
}

COleDateTime COleDateTime::GetCurrentTime() { return FromTimeT(plat::WallNow()); }

bool COleDateTime::GetParts(int& year, int& month, int& day, int& hour, int& minute,
                            int& second) const {
    if (m_status != valid) return false;
    int64_t days = static_cast<int64_t>(m_dt);  // toward zero: the date part
    int64_t secs = std::llround(std::fabs(m_dt - static_cast<double>(days)) * 86400.0);
    if (secs >= 86400) {
        secs -= 86400;
        days += 1;  // rounded up into the next calendar day
    }
    CivilFromDays(days + kEpochOffset, year, month, day);
    hour = static_cast<int>(secs / 3600);
    minute = static_cast<int>(secs / 60 % 60);
    second = static_cast<int>(secs % 60);
    return true;
}

std::wstring COleDateTime::Format(const wchar_t* format) const {
    int y, mo, d, h, mi, s;
    if (!format || !GetParts(y, mo, d, h, mi, s)) return std::wstring();
    std::wstring out;
    wchar_t buf[16];
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%' || !p[1]) {
            out += *p;
            continue;
        }
        ++p;
        int value = -1;
        int width = 2;
        switch (*p) {
        case L'Y': value = y, width = 4; break;
        case L'm': value = mo; break;
        case L'd': value = d; break;
        case L'H': value = h; break;
        case L'M': value = mi; break;
        case L'S': value = s; break;
        case L'%': out += L'%'; continue;
        default: out += L'%'; out += *p; continue;
        }
        std::swprintf(buf, 16, L"%0*d", width, value);
        out += buf;
    }
    return out;
}

}  // namespace RYL
