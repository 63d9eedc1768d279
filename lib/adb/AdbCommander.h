// The station's client of the Android debug bridge: one adb child process per request, its
// printed reply turned into a result, a code and an error text.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace RYL {

class CAdbCommander {
public:
    // The parent window and the context are kept for callers that pass them; no window is made.
    CAdbCommander(void* parent, void* context);
    ~CAdbCommander();
    CAdbCommander(const CAdbCommander&) = delete;
    CAdbCommander& operator=(const CAdbCommander&) = delete;

    // Ready for device operations. With restart, the adb server is killed and started again, and
    // this client stops it when it is stopped itself.
    bool Start(bool restart);
    bool Stop();
    bool IsStarted() const { return started; }
    bool OwnsServer() const { return ownsServer; }
    uint32_t Port() const { return port; }  // the port adb reported when this client started it

    // Device operations: false on failure, with the code (87 refused argument, 1627 failure in
    // adb's reply, else the process runner's code) and the error text. A success leaves both
    // out-parameters untouched. An empty serial addresses the only device.
    bool Push(std::wstring serial, std::wstring localPath, std::wstring remotePath,
              int* code = nullptr, std::wstring* errorText = nullptr);
    bool Pull(std::wstring serial, std::wstring remotePath, std::wstring localPath,
              int* code = nullptr, std::wstring* errorText = nullptr);
    bool Install(std::wstring serial, std::wstring packagePath, bool reinstall,
                 int* code = nullptr, std::wstring* errorText = nullptr);
    bool GetProp(std::wstring serial, std::wstring name, std::wstring& value,
                 int* code = nullptr, std::wstring* errorText = nullptr);
    bool Shell(std::wstring serial, std::wstring program, std::wstring arguments,
               std::wstring directory, std::wstring* output = nullptr, int* code = nullptr,
               std::wstring* errorText = nullptr);
    bool Sideload(std::wstring serial, std::wstring packagePath, int* code = nullptr,
                  std::wstring* errorText = nullptr);
    bool AmStart(std::wstring serial, std::wstring package, std::wstring activity,
                 int* code = nullptr, std::wstring* errorText = nullptr);

    // Runs "devices" every interval until the serial is listed, at least once.
    bool WaitForDevice(const std::wstring& serial, int intervalMs, int attempts);

    // Runs adb with the format's "%s" replaced by the argument. With an empty argument the
    // format runs as it is, but only up to its first blank when that blank is not its first
    // character ("devices %s" runs "devices", " devices" runs " devices"). With output the reply
    // is captured; without it adb runs through the shell.
    static bool RunAdb(std::wstring format, std::wstring argument, std::wstring* output = nullptr,
                       int* code = nullptr, std::wstring* errorText = nullptr);

    static std::wstring TrimAdbText(std::wstring text);
    static std::wstring TrimLineEnds(std::wstring text);

private:
    void* parent;
    void* context;
    std::atomic<bool> started{false};
    bool ownsServer = false;
    uint32_t port = 0;
};

// The command line RunAdb runs for a format and an argument.
std::wstring FormatAdbCommand(const std::wstring& format, const std::wstring& argument);
// The command line of a device operation: "-s SERIAL " (the serial one argument, quoted when it
// must be) before the operation's command.
std::wstring DeviceAdbCommand(const std::wstring& serial, const std::wstring& format,
                              const std::wstring& argument);
// The adb program: "Google/adb" in the program directory, else "adb" on the search path, else
// the bare name.
std::wstring AdbProgramPath(const std::wstring& programDir);
// Device directory and program name joined by one '/'.
std::wstring ShellDevicePath(const std::wstring& directory, const std::wstring& program);
// A value between single quotes for the device's shell, a single quote inside written '\''.
std::wstring DeviceShellQuoted(const std::wstring& value);
// The value as one word of the device's shell: as it is when it holds only letters, digits and
// "._-/:=+,@%", else DeviceShellQuoted.
std::wstring DeviceShellWord(const std::wstring& value);
// "-n PACKAGE/ACTIVITY"; an activity beginning with '.' is taken relative to the package.
std::wstring AmStartComponent(const std::wstring& package, const std::wstring& activity);
// The rule for push and pull paths: not empty and single-byte in the active code page.
bool IsAcceptedTransferPath(const std::wstring& path);

}  // namespace RYL
