// The settings file: the record's XML text, enciphered as a whole with key index 0.
#pragma once
#include "SettingsValues.h"

#include <string>

inline const wchar_t* const kSettingsFileName = L"./settings.sxml";

// A number as _wtoi reads it: leading blanks skipped, an optional sign, then decimal digits up
// to the first other character; 0 without digits; clamped to the range of int.
int SettingsWtoi(const std::wstring& text);

// The settings text, one key a line, the texts escaped as RYL::EscapeText does.
std::wstring MakeSettingsText(const SettingsData& values);
// Takes every key that is found, each searched forward from the last key found; other fields
// keep their values. False (nothing taken) when the text is not well formed or has no
// KIVSettings root.
bool ParseSettingsText(const std::wstring& text, SettingsData& values);

// False, with the record unchanged, when the file cannot be read, deciphered or parsed.
bool LoadSettingsFile(SettingsValues& values, const std::wstring& file = kSettingsFileName);
// False when the file cannot be written.
bool SaveSettingsFile(const SettingsValues& values, const std::wstring& file = kSettingsFileName);
