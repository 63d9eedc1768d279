#include "LogQueue.h"
#include "LogRecord.h"
#include "LogStore.h"
#include "OleDateTime.h"
#include "Paths.h"
#include "RylMap.h"
#include "RylSortStringArray.h"
#include "Text.h"

#include <gtest/gtest.h>

#include "TestDir.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string ReadBytes(const std::wstring& file) {
    std::ifstream in(plat::NativePath(file), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The file decoded by iconv, not by our own code.
std::string Decoded(const std::wstring& file) {
    std::string cmd = "iconv -f UTF-16LE -t UTF-8 '" + plat::NativePath(file) + "'";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    return out;
}

const std::string kBom = "\xEF\xBB\xBF";  // U+FEFF in UTF-8

RYL::tagLogRecord Record(int level, RYL::COleDateTime time, uint32_t code, const std::wstring& text) {
    RYL::tagLogRecord r;
    r.nLevel = level;
    r.dtTime = time;
    r.dwCode = code;
    r.SetText(text);
    return r;
}

RYL::COleDateTime At(int h, int m, int s) { return RYL::COleDateTime(2016, 1, 6, h, m, s); }

// Texts of the stored records in key order.
std::vector<std::wstring> TextsInOrder(const RYL::CLogStore& store) {
    RYL::CRylSortStringArray keys;
    for (const auto& e : store) keys.Add(e.first);
    keys.Sort();
    std::vector<std::wstring> texts;
    for (size_t i = 0; i < keys.GetSize(); ++i) {
        RYL::tagLogRecord* r = nullptr;
        store.Lookup(keys[i].c_str(), r);
        texts.push_back(r ? r->Text() : L"?");
    }
    return texts;
}

}  // namespace

TEST(OleDateTime, DaysSince1899) {
    struct Case {
        int y, mo, d, h, mi, s;
        double date;
    } cases[] = {
        {1899, 12, 30, 0, 0, 0, 0.0},      {1900, 1, 1, 0, 0, 0, 2.0},
        {1899, 12, 29, 6, 0, 0, -1.25},    {2000, 2, 29, 12, 0, 0, 36585.5},
        {2016, 1, 6, 14, 3, 59, 42375.0 + 50639.0 / 86400.0},
        {9999, 12, 31, 0, 0, 0, 2958465.0}, {100, 1, 1, 0, 0, 0, -657434.0},
    };
    for (const Case& c : cases) {
        RYL::COleDateTime t(c.y, c.mo, c.d, c.h, c.mi, c.s);
        ASSERT_EQ(t.GetStatus(), RYL::COleDateTime::valid);
        EXPECT_DOUBLE_EQ(t.GetDate(), c.date) << c.y << "-" << c.mo << "-" << c.d;
        int y, mo, d, h, mi, s;
        ASSERT_TRUE(t.GetParts(y, mo, d, h, mi, s));
        EXPECT_EQ(std::vector<int>({y, mo, d, h, mi, s}), std::vector<int>({c.y, c.mo, c.d, c.h, c.mi, c.s}));
    }
    EXPECT_EQ(At(14, 3, 59).Format(L"%Y-%m-%dT %H:%M:%SZ %%"), L"2016-01-06T 14:03:59Z %");
}

TEST(OleDateTime, StatusAndRounding) {
    EXPECT_EQ(RYL::COleDateTime().GetStatus(), RYL::COleDateTime::null);
    EXPECT_EQ(RYL::COleDateTime(2015, 2, 29, 0, 0, 0).GetStatus(), RYL::COleDateTime::invalid);
    EXPECT_EQ(RYL::COleDateTime(2016, 1, 6, 24, 0, 0).GetStatus(), RYL::COleDateTime::invalid);
    EXPECT_EQ(RYL::COleDateTime(99, 12, 31, 0, 0, 0).GetStatus(), RYL::COleDateTime::invalid);
    EXPECT_EQ(RYL::COleDateTime().Format(L"%Y"), L"");
    // Just below midnight rounds into the next day.
    RYL::COleDateTime t(42375.0 + 86399.6 / 86400.0);
    EXPECT_EQ(t.Format(L"%Y-%m-%d %H:%M:%S"), L"2016-01-07 00:00:00");

    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(RYL::COleDateTime::FromTimeT(1452089039).Format(L"%Y-%m-%d %H:%M:%S"), L"2016-01-06 14:03:59");
    EXPECT_EQ(RYL::COleDateTime::GetCurrentTime().GetStatus(), RYL::COleDateTime::valid);
}

