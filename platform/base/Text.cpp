#include "Text.h"

#include "Memory.h"

#include <atomic>

namespace plat {
namespace {

std::atomic<bool> gDoubleByte{false};

constexpr char32_t kReplacement = 0xFFFD;

bool IsScalar(char32_t c) { return c < 0x110000 && (c < 0xD800 || c > 0xDFFF); }

void AppendUtf8(std::string& out, char32_t c) {
    if (!IsScalar(c)) c = kReplacement;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string NarrowFromWide(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t w : text) AppendUtf8(out, static_cast<char32_t>(w));
    return out;
}

std::wstring WideFromNarrow(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());  // never more units than bytes
    AdviseLargeBlock(out.data(), out.capacity() * sizeof(wchar_t));
    // Decoded through a small buffer: the text's memory is written once, in blocks.
    wchar_t buffer[1024];
    wchar_t* o = buffer;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        if (o > buffer + 1020) {
            out.append(buffer, size_t(o - buffer));
            o = buffer;
        }
        unsigned char b = p[i];
        if (b < 0x80) {
            *o++ = static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        size_t len;
        char32_t c;
        char32_t min;
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2, c = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3, c = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4, c = b & 0x07, min = 0x10000;
        } else {
            *o++ = static_cast<wchar_t>(kReplacement);
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k < len && i + k < n && (p[i + k] & 0xC0) == 0x80; ++k) c = (c << 6) | (p[i + k] & 0x3F);
        if (k < len || c < min || !IsScalar(c)) {
            // A cut sequence is replaced whole; a bad complete one byte by byte.
            *o++ = static_cast<wchar_t>(kReplacement);
            i += (k < len) ? k : 1;
            continue;
        }
        *o++ = static_cast<wchar_t>(c);
        i += len;
    }
    out.append(buffer, size_t(o - buffer));
    return out;
}

bool IsAnsiLeadByte(unsigned char byte) {
    return gDoubleByte.load(std::memory_order_relaxed) && byte >= 0x81 && byte <= 0xFE;
}

void SetDoubleByteCodePageForTesting(bool on) { gDoubleByte.store(on); }

std::u16string Utf16FromWide(std::wstring_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (!IsScalar(c)) c = kReplacement;
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
    }
    return out;
}

std::wstring WideFromUtf16(std::u16string_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out += static_cast<wchar_t>(kReplacement);
        } else {
            out += static_cast<wchar_t>(u);
        }
    }
    return out;
}

std::string Utf16LeBytes(std::wstring_view text) {
    std::u16string units = Utf16FromWide(text);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

}  // namespace plat
