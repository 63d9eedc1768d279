#include "AdbReplies.h"

#include <algorithm>
#include <cwctype>
#include <vector>

#include "ProcessHelpers.h"
#include "ReplyScan.h"

namespace RYL {

namespace {

const wchar_t kUnknown[] = L"(unknown)";

bool IsBlank(wchar_t c) { return std::iswspace(static_cast<wint_t>(c)) != 0; }

// The text without the carriage returns and line feeds at its end.
std::wstring WithoutTrailingLineEnds(const std::wstring& text)
{
    const size_t end = text.find_last_not_of(L"\r\n");
    return end == std::wstring::npos ? std::wstring() : text.substr(0, end + 1);
}

AdbReplyCheck Failure(std::wstring text) { return {true, std::move(text)}; }

bool IsProtocolFailure(const std::wstring& reply)
{
    return WithoutTrailingLineEnds(reply) == L"protocol failure";
}

// "name: detail", the form of adb's failure lines (and of current adb's transfer summary).
bool IsNamedMessage(const std::wstring& reply) { return ScanCount(reply, L"%[^:]: %[^\n]") == 2; }

// The text between the brackets of "Failure [reason]" at the start of text, else "(unknown)".
std::wstring InstallFailureReason(const std::wstring& text)
{
    const ReplyScan scan = ScanReply(text, L"Failure [%[^]]]");
    return scan.count == 1 ? scan.fields[0] : std::wstring(kUnknown);
}

// The reply's lines without their carriage returns; empty lines dropped.
std::vector<std::wstring> ReplyLines(const std::wstring& reply)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < reply.size()) {
        size_t end = reply.find(L'\n', start);
        if (end == std::wstring::npos) end = reply.size();
        std::wstring line = WithoutTrailingLineEnds(reply.substr(start, end - start));
        if (!line.empty()) lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::wstring TrimAdbText(const std::wstring& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    std::wstring trimmed = text.substr(begin, end - begin);
    for (wchar_t& c : trimmed)
        if (c == L'\n') c = L';';
    return trimmed;
}

std::wstring TrimLineEnds(const std::wstring& text)
{
    const wchar_t* const ends = L"\t\r\n";
    const size_t begin = text.find_first_not_of(ends);
    if (begin == std::wstring::npos) return std::wstring();
    const size_t end = text.find_last_not_of(ends);
    return text.substr(begin, end - begin + 1);
}

std::wstring AdbErrorText(const std::wstring& detail) { return L"ADB Error: " + detail; }

bool IsTransferSummary(const std::wstring& reply, const std::wstring& verb)
{
    const std::wstring line = WithoutTrailingLineEnds(reply);
    if (line.find(L'\n') != std::wstring::npos) return false;
    // The counts follow the last ": " (the name may hold one; the rate after them does not).
    const size_t colon = line.rfind(L": ");
    if (colon == std::wstring::npos || colon == 0) return false;
    const std::wstring counts = line.substr(colon + 2);
    return ScanCount(counts, L"%lu file " + verb + L", %lu skipped.") == 2 ||
           ScanCount(counts, L"%lu files " + verb + L", %lu skipped.") == 2;
}

AdbReplyCheck CheckPushReply(const std::wstring& reply)
{
    if ((IsNamedMessage(reply) && !IsTransferSummary(reply, L"pushed")) ||
        IsProtocolFailure(reply))
        return Failure(AdbErrorText(TrimAdbText(reply)));
    return {};
}

AdbReplyCheck CheckPullReply(const std::wstring& reply, const std::wstring& remotePath)
{
    if (IsNamedMessage(reply) && !IsTransferSummary(reply, L"pulled"))
        return Failure(AdbErrorText(TrimAdbText(reply)));
    const ReplyScan quoted = ScanReply(reply, L"%[^']'%[^']'");
    if (quoted.count == 2 && quoted.fields[1] == remotePath)
        return Failure(AdbErrorText(TrimAdbText(reply)));
    if (IsProtocolFailure(reply)) return Failure(AdbErrorText(TrimAdbText(reply)));
    return {};
}

AdbReplyCheck CheckInstallReply(const std::wstring& reply)
{
    // Current adb prints its own lines on stdout, buffered on a pipe, and its failure line on
    // stderr, unbuffered: the lines are judged whatever their order.
    const std::vector<std::wstring> lines = ReplyLines(reply);
    const auto has = [&lines](const wchar_t* line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    if (has(L"Performing Streamed Install") || has(L"Performing Push Install")) {
        for (const std::wstring& line : lines) {
            const size_t failure = line.find(L"Failure [");
            if (failure != std::wstring::npos)
                return Failure(AdbErrorText(InstallFailureReason(line.substr(failure))));
        }
        if (has(L"Performing Streamed Install") && has(L"Success")) return {};
        // A device without the package manager's "cmd" (Android 6 and older): the package is
        // pushed, then installed; nothing but these three lines.
        if (lines.size() == 3 && has(L"Performing Push Install") && has(L"Success") &&
            std::any_of(lines.begin(), lines.end(),
                        [](const std::wstring& line) { return IsTransferSummary(line, L"pushed"); }))
            return {};
        return Failure(AdbErrorText(kUnknown));
    }
    const ReplyScan fields = ScanReply(reply, L"%[^\n]\n%[^\n]\n%[^\n]");
    if (fields.count == 3 && WithoutTrailingLineEnds(fields.fields[1]) == L"Success") return {};
    return Failure(AdbErrorText(fields.count >= 2 ? InstallFailureReason(fields.fields[1])
                                                  : std::wstring(kUnknown)));
}

AdbReplyCheck CheckErrorLine(const std::wstring& reply)
{
    const ReplyScan scan = ScanReply(reply, L"error: %[^\n]");
    if (scan.count == 1) return Failure(AdbErrorText(TrimAdbText(scan.fields[0])));
    return {};
}

AdbReplyCheck CheckGetPropReply(const std::wstring& reply) { return CheckErrorLine(reply); }

AdbReplyCheck CheckShellReply(const std::wstring& reply, const std::wstring& devicePath,
                              bool withOutput)
{
    if (!withOutput) return reply.empty() ? AdbReplyCheck{} : Failure(kUnknown);
    if (reply.empty()) return Failure(kUnknown);
    const ReplyScan named = ScanReply(reply, L"%[^:]: %[^\n]");
    if (named.count == 2 && named.fields[0] == devicePath)
        return Failure(AdbErrorText(TrimAdbText(named.fields[1])));
    if (ContainsNoCase(reply, L"ERROR")) return Failure(TrimAdbText(reply));
    return {};
}

AdbReplyCheck CheckSideloadReply(const std::wstring& reply)
{
    if (reply.find(L"Total xfer: ") == std::wstring::npos) return Failure(AdbErrorText(kUnknown));
    return {};
}

AdbReplyCheck CheckAmStartReply(const std::wstring& reply)
{
    const ReplyScan scan = ScanReply(reply, L"%[^}]}%[^:]: %[^\n]");
    if (scan.count == 3) return Failure(AdbErrorText(TrimAdbText(scan.fields[2])));
    // adb's own failures ("error: device 'X' not found") have no braces.
    return CheckErrorLine(reply);
}

bool ParseStartServerReply(const std::wstring& reply, uint32_t& port)
{
    for (const wchar_t* pattern :
         {L"* daemon not running. starting it now on port %lu *\n* daemon started successfully *\n",
          L"* daemon not running; starting now at tcp:%lu"}) {
        const ReplyScan scan = ScanReply(reply, pattern);
        if (!scan.numbers.empty()) {
            port = scan.numbers[0];
            return true;
        }
    }
    return false;
}

}  // namespace RYL
