#include "ProcessHelpers.h"

#include "Clock.h"
#include "Errors.h"
#include "Paths.h"
#include "Process.h"
#include "Resources.h"
#include "Text.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <cwctype>
#include <mutex>
#include <vector>

namespace RYL {
namespace {

constexpr uint32_t kCaptureLimit = 102400;
constexpr uint32_t kBuildVersionLimitMs = 3000;

void SetCode(int* code, uint32_t value) {
    if (code) *code = static_cast<int>(value);
}

struct OsVersion {
    bool overridden = false;
    bool fails = false;
    uint32_t major = 0, minor = 0, productType = 1;
};

std::mutex gOsLock;
OsVersion gOsVersion;

// The version query: this is not Windows, so no class of the table matches.
bool QueryOsVersion(uint32_t& major, uint32_t& minor, uint32_t& productType) {
    std::lock_guard<std::mutex> guard(gOsLock);
    if (gOsVersion.fails) return false;
    major = gOsVersion.major;
    minor = gOsVersion.minor;
    productType = gOsVersion.productType;
    return true;
}

std::string ResolveShellFile(const std::wstring& file) {
    if (file.find_first_of(L"/\\") != std::wstring::npos) return plat::NativePath(file);
    if (plat::FileExists(file)) return plat::NativePath(file);
    std::wstring found = plat::SearchPathFor(file);
    return plat::NativePath(found.empty() ? file : found);
}

const wchar_t* const kShellErrorTexts[33] = {
    L"The operating system is out of memory or resources.",
    L"Call to MS-DOS Int 21 Function 4B00h was invalid.",
    L"The specified file was not found.",
    L"The specified path was not found.",
    L"Too many files were open.",
    L"The operating system denied access to the specified file.",
    L"Library requires separate data segments for each task.",
    L"There were MS-DOS Memory block problems.",
    L"There was insufficient memory to start the application.",
    L"There were MS-DOS Memory block problems.",
    L"Windows version was incorrect.",
    L"Executable file was invalid. Either it was not a Windows application or there was an error "
    L"in the .EXE image.",
    L"Application was designed for a different operating system.",
    L"Application was designed for MS-DOS 4.0.",
    L"Type of executable file was unknown.",
    L"Attempt was made to load a real-mode application (developed for an earlier version of "
    L"Windows).",
    L"Attempt was made to load a second instance of an executable file containing multiple data "
    L"segments that were not marked read-only.",
    L"Attempt was made in large-frame EMS mode to load a second instance of an application that "
    L"links to certain nonshareable DLLs that are already in use.",
    L"Attempt was made in real mode to load an application marked for use in protected mode only.",
    L"Attempt was made to load a compressed executable file. The file must be decompressed before "
    L"it can be loaded.",
    L"Dynamic-link library (DLL) file was invalid. One of the DLLs required to run this "
    L"application was corrupt.",
    L"Application requires Microsoft Windows 32-bit extensions.",
    nullptr,
    nullptr,
    L"Command line too long.",
    nullptr,
    L"A sharing violation occurred.",
    L"The file name association is incomplete or invalid.",
    L"The DDE transaction could not be completed because the request timed out.",
    L"The DDE transaction failed.",
    L"The DDE transaction could not be completed because other DDE transactions were being "
    L"processed.",
    L"There is no application associated with the given file name extension.",
    L"The specified dynamic-link library was not found.",
};

}  // namespace

bool RunProcessCapture(std::wstring programPath, std::wstring& output, std::wstring arguments,
                       int /*showCommand*/, int* code, const wchar_t* workDir) {
    if (programPath.empty()) {
        SetCode(code, plat::kEFail);
        return false;
    }
    plat::RunRequest request;
    request.program = plat::NativePath(programPath);
    request.argv.push_back(request.program);
    for (std::string& word : plat::SplitCommandLine(plat::NarrowFromWide(arguments)))
        request.argv.push_back(std::move(word));
    if (workDir && *workDir) request.workDir = plat::NativePath(workDir);
    request.timeoutMs = RunTimeLimitMs(arguments);
    request.keepBytes = kCaptureLimit;

    plat::RunResult result = plat::RunCaptured(request);
    if (result.ok)
        output = BytesToText(result.output.data(), static_cast<int>(result.output.size()));
    SetCode(code, result.ok ? plat::kErrorSuccess : result.code);
    return result.ok;
}

uint32_t RunTimeLimitMs(const std::wstring& arguments) {
    // The query's own words end the line; a serial or a path that holds the name is no query.
    const std::vector<std::string> words = plat::SplitCommandLine(plat::NarrowFromWide(arguments));
    const size_t n = words.size();
    if (n >= 2 && words[n - 2] == "oem" && words[n - 1] == "get_build_version") return kBuildVersionLimitMs;
    return plat::ThreadTimeLimit();
}

bool RunFailureText(const std::wstring& programPath, uint32_t limitMs, uint32_t code, std::wstring& text) {
    const uint32_t waitedMs = code == plat::kWaitTimeout ? plat::LastRunWaitStopMs() : 0;
    if (code != plat::kWaitTimeout || (limitMs == 0 && waitedMs == 0)) return GetSystemErrorText(code, text);
    const size_t slash = programPath.find_last_of(L"/\\");
    const std::wstring name = slash == std::wstring::npos ? programPath : programPath.substr(slash + 1);
    auto seconds = [](uint32_t ms) { return std::to_wstring((uint64_t(ms) + 999) / 1000); };
    if (waitedMs != 0)
        text = name + L" waited " + seconds(waitedMs) + L" seconds and was stopped";
    else
        text = name + L" did not end within " + seconds(limitMs) + L" seconds and was stopped";
    return true;
}

bool ShellRun(std::wstring file, std::wstring parameters, int showCommand, bool noWait,
              int* code, const wchar_t* directory) {
    int osClass = OS_OTHER;
    GetOsClass(osClass);
    if (file.empty()) {
        SetCode(code, plat::kEFail);
        return false;
    }
    // The verb would ask for elevation from Vista on; here every start runs plainly.
    (void)ShellVerbForClass(osClass);

    plat::RunRequest request;
    request.program = ResolveShellFile(file);
    request.argv.push_back(request.program);
    for (std::string& word : plat::SplitCommandLine(plat::NarrowFromWide(parameters)))
        request.argv.push_back(std::move(word));
    if (directory && *directory) request.workDir = plat::NativePath(directory);
    request.capture = false;
    request.quiet = showCommand == SW_HIDE;  // a hidden window shows nobody what it prints
    request.wait = !noWait;

    plat::RunResult result = plat::RunCaptured(request);
    SetCode(code, result.ok ? plat::kErrorSuccess : result.code);
    return result.ok;
}

int OsClassFromVersion(uint32_t major, uint32_t minor, uint32_t productType) {
    const bool workstation = productType == 1;
    if (major == 5 && minor == 0) return OS_WINDOWS_2000;
    if (major == 5 && minor == 1) return OS_WINDOWS_XP;
    if (major == 6 && minor == 0) return workstation ? OS_WINDOWS_VISTA : OS_WINDOWS_SERVER_2008;
    if (major == 6 && minor == 1) return workstation ? OS_WINDOWS_7 : OS_WINDOWS_SERVER_2008_R2;
    if (major == 6 && minor == 2) return workstation ? OS_WINDOWS_8 : OS_WINDOWS_SERVER_2012;
    return OS_OTHER;
}

const wchar_t* ShellVerbForClass(int osClass) {
    return osClass < OS_WINDOWS_VISTA ? L"open" : L"runas";
}

void SetOsVersionForTesting(uint32_t major, uint32_t minor, uint32_t productType, bool fails) {
    std::lock_guard<std::mutex> guard(gOsLock);
    gOsVersion = {true, fails, major, minor, productType};
}

void ResetOsVersionForTesting() {
    std::lock_guard<std::mutex> guard(gOsLock);
    gOsVersion = OsVersion{};
}

bool GetOsClass(int& osClass) {
    osClass = OS_OTHER;
    uint32_t major = 0, minor = 0, productType = 0;
    if (!QueryOsVersion(major, minor, productType)) return false;
    osClass = OsClassFromVersion(major, minor, productType);
    return true;
}

bool GetShellErrorText(unsigned code, std::wstring& text) {
    if (code >= sizeof kShellErrorTexts / sizeof kShellErrorTexts[0] || !kShellErrorTexts[code])
        return false;
    text = kShellErrorTexts[code];
    return true;
}

bool GetSystemErrorText(uint32_t code, std::wstring& text) {
    return plat::SystemErrorText(code, text);
}

bool GetModuleMessageText(std::wstring moduleName, uint32_t code, std::wstring& text) {
    if (moduleName.empty()) return false;
    return plat::ModuleMessageText(moduleName, code, text);
}

ModuleHandle GetThisModule() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&GetThisModule), &info)) return nullptr;
    return info.dli_fbase;
}

