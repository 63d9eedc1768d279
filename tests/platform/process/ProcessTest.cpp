#include "Clock.h"
#include "CommandLineValues.h"
#include "Errors.h"
#include "Process.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iterator>
#include <vector>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kProc = std::string(ZELK_FIXTURES_DIR) + "/proc/";

plat::RunResult RunChild(const std::string& program, std::vector<std::string> args = {},
                    uint32_t timeoutMs = 0) {
    plat::RunRequest req;
    req.program = program;
    req.argv.push_back(program);
    req.argv.insert(req.argv.end(), args.begin(), args.end());
    req.timeoutMs = timeoutMs;
    return plat::RunCaptured(req);
}

// Waits (bounded) until the fixture has written its pid file.
pid_t WaitForPid(const std::string& file) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream in(file);
        pid_t pid = 0;
        if (in >> pid && pid > 0) return pid;
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

// 'R', 'S', 'Z', ... or 0 when the process is gone (reaped).
char ProcessState(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 0;
}

bool WaitGone(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        if (ProcessState(pid) == 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Killed: gone, or a zombie of a parent that is not ours.
bool WaitKilled(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        char state = ProcessState(pid);
        if (state == 0 || state == 'Z') return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

struct TimeScale {
    explicit TimeScale(double f) { plat::SetTimeScaleForTesting(f); }
    ~TimeScale() { plat::SetTimeScaleForTesting(1.0); }
};

}  // namespace

TEST(RunCaptured, OutputCases) {
    struct Case {
        const char* name;
        std::string program;
        std::string output;
    } cases[] = {
        {"no output", "/bin/true", ""},
        {"raw bytes", kProc + "bytes.sh", std::string("a\xE9\0b", 4)},
        {"exit status ignored", kProc + "fails.sh", "error: device not found\n"},
        {"stderr merged", kProc + "both.sh", "out\nerr\n"},
    };
    for (const Case& c : cases) {
        plat::RunResult r = RunChild(c.program);
        EXPECT_TRUE(r.ok) << c.name;
        EXPECT_EQ(r.code, plat::kErrorSuccess) << c.name;
        EXPECT_EQ(r.output, c.output) << c.name;
    }
}

TEST(RunCaptured, LargeOutputKeepsTheFirst102400Bytes) {
    plat::RunResult r = RunChild(kProc + "big.sh");
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.output.size(), 102400u);
    const std::string line = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopq\n";
    std::string expected;
    while (expected.size() < 102400) expected += line;
    expected.resize(102400);
    EXPECT_EQ(r.output, expected);
}

// Runs the fixture (its pid file the first argument) under a time limit that passes only once it
// has written the file: the limit is real time, so on a busy machine a short one may pass before
// the shell got that far, and the next try allows more. The pid, or -1.
static pid_t RunPastItsTimeLimit(const std::string& program, const std::string& pidFile, std::vector<std::string> args) {
    args.insert(args.begin(), pidFile);
    for (uint32_t limitMs : {300u, 1000u, 3000u, 10000u, 30000u}) {
        std::filesystem::remove(pidFile);
        plat::RunResult r = RunChild(program, args, limitMs);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, plat::kWaitTimeout);
        if (std::filesystem::exists(pidFile)) return WaitForPid(pidFile);
    }
    return -1;
}

// A child that never answers (fastboot waiting for a device) is ended with its whole group when
// the limit passes, so it cannot take the next device; the call returns with the same result.
TEST(RunCaptured, TimeLimitKillsTheChildsGroupAndReapsIt) {
    TestDir dir;
    pid_t grandchild = RunPastItsTimeLimit(kProc + "grandchild_wait.sh", dir / "pid", {"oem", "get_build_version"});
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(WaitKilled(grandchild)) << "a process of the child's group was left running";

    pid_t child = RunPastItsTimeLimit(kProc + "sleeper.sh", dir / "sleeper", {"600"});
    ASSERT_GT(child, 0);
    EXPECT_TRUE(WaitGone(child)) << "the child was left running or a zombie";
}

