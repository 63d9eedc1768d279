// Child processes: spawn with captured output, wait, stop from another thread.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plat {

// Splits a command line into argv by the Windows C-runtime rules (quotes, backslashes before a
// quote, "" inside quotes). Every word follows the argument rules; for a whole command line the
// first word is the program.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Lets one thread stop the child process that another thread is running. A thread that may be
// stopped installs its signal with SetThreadStopSignal; RunCaptured on that thread registers its
// child, and RequestStop kills the child's process group (and makes later runs fail at once).
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    void RequestStop();
    bool StopRequested() const;
    // Waits up to realMs real milliseconds; returns at once, true, when a stop is requested.
    bool WaitForStop(double realMs) const;

    struct State;
    std::shared_ptr<State> state;
};
void SetThreadStopSignal(std::shared_ptr<StopSignal> signal);  // null removes it
std::shared_ptr<StopSignal> ThreadStopSignal();

struct RunRequest {
    std::string program;                 // path, used exactly (no search path)
    std::vector<std::string> argv;       // argv[0] included
    std::string workDir;                 // empty: the current directory
    uint32_t timeoutMs = 0;              // 0: wait without limit
    size_t keepBytes = 102400;           // output beyond this is read and dropped
    bool capture = true;                 // false: the child writes to our stdout and stderr
    bool wait = true;                    // false: return once started (reaped later), code 0
};

struct RunResult {
    bool ok = false;        // the child ran to its end (output taken)
    uint32_t code = 0;      // Errors.h code of the failing step: kWaitTimeout, kErrorCancelled, ...
    std::string output;     // stdout and stderr merged, at most keepBytes
};

// Spawns the child (posix_spawn, close-on-exec pipes, own process group), reads its output while
// it runs and returns once it has exited, even if a grandchild still holds the pipe. A child that
// outlives the time limit keeps running and is reaped later.
RunResult RunCaptured(const RunRequest& request);

}  // namespace plat
