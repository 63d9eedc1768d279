#include "Clock.h"
#include "Paths.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

TEST(Paths, NativePathUsesSlashes) {
    EXPECT_EQ(plat::NativePath(L"C:\\dir\\file.txt"), "C:/dir/file.txt");
    EXPECT_EQ(plat::NativePath(L"/tmp/caf\u00e9"), "/tmp/caf\xC3\xA9");
}

TEST(Paths, ProgramDirAndItsTestOverride) {
    std::wstring file = plat::ProgramFile();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.substr(file.rfind(L'/') + 1), L"platform_tests");
    EXPECT_EQ(plat::ProgramDir(), file.substr(0, file.rfind(L'/')));
    plat::SetProgramDirForTesting(L"/some/where/");
    EXPECT_EQ(plat::ProgramDir(), L"/some/where");
    plat::SetProgramDirForTesting(L"");
    EXPECT_EQ(plat::ProgramDir(), file.substr(0, file.rfind(L'/')));
}

TEST(Paths, SearchPathFindsOnlyExecutableFiles) {
    TestDir dir;
    std::ofstream(dir / "tool") << "#!/bin/sh\n";
    chmod((dir / "tool").c_str(), 0755);
    std::ofstream(dir / "data") << "x";
    std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", ("/nonexistent:" + dir.path()).c_str(), 1);
    std::wstring found = plat::SearchPathFor(L"tool");
    std::wstring data = plat::SearchPathFor(L"data");
    std::wstring missing = plat::SearchPathFor(L"nothing-here");
    std::wstring withDir = plat::SearchPathFor(L"x/tool");
    // An empty entry, at the end or in the middle, is the current directory.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::vector<std::string> here;
    for (const char* entries : {"/nonexistent:", "/nonexistent::/bin"}) {
        setenv("PATH", entries, 1);
        here.push_back(std::filesystem::path(plat::NativePath(plat::SearchPathFor(L"tool"))).lexically_normal());
    }
    std::filesystem::current_path(cwd);
    setenv("PATH", old.c_str(), 1);
    EXPECT_EQ(here, std::vector<std::string>(2, dir / "tool"));
    EXPECT_EQ(plat::NativePath(found), dir / "tool");
    EXPECT_EQ(data, L"");
    EXPECT_EQ(missing, L"");
    EXPECT_EQ(withDir, L"");
}

TEST(Paths, FileAndDirectoryTests) {
    TestDir dir;
    std::ofstream(dir / "f") << "x";
    std::wstring d(dir.path().begin(), dir.path().end());
    EXPECT_TRUE(plat::FileExists(d + L"/f"));
    EXPECT_TRUE(plat::FileExists(d + L"\\f"));  // design separators
    EXPECT_FALSE(plat::FileExists(d));
    EXPECT_FALSE(plat::FileExists(d + L"/g"));
    EXPECT_FALSE(plat::FileExists(L""));
    EXPECT_TRUE(plat::DirectoryExists(d));
    EXPECT_FALSE(plat::DirectoryExists(d + L"/f"));
    std::wstring tmp = plat::TempDir();
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.back(), L'/');
    EXPECT_TRUE(plat::DirectoryExists(tmp));
}

// Only a name that nothing holds is taken; any other leaves both names as they were.
TEST(Paths, RenameNoReplaceNeverReplaces) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;  // what holds the target name
        bool moved;
    } cases[] = {
        {"nothing", [](const std::string&) {}, true},
        {"a file", [](const std::string& to) { std::ofstream(to) << "earlier"; }, false},
        {"an empty directory", [](const std::string& to) { fs::create_directory(to); }, false},
        {"a link to a file", [](const std::string& to) { fs::create_symlink("other", to); }, false},
        {"a dangling link", [](const std::string& to) { fs::create_symlink("missing", to); }, false},
        {"a link to a directory", [](const std::string& to) { fs::create_directory_symlink("sub", to); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::ofstream(dir / "from") << "new";
        std::ofstream(dir / "other") << "other";
        fs::create_directory(dir / "sub");
        c.make(dir / "to");
        const fs::file_status before = fs::symlink_status(dir / "to");
        EXPECT_EQ(plat::RenameNoReplace(dir.Wide("from"), dir.Wide("to")), c.moved);
        EXPECT_EQ(fs::exists(dir / "from"), !c.moved);
        if (c.moved) {
            EXPECT_EQ(ReadFile(dir / "to"), "new");
            continue;
        }
        EXPECT_EQ(ReadFile(dir / "from"), "new");
        EXPECT_EQ(fs::symlink_status(dir / "to").type(), before.type());
        if (fs::is_regular_file(before)) {
            EXPECT_EQ(ReadFile(dir / "to"), "earlier");
        }
        EXPECT_EQ(ReadFile(dir / "other"), "other");
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "missing")));
        EXPECT_TRUE(fs::is_empty(dir / "sub"));
    }
    TestDir dir;
    EXPECT_FALSE(plat::RenameNoReplace(dir.Wide("absent"), dir.Wide("to")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "to")));
}

