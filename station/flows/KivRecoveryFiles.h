// Android recovery is driven through two files in "/cache/recovery/": the command text that it
// runs when it next starts, and the result of its last install. These are their texts, the
// reading of the result and of the battery level, and the station's local copies of such files.
#pragma once
#include <string>

extern const wchar_t kRecoveryCommandPath[];  // "/cache/recovery/command"
extern const wchar_t kLastInstallPath[];      // "/cache/recovery/last_install"
extern const wchar_t kBatteryCapacityPath[];  // "/sys/class/power_supply/battery/capacity"

// Install the package copied into the data directory; the name is that of the local package.
std::wstring InstallCommandText(const std::wstring& dataDirectory, const std::wstring& imagePath);
std::wstring SideloadCommandText();
std::wstring WipeCommandText(bool fullFill);
// The name and extension of a path, without its directories ('/' or '\').
std::wstring PathFileName(const std::wstring& path);

enum class InstallResult { Passed, Failed, NotYet, Invalid };
// "\n1\n" anywhere: passed; else "\n0\n": failed; empty: not written yet; else invalid.
InstallResult ParseLastInstall(const std::wstring& text);

// A decimal number as the C runtime reads one: leading white space and a sign, digits up to the
// first other character, 0 without digits.
int ReadDecimal(const std::wstring& text);
// The battery level from the device's capacity file: true when it is at least 20, else false with
// the text that asks for a recharge. An empty file gives no level.
bool CheckBatteryCapacity(const std::wstring& text, int* capacity, std::wstring* error);

// Local files. Written as UTF-8 without a byte-order mark, read as UTF-8.
bool WriteTextFile(const std::wstring& path, const std::wstring& text);  // false: not created or not written whole
bool ReadTextFile(const std::wstring& path, std::wstring* text);         // false: not opened
bool DeleteLocalFile(const std::wstring& path);                          // false: still there

// A recovery worker's local command file: made once under a fresh temporary name for the serial
// (a second call writes nothing), and forgotten once it is deleted.
bool GenerateCommandFile(std::wstring& commandFile, const std::wstring& serial, const std::wstring& text,
                         std::wstring* error);
bool RemoveCommandFile(std::wstring& commandFile, std::wstring* error);

// The adb argument line that reboots the device into recovery or into Android: " -s SERIAL reboot
// recovery", or " reboot recovery" for an empty serial (the serial one argument, quoted when it
// must be). Its leading blank makes RunAdb run it whole.
std::wstring AdbRebootLine(const std::wstring& serial, bool intoRecovery);
