// The fastboot commands that the device workers send, and the waits for a device to be listed by
// fastboot or adb. Every function reports through two optional out-parameters, a code and a text,
// written only on failure (FastbootRun also writes them after a successful run); none logs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Runs the fastboot program with "-s SERIAL COMMAND" (the command alone for an empty serial); the
// serial is one argument, the command a command line whose values the caller has quoted.
// True when the program ran to its end; output receives everything it printed.
bool FastbootRun(std::wstring exe, std::wstring serial, std::wstring command, std::wstring* output,
                 int* code, std::wstring* error);

// Up to 7 listings, 10 s apart, until the serial is listed exactly once.
bool FastbootWaitDevice(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool AdbWaitDevice(std::wstring serial, int* code, std::wstring* error);

bool FastbootEnableAdb(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootEraseData(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootEraseUserdata(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootFormatData(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootFormatUserdata(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootReboot(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootRebootRecovery(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootWipe(std::wstring exe, std::wstring serial, int* code, std::wstring* error);
bool FastbootFlashAll(std::wstring exe, std::wstring serial, std::wstring file, int* code,
                      std::wstring* error);
// file is relative to the program's directory (RecoveryImagePath).
bool FastbootFlashRecovery(std::wstring exe, std::wstring serial, std::wstring file, int* code,
                           std::wstring* error);
bool FastbootGetBuildVersion(std::wstring exe, std::wstring serial, std::wstring* version, int* code,
                             std::wstring* error);

// The full path of a recovery image file given relative to the program's directory.
std::wstring RecoveryImagePath(const std::wstring& file);

// How fastboot's line begins when it waits for its device ("< waiting for any device >",
// "< waiting for SERIAL >"); it prints nothing more until the device is there.
inline constexpr char kFastbootWaitLinePrefix[] = "< waiting for";

// --- the rules, for the tests ---

// The most characters of an output line that a failure or last-line text keeps: a line is cut
// there before its trailing white space is dropped.
inline constexpr size_t kOutputLineLimit = 4096;

// The line of the output from the failure keyword on: "FAILED", else "ERROR", in any case, or
// with exactCase "FAILED" only; at most kOutputLineLimit characters of it, trailing white space
// dropped. False when no keyword occurs.
bool FindFastbootFailure(const std::wstring& output, bool exactCase, std::wstring& line);
// FindFastbootFailure (any case) over an output of any length, judged as its bytes arrive, with
// the same result however the bytes are cut into pieces: only the two keyword lines, the last
// line that holds more than white space and the line being read are kept, each cut at
// kOutputLineLimit.
class OutputFailureScan {
public:
    void Add(const char* bytes, size_t size);
    // The line from the first "FAILED", else from the first "ERROR"; false when neither occurred.
    bool Failure(std::wstring& line) const;
    // The last line of the output that holds more than white space, without its leading and
    // trailing white space and cut at kOutputLineLimit characters after its leading white space
    // ("" when none).
    std::wstring LastLine() const;

private:
    struct Capture {
        bool found = false;
        bool open = false;  // still collecting up to the line feed
        std::string line;
    };
    void Collect(Capture& capture, char c);
    // The line being read and the last one that holds more than white space.
    void CollectLines(const char* bytes, size_t size);

    uint64_t recentUpper_ = 0;  // the last 6 bytes, upper-cased
    uint64_t recent_ = 0;       // the last 6 bytes as they came
    Capture failed_, error_;
    std::string line_;      // the line being read, from its first byte that is not white space
    std::string lastLine_;  // the last finished line that holds more than white space
};

// The version in the reply of "oem get_build_version".
std::wstring ParseBuildVersion(const std::wstring& output);
// Number of lines that begin with the serial followed by a tab.
int CountListedDevices(const std::wstring& listing, const std::wstring& serial);
