// Process runner and small platform helpers of the support library.
#pragma once
#include <cstdint>
#include <string>

namespace RYL {

// Handle of a loaded module (the program or a shared library); null when there is none.
using ModuleHandle = const void*;

// Show commands; the child's window state, which has no meaning here.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;

// Windows version classes of GetOsClass.
enum OsClass : int {
    OS_OTHER = 0,
    OS_WINDOWS_2000 = 1,
    OS_WINDOWS_XP = 2,
    OS_WINDOWS_VISTA = 3,
    OS_WINDOWS_SERVER_2008 = 4,
    OS_WINDOWS_SERVER_2008_R2 = 5,
    OS_WINDOWS_7 = 6,
    OS_WINDOWS_8 = 7,
    OS_WINDOWS_SERVER_2012 = 8,
};

// Runs the program (path used exactly) with stdout and stderr captured. Arguments are one command
// line, split by the Windows C-runtime rules (values put in with plat::QuoteArgument or
// plat::CommandLineWord). Waits for the end, or at most RunTimeLimitMs (code 258; the child's
// process group is killed; the thread's plat::WaitRule stops it the same way). True when the child
// ran to its end; its exit status is never read. The output is the first 102,400 bytes, each as
// one character of the same value. The output is written only on success, the code always.
// A stop request of the thread's plat::StopSignal kills the child: false, code 1223.
bool RunProcessCapture(std::wstring programPath, std::wstring& output, std::wstring arguments,
                       int showCommand, int* code = nullptr, const wchar_t* workDir = nullptr);

// The time limit of a run with these arguments: 3,000 ms for the build-version query (arguments
// that end with the words "oem get_build_version"), otherwise the calling thread's limit
// (plat::ThreadTimeLimit; 0: none).
uint32_t RunTimeLimitMs(const std::wstring& arguments);
// What a failure of the runner says: for a child stopped at its time limit, the program's name and
// the limit; for the calling thread's last child stopped while it waited (plat::WaitRule), the
// program's name and how long it waited; otherwise the system's text of the code. False when
// there is none.
bool RunFailureText(const std::wstring& programPath, uint32_t limitMs, uint32_t code, std::wstring& text);

// Starts a program as the shell would (a bare name is looked up in the current directory, then on
// the search path), waiting for its end unless noWait. The verb follows GetOsClass; there is no
// elevation here, so the program runs plainly. A hidden child's (SW_HIDE) output goes to /dev/null;
// any other writes to ours.
bool ShellRun(std::wstring file, std::wstring parameters, int showCommand, bool noWait,
              int* code = nullptr, const wchar_t* directory = nullptr);

// The class of the running system (OS_OTHER here); false when the version query failed.
bool GetOsClass(int& osClass);
int OsClassFromVersion(uint32_t major, uint32_t minor, uint32_t productType);
// "open" below OS_WINDOWS_VISTA, "runas" from it on.
const wchar_t* ShellVerbForClass(int osClass);
// Tests only: the version that GetOsClass's query reports, or a failing query.
void SetOsVersionForTesting(uint32_t major, uint32_t minor, uint32_t productType, bool fails = false);
void ResetOsVersionForTesting();

bool GetShellErrorText(unsigned code, std::wstring& text);
bool GetSystemErrorText(uint32_t code, std::wstring& text);
bool GetModuleMessageText(std::wstring moduleName, uint32_t code, std::wstring& text);

ModuleHandle GetThisModule();
// The directory of the module's file, without a trailing separator.
bool GetModuleDir(ModuleHandle module, std::wstring& dir);

// False for the empty text and for a text with a lead byte of the active code page.
bool IsSingleByteText(std::wstring text);

// Copies the whole resource into the buffer; 0 when it is missing, empty or larger than the buffer.
unsigned LoadResourceBytes(ModuleHandle module, int id, const wchar_t* typeName,
                           unsigned bufferSize, void* buffer);

// Each byte becomes one character of the same value (no code page).
std::wstring BytesToText(const void* bytes, int length);

bool ContainsNoCase(std::wstring text, std::wstring part);

// Sleeps on the platform clock (which tests can speed up).
void WaitMilliseconds(uint32_t milliseconds);

}  // namespace RYL
