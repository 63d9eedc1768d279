#include "Process.h"

#include "Clock.h"
#include "Errors.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

extern char** environ;

namespace plat {

// ---- command-line splitting ----------------------------------------------------------------

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    const size_t n = commandLine.size();
    size_t i = 0;
    for (;;) {
        while (i < n && (commandLine[i] == ' ' || commandLine[i] == '\t')) ++i;
        if (i >= n) break;
        std::string word;
        bool quoted = false;
        while (i < n) {
            char c = commandLine[i];
            if (!quoted && (c == ' ' || c == '\t')) break;
            if (c == '\\') {
                size_t slashes = 0;
                while (i < n && commandLine[i] == '\\') ++slashes, ++i;
                if (i < n && commandLine[i] == '"') {
                    // 2n backslashes + quote: n backslashes, the quote toggles;
                    // 2n+1 backslashes + quote: n backslashes and a literal quote.
                    word.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        word += '"';
                        ++i;
                    }
                } else {
                    word.append(slashes, '\\');
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
                    word += '"';  // "" inside quotes: a literal quote, still quoted
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
                continue;
            }
            word += c;
            ++i;
        }
        words.push_back(word);
    }
    return words;
}

namespace {

template <typename Char>
std::basic_string<Char> Quoted(const std::basic_string<Char>& value) {
    std::basic_string<Char> quoted(1, Char('"'));
    size_t slashes = 0;  // backslashes not yet written
    for (Char c : value) {
        if (c == Char('\\')) {
            ++slashes;
            continue;
        }
        // Before a quote the backslashes are doubled and one more escapes the quote.
        quoted.append(c == Char('"') ? 2 * slashes + 1 : slashes, Char('\\'));
        quoted += c;
        slashes = 0;
    }
    quoted.append(2 * slashes, Char('\\'));  // doubled before the closing quote
    quoted += Char('"');
    return quoted;
}

template <typename Char>
std::basic_string<Char> Word(const std::basic_string<Char>& value) {
    for (Char c : value)
        if (c == Char(' ') || c == Char('\t') || c == Char('"')) return Quoted(value);
    return value.empty() ? Quoted(value) : value;
}

}  // namespace

std::string QuoteArgument(const std::string& value) { return Quoted(value); }
std::wstring QuoteArgument(const std::wstring& value) { return Quoted(value); }
std::string CommandLineWord(const std::string& value) { return Word(value); }
std::wstring CommandLineWord(const std::wstring& value) { return Word(value); }

// ---- waits in the output ------------------------------------------------------------------

void WaitLineScan::Add(const char* bytes, size_t size) {
    if (prefix_.empty()) return;
    for (size_t i = 0; i < size; ++i) {
        const char c = bytes[i];
        if (c == '\n' || c == '\r') {
            column_ = 0;
            startsWithPrefix_ = true;
            lineHasText_ = false;
            continue;
        }
        if (column_ < prefix_.size() && c != prefix_[column_]) startsWithPrefix_ = false;
        ++column_;
        if (c != ' ' && c != '\t' && c != '\v' && c != '\f') lineHasText_ = true;
        // A line of blanks alone leaves the verdict of the line before it.
        if (lineHasText_) waiting_ = startsWithPrefix_ && column_ >= prefix_.size();
    }
}

bool OutputEndsWaiting(const std::string& output, const std::string& prefix) {
    WaitLineScan scan(prefix);
    scan.Add(output.data(), output.size());
    return scan.Waiting();
}

// ---- stop signal ---------------------------------------------------------------------------

struct StopSignal::State {
    mutable std::mutex lock;
    std::condition_variable stoppedChanged;
    bool stopped = false;
    std::vector<pid_t> groups;  // process groups of the running children, not yet reaped
};

StopSignal::StopSignal() : state(std::make_shared<State>()) {}
StopSignal::~StopSignal() = default;

