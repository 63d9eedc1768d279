#include "FastbootCommands.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "AdbCommander.h"
#include "KivLog.h"
#include "Process.h"
#include "ProcessHelpers.h"

namespace {

constexpr int kWaitAttempts = 7;
constexpr uint32_t kWaitIntervalMs = 10000;

bool IsAsciiSpace(wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); }

std::wstring TrimRight(std::wstring s)
{
    while (!s.empty() && IsAsciiSpace(s.back())) s.pop_back();
    return s;
}

std::wstring TrimLeft(const std::wstring& s)
{
    size_t i = 0;
    while (i < s.size() && IsAsciiSpace(s[i])) ++i;
    return s.substr(i);
}

std::wstring Format(const wchar_t* format, const std::wstring& value)
{
    std::wstring text = format;
    size_t at = text.find(L"%s");
    if (at != std::wstring::npos) text.replace(at, 2, value);
    return text;
}

void Report(int* code, std::wstring* error, int value, const std::wstring& text)
{
    if (code) *code = value;
    if (error) *error = text;
}

// Runs one command and judges its reply by the failure keywords.
bool RunJudged(const std::wstring& exe, const std::wstring& serial, const std::wstring& command,
               bool exactCase, int* code, std::wstring* error)
{
    std::wstring out;
    if (!FastbootRun(exe, serial, command, &out, code, error)) return false;
    std::wstring line;
    if (FindFastbootFailure(out, exactCase, line)) {
        if (error) *error = line;
        return false;
    }
    return true;
}

// Lists the devices up to seven times until the serial shows up exactly once.
bool WaitListed(const std::function<bool(std::wstring&, int*, std::wstring*)>& list,
                const std::wstring& serial, int* code, std::wstring* error)
{
    for (int attempt = 0; attempt < kWaitAttempts; ++attempt) {
        if (attempt > 0) RYL::WaitMilliseconds(kWaitIntervalMs);
        std::wstring listing;
        if (!list(listing, code, error)) continue;
        int count = CountListedDevices(listing, serial);
        if (count == 1) return true;
        if (count >= 2) {
            Report(code, error, ERR_DEVICE_AMBIGUOUS, Format(L"found two or more devices of \"%s\"", serial));
            return false;
        }
        Report(code, error, ERR_DEVICE_NOT_FOUND, Format(L"not found the device of \"%s\"", serial));
    }
    return false;
}

}  // namespace

bool FindFastbootFailure(const std::wstring& output, bool exactCase, std::wstring& line)
{
    size_t at;
    if (exactCase) {
        at = output.find(L"FAILED");
    } else {
        std::wstring upper = output;
        for (wchar_t& c : upper) {
            if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
        }
        at = upper.find(L"FAILED");
        if (at == std::wstring::npos) at = upper.find(L"ERROR");
    }
    if (at == std::wstring::npos) return false;
    const size_t end = output.find(L'\n', at);
    const size_t length = end == std::wstring::npos ? output.size() - at : end - at;
    line = TrimRight(output.substr(at, std::min(length, kOutputLineLimit)));
    return true;
}

namespace {

constexpr uint64_t Packed(const char* text)
{
    uint64_t value = 0;
    for (; *text; ++text) value = (value << 8) | static_cast<unsigned char>(*text);
    return value;
}

// The last count bytes of a packed value.
std::string Unpacked(uint64_t value, int count)
{
    std::string text;
    for (int i = count - 1; i >= 0; --i) text += char((value >> (8 * i)) & 0xFF);
    return text;
}

}  // namespace

void OutputFailureScan::Collect(Capture& capture, char c)
{
    if (c == '\n') {
        capture.open = false;
        return;
    }
    if (capture.line.size() < kOutputLineLimit) capture.line += c;
}

void OutputFailureScan::Add(const char* bytes, size_t size)
{
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (failed_.open) Collect(failed_, c);
        if (error_.open) Collect(error_, c);
        const char upper = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
        // The keywords hold no zero byte, so the zeros before the first bytes never match.
        recentUpper_ = ((recentUpper_ << 8) | static_cast<unsigned char>(upper)) & 0xFFFFFFFFFFFFull;
        recent_ = ((recent_ << 8) | static_cast<unsigned char>(c)) & 0xFFFFFFFFFFFFull;
        if (!failed_.found && recentUpper_ == Packed("FAILED")) {
            failed_ = {true, true, Unpacked(recent_, 6)};
        } else if (!error_.found && (recentUpper_ & 0xFFFFFFFFFFull) == Packed("ERROR")) {
            error_ = {true, true, Unpacked(recent_, 5)};
        }
    }
    CollectLines(bytes, size);
}