TEST(LogRecord, DefaultsAndBoundedCopies) {
    RYL::tagLogRecord r;
    EXPECT_EQ(r.nLevel, RYL::LOG_LEVEL_ALL);
    EXPECT_EQ(r.dtTime.GetStatus(), RYL::COleDateTime::null);
    EXPECT_EQ(r.Name(), L"(undefined)");
    EXPECT_EQ(std::wstring(r.szName2), L"(undefined)");
    EXPECT_EQ(r.dwCode, 0xFFFFFFFFu);
    EXPECT_EQ(r.Text(), L"(undefined)");

    r.SetName(std::wstring(100, L'n'));
    r.SetText(std::wstring(600, L't'));
    EXPECT_EQ(r.Name(), std::wstring(63, L'n'));
    EXPECT_EQ(r.Text(), std::wstring(511, L't'));
    // A field filled to its end by hand is still copied within the bounds.
    std::fill(std::begin(r.szText), std::end(r.szText), L'x');
    RYL::tagLogRecord c(r);
    EXPECT_EQ(c.Text(), std::wstring(511, L'x'));
    EXPECT_EQ(c.Name(), std::wstring(63, L'n'));
}

namespace {
struct Counted {
    static inline int alive = 0;
    Counted() { ++alive; }
    ~Counted() { --alive; }
};
}  // namespace

TEST(RylMap, OwnsItsValues) {
    {
        RYL::CRylMap<std::wstring, const wchar_t*, Counted, Counted&> map;
        map.SetAt(L"a", new Counted);
        map.SetAt(L"b", new Counted);
        map.SetAt(L"b", new Counted);  // replaces and deletes the old value
        EXPECT_EQ(Counted::alive, 2);
        EXPECT_TRUE(map.RemoveKey(L"a"));
        EXPECT_FALSE(map.RemoveKey(L"a"));
        EXPECT_FALSE(map.RemoveKey(nullptr));
        EXPECT_EQ(Counted::alive, 1);
        Counted* v = nullptr;
        EXPECT_TRUE(map.Lookup(L"b", v));
        EXPECT_NE(v, nullptr);
        map.RemoveAll();
        EXPECT_EQ(Counted::alive, 0);
        EXPECT_TRUE(map.IsEmpty());
        map.SetAt(L"c", new Counted);
    }
    EXPECT_EQ(Counted::alive, 0);  // the destructor deleted the rest
}

TEST(RylSortStringArray, SortsByCharacterCodes) {
    RYL::CRylSortStringArray a;
    for (const wchar_t* s : {L"b", L"B", L"a_2", L"a_10", L"", L"a"}) a.Add(s);
    a.Sort();
    std::vector<std::wstring> got;
    for (size_t i = 0; i < a.GetSize(); ++i) got.push_back(a[i]);
    EXPECT_EQ(got, (std::vector<std::wstring>{L"", L"B", L"a", L"a_10", L"a_2", L"b"}));
}

TEST(LogStore, KeyFormat) {
    RYL::CLogStore store;
    RYL::tagLogRecord r;
    r.dtTime = At(14, 3, 59);
    for (int i = 0; i < 7; ++i) store.AddRecord(r);
    EXPECT_EQ(store.AddRecord(r), L"(undefined)_42375.586100_0000000007");
    EXPECT_EQ(store.GetCount(), 8u);

    std::wstring key = L"old";
    EXPECT_TRUE(store.MakeKey(L"dev", RYL::COleDateTime(1.5), key));
    EXPECT_EQ(key, L"dev_1.500000_0000000008");
}

TEST(LogStore, RefusedRecordsDoNotAdvanceTheCounter) {
    RYL::CLogStore store;
    RYL::tagLogRecord unnamed = Record(2, At(1, 0, 0), 0, L"x");
    unnamed.SetName(L"");
    RYL::tagLogRecord untimed;  // null time
    RYL::tagLogRecord invalid = Record(2, RYL::COleDateTime(2015, 2, 30, 0, 0, 0), 0, L"x");
    EXPECT_EQ(store.AddRecord(unnamed), L"");
    EXPECT_EQ(store.AddRecord(untimed), L"");
    EXPECT_EQ(store.AddRecord(invalid), L"");
    EXPECT_EQ(store.OnLogRecord(0, &untimed), 0);
    EXPECT_EQ(store.OnLogRecord(0, nullptr), 1);
    std::wstring key = L"old";
    EXPECT_FALSE(store.MakeKey(L"", At(1, 0, 0), key));
    EXPECT_EQ(key, L"");
    EXPECT_EQ(store.GetCount(), 0u);
    std::wstring first = store.AddRecord(Record(2, At(1, 0, 0), 0, L"x"));
    EXPECT_EQ(first.substr(first.size() - 10), L"0000000000");
}

