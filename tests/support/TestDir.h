// A fresh directory for one test case, removed at its end.
#pragma once
#include <filesystem>
#include <string>

#include <unistd.h>

#include "Text.h"

class TestDir {
public:
    TestDir() {
        std::filesystem::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = std::string(ZELK_TEST_WORK_DIR) + "/t" + std::to_string(getpid()) + "XXXXXX";
        char* made = mkdtemp(pattern.data());
        path_ = made ? made : "";
    }
    ~TestDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TestDir(const TestDir&) = delete;
    TestDir& operator=(const TestDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // The directory, or a name in it, as wide text.
    std::wstring Wide() const { return plat::WideFromNarrow(path_); }
    std::wstring Wide(const std::string& name) const { return plat::WideFromNarrow(*this / name); }

private:
    std::string path_;
};