void StopSignal::RequestStop() {
    std::lock_guard<std::mutex> guard(state->lock);
    state->stopped = true;
    for (pid_t g : state->groups) kill(-g, SIGKILL);
    state->stoppedChanged.notify_all();
}

bool StopSignal::StopRequested() const {
    std::lock_guard<std::mutex> guard(state->lock);
    return state->stopped;
}

bool StopSignal::WaitForStop(double realMs) const {
    std::unique_lock<std::mutex> guard(state->lock);
    return state->stoppedChanged.wait_for(guard, std::chrono::duration<double, std::milli>(realMs),
                                          [this] { return state->stopped; });
}

namespace {

thread_local std::shared_ptr<StopSignal> tStopSignal;
thread_local uint32_t tTimeLimitMs = 0;
thread_local WaitRule tWaitRule;
thread_local uint32_t tLastWaitStopMs = 0;

// Registers a child with the calling thread's stop signal for as long as it is not reaped.
class StopRegistration {
public:
    explicit StopRegistration(std::shared_ptr<StopSignal> signal) : signal_(std::move(signal)) {}
    ~StopRegistration() { Remove(); }

    // False when a stop was requested already (the child's group is then killed).
    bool Add(pid_t pid) {
        if (!signal_) return true;
        std::lock_guard<std::mutex> guard(signal_->state->lock);
        pid_ = pid;
        signal_->state->groups.push_back(pid);
        if (signal_->state->stopped) {
            kill(-pid, SIGKILL);
            return false;
        }
        return true;
    }
    void Remove() {
        if (!signal_ || pid_ <= 0) return;
        std::lock_guard<std::mutex> guard(signal_->state->lock);
        auto& g = signal_->state->groups;
        g.erase(std::remove(g.begin(), g.end(), pid_), g.end());
        pid_ = -1;
    }
    bool Stopped() const { return signal_ && signal_->StopRequested(); }

private:
    std::shared_ptr<StopSignal> signal_;
    pid_t pid_ = -1;
};

// ---- reaper for children that were left running --------------------------------------------

class Reaper {
public:
    static Reaper& Get() {
        static Reaper* reaper = new Reaper;  // lives to the end of the process, with its thread
        return *reaper;
    }