TEST(LogStore, FileDecodedIndependently) {
    TestDir dir;
    RYL::CLogStore store;
    RYL::tagLogRecord defaults;
    defaults.dtTime = At(14, 4, 0);
    store.OnLogRecord(0, &defaults);
    RYL::tagLogRecord start = Record(2, At(14, 3, 59), 0, L"Start");
    store.OnLogRecord(0, &start);
    store.AddRecord(Record(0, At(14, 3, 59), 0x5008, L"Caf\u00e9 \u4e2d \U0001F600 failed"));
    std::wstring file = dir.Wide("log.txt");
    ASSERT_TRUE(store.SaveToFile(file, 3));
    EXPECT_EQ(ReadBytes(file).substr(0, 2), "\xFF\xFE");
    EXPECT_EQ(Decoded(file), kBom +
                                 "[2016-01-06T 14:03:59Z] (0x00000000)\tStart\r\n"
                                 "[2016-01-06T 14:03:59Z] (0x00005008)\tCaf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 failed\r\n"
                                 "[2016-01-06T 14:04:00Z] (0xFFFFFFFF)\t(undefined)\r\n");
}

TEST(LogStore, EmptyStoreSavesTheByteOrderMarkOnly) {
    TestDir dir;
    RYL::CLogStore store;
    std::wstring file = dir.Wide("empty.log");
    {
        std::ofstream(plat::NativePath(file)) << "an older file of that name";
    }
    ASSERT_TRUE(store.SaveToFile(file, 3));
    EXPECT_EQ(ReadBytes(file), "\xFF\xFE");
    EXPECT_FALSE(store.SaveToFile(L"", 3));
}

TEST(LogStore, LevelFilter) {
    TestDir dir;
    RYL::CLogStore store;
    for (int level : {0, 2, 3, 4, -1})
        store.AddRecord(Record(level, At(10, 0, 0), 0, L"level " + std::to_wstring(level)));
    struct Case {
        uint32_t maxLevel;
        std::vector<int> written;
    } cases[] = {
        {3, {0, 2, 3}},
        {0, {0}},
        {2, {0, 2}},
        {0xFFFFFFFFu, {0, 2, 3, 4, -1}},  // a negative level counts as a large unsigned one
    };
    for (const Case& c : cases) {
        std::wstring file = dir.Wide("levels.log");
        ASSERT_TRUE(store.SaveToFile(file, c.maxLevel));
        std::string expected = kBom;
        for (int level : c.written)
            expected += "[2016-01-06T 10:00:00Z] (0x00000000)\tlevel " + std::to_string(level) + "\r\n";
        EXPECT_EQ(Decoded(file), expected) << c.maxLevel;
    }
    EXPECT_EQ(store.GetCount(), 5u);
}

TEST(LogStore, SameSecondKeepsTheOrderOfAdding) {
    RYL::CLogStore store;
    store.AddRecord(Record(2, At(9, 0, 1), 0, L"A"));
    store.AddRecord(Record(2, At(9, 0, 1), 0, L"B"));
    store.AddRecord(Record(2, At(9, 0, 0), 0, L"C"));  // a second earlier, added later
    store.AddRecord(Record(2, At(9, 0, 1), 0, L"D"));
    EXPECT_EQ(TextsInOrder(store), (std::vector<std::wstring>{L"C", L"A", L"B", L"D"}));
}

TEST(LogStore, SaveTwiceClearAndTheCounterGoesOn) {
    TestDir dir;
    RYL::CLogStore store;
    store.AddRecord(Record(2, At(8, 0, 0), 0, L"one"));
    store.AddRecord(Record(2, At(8, 0, 0), 0, L"two"));
    ASSERT_TRUE(store.SaveToFile(dir.Wide("a.log"), 3));
    ASSERT_TRUE(store.SaveToFile(dir.Wide("b.log"), 3));
    EXPECT_EQ(ReadBytes(dir.Wide("a.log")), ReadBytes(dir.Wide("b.log")));
    EXPECT_EQ(ReadBytes(dir.Wide("a.log")).size(), 2u + 2 * 2 * 42);
    store.Clear();
    EXPECT_EQ(store.GetCount(), 0u);
    std::wstring key = store.AddRecord(Record(2, At(8, 0, 0), 0, L"three"));
    EXPECT_EQ(key.substr(key.size() - 10), L"0000000002");
}

