#include "AdbCommander.h"

#include <algorithm>
#include <string_view>

#include "AdbReplies.h"
#include "Errors.h"
#include "Paths.h"
#include "Process.h"
#include "ProcessHelpers.h"

namespace RYL {

namespace {

constexpr int kHidden = 0;  // show command of a hidden child
constexpr int kInvalidParameter = static_cast<int>(plat::kErrorInvalidParameter);
constexpr int kReplyFailure = static_cast<int>(plat::kErrorInstallFailure);

template <typename T>
void Store(T* out, T value)
{
    if (out) *out = std::move(value);
}

// Stores the outcome of a failed step of a device operation.
bool Fail(int* code, std::wstring* errorText, int failCode, std::wstring text)
{
    Store(code, failCode);
    Store(errorText, std::move(text));
    return false;
}

bool Refuse(int* code, std::wstring* errorText)
{
    Store(code, kInvalidParameter);
    std::wstring text;
    if (GetSystemErrorText(kInvalidParameter, text)) Store(errorText, text);
    return false;
}

// Runs a complete command line; the rest as RunAdb.
bool RunAdbCommand(const std::wstring& command, std::wstring* output, int* code,
                   std::wstring* errorText)
{
    std::wstring programDir;
    if (!GetModuleDir(GetThisModule(), programDir)) return false;
    const std::wstring program = AdbProgramPath(programDir);
    bool ran;
    if (output) {
        ran = RunProcessCapture(program, *output, command, kHidden, code);
    } else {
        ran = ShellRun(program, command, kHidden, false, code);
    }
    if (ran) return true;
    std::wstring text;
    const auto number = code ? static_cast<uint32_t>(*code) : 0u;
    if (code && errorText &&
        (output ? RunFailureText(program, RunTimeLimitMs(command), number, text)
                : GetShellErrorText(number, text)) &&
        !text.empty())
        *errorText = text;
    return false;
}

// The frame every device operation follows once its arguments are accepted: run the command
// with its reply captured, then judge the reply.
template <typename Check>
bool RunDeviceCommand(const std::wstring& serial, const std::wstring& format,
                      const std::wstring& argument, std::wstring& reply, int* code,
                      std::wstring* errorText, Check check)
{
    int runCode = static_cast<int>(plat::kEFail);  // kept when the runner fails before it has a code
    std::wstring runText;
    if (!RunAdbCommand(DeviceAdbCommand(serial, format, argument), &reply, &runCode, &runText))
        return Fail(code, errorText, runCode, runText);
    const AdbReplyCheck verdict = check(reply);
    if (verdict.failed) return Fail(code, errorText, kReplyFailure, verdict.text);
    return true;
}

// The two paths of a push or pull, each one argument of adb.
std::wstring TransferArguments(const std::wstring& from, const std::wstring& to)
{
    return plat::QuoteArgument(from) + L" " + plat::QuoteArgument(to);
}

// A command line of the device's shell as one argument of "adb shell".
std::wstring DeviceCommand(const std::wstring& command) { return plat::QuoteArgument(command); }

// Turns whatever escapes an operation into its false result.
template <typename Body>
bool Guarded(Body body)
{
    try {
        return body();
    } catch (...) {
        return false;
    }
}

}  // namespace

std::wstring FormatAdbCommand(const std::wstring& format, const std::wstring& argument)
{
    if (argument.empty()) {
        const size_t blank = format.find(L' ');
        return blank != std::wstring::npos && blank >= 1 ? format.substr(0, blank) : format;
    }
    const size_t slot = format.find(L"%s");
    if (slot == std::wstring::npos) return format;
    return format.substr(0, slot) + argument + format.substr(slot + 2);
}

std::wstring DeviceAdbCommand(const std::wstring& serial, const std::wstring& format,
                              const std::wstring& argument)
{
    const std::wstring command = FormatAdbCommand(format, argument);
    return serial.empty() ? command : L"-s " + plat::CommandLineWord(serial) + L" " + command;
}

std::wstring AdbProgramPath(const std::wstring& programDir)
{
    const std::wstring bundled = programDir + L"/Google/adb";
    if (plat::FileExists(bundled)) return bundled;
    const std::wstring found = plat::SearchPathFor(L"adb");
    return found.empty() ? std::wstring(L"adb") : found;
}

std::wstring ShellDevicePath(const std::wstring& directory, const std::wstring& program)
{
    return directory.ends_with(L'/') ? directory + program : directory + L"/" + program;
}

std::wstring DeviceShellQuoted(const std::wstring& value)
{
    std::wstring quoted = L"'";
    for (wchar_t c : value) quoted += c == L'\'' ? std::wstring(L"'\\''") : std::wstring(1, c);
    return quoted + L"'";
}

std::wstring DeviceShellWord(const std::wstring& value)
{
    const auto plain = [](wchar_t c) {
        return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') ||
               std::wstring_view(L"._-/:=+,@%").find(c) != std::wstring_view::npos;
    };
    return !value.empty() && std::all_of(value.begin(), value.end(), plain) ? value
                                                                          : DeviceShellQuoted(value);
}

std::wstring AmStartComponent(const std::wstring& package, const std::wstring& activity)
{
    const std::wstring name = activity.starts_with(L'.') ? package + activity : activity;
    return L"-n " + DeviceShellWord(package + L"/" + name);
}

bool IsAcceptedTransferPath(const std::wstring& path)
{
    return !path.empty() && IsSingleByteText(path);
}

CAdbCommander::CAdbCommander(void* parentWindow, void* contextPointer)
    : parent(parentWindow), context(contextPointer)
{
}

CAdbCommander::~CAdbCommander()
{
    if (started) Stop();
}

bool CAdbCommander::Start(bool restart)
{
    return Guarded([&] {
        if (started) return true;
        std::wstring reply;
        if (!restart) {
            if (!RunAdb(L"devices", L"", &reply)) return false;
            started = true;
            return true;
        }
        if (!RunAdb(L"kill-server", L"")) return false;
        if (!RunAdb(L"start-server", L"", &reply)) return false;
        uint32_t reported = 0;
        if (!ParseStartServerReply(reply, reported)) return false;
        port = reported;
        ownsServer = true;
        started = true;
        return true;
    });
}

bool CAdbCommander::Stop()
{
    return Guarded([&] {
        if (ownsServer) {
            if (!RunAdb(L"kill-server", L"")) return false;
            ownsServer = false;
        }
        started = false;
        return true;
    });
}

bool CAdbCommander::WaitForDevice(const std::wstring& serial, int intervalMs, int attempts)
{
    return Guarded([&] {
        for (int attempt = 0; attempt < std::max(attempts, 1); ++attempt) {
            WaitMilliseconds(static_cast<uint32_t>(std::max(intervalMs, 0)));
            std::wstring reply;
            if (!RunAdb(L"devices", L"", &reply)) return false;
            if (reply.find(serial) != std::wstring::npos) return true;
        }
        return false;
    });
}

bool CAdbCommander::RunAdb(std::wstring format, std::wstring argument, std::wstring* output,
                           int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (format.empty()) return false;
        return RunAdbCommand(FormatAdbCommand(format, argument), output, code, errorText);
    });
}