// A thread's limit holds for every child it runs without a limit of its own.
TEST(RunCaptured, ThreadLimitAppliesToChildrenWithoutTheirOwn) {
    TestDir dir;
    plat::RunResult r;
    std::thread worker([&] {
        plat::SetThreadTimeLimit(300);
        r = RunChild(kProc + "sleeper.sh", {dir / "pid", "600"});
        plat::SetThreadTimeLimit(0);
    });
    worker.join();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, plat::kWaitTimeout);
    pid_t child = WaitForPid(dir / "pid");
    ASSERT_GT(child, 0);
    EXPECT_TRUE(WaitGone(child));
    EXPECT_EQ(plat::ThreadTimeLimit(), 0u) << "the limit belongs to the thread that set it";
}

TEST(RunCaptured, ExitStatusAndTheWholeOutputAsItArrives) {
    plat::RunRequest req;
    req.program = "/bin/sh";
    req.argv = {"sh", "-c", "head -c 300000 /dev/zero; echo tail; exit 7"};
    req.keepBytes = 10;
    size_t seen = 0;
    std::string last;
    req.onOutput = [&](const char* bytes, size_t size) {
        seen += size;
        last.assign(bytes, size);
    };
    plat::RunResult r = plat::RunCaptured(req);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.exitStatus, 7);
    EXPECT_EQ(r.output.size(), 10u);
    EXPECT_EQ(seen, 300005u);
    EXPECT_EQ(last.substr(last.size() - 5), "tail\n");

    req.argv = {"sh", "-c", "kill -9 $$"};
    r = plat::RunCaptured(req);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.exitStatus, 128 + 9);
}

TEST(RunCaptured, WithoutLimitWaitsForTheEnd) {
    TestDir dir;
    TimeScale fast(10);
    plat::RunResult r = RunChild(kProc + "sleeper.sh", {dir / "pid", "0.6"});
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.code, plat::kErrorSuccess);
}

TEST(RunCaptured, ReturnsWhenTheChildEndsThoughAGrandchildHoldsThePipe) {
    TestDir dir;
    const std::string pidFile = dir / "pid";
    auto start = std::chrono::steady_clock::now();
    plat::RunResult r = RunChild(kProc + "grandchild.sh", {pidFile});
    auto took = std::chrono::steady_clock::now() - start;
    pid_t grandchild = WaitForPid(pidFile);
    if (grandchild > 0) kill(grandchild, SIGKILL);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.output, "start\ndone\n");
    EXPECT_LT(took, 20s) << "waited for the grandchild";
}

TEST(RunCaptured, WorkingDirectory) {
    TestDir dir;
    plat::RunRequest req;
    req.program = "/bin/pwd";
    req.argv = {"pwd", "-P"};
    req.workDir = dir.path();
    plat::RunResult r = plat::RunCaptured(req);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.output, std::filesystem::canonical(dir.path()).string() + "\n");

    req.workDir = dir / "missing";
    r = plat::RunCaptured(req);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, plat::kErrorDirectory);
}

TEST(RunCaptured, RelativeProgramIsFoundFromOurDirectoryNotTheChilds) {
    TestDir dir;
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(ZELK_FIXTURES_DIR);
    plat::RunRequest req;
    req.program = "proc/args.sh";
    req.argv = {"args.sh", "x"};
    req.workDir = dir.path();
    plat::RunResult r = plat::RunCaptured(req);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.output, "[x]");
}

TEST(RunCaptured, StartFailures) {
    TestDir dir;
    {
        std::ofstream(dir / "plain") << "not a program\n";
    }
    struct Case {
        std::string program;
        uint32_t code;
    } cases[] = {
        {"", plat::kEFail},
        {dir / "missing", plat::kErrorFileNotFound},
        {dir / "plain", plat::kErrorAccessDenied},  // not executable
        {dir.path(), plat::kErrorAccessDenied},
    };
    for (const Case& c : cases) {
        plat::RunResult r = RunChild(c.program);
        EXPECT_FALSE(r.ok) << c.program;
        EXPECT_EQ(r.code, c.code) << c.program;
        EXPECT_EQ(r.output, "") << c.program;
    }
}

