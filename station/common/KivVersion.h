// The program's product name and version, as the title bar and the result logs show them.
#pragma once

inline constexpr const wchar_t* kProductName = L"Zelk Flash Tool";
inline constexpr const wchar_t* kProductVersion = L"1.0.0.24";