    void Adopt(pid_t pid) {
        std::lock_guard<std::mutex> guard(lock_);
        pids_.push_back(pid);
        if (!running_) {
            running_ = true;
            std::thread([this] { Run(); }).detach();
        }
    }

private:
    void Run() {
        std::unique_lock<std::mutex> guard(lock_);
        for (;;) {
            auto gone = [](pid_t pid) {
                pid_t r = waitpid(pid, nullptr, WNOHANG);
                return r == pid || (r < 0 && errno == ECHILD);
            };
            pids_.erase(std::remove_if(pids_.begin(), pids_.end(), gone), pids_.end());
            if (pids_.empty()) {
                running_ = false;
                return;
            }
            wake_.wait_for(guard, std::chrono::milliseconds(50));
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<pid_t> pids_;
    bool running_ = false;
};

// ---- spawning ------------------------------------------------------------------------------

struct FileActions {
    posix_spawn_file_actions_t fa;
    FileActions() { posix_spawn_file_actions_init(&fa); }
    ~FileActions() { posix_spawn_file_actions_destroy(&fa); }
};

struct SpawnAttr {
    posix_spawnattr_t attr;
    SpawnAttr() { posix_spawnattr_init(&attr); }
    ~SpawnAttr() { posix_spawnattr_destroy(&attr); }
};

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// A descriptor above 2, so that dup2 onto 1 and 2 always makes a fresh copy.
int AboveStdio(int fd) {
    if (fd > 2) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

std::string AbsoluteProgram(const std::string& program) {
    if (program.empty() || program[0] == '/') return program;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return program;
    return std::string(cwd) + "/" + program;
}

// Starts the child in its own process group; standard input is /dev/null, standard output and
// error go to outFd (or stay ours when outFd is -1). Returns an Errors.h code.
uint32_t Spawn(const RunRequest& request, int outFd, pid_t& pid) {
    if (request.program.empty()) return kEFail;
    if (!request.workDir.empty()) {
        struct stat st;
        if (stat(request.workDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrorDirectory;
    }
    // The program path is taken relative to our directory, not the child's.
    const std::string program = AbsoluteProgram(request.program);

    FileActions fa;
    posix_spawn_file_actions_addopen(&fa.fa, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&fa.fa, outFd, 1);
        posix_spawn_file_actions_adddup2(&fa.fa, outFd, 2);
    } else if (request.quiet) {
        posix_spawn_file_actions_addopen(&fa.fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&fa.fa, 1, 2);
    }
    // Nothing else reaches the child, not even descriptors that others opened without
    // close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&fa.fa, 3);
    if (!request.workDir.empty())
        posix_spawn_file_actions_addchdir_np(&fa.fa, request.workDir.c_str());

    SpawnAttr sa;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2,
                  SIGTSTP, SIGTTIN, SIGTTOU})
        sigaddset(&defaults, s);
    posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                           POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&sa.attr, 0);
    posix_spawnattr_setsigmask(&sa.attr, &none);
    posix_spawnattr_setsigdefault(&sa.attr, &defaults);

    std::vector<std::string> args = request.argv;
    if (args.empty()) args.push_back(request.program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int err = posix_spawn(&pid, program.c_str(), &fa.fa, &sa.attr, argv.data(), environ);
    return err == 0 ? kErrorSuccess : CodeFromErrno(err);
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
#else
    (void)pid;
    return -1;
#endif
}

// True once the child has ended; it is not reaped, so its process group stays reserved.
bool HasExited(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD;
    return info.si_pid == pid;
}

// The exit status, or 128 + the signal that ended the child.
int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return 0;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 0;
}

// Kills the child's process group and reaps the child: at once when it has ended within a short
// moment, otherwise through the reaper.
void KillGroupAndReap(pid_t pid) {
    kill(-pid, SIGKILL);
    for (int i = 0; i < 200; ++i) {
        pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Reaper::Get().Adopt(pid);
}

// Reads what the pipe holds now. False at end of file.
bool ReadAvailable(int fd, RunResult& result, const RunRequest& request, size_t limit, WaitLineScan& waits) {
    char buf[65536];
    size_t total = 0;
    while (total < limit) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            total += static_cast<size_t>(n);
            const size_t keep = request.keepBytes;
            size_t room = keep > result.output.size() ? keep - result.output.size() : 0;
            result.output.append(buf, std::min(room, static_cast<size_t>(n)));
            if (request.onOutput) request.onOutput(buf, static_cast<size_t>(n));
            waits.Add(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    return true;
}

}  // namespace

void SetThreadStopSignal(std::shared_ptr<StopSignal> signal) { tStopSignal = std::move(signal); }
std::shared_ptr<StopSignal> ThreadStopSignal() { return tStopSignal; }

void SetThreadTimeLimit(uint32_t milliseconds) { tTimeLimitMs = milliseconds; }
uint32_t ThreadTimeLimit() { return tTimeLimitMs; }

void SetThreadWaitRule(WaitRule rule) { tWaitRule = std::move(rule); }
WaitRule ThreadWaitRule() { return tWaitRule; }
uint32_t LastRunWaitStopMs() { return tLastWaitStopMs; }

RunResult RunCaptured(const RunRequest& request) {
    RunResult result;
    tLastWaitStopMs = 0;
    StopRegistration stop(tStopSignal);
    if (stop.Stopped()) {
        result.code = kErrorCancelled;
        return result;
    }

    Fd readEnd, writeEnd;
    if (request.capture) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            result.code = CodeFromErrno(errno);
            return result;
        }
        readEnd.fd = AboveStdio(fds[0]);
        writeEnd.fd = AboveStdio(fds[1]);
        if (readEnd.fd < 0 || writeEnd.fd < 0) {
            result.code = CodeFromErrno(errno);
            return result;
        }
        fcntl(readEnd.fd, F_SETFL, fcntl(readEnd.fd, F_GETFL) | O_NONBLOCK);
    }

