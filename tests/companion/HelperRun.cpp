#include "HelperRun.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace companion_test {

const HelperBuild& X86Build() {
    static const HelperBuild build{"x86", PHONEINFO_TEST_X86, QEMU_I386, "dev/gsmtty19", "AT+CGSN\r"};
    return build;
}

const HelperBuild& ArmBuild() {
    static const HelperBuild build{"ARM", PHONEINFO_TEST_ARM, QEMU_ARM, "dev/smd7",
                                   "AT+CNVM=1,550\r"};
    return build;
}

WorkDir::WorkDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/')
            c = '_';
    static std::atomic<int> serial{0};
    path_ = fs::path(ZELK_TEST_WORK_DIR) /
            (name + "." + std::to_string(getpid()) + "." + std::to_string(serial++));
    fs::remove_all(path_);
    fs::create_directories(path_ / "dev");
    fs::create_directories(path_ / "data/zelkdata");
}

WorkDir::~WorkDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

void WorkDir::Write(const std::string& relative, const std::string& content) const {
    std::ofstream(path_ / relative, std::ios::binary) << content;
}

HelperResult RunHelper(const HelperBuild& build, const fs::path& dir,
                       const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{build.emulator, build.program};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, dir, options);
}

HelperResult RunProgram(const std::vector<std::string>& argvIn, const fs::path& dir,
                        const RunOptions& options) {
    std::vector<std::string> argv = argvIn;
    std::string line = "run:";
    for (const std::string& a : argv)
        line += " " + a;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    std::vector<char*> cargv;
    for (std::string& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        if (options.closeStdin)
            close(0);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(out[1]);

    HelperResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.limitSeconds);
    char chunk[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << argv[0] << " did not end within " << options.limitSeconds << " s";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0)
            break;
        result.output.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

FakeModem::FakeModem(const HelperBuild& build, const fs::path& dir, std::vector<Step> script)
    : script_(std::move(script)) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        ADD_FAILURE() << "no pseudo-terminal";
        return;
    }
    fs::create_symlink(ptsname(master_), dir / build.channel);
    thread_ = std::thread([this] { Serve(); });
}

FakeModem::~FakeModem() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (master_ >= 0)
        close(master_);
}

std::string FakeModem::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void FakeModem::Serve() {
    char chunk[256];
    bool answered = false;
    while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        if (!(p.revents & POLLIN)) {  // hung up: no helper on the other end (yet or any more)
            usleep(10000);
            continue;
        }
        ssize_t n = read(master_, chunk, sizeof chunk);
        if (n <= 0) {
            usleep(10000);
            continue;
        }
        bool command = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(chunk, static_cast<size_t>(n));
            command = received_.find('\r') != std::string::npos;
        }
        if (answered || !command)
            continue;
        answered = true;
        for (const Step& step : script_) {
            for (int waited = 0; waited < step.delayMs && !stop_; waited += 10)
                usleep(10000);
            if (write(master_, step.text.data(), step.text.size()) < 0)
                return;
        }
    }
}

}  // namespace companion_test
