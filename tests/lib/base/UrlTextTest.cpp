#include "UrlText.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlText, PercentEncodeKeepsOnlyTheUnreservedCharacters)
{
    struct Case {
        std::wstring value;
        std::wstring encoded;
    } cases[] = {
        {L"", L""},
        {L"AZaz09-._~", L"AZaz09-._~"},
        {L"& = + % # ? /", L"%26%20%3D%20%2B%20%25%20%23%20%3F%20%2F"},
        {L"<>\"'", L"%3C%3E%22%27"},
        {L"SER&x=1", L"SER%26x%3D1"},
        {L"V&x=%41+b#c", L"V%26x%3D%2541%2Bb%23c"},
        {L"\u00e9\u20ac", L"%C3%A9%E2%82%AC"},  // UTF-8 bytes
        {L"a\r\nb\tc", L"a%0D%0Ab%09c"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RYL::PercentEncode(c.value), c.encoded);
}

}  // namespace
