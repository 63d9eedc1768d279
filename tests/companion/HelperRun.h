// Runs a PhoneInfoTest build under qemu-user (qemu-arm, qemu-i386) against a fake modem on a
// pseudo-terminal, in a working directory of its own. Every run shows its command line in the
// test's output.
#pragma once

#include <atomic>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace companion_test {

struct HelperBuild {
    const char* name;      // "x86" or "ARM"
    const char* program;   // the test build: device paths under the working directory
    const char* emulator;  // the qemu-user program that runs it
    const char* channel;   // AT channel below the working directory
    const char* command;   // the IMEI command that the modem receives
};

inline void PrintTo(const HelperBuild* build, std::ostream* os) {
    *os << build->name;
}

const HelperBuild& X86Build();
const HelperBuild& ArmBuild();

struct HelperResult {
    int status = -1;  // exit status, -1 when it did not exit normally
    std::string output;
};

struct RunOptions {
    bool closeStdin = false;
    int limitSeconds = 30;  // killed after that
};

// A directory of its own for one test, removed again at the end.
class WorkDir {
public:
    WorkDir();
    ~WorkDir();
    const std::filesystem::path& path() const { return path_; }
    void Write(const std::string& relative, const std::string& content) const;

private:
    std::filesystem::path path_;
};

// Runs argv[0] (a path) in dir.
HelperResult RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& dir,
                        const RunOptions& options = {});

HelperResult RunHelper(const HelperBuild& build, const std::filesystem::path& dir,
                       const std::vector<std::string>& args, const RunOptions& options = {});

// The modem end of a pseudo-terminal whose other end is linked as the build's AT channel. It
// waits for one command (up to CR), then plays its script: each step waits, then writes.
class FakeModem {
public:
    struct Step {
        int delayMs;
        std::string text;
    };
    FakeModem(const HelperBuild& build, const std::filesystem::path& dir, std::vector<Step> script);
    ~FakeModem();
    // What the helper sent (read after the helper has exited).
    std::string Received() const;

private:
    void Serve();
    int master_ = -1;
    std::vector<Step> script_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

}  // namespace companion_test