    pid_t pid = -1;
    uint32_t code = Spawn(request, writeEnd.fd, pid);
    writeEnd.Close();  // the child's copy is the only writer now
    if (code != kErrorSuccess) {
        result.code = code;
        return result;
    }
    if (!request.wait) {
        Reaper::Get().Adopt(pid);
        result.ok = true;
        return result;
    }
    stop.Add(pid);

    Fd pidFd(OpenPidFd(pid));
    const uint32_t limitMs = request.timeoutMs != 0 ? request.timeoutMs : tTimeLimitMs;
    const bool timed = limitMs != 0;
    uint64_t deadline = timed ? RealNowMs() + RealWorkLimitMs(limitMs) : 0;
    const uint32_t waitLimitMs = tWaitRule.limitMs;
    WaitLineScan waits(waitLimitMs != 0 ? tWaitRule.prefix : std::string());
    uint64_t waitEnd = 0;  // while the output ends waiting: when the wait has lasted too long
    bool pipeOpen = readEnd.fd >= 0;
    bool exited = false;
    bool waitedTooLong = false;
    for (;;) {
        if (HasExited(pid)) {
            exited = true;
            break;
        }
        int sliceMs = -1;
        const uint64_t now = RealNowMs();
        if (timed) {
            if (now >= deadline) break;
            sliceMs = static_cast<int>(std::min<uint64_t>(deadline - now, 100));
        }
        if (waitEnd != 0) {
            if (now >= waitEnd) {
                waitedTooLong = true;
                break;
            }
            const int waitSlice = static_cast<int>(std::min<uint64_t>(waitEnd - now, 100));
            sliceMs = sliceMs < 0 ? waitSlice : std::min(sliceMs, waitSlice);
        }
        if (pidFd.fd < 0) sliceMs = sliceMs < 0 ? 10 : std::min(sliceMs, 10);
        pollfd fds[2];
        nfds_t n = 0;
        if (pipeOpen) fds[n++] = {readEnd.fd, POLLIN, 0};
        if (pidFd.fd >= 0) fds[n++] = {pidFd.fd, POLLIN, 0};
        int r = poll(fds, n, sliceMs);
        if (r < 0 && errno != EINTR) {
            if (sliceMs < 0) sliceMs = 10;
            std::this_thread::sleep_for(std::chrono::milliseconds(sliceMs));
        }
        if (pipeOpen && r > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            pipeOpen = ReadAvailable(readEnd.fd, result, request, SIZE_MAX, waits);
            if (waits.Waiting() && waitEnd == 0) {
                waitEnd = RealNowMs() + RealWorkLimitMs(waitLimitMs);
            } else if (!waits.Waiting() && waitEnd != 0) {
                // It goes on: the wait does not count against the work that follows.
                waitEnd = 0;
                if (timed) deadline = RealNowMs() + RealWorkLimitMs(limitMs);
            }
        }
    }

    if (!exited) {
        // The limit passed: nothing of the child may go on waiting for a device.
        stop.Remove();
        readEnd.Close();
        KillGroupAndReap(pid);
        if (waitedTooLong) tLastWaitStopMs = waitLimitMs;
        result.code = kWaitTimeout;
        return result;
    }
    // What the child wrote before it ended; a grandchild holding the pipe is not waited for.
    if (pipeOpen) ReadAvailable(readEnd.fd, result, request, 16u << 20, waits);
    const bool stopped = stop.Stopped();
    stop.Remove();
    result.exitStatus = Reap(pid);
    if (stopped) {
        result.output.clear();
        result.code = kErrorCancelled;
        return result;
    }
    result.ok = true;
    result.code = kErrorSuccess;
    return result;
}

}  // namespace plat