bool GetModuleDir(ModuleHandle module, std::wstring& dir) {
    if (!module) return false;
    Dl_info info{};
    link_map* map = nullptr;
    if (!dladdr1(module, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map)
        return false;
    std::wstring found;
    if (!map->l_name || !*map->l_name) {
        found = plat::ProgramDir();  // the program itself (a test may have moved it)
    } else {
        std::wstring file = plat::WideFromNarrow(map->l_name);
        size_t slash = file.find_last_of(L'/');
        if (slash == std::wstring::npos) return false;
        found = file.substr(0, slash + 1);
    }
    if (found.empty()) return false;
    if (found.back() == L'/') found.pop_back();  // the root gives the empty text, as "D:" would
    dir = found;
    return true;
}

bool IsSingleByteText(std::wstring text) {
    if (text.empty()) return false;
    for (char16_t unit : plat::Utf16FromWide(text))
        if (plat::IsAnsiLeadByte(static_cast<unsigned char>(unit & 0xFF))) return false;
    return true;
}

unsigned LoadResourceBytes(ModuleHandle module, int id, const wchar_t* typeName,
                           unsigned bufferSize, void* buffer) {
    if (!module || id == 0 || !typeName || !*typeName || bufferSize == 0 || !buffer) return 0;
    const unsigned char* data = nullptr;
    size_t size = 0;
    if (!plat::FindResource(typeName, id & 0xFFFF, &data, &size)) return 0;
    if (size == 0 || size > bufferSize) return 0;
    std::memcpy(buffer, data, size);
    return static_cast<unsigned>(size);
}

std::wstring BytesToText(const void* bytes, int length) {
    std::wstring text;
    if (!bytes || length <= 0) return text;
    const auto* p = static_cast<const unsigned char*>(bytes);
    text.reserve(static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) text += static_cast<wchar_t>(p[i]);
    return text;
}

bool ContainsNoCase(std::wstring text, std::wstring part) {
    if (text.empty() || part.empty()) return false;
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    for (wchar_t& c : part) c = static_cast<wchar_t>(std::towlower(c));
    return text.find(part) != std::wstring::npos;
}

void WaitMilliseconds(uint32_t milliseconds) { plat::SleepMs(milliseconds); }

}  // namespace RYL
