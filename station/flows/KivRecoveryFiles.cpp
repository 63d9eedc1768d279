#include "KivRecoveryFiles.h"

#include "PackageFiles.h"
#include "Paths.h"
#include "Process.h"
#include "Text.h"

#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <fstream>
#include <iterator>
#include <limits>

const wchar_t kRecoveryCommandPath[] = L"/cache/recovery/command";
const wchar_t kLastInstallPath[] = L"/cache/recovery/last_install";
const wchar_t kBatteryCapacityPath[] = L"/sys/class/power_supply/battery/capacity";

namespace {
const int kMinimumBattery = 20;
const wchar_t kMinimumBatteryText[] = L"20";
}  // namespace

std::wstring PathFileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"/\\");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring InstallCommandText(const std::wstring& dataDirectory, const std::wstring& imagePath) {
    return L"--update_package=" + dataDirectory + L"/" + PathFileName(imagePath) +
           L"\n--show_text\n--remove_package\n";
}

std::wstring SideloadCommandText() { return L"--sideload\n"; }

std::wstring WipeCommandText(bool fullFill) {
    return fullFill ? L"--full_fill\n--adb_on\n" : L"--wipe_data\n--adb_on\n";
}

InstallResult ParseLastInstall(const std::wstring& text) {
    if (text.empty())
        return InstallResult::NotYet;
    if (text.find(L"\n1\n") != std::wstring::npos)
        return InstallResult::Passed;
    if (text.find(L"\n0\n") != std::wstring::npos)
        return InstallResult::Failed;
    return InstallResult::Invalid;
}

int ReadDecimal(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && std::iswspace(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
        negative = text[i++] == L'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > std::numeric_limits<int>::max())
            value = std::numeric_limits<int>::max();  // no overflow on a runaway number
    }
    return static_cast<int>(negative ? -value : value);
}

bool CheckBatteryCapacity(const std::wstring& text, int* capacity, std::wstring* error) {
    if (text.empty()) {
        if (error)
            *error = L"Failed to getbatery capacity";
        return false;
    }
    const int level = ReadDecimal(text);
    if (capacity)
        *capacity = level;
    if (level >= ReadDecimal(kMinimumBatteryText))
        return true;
    if (error)
        *error = L"Battery capacity(" + std::to_wstring(level) + L") has to be greater than or equal to " +
                 kMinimumBatteryText + L", please remove device and recharge.";
    return false;
}

bool WriteTextFile(const std::wstring& path, const std::wstring& text) {
    std::FILE* file = std::fopen(plat::NativePath(path).c_str(), "wb");
    if (!file)
        return false;
    const std::string bytes = plat::NarrowFromWide(text);
    // A file that is short or never reached the disk (full, failing) must not be sent to a device.
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool flushed = std::fflush(file) == 0;
    const bool closed = std::fclose(file) == 0;
    return written && flushed && closed;
}

bool ReadTextFile(const std::wstring& path, std::wstring* text) {
    std::ifstream in(plat::NativePath(path), std::ios::binary);
    if (!in)
        return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    *text = plat::WideFromNarrow(bytes);
    return true;
}

bool DeleteLocalFile(const std::wstring& path) {
    return std::remove(plat::NativePath(path).c_str()) == 0 || errno == ENOENT;
}

bool GenerateCommandFile(std::wstring& commandFile, const std::wstring& serial, const std::wstring& text,
                         std::wstring* error) {
    if (!commandFile.empty())
        return true;
    MakeTempFileName(&commandFile, serial, L"");
    if (!WriteTextFile(commandFile, text)) {
        DeleteLocalFile(commandFile);
        commandFile.clear();  // nothing usable was made: a later call tries again
        if (error)
            *error = L"Generate the command file failure!";
        return false;
    }
    return true;
}

bool RemoveCommandFile(std::wstring& commandFile, std::wstring* error) {
    if (std::remove(plat::NativePath(commandFile).c_str()) == 0) {
        commandFile.clear();
        return true;
    }
    if (error)
        *error = L"Remove the command file failure!";
    return false;
}

std::wstring AdbRebootLine(const std::wstring& serial, bool intoRecovery) {
    const std::wstring target = intoRecovery ? L" reboot recovery" : L" reboot";
    return serial.empty() ? target : L" -s " + plat::CommandLineWord(serial) + target;
}
