// Text helpers of the markup document: entity decoding and escaping, name comparison, hashing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace RYL {

// Mode word bits that the text helpers read.
inline constexpr uint32_t kModeFoldNames = 0x8;        // tag names compare without regard to ASCII case
inline constexpr uint32_t kModeTrimWhitespace = 0x100; // UnescapeText drops leading and trailing whitespace
inline constexpr uint32_t kModeCollapseWhitespace = 0x200;  // ... and turns inner runs into one space

// Flags of EscapeText.
inline constexpr int kEscapeKeepReferences = 0x8;  // an '&' that begins a reference is copied with it
inline constexpr int kEscapeAttribute = 0x100;     // quotes and apostrophes are escaped too

// Decodes character and entity references; length -1 reads up to the NUL.
std::wstring UnescapeText(const wchar_t* text, int length, uint32_t mode);

// XML 1.0 characters: TAB, LF, CR and U+0020 up, without the surrogates, U+FFFE and U+FFFF.
inline bool IsXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}
// What every writer puts in place of a character that XML cannot carry.
inline constexpr wchar_t kXmlReplacementChar = 0xFFFD;

// Text that a strict parser reads back as it was given: &, < and > as entities; CR as "&#13;" (a
// parser would turn it into LF); in an attribute also quotes, apostrophes, TAB and LF (a parser
// would turn them into blanks); characters that XML cannot carry as kXmlReplacementChar.
std::wstring EscapeText(const std::wstring& text, int flags);

// "<![CDATA[" text "]]>", every "]]>" inside split across two sections, a CR as "&#13;" between
// two sections and characters that XML cannot carry as kXmlReplacementChar.
std::wstring EncodeCData(const std::wstring& text);

// Difference of the first unequal units among the first count, 0 when equal. With fold, ASCII
// letters compare without case until two equal units from 0x80 up have been met.
int CompareNames(const wchar_t* a, const wchar_t* b, size_t count, bool fold);

void ReplaceText(std::wstring& text, size_t offset, size_t count, const std::wstring& replacement);

// Sum of the units modulo n.
uint32_t HashTextModulo(const wchar_t* text, size_t length, uint32_t n);
uint32_t HashTextModulo(const std::wstring& text, uint32_t n);

// The character entities of HTML 4.01 and "apos", in buckets by HashTextModulo of the name.
class EntityTable {
public:
    static constexpr uint32_t kBuckets = 130;
    static const EntityTable& Get();

    // Code point of the name compared exactly, 0 when absent.
    uint32_t Find(const wchar_t* name, size_t length) const;
    size_t Size() const { return size_; }

private:
    EntityTable();
    // Each bucket holds entries of one digit (name length), four digits (code point), the name.
    std::wstring buckets_[kBuckets];
    size_t size_ = 0;
};

inline bool IsMarkupSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }

}  // namespace RYL
