// Helpers of the zip tests: a fresh directory per test, fixture archives, files and commands.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace ziptest {

namespace fs = std::filesystem;

inline std::wstring W(const std::string& s) { return fs::path(s).wstring(); }

inline std::string ReadFile(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& p, const std::string& data)
{
    std::ofstream(p, std::ios::binary) << data;
}

inline int Shell(const std::string& command) { return std::system(command.c_str()); }

inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// A directory of its own under the test work directory, removed when the test passes.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::path(ZELK_TEST_WORK_DIR) /
               (std::string(info->test_suite_name()) + "." + info->name() + "." + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override
    {
        if (!HasFailure()) {
            std::error_code ec;
            fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
            fs::remove_all(dir_, ec);
        }
    }
    // The crafted archives of tests/fixtures/zip/make_crafted.py, made once per test.
    fs::path Crafted(const std::string& name)
    {
        fs::path out = dir_ / "crafted";
        if (!fs::exists(out)) {
            fs::create_directories(out);
            EXPECT_EQ(Shell("/usr/bin/python3 " ZELK_FIXTURES_DIR "/zip/make_crafted.py " + Quote(out)), 0);
        }
        return out / name;
    }
    static fs::path Kept(const std::string& name) { return fs::path(ZELK_FIXTURES_DIR) / "zip" / name; }

    fs::path dir_;
};

}  // namespace ziptest
