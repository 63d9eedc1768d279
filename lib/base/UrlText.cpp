#include "UrlText.h"

#include "Text.h"

namespace RYL {

std::wstring PercentEncode(const std::wstring& value)
{
    static const wchar_t hex[] = L"0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : plat::NarrowFromWide(value)) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~';
        if (unreserved) {
            out += static_cast<wchar_t>(c);
        } else {
            out += L'%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

}  // namespace RYL