TEST(RunCaptured, EightThreadsAtOnceLeakNoPipes) {
    std::vector<std::thread> threads;
    std::string outputs[8];
    bool oks[8] = {};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([i, &outputs, &oks] {
            for (int round = 0; round < 3; ++round) {
                plat::RunResult r = RunChild(FIXTURE_FDLIST, {std::to_string(i)});
                oks[i] = r.ok;
                outputs[i] += r.output;
            }
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(oks[i]);
        std::string line = "clean " + std::to_string(i) + "\n";
        EXPECT_EQ(outputs[i], line + line + line);
    }
}

TEST(RunCaptured, StopFromAnotherThreadKillsTheChildsGroup) {
    TestDir dir;
    const std::string pidFile = dir / "pid";
    auto signal = std::make_shared<plat::StopSignal>();
    plat::RunResult r;
    std::thread worker([&] {
        plat::SetThreadStopSignal(signal);
        r = RunChild(kProc + "grandchild_wait.sh", {pidFile});
        plat::SetThreadStopSignal(nullptr);
    });
    pid_t grandchild = WaitForPid(pidFile);
    ASSERT_GT(grandchild, 0);
    signal->RequestStop();
    worker.join();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, plat::kErrorCancelled);
    EXPECT_TRUE(WaitKilled(grandchild)) << "the grandchild survived";

    // Later runs on a stopped thread fail at once.
    plat::SetThreadStopSignal(signal);
    r = RunChild("/bin/true");
    plat::SetThreadStopSignal(nullptr);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, plat::kErrorCancelled);
}

TEST(RunCaptured, NoWaitReturnsAtOnceAndReapsLater) {
    TestDir dir;
    plat::RunRequest req;
    req.program = kProc + "sleeper.sh";
    req.argv = {req.program, dir / "pid", "0.2"};
    req.capture = false;
    req.wait = false;
    plat::RunResult r = plat::RunCaptured(req);
    EXPECT_TRUE(r.ok);
    pid_t pid = WaitForPid(dir / "pid");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(WaitGone(pid));
}

// --- the wait rule ---

const std::string kWaitPrefix = "< waiting for";

TEST(WaitLineScan, OutputEndsWaitingOnlyWithTheWaitLineAndBlanksAfterIt) {
    const struct {
        const char* output;
        bool waiting;
    } cases[] = {
        {"", false},
        {"< waiting for any device >", true},
        {"< waiting for SER1 >\n", true},
        {"< waiting for SER1 >\r\n  \n\t\n", true},
        {"< waiting for", true},
        {"< waiting fo", false},
        {"Sending 'boot' (4 KB)\nOKAY\n< waiting for any device >\n", true},
        {"< waiting for any device >\nSending 'all' (65536 KB)\n", false},
        {"< waiting for any device >\nS", false},
        {"< waiting for any device >\n \n OKAY", false},
        {"< waiting for any device >\rSending", false},
        {" < waiting for any device >", false},
        {"x< waiting for any device >", false},
        {"error: < waiting for any device >\n", false},
        {"OKAY [  0.010s]\n", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        EXPECT_EQ(plat::OutputEndsWaiting(c.output, kWaitPrefix), c.waiting);
        // Piece by piece, as the pipe gives it, the verdict is the same.
        plat::WaitLineScan scan(kWaitPrefix);
        for (const char* p = c.output; *p; ++p) scan.Add(p, 1);
        EXPECT_EQ(scan.Waiting(), c.waiting);
    }
    EXPECT_FALSE(plat::OutputEndsWaiting("< waiting for any device >", "")) << "no prefix, no wait";
}

namespace {

// The whole group of the child is gone (killed and reaped).
bool WaitGroupGone(pid_t group) {
    for (int i = 0; i < 3000; ++i) {
        if (kill(-group, 0) != 0 && errno == ESRCH) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

struct RuleRun {
    plat::RunResult result;
    uint32_t waitStopMs = 0;
    uint64_t tookMs = 0;
};

// Runs a shell command on a thread of its own under the wait rule of kWaitPrefix.
std::thread RunUnderWaitRule(const std::string& command, uint32_t waitLimitMs, uint32_t timeLimitMs, RuleRun& run) {
    return std::thread([=, &run] {
        plat::SetThreadWaitRule({kWaitPrefix, waitLimitMs});
        const uint64_t start = plat::RealNowMs();
        run.result = RunChild("/bin/sh", {"-c", command}, timeLimitMs);
        run.tookMs = plat::RealNowMs() - start;
        run.waitStopMs = plat::LastRunWaitStopMs();
        plat::SetThreadWaitRule({});
    });
}

}  // namespace

// A child whose output ends in the wait line is stopped, with its group, once it has waited the
// rule's limit; a child whose output goes on past the line is not, however long it then takes.
TEST(RunCaptured, WaitRuleStopsAChildThatWaitsAndSparesOneThatGoesOn) {
    TestDir dir;
    const uint32_t limitMs = 3000;
    const struct {
        const char* what;
        std::string command;
        bool stopped;
    } cases[] = {
        {"waits for good", "echo $$ > '" + dir / "pid" + "'; echo '< waiting for any device >'; sleep 600", true},
        {"goes on after a pause", "echo '< waiting for any device >'; sleep 0.5; echo \"Sending 'all'\"; sleep 4", false},
        {"a wait line in the middle", "printf '< waiting for SER1 >\\nSending\\n'; sleep 4", false},
        {"waits with its output kept no more", "head -c 200000 /dev/zero; echo; echo '< waiting for x >'; sleep 600", true},
    };
    std::vector<RuleRun> runs(std::size(cases));
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(cases); ++i)
        threads.push_back(RunUnderWaitRule(cases[i].command, limitMs, 0, runs[i]));
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].what);
        const RuleRun& run = runs[i];
        EXPECT_EQ(run.result.ok, !cases[i].stopped);
        EXPECT_EQ(run.result.code, cases[i].stopped ? plat::kWaitTimeout : plat::kErrorSuccess);
        EXPECT_EQ(run.waitStopMs, cases[i].stopped ? limitMs : 0u);
        if (cases[i].stopped) {
            EXPECT_GE(run.tookMs, limitMs);
            EXPECT_LT(run.tookMs, 60000u);
        }
    }
    const pid_t waiter = WaitForPid(dir / "pid");
    ASSERT_GT(waiter, 0);
    EXPECT_TRUE(WaitGroupGone(waiter)) << "a process of the waiting child's group was left running";
    EXPECT_TRUE(plat::ThreadWaitRule().prefix.empty()) << "the rule belongs to the thread that set it";
}

