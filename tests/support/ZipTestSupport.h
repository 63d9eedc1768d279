// Helpers of the zip tests: a fresh directory per test, fixture archives, files and commands.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <zlib.h>

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

inline std::string Quote(const fs::path& p) { return std::string(1, '\'').append(p.string()).append(1, '\''); }

// A zip archive of stored entries written byte by byte, so that a name can hold anything (NULs,
// both separators). A name ending in '/' is a Unix directory entry.
struct RawEntry {
    std::string name;
    std::string data;
};

inline std::string StoredZip(const std::vector<RawEntry>& entries)
{
    auto le = [](std::string& out, uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out += char(v >> (8 * i));
    };
    std::string local, central;
    for (const RawEntry& e : entries) {
        const bool directory = !e.name.empty() && e.name.back() == '/';
        const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), uInt(e.data.size())));
        const uint32_t offset = uint32_t(local.size());
        auto common = [&](std::string& out) {
            le(out, 20, 2);                                 // version needed
            le(out, 0, 2);                                  // flags
            le(out, 0, 2);                                  // stored
            le(out, (13 << 11) | (45 << 5) | 15, 2);        // 13:45:30
            le(out, ((2020 - 1980) << 9) | (5 << 5) | 17, 2);  // 2020-05-17
            le(out, crc, 4);
            le(out, e.data.size(), 4);
            le(out, e.data.size(), 4);
            le(out, e.name.size(), 2);
            le(out, 0, 2);                                  // extra field
        };
        le(local, 0x04034B50, 4);
        common(local);
        local += e.name + e.data;
        le(central, 0x02014B50, 4);
        le(central, (3 << 8) | 20, 2);                      // made by Unix
        common(central);
        le(central, 0, 2 + 2 + 2);                          // comment, disk, internal attributes
        le(central, uint32_t(directory ? 040755 : 0100644) << 16, 4);
        le(central, offset, 4);
        central += e.name;
    }
    std::string zip = local + central;
    le(zip, 0x06054B50, 4);
    le(zip, 0, 4);  // disk numbers
    le(zip, entries.size(), 2);
    le(zip, entries.size(), 2);
    le(zip, central.size(), 4);
    le(zip, local.size(), 4);
    le(zip, 0, 2);  // comment
    return zip;
}

// Every file (with its content) and directory (with a trailing '/') under root.
inline std::map<std::string, std::string> TreeOf(const fs::path& root)
{
    std::map<std::string, std::string> tree;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        if (e.is_directory()) tree[rel + "/"] = "";
        else tree[rel] = ReadFile(e.path());
    }
    return tree;
}

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
