#include "KivApp.h"
#include "KivLog.h"
#include "LogStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The application object without a display: logging needs none.
class AppLog : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(ZELK_TEST_WORK_DIR);
        std::string pattern = (fs::path(ZELK_TEST_WORK_DIR) / "log-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        app = new KivApp;
    }
    void TearDown() override { delete app; }

    std::vector<fs::path> LogFiles() const {
        std::vector<fs::path> files;
        if (fs::exists(fs::path(dir) / "log"))
            for (const auto& entry : fs::directory_iterator(fs::path(dir) / "log"))
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        return files;
    }

    // The record texts of a log file (after the tab of each line), decoded from UTF-16LE.
    static std::vector<std::wstring> Texts(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE"));
        std::wstring text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8));
        std::vector<std::wstring> texts;
        size_t start = 0;
        for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
            const std::wstring line = text.substr(start, end - start);
            texts.push_back(line.substr(line.find(L'\t') + 1));
        }
        return texts;
    }

    std::string dir;
    KivApp* app = nullptr;
};

TEST_F(AppLog, RecordTexts) {
    const std::wstring longText(600, L'x');
    app->Log("", 0, LOG_LEVEL_INFO, L"Start");
    app->Log("SER42", 0x4005, LOG_LEVEL_ERROR, L"Unzip image failure(bad)");
    app->Log("", 0, LOG_LEVEL_INFO, longText.c_str());
    app->Log("T", 0, LOG_LEVEL_INFO, longText.c_str());
    app->Log("", 0, LOG_LEVEL_INFO, nullptr);
    ASSERT_TRUE(app->SaveLog());
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto texts = Texts(files[0]);
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[0], L"Start");
    EXPECT_EQ(texts[1], L"[SER42] Unzip image failure(bad)");
    EXPECT_EQ(texts[2], std::wstring(511, L'x'));
    EXPECT_EQ(texts[3], L"[T] " + std::wstring(507, L'x'));
    EXPECT_EQ(texts[4], L"");
}

TEST_F(AppLog, FileNameAndLine) {
    app->Log("", 0x5001, LOG_LEVEL_ERROR, L"Can't build adb commander!");
    ASSERT_TRUE(app->SaveLog());
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string name = files[0].filename().string();
    ASSERT_EQ(name.size(), std::string("20240101_120000.log").size()) << name;
    EXPECT_EQ(name[8], '_');
    EXPECT_EQ(name.substr(15), ".log");
    EXPECT_EQ(name.find_first_not_of("0123456789_"), 15u);
    std::ifstream in(files[0], std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string narrow;
    for (size_t i = 2; i < bytes.size(); i += 2)
        narrow += bytes[i];
    EXPECT_NE(narrow.find("Z] (0x00005001)\tCan't build adb commander!\r\n"), std::string::npos) << narrow;
}

TEST_F(AppLog, WorkerRecordsKeepTheirOrderAndReachTheNextSave) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 100; ++i)
                app->Log(wxString::Format("W%d", t), 0, LOG_LEVEL_INFO, wxString::Format("%03d", i).wc_str());
        });
    }
    for (auto& thread : threads)
        thread.join();
    app->Log("", 0, LOG_LEVEL_INFO, L"gui");
    ASSERT_TRUE(app->SaveLog());  // without any event processing: the save drains the queue
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const auto texts = Texts(files[0]);
    ASSERT_EQ(texts.size(), 401u);
    int next[4] = {0, 0, 0, 0};
    for (const std::wstring& text : texts) {
        if (text == L"gui")
            continue;
        ASSERT_EQ(text.substr(0, 2), L"[W");
        const int t = text[2] - L'0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, 4);
        EXPECT_EQ(std::stoi(text.substr(5)), next[t]) << "thread " << t;
        next[t] = std::stoi(text.substr(5)) + 1;
    }
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(next[t], 100);
}

TEST_F(AppLog, SaveCreatesTheDirectoryAndEmptiesTheStore) {
    ASSERT_FALSE(fs::exists("log"));
    app->Log("", 0, LOG_LEVEL_INFO, L"first");
    ASSERT_TRUE(app->SaveLog());
    EXPECT_TRUE(fs::is_directory("log"));
    EXPECT_EQ(app->logStore->GetCount(), 0u);
    app->Log("", 0, LOG_LEVEL_INFO, L"second");
    ASSERT_TRUE(app->SaveLog());
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 2u) << "two saves, also within one second, make two files";
    std::vector<std::wstring> all;
    for (const auto& file : files) {
        const auto texts = Texts(file);
        all.insert(all.end(), texts.begin(), texts.end());
    }
    EXPECT_EQ(all, (std::vector<std::wstring>{L"first", L"second"}));
}

TEST_F(AppLog, FailedSaveKeepsTheRecords) {
    { std::ofstream blocker("log"); }  // a file where the directory should be
    app->Log("", 0, LOG_LEVEL_INFO, L"kept");
    EXPECT_FALSE(app->SaveLog());
    EXPECT_EQ(app->logStore->GetCount(), 1u);
    fs::remove("log");
    ASSERT_TRUE(app->SaveLog());
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(Texts(files[0]), std::vector<std::wstring>{L"kept"});
}

TEST_F(AppLog, TakenNamesGetANumber) {
    fs::create_directory("log");
    EXPECT_EQ(KivLogFileName("20240101_120000"), "log/20240101_120000.log");
    { std::ofstream("log/20240101_120000.log"); }
    EXPECT_EQ(KivLogFileName("20240101_120000"), "log/20240101_120000_2.log");
    { std::ofstream("log/20240101_120000_2.log"); }
    EXPECT_EQ(KivLogFileName("20240101_120000"), "log/20240101_120000_3.log");
}

// The application's end writes only records that came after the last save.
TEST_F(AppLog, AnApplicationEndingWithNothingUnsavedWritesNoFile) {
    app->Log("", 0, LOG_LEVEL_INFO, L"User close tool");
    ASSERT_TRUE(app->SaveLog());
    delete app;
    app = nullptr;
    EXPECT_EQ(LogFiles().size(), 1u);
}

}  // namespace
