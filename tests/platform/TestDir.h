// A fresh directory for one test case, removed at its end.
#pragma once
#include <filesystem>
#include <string>

#include <unistd.h>

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
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};