TEST(LogStore, FailedSavesKeepTheRecords) {
    TestDir dir;
    RYL::CLogStore store;
    store.AddRecord(Record(0, At(7, 0, 0), 2, L"kept"));
    EXPECT_FALSE(store.SaveToFile(dir.Wide("missing/dir/x.log"), 3));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/missing"));
    EXPECT_FALSE(store.SaveToFile(L"/dev/full", 3));  // every write fails
    EXPECT_EQ(store.GetCount(), 1u);
    ASSERT_TRUE(store.SaveToFile(dir.Wide("x.log"), 3));
    EXPECT_EQ(Decoded(dir.Wide("x.log")), kBom + "[2016-01-06T 07:00:00Z] (0x00000002)\tkept\r\n");
}

TEST(LogStore, LongestTextIsWrittenWhole) {
    TestDir dir;
    RYL::CLogStore store;
    store.AddRecord(Record(2, At(7, 0, 0), 0, std::wstring(511, L'w')));
    ASSERT_TRUE(store.SaveToFile(dir.Wide("long.log"), 3));
    EXPECT_EQ(Decoded(dir.Wide("long.log")), kBom + "[2016-01-06T 07:00:00Z] (0x00000000)\t" + std::string(511, 'w') + "\r\n");
}

TEST(LogQueue, OwnerThreadAddsAtOnceOthersQueue) {
    RYL::CLogStore store;
    RYL::CLogQueue queue(store);
    std::atomic<int> wakes{0};
    queue.SetWakeUp([&] { ++wakes; });

    EXPECT_EQ(queue.Hand(Record(2, At(6, 0, 0), 0, L"gui 1")), 0);
    EXPECT_EQ(store.GetCount(), 1u);  // before Hand returned
    EXPECT_EQ(queue.Hand(nullptr), 1);

    std::thread worker([&] {
        RYL::tagLogRecord r = Record(2, At(6, 0, 0), 0, L"worker 1");
        queue.Hand(r);
        r.SetText(L"worker 2");  // the queue holds its own copy
        queue.Hand(r);
        EXPECT_EQ(queue.Drain(), 0u);  // not the store's thread
    });
    worker.join();
    EXPECT_EQ(store.GetCount(), 1u);
    EXPECT_EQ(queue.Pending(), 2u);
    EXPECT_EQ(wakes.load(), 1);  // once per non-empty queue

    // A record on the owner thread comes after the queued ones.
    queue.Hand(Record(2, At(6, 0, 0), 0, L"gui 2"));
    EXPECT_EQ(queue.Pending(), 0u);
    EXPECT_EQ(TextsInOrder(store),
              (std::vector<std::wstring>{L"gui 1", L"worker 1", L"worker 2", L"gui 2"}));

    std::thread([&] { queue.Hand(Record(2, At(6, 0, 0), 0, L"worker 3")); }).join();
    EXPECT_EQ(wakes.load(), 2);
    EXPECT_EQ(queue.Drain(), 1u);
    EXPECT_EQ(store.GetCount(), 5u);
}

TEST(LogQueue, ManyProducersKeepTheirOrder) {
    RYL::CLogStore store;
    RYL::CLogQueue queue(store);
    std::atomic<bool> done{false};
    std::atomic<int> wakes{0};
    queue.SetWakeUp([&] { ++wakes; });
    std::vector<std::thread> producers;
    for (int p = 0; p < 6; ++p) {
        producers.emplace_back([&queue, p] {
            for (int i = 0; i < 300; ++i)
                queue.Hand(Record(2, At(5, 0, 0), 0, std::to_wstring(p) + L":" + std::to_wstring(i)));
        });
    }
    // The owner drains while the producers run, as GUI events would.
    std::thread joiner([&] {
        for (auto& t : producers) t.join();
        done = true;
    });
    while (!done) queue.Drain();
    joiner.join();
    queue.Drain();
    ASSERT_EQ(store.GetCount(), 1800u);
    EXPECT_GE(wakes.load(), 1);
    int next[6] = {};
    for (const std::wstring& t : TextsInOrder(store)) {
        int p = std::stoi(t.substr(0, t.find(L':')));
        int i = std::stoi(t.substr(t.find(L':') + 1));
        EXPECT_EQ(i, next[p]) << "producer " << p;
        next[p] = i + 1;
    }
}
