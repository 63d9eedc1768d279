// The design's "ANSI code page" is UTF-8 here.
#pragma once
#include <string>
#include <string_view>

namespace plat {

std::string NarrowFromWide(const std::wstring& text);   // wide -> UTF-8
std::wstring WideFromNarrow(std::string_view bytes);  // UTF-8 -> wide (invalid bytes: U+FFFD)

// True when the byte starts a double-byte character in the active code page. Never for UTF-8;
// tests may switch to a double-byte code page (lead bytes 0x81-0xFE) to reach the refusal paths.
bool IsAnsiLeadByte(unsigned char byte);
void SetDoubleByteCodePageForTesting(bool on);

// UTF-16 where bytes are visible (log files, markup encodings). Characters above U+FFFF become
// surrogate pairs; unpaired surrogates read back as U+FFFD.
std::u16string Utf16FromWide(std::wstring_view text);
std::wstring WideFromUtf16(std::u16string_view text);
// The UTF-16LE bytes of a text (no byte-order mark, no terminator).
std::string Utf16LeBytes(std::wstring_view text);

}  // namespace plat