std::wstring CAdbCommander::TrimAdbText(std::wstring text) { return RYL::TrimAdbText(text); }

std::wstring CAdbCommander::TrimLineEnds(std::wstring text) { return RYL::TrimLineEnds(text); }

bool CAdbCommander::Push(std::wstring serial, std::wstring localPath, std::wstring remotePath,
                         int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (!IsAcceptedTransferPath(localPath) || !IsAcceptedTransferPath(remotePath))
            return Refuse(code, errorText);
        std::wstring reply;
        return RunDeviceCommand(serial, L"push %s", TransferArguments(localPath, remotePath), reply,
                                code, errorText, CheckPushReply);
    });
}

bool CAdbCommander::Pull(std::wstring serial, std::wstring remotePath, std::wstring localPath,
                         int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (!IsAcceptedTransferPath(remotePath) || !IsAcceptedTransferPath(localPath))
            return Refuse(code, errorText);
        std::wstring reply;
        return RunDeviceCommand(
            serial, L"pull %s", TransferArguments(remotePath, localPath), reply, code,
            errorText, [&](const std::wstring& r) { return CheckPullReply(r, remotePath); });
    });
}

bool CAdbCommander::Install(std::wstring serial, std::wstring packagePath, bool reinstall,
                            int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (packagePath.empty()) return Refuse(code, errorText);
        std::wstring reply;
        return RunDeviceCommand(serial, reinstall ? L"install -r %s" : L"install %s",
                                plat::QuoteArgument(packagePath), reply, code, errorText,
                                CheckInstallReply);
    });
}

bool CAdbCommander::GetProp(std::wstring serial, std::wstring name, std::wstring& value,
                            int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (name.empty()) return Refuse(code, errorText);
        value.clear();
        std::wstring reply;
        if (!RunDeviceCommand(serial, L"shell %s", DeviceCommand(L"getprop " + DeviceShellWord(name)),
                              reply, code, errorText, CheckGetPropReply))
            return false;
        value = RYL::TrimLineEnds(reply);
        return true;
    });
}

bool CAdbCommander::Shell(std::wstring serial, std::wstring program, std::wstring arguments,
                          std::wstring directory, std::wstring* output, int* code,
                          std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (program.empty() || directory.empty()) return Refuse(code, errorText);
        if (output) output->clear();
        const std::wstring devicePath = ShellDevicePath(directory, program);
        // The arguments are the device shell's own text.
        const std::wstring argument =
            DeviceShellQuoted(devicePath) + (arguments.empty() ? L"" : L" " + arguments);
        std::wstring reply;
        if (!RunDeviceCommand(serial, L"shell %s", DeviceCommand(argument), reply, code, errorText,
                              [&](const std::wstring& r) {
                                  return CheckShellReply(r, devicePath, output != nullptr);
                              }))
            return false;
        Store(output, reply);
        return true;
    });
}

bool CAdbCommander::Sideload(std::wstring serial, std::wstring packagePath, int* code,
                             std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (packagePath.empty()) return Refuse(code, errorText);
        std::wstring reply;
        return RunDeviceCommand(serial, L"sideload %s", plat::QuoteArgument(packagePath), reply, code,
                                errorText, CheckSideloadReply);
    });
}

bool CAdbCommander::AmStart(std::wstring serial, std::wstring package, std::wstring activity,
                            int* code, std::wstring* errorText)
{
    return Guarded([&] {
        if (!started) return false;
        if (package.empty() || activity.empty()) return Refuse(code, errorText);
        WaitMilliseconds(2000);
        std::wstring reply;
        return RunDeviceCommand(serial, L"shell %s",
                                DeviceCommand(L"am start " + AmStartComponent(package, activity)),
                                reply, code, errorText, CheckAmStartReply);
    });
}

}  // namespace RYL
