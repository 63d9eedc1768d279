// Child processes: spawn with captured output, wait, stop from another thread.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plat {

// Splits a command line into argv by the Windows C-runtime rules (quotes, backslashes before a
// quote, "" inside quotes). Every word follows the argument rules; for a whole command line the
// first word is the program.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// One value as one word of a command line, read back whole and byte for byte by
// SplitCommandLine: between double quotes, each quote escaped and the backslashes before a quote
// or before the closing quote doubled.
std::string QuoteArgument(const std::string& value);
std::wstring QuoteArgument(const std::wstring& value);
// The value as it is where SplitCommandLine reads it back as one word (not empty, no blank, tab
// or quote), otherwise QuoteArgument of it.
std::string CommandLineWord(const std::string& value);
std::wstring CommandLineWord(const std::wstring& value);

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

// The time limit of every child that the calling thread runs without a limit of its own
// (RunRequest::timeoutMs 0). 0: none, the default.
void SetThreadTimeLimit(uint32_t milliseconds);
uint32_t ThreadTimeLimit();
// Gives the calling thread that limit for the scope's lifetime, then the earlier one again.
class ThreadTimeLimitScope {
public:
    explicit ThreadTimeLimitScope(uint32_t milliseconds) : previous_(ThreadTimeLimit()) {
        SetThreadTimeLimit(milliseconds);
    }
    ~ThreadTimeLimitScope() { SetThreadTimeLimit(previous_); }
    ThreadTimeLimitScope(const ThreadTimeLimitScope&) = delete;
    ThreadTimeLimitScope& operator=(const ThreadTimeLimitScope&) = delete;

private:
    uint32_t previous_;
};

// Follows a child's output to tell whether it ends waiting: its last line that holds more than
// blanks begins with the prefix (a tool's notice that it waits for something), with nothing but
// blanks and line ends after it. Fed piece by piece, it follows any amount of output in constant
// room. An empty prefix never waits.
class WaitLineScan {
public:
    explicit WaitLineScan(std::string prefix) : prefix_(std::move(prefix)) {}
    void Add(const char* bytes, size_t size);
    bool Waiting() const { return waiting_; }

private:
    std::string prefix_;
    size_t column_ = 0;         // bytes of the current line so far
    bool startsWithPrefix_ = true;
    bool lineHasText_ = false;
    bool waiting_ = false;
};
bool OutputEndsWaiting(const std::string& output, const std::string& prefix);

// The wait rule of every child with captured output that the calling thread runs: a child whose
// output ends waiting (WaitLineScan with the prefix) for limitMs real milliseconds is stopped as at
// its time limit (kWaitTimeout, its process group killed); once its output moves on past such a
// line, its time limit counts anew from then. An empty prefix or 0 ms: none, the default.
struct WaitRule {
    std::string prefix;
    uint32_t limitMs = 0;
};
void SetThreadWaitRule(WaitRule rule);
WaitRule ThreadWaitRule();
// The wait limit (ms) that stopped the calling thread's last child; 0 when that child was not
// stopped for waiting.
uint32_t LastRunWaitStopMs();

struct RunRequest {
    std::string program;                 // path, used exactly (no search path)
    std::vector<std::string> argv;       // argv[0] included
    std::string workDir;                 // empty: the current directory
    uint32_t timeoutMs = 0;              // 0: the thread's limit (SetThreadTimeLimit), if any
    size_t keepBytes = 102400;           // output beyond this is read and dropped
    // Sees every byte of the output as it is read, also beyond keepBytes.
    std::function<void(const char* bytes, size_t size)> onOutput;
    bool capture = true;                 // false: the child writes to our stdout and stderr
    bool quiet = false;                  // with capture false: its output goes to /dev/null
    bool wait = true;                    // false: return once started (reaped later), code 0
};

struct RunResult {
    bool ok = false;        // the child ran to its end (output taken)
    uint32_t code = 0;      // Errors.h code of the failing step: kWaitTimeout, kErrorCancelled, ...
    std::string output;     // stdout and stderr merged, at most keepBytes
    int exitStatus = 0;     // ok: the child's exit status, or 128 + the signal that ended it
};

// Spawns the child (posix_spawn, close-on-exec pipes, own process group), reads its output while
// it runs and returns once it has exited, even if a grandchild still holds the pipe. When the
// time limit passes, or the thread's wait rule stops it, the child's process group is killed and the
// call returns (kWaitTimeout); the child is reaped at once, or soon after by a reaper thread.
RunResult RunCaptured(const RunRequest& request);

}  // namespace plat