// The new content arrives whole, or the file keeps what it held and nothing else is left beside it.
TEST(Paths, ReplaceFileContentsWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    const auto modeOf = [](const fs::path& name) {
        struct stat st {};
        EXPECT_EQ(stat(name.c_str(), &st), 0);
        return st.st_mode & 07777;
    };
    const std::string content(100000, 'n');
    struct Case {
        const char* what;
        std::function<void(const fs::path& dir)> make;  // what stands at dir/"f" before
        long sizeLimit;                                   // of the process's files, 0 none
        bool replaced;
        const char* file;                                 // that holds the content afterwards
    } cases[] = {
        {"no file yet", [](const fs::path&) {}, 0, true, "f"},
        {"a file", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; }, 0, true, "f"},
        {"a read-only file", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; fs::permissions(d / "f", fs::perms::owner_read | fs::perms::group_read); }, 0, true, "f"},
        {"a link to a file", [](const fs::path& d) { std::ofstream(d / "target") << "earlier"; fs::create_symlink("target", d / "f"); }, 0, true, "target"},
        {"a file, the write cut short", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; }, 4096, false, "f"},
        {"no file yet, the write cut short", [](const fs::path&) {}, 4096, false, "f"},
        {"a directory", [](const fs::path& d) { fs::create_directory(d / "f"); }, 0, false, "f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        c.make(dir.path());
        const bool existed = fs::exists(fs::symlink_status(dir / "f"));
        const bool regular = fs::is_regular_file(dir / "f");
        const std::string before = regular ? ReadFile(dir / c.file) : "";
        const unsigned modeBefore = regular ? modeOf(dir / c.file) : 0;
        const auto typeBefore = fs::symlink_status(dir / "f").type();
        bool replaced;
        {
            struct rlimit old {};
            getrlimit(RLIMIT_FSIZE, &old);
            void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
            if (c.sizeLimit) {
                struct rlimit limit = old;
                limit.rlim_cur = rlim_t(c.sizeLimit);
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            replaced = plat::ReplaceFileContents(dir.Wide("f"), content);
            setrlimit(RLIMIT_FSIZE, &old);
            signal(SIGXFSZ, oldHandler);
        }
        EXPECT_EQ(replaced, c.replaced);
        EXPECT_EQ(fs::symlink_status(dir / "f").type(), existed ? typeBefore : c.replaced ? fs::file_type::regular : fs::file_type::not_found);
        if (c.replaced) {
            EXPECT_EQ(ReadFile(dir / c.file), content);
            if (modeBefore) {
                EXPECT_EQ(modeOf(dir / c.file), modeBefore);
            }
        } else if (regular) {
            EXPECT_EQ(ReadFile(dir / c.file), before);
        }
        size_t names = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) names += entry.path().filename() != "target";
        EXPECT_EQ(names, existed || c.replaced ? 1u : 0u) << "no file beside it";
    }
}

TEST(Clock, SpeedUpShortensSleepsAndKeepsTimeMonotonic) {
    uint64_t before = plat::NowMs();
    plat::SetTimeScaleForTesting(10000);
    auto start = std::chrono::steady_clock::now();
    plat::SleepMs(3600000);  // an hour: 360 ms real
    auto took = std::chrono::steady_clock::now() - start;
    uint64_t after = plat::NowMs();
    plat::SetTimeScaleForTesting(1);
    EXPECT_LT(took, std::chrono::minutes(30));
    EXPECT_GE(after - before, 3600000u);
    EXPECT_GE(plat::NowMs(), after);
    plat::SleepMs(0);
}

// Limits on real work read a clock that the speed-up leaves alone; only tests cap them.
TEST(Clock, RealTimeIsNeverScaled) {
    plat::SetTimeScaleForTesting(1000);
    const auto ms = [](std::chrono::steady_clock::time_point t) {
        return static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
    };
    const uint64_t first = ms(std::chrono::steady_clock::now());
    const uint64_t real = plat::RealNowMs();
    const uint64_t last = ms(std::chrono::steady_clock::now());
    plat::SetTimeScaleForTesting(1);
    EXPECT_GE(real, first);
    EXPECT_LE(real, last);

    EXPECT_EQ(plat::RealWorkLimitMs(90000), 90000u);
    plat::CapRealWorkLimitsForTesting(1000);
    EXPECT_EQ(plat::RealWorkLimitMs(90000), 1000u);
    EXPECT_EQ(plat::RealWorkLimitMs(500), 500u);
    plat::CapRealWorkLimitsForTesting(0);
    EXPECT_EQ(plat::RealWorkLimitMs(90000), 90000u);
}
