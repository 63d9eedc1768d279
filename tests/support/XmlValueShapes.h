// Values that a device, an operator or a file may hand to an XML writer, and what a strict parser
// must read back from the written document: the value itself, or U+FFFD in place of each
// character that XML cannot carry.
#pragma once
#include <string>
#include <vector>

struct XmlValueShape {
    const char* what;
    std::wstring value;
    std::wstring readBack;
};

inline std::vector<XmlValueShape> XmlValueShapes() {
    const wchar_t r = 0xFFFD;
    auto same = [](const char* what, std::wstring value) { return XmlValueShape{what, value, value}; };
    return {
        same("plain", L"V1.2"),
        same("empty", L""),
        same("markup", L"<a>&amp; \"q\" 'a' ]]> ]]"),
        same("CR", L"a\rb\r"),
        same("CR LF", L"a\r\nb"),
        same("LF and TAB", L"a\n\tb\n"),
        same("blanks around", L"  a  "),
        same("only blanks", L" \t \n "),
        {"ESC, BEL and FF", L"V1\x1b[0m\a\f", std::wstring(L"V1") + r + L"[0m" + r + r},
        {"NUL and the other C0 controls", std::wstring(L"a\0b\x01\x08\x0B\x0E\x1F", 8),
         std::wstring(L"a") + r + L"b" + r + r + r + r + r},
        same("DEL and C1 controls", L"a\x7F\x80\x85\x9F"),
        {"U+FFFE and U+FFFF", std::wstring{L'x', wchar_t(0xFFFE), wchar_t(0xFFFF), L'y'}, std::wstring{L'x', r, r, L'y'}},
        {"lone surrogates", std::wstring{wchar_t(0xD800), L'a', wchar_t(0xDFFF)}, std::wstring{r, L'a', r}},
        {"the halves of a surrogate pair", std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}, std::wstring{r, r}},
        {"beyond U+10FFFF", std::wstring{L'a', wchar_t(0x110000)}, std::wstring{L'a', r}},
        same("outside ASCII", L"Gr\u00fc\u00df \u20ac \U0001F600 \uFFFD \U0010FFFF"),
    };
}