// Once the output moves on past the wait line, the child's time limit counts from then: the wait
// does not eat the time of the work that follows it.
TEST(RunCaptured, TimeLimitCountsAnewOnceTheWaitEnds) {
    RuleRun run;
    RunUnderWaitRule("echo '< waiting for any device >'; sleep 3; echo \"Sending 'all'\"; sleep 2", 10000, 4000, run)
        .join();
    EXPECT_TRUE(run.result.ok) << run.result.code;
    EXPECT_EQ(run.waitStopMs, 0u);
    EXPECT_GE(run.tookMs, 5000u) << "it ran past its limit from the start";

    // Work that goes on past the limit counted from the end of the wait is stopped all the same.
    RunUnderWaitRule("echo '< waiting for any device >'; sleep 0.2; echo \"Sending 'all'\"; sleep 600", 10000, 2000, run)
        .join();
    EXPECT_FALSE(run.result.ok);
    EXPECT_EQ(run.result.code, plat::kWaitTimeout);
    EXPECT_EQ(run.waitStopMs, 0u) << "stopped by its time limit, not for waiting";
}

TEST(SplitCommandLine, WindowsRuntimeRules) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"", {}},
        {"   \t ", {}},
        {" -s ABC123 shell getprop", {"-s", "ABC123", "shell", "getprop"}},
        {"a\tb  c", {"a", "b", "c"}},
        {"\"a b\" c", {"a b", "c"}},
        {"push \"C:\\My Files\\x.img\" /sdcard/", {"push", "C:\\My Files\\x.img", "/sdcard/"}},
        {"a\\\\b", {"a\\\\b"}},             // backslashes not before a quote stay
        {"a\\\"b", {"a\"b"}},               // \" is a literal quote
        {"a\\\\\"b c\"", {"a\\b c"}},       // \\" is one backslash, then a quote
        {"a\\\\\\\"b", {"a\\\"b"}},         // \\\" is a backslash and a literal quote
        {"\"\"", {""}},                     // an empty argument
        {"x \"\" y", {"x", "", "y"}},
        {"\"a\"\"b\" c", {"a\"b", "c"}},    // "" inside quotes: a literal quote
        {"ab\"c d\"e f", {"abc de", "f"}},  // quotes inside a word
        {"\"unclosed arg", {"unclosed arg"}},
        {"\"dir\\\\\"", {"dir\\"}},         // trailing backslash before a closing quote
    };
    for (const Case& c : cases) EXPECT_EQ(plat::SplitCommandLine(c.line), c.words) << c.line;
}

