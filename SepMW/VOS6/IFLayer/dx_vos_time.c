/* Time and thread stubs: the verifier runs on one thread and never reads a clock. */
#include "DX_VOS.h"

uint32_t DX_VOS_GetTime(void)
{
    return 0;
}

uint32_t DX_VOS_GetTickCount(void)
{
    return 0;
}

uint32_t DX_VOS_GetCurrThreadId(void)
{
    return 0;
}

static int IsLeapYear(uint32_t year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

DxStatus DX_VOS_GetLocalTime(uint32_t secondsSince1970, DxTimeStruct *out)
{
    static const uint32_t monthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (out == NULL)
        return DX_BAD_ARGUMENTS;
    uint32_t days = secondsSince1970 / 86400u;
    uint32_t rest = secondsSince1970 % 86400u;
    out->hour = rest / 3600u;
    out->minute = rest % 3600u / 60u;
    out->second = rest % 60u;

    uint32_t year = 1970;
    while (days >= (IsLeapYear(year) ? 366u : 365u)) {
        days -= IsLeapYear(year) ? 366u : 365u;
        year++;
    }
    uint32_t dayOfYear = days + 1;
    if (dayOfYear < 1 || dayOfYear > 366)
        return DX_VOS_FILE_OPEN_TYPE_NOT_SUPPORTED;
    uint32_t month = 0;
    for (; month < 12; month++) {
        uint32_t length = monthDays[month] + (month == 1 && IsLeapYear(year) ? 1u : 0u);
        if (days < length)
            break;
        days -= length;
    }
    out->year = year;
    out->month = month + 1;
    out->day = days + 1;
    return DX_SUCCESS;
}
