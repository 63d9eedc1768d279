// Judging adb's printed replies. Every check reads the text only, never adb's exit status.
// Older adb versions and current platform tools (29.x) word some replies differently; both are
// accepted where noted.
#pragma once
#include <cstdint>
#include <string>

namespace RYL {

// The outcome of one reply check: failed, and then the text the operation reports.
struct AdbReplyCheck {
    bool failed = false;
    std::wstring text;
};

// White space trimmed at both ends, every remaining line feed replaced by ";".
std::wstring TrimAdbText(const std::wstring& text);
// Tabs, carriage returns and line feeds removed at both ends (blanks stay).
std::wstring TrimLineEnds(const std::wstring& text);
// "ADB Error: " + detail.
std::wstring AdbErrorText(const std::wstring& detail);

// True when the reply is the one-line transfer summary of current adb, such as
// "f.txt: 1 file pushed, 0 skipped. 0.1 MB/s (3 bytes in 0.001s)"; verb is "pushed" or "pulled".
bool IsTransferSummary(const std::wstring& reply, const std::wstring& verb);

AdbReplyCheck CheckPushReply(const std::wstring& reply);
AdbReplyCheck CheckPullReply(const std::wstring& reply, const std::wstring& remotePath);
AdbReplyCheck CheckInstallReply(const std::wstring& reply);
// A reply that begins with adb's "error: " line (no device, unknown serial, ...).
AdbReplyCheck CheckErrorLine(const std::wstring& reply);
AdbReplyCheck CheckGetPropReply(const std::wstring& reply);
// devicePath is the program's path on the device; withOutput tells whether the caller takes the
// output (then printing nothing is the failure, otherwise printing anything is).
AdbReplyCheck CheckShellReply(const std::wstring& reply, const std::wstring& devicePath,
                              bool withOutput);
AdbReplyCheck CheckSideloadReply(const std::wstring& reply);
AdbReplyCheck CheckAmStartReply(const std::wstring& reply);

// The port of the daemon start notice that "start-server" prints, in the older form
// "* daemon not running. starting it now on port 5037 *" or the current one
// "* daemon not running; starting now at tcp:5037". False when the reply holds neither.
bool ParseStartServerReply(const std::wstring& reply, uint32_t& port);

}  // namespace RYL