TEST(SplitCommandLine, ReachesTheChildAsArgv) {
    std::vector<std::string> args = plat::SplitCommandLine("one \"two three\" \"\" fo\\\"ur");
    plat::RunResult r = RunChild(kProc + "args.sh", args);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.output, "[one][two three][][fo\"ur]");
}

TEST(QuoteArgument, SplitCommandLineReadsEveryValueBackWhole) {
    std::vector<std::string> values = kCommandLineValues;
    values.push_back("");
    std::string line = "first";
    std::vector<std::string> words = {"first"};
    for (const std::string& v : values) {
        EXPECT_EQ(plat::SplitCommandLine(plat::QuoteArgument(v)), std::vector<std::string>{v}) << v;
        EXPECT_EQ(plat::SplitCommandLine(plat::CommandLineWord(v)), std::vector<std::string>{v}) << v;
        // Wide text quotes as its UTF-8 form does.
        EXPECT_EQ(plat::NarrowFromWide(plat::QuoteArgument(plat::WideFromNarrow(v))), plat::QuoteArgument(v)) << v;
        EXPECT_EQ(plat::NarrowFromWide(plat::CommandLineWord(plat::WideFromNarrow(v))), plat::CommandLineWord(v))
            << v;
        line += " " + plat::QuoteArgument(v) + " " + plat::CommandLineWord(v);
        words.insert(words.end(), {v, v});
    }
    line += " last";
    words.push_back("last");
    EXPECT_EQ(plat::SplitCommandLine(line), words);
}

TEST(QuoteArgument, QuotedText) {
    struct Case {
        const char* value;
        const char* quoted;
        const char* word;
    } cases[] = {
        {"SER1", "\"SER1\"", "SER1"},
        {"/tmp/a b.raw", "\"/tmp/a b.raw\"", "\"/tmp/a b.raw\""},
        {"a\" -w \"b", "\"a\\\" -w \\\"b\"", "\"a\\\" -w \\\"b\""},
        {"a\\b", "\"a\\b\"", "a\\b"},                  // a backslash before another character stays
        {"a\\", "\"a\\\\\"", "a\\"},                  // doubled before the closing quote only
        {"a\\\"", "\"a\\\\\\\"\"", "\"a\\\\\\\"\""},  // one before a quote: three, then the quote
        {"", "\"\"", "\"\""},
        {"it's;$x", "\"it's;$x\"", "it's;$x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(plat::QuoteArgument(std::string(c.value)), c.quoted) << c.value;
        EXPECT_EQ(plat::CommandLineWord(std::string(c.value)), c.word) << c.value;
    }
}

TEST(QuoteArgument, ReachesTheChildAsOneArgumentEach) {
    std::string line;
    std::string expected;
    for (const std::string& v : kCommandLineValues) {
        line += plat::QuoteArgument(v) + " " + plat::CommandLineWord(v) + " ";
        expected += "[" + v + "][" + v + "]";
    }
    plat::RunResult r = RunChild(kProc + "args.sh", plat::SplitCommandLine(line));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.output, expected);
}

TEST(StopSignal, CutsTheStoppedThreadsSleepShort) {
    plat::SetTimeScaleForTesting(1);
    auto signal = std::make_shared<plat::StopSignal>();
    std::atomic<bool> asleep{false}, woke{false};
    std::thread worker([&] {
        plat::SetThreadStopSignal(signal);
        asleep = true;
        plat::SleepMs(600000);  // ten minutes, unless stopped
        woke = true;
        plat::SleepMs(600000);  // a stopped thread sleeps no more
        plat::SetThreadStopSignal(nullptr);
    });
    while (!asleep) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    signal->RequestStop();
    worker.join();  // hangs here if either sleep ignored the stop
    EXPECT_TRUE(woke);
}