void OutputFailureScan::CollectLines(const char* bytes, size_t size)
{
    size_t at = 0;
    while (at < size) {
        const void* feed = std::memchr(bytes + at, '\n', size - at);
        const size_t end = feed ? static_cast<size_t>(static_cast<const char*>(feed) - bytes) : size;
        size_t from = at;
        if (line_.empty())
            while (from < end && IsAsciiSpace(static_cast<unsigned char>(bytes[from]))) ++from;
        line_.append(bytes + from, std::min(end - from, kOutputLineLimit - line_.size()));
        if (!feed) break;
        if (!line_.empty()) lastLine_.swap(line_);
        line_.clear();
        at = end + 1;
    }
}

bool OutputFailureScan::Failure(std::wstring& line) const
{
    const Capture& found = failed_.found ? failed_ : error_;
    if (!found.found) return false;
    line = TrimRight(RYL::BytesToText(found.line.data(), static_cast<int>(found.line.size())));
    return true;
}

std::wstring OutputFailureScan::LastLine() const
{
    const std::string& line = line_.empty() ? lastLine_ : line_;
    return TrimRight(RYL::BytesToText(line.data(), static_cast<int>(line.size())));
}

std::wstring ParseBuildVersion(const std::wstring& output)
{
    std::wstring v = output;
    if (v.compare(0, 3, L"...") == 0) v = TrimLeft(v.substr(3));
    // Current fastboot puts blanks before the bootloader's line.
    std::wstring rest = TrimLeft(v);
    if (rest.compare(0, 12, L"(bootloader)") == 0) v = TrimLeft(rest.substr(12));
    size_t okay = v.find(L"OKAY");
    if (okay != std::wstring::npos) v = TrimRight(v.substr(0, okay));
    return v;
}

int CountListedDevices(const std::wstring& listing, const std::wstring& serial)
{
    const std::wstring prefix = serial + L"\t";
    int count = 0;
    size_t start = 0;
    while (start < listing.size()) {
        size_t end = listing.find(L'\n', start);
        if (listing.compare(start, prefix.size(), prefix) == 0) ++count;
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    return count;
}

bool FastbootRun(std::wstring exe, std::wstring serial, std::wstring command, std::wstring* output,
                 int* code, std::wstring* error)
{
    std::wstring arguments = serial.empty() ? command : L"-s " + plat::CommandLineWord(serial) + L" " + command;
    std::wstring out;
    bool ran = RYL::RunProcessCapture(exe, out, arguments, RYL::SW_HIDE, code, nullptr);
    std::wstring text;
    if (code && RYL::RunFailureText(exe, RYL::RunTimeLimitMs(arguments), uint32_t(*code), text) && !text.empty() &&
        error)
        *error = text;
    if (output && ran) *output = out;
    return ran;
}

bool FastbootWaitDevice(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    auto list = [&exe](std::wstring& listing, int* c, std::wstring* e) {
        return FastbootRun(exe, L"", L"devices", &listing, c, e);
    };
    return WaitListed(list, serial, code, error);
}

bool AdbWaitDevice(std::wstring serial, int* code, std::wstring* error)
{
    auto list = [](std::wstring& listing, int* c, std::wstring* e) {
        return RYL::CAdbCommander::RunAdb(L" devices", L"", &listing, c, e);
    };
    return WaitListed(list, serial, code, error);
}

bool FastbootEnableAdb(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"oem adb_enable 1", false, code, error);
}

bool FastbootEraseData(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"erase data", false, code, error);
}

bool FastbootEraseUserdata(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"erase userdata", false, code, error);
}

bool FastbootFormatData(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"format data", false, code, error);
}

bool FastbootFormatUserdata(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"format userdata", false, code, error);
}

bool FastbootReboot(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"reboot", false, code, error);
}

bool FastbootRebootRecovery(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"oem reboot-recovery", true, code, error);
}

bool FastbootWipe(std::wstring exe, std::wstring serial, int* code, std::wstring* error)
{
    return RunJudged(exe, serial, L"-w", false, code, error);
}

bool FastbootFlashAll(std::wstring exe, std::wstring serial, std::wstring file, int* code,
                      std::wstring* error)
{
    return RunJudged(exe, serial, L"flash all " + plat::QuoteArgument(file), false, code, error);
}

std::wstring RecoveryImagePath(const std::wstring& file)
{
    std::wstring dir;
    RYL::GetModuleDir(RYL::GetThisModule(), dir);
    return dir + L"/" + file;
}

bool FastbootFlashRecovery(std::wstring exe, std::wstring serial, std::wstring file, int* code,
                           std::wstring* error)
{
    return RunJudged(exe, serial, L"flash recovery " + plat::QuoteArgument(RecoveryImagePath(file)), true, code,
                     error);
}

bool FastbootGetBuildVersion(std::wstring exe, std::wstring serial, std::wstring* version, int* code,
                             std::wstring* error)
{
    std::wstring out;
    if (!FastbootRun(exe, serial, L"oem get_build_version", &out, code, error)) return false;
    std::wstring line;
    if (FindFastbootFailure(out, false, line)) {
        Report(code, error, ERR_BUILD_VERSION, line);
        return false;
    }
    if (version) *version = ParseBuildVersion(out);
    return true;
}
