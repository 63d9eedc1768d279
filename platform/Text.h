// The design's "ANSI code page" is UTF-8 here.
#pragma once
#include <string>

namespace plat {

std::string NarrowFromWide(const std::wstring& text);   // wide -> UTF-8
std::wstring WideFromNarrow(const std::string& bytes);  // UTF-8 -> wide (invalid bytes: U+FFFD)

// True when the byte starts a double-byte character in the active code page. Never for UTF-8;
// tests may switch to a double-byte code page (lead bytes 0x81-0xFE) to reach the refusal paths.
bool IsAnsiLeadByte(unsigned char byte);
void SetDoubleByteCodePageForTesting(bool on);

}  // namespace plat
