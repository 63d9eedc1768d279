// A date as days since 1899-12-30 00:00 (the fraction is the time of day), with a status.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

namespace RYL {

class COleDateTime {
public:
    enum DateTimeStatus : int32_t { valid = 0, invalid = 1, null = 2 };

    COleDateTime() = default;  // 0.0, null
    explicit COleDateTime(double date);  // valid within 0100-01-01 .. 9999-12-31
    COleDateTime(int year, int month, int day, int hour, int minute, int second);

    // Local time of a wall-clock second; now from the platform clock.
    static COleDateTime FromTimeT(std::time_t t);
    static COleDateTime GetCurrentTime();

    // Sets the date from its parts; out-of-range parts make it invalid. True when valid.
    bool SetDateTime(int year, int month, int day, int hour, int minute, int second);
    DateTimeStatus GetStatus() const { return static_cast<DateTimeStatus>(m_status); }
    void SetStatus(DateTimeStatus status) { m_status = status; }
    double GetDate() const { return m_dt; }

    // The parts, rounded to the nearest second; false unless valid.
    bool GetParts(int& year, int& month, int& day, int& hour, int& minute, int& second) const;
    // %Y (four digits), %m %d %H %M %S (two digits) and %%; other characters are copied.
    // An invalid or null date formats as the empty text.
    std::wstring Format(const wchar_t* format) const;

    double m_dt = 0.0;
    int32_t m_status = null;
};

}  // namespace RYL
