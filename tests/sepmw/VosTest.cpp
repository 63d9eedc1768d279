// The DX_VOS utility layer: guarded heap, copies, formatter, conversions, files, debug print.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "DX_VOS.h"
#include "SepTestSupport.h"

namespace {

using septest::MakeTempDir;

// ---- guarded heap ----

TEST(VosHeap, BlockIsGuardedAndCounted) {
    uint32_t before = DxMemoryUsage;
    auto* p = static_cast<uint8_t*>(_DX_VOS_MemMalloc(5));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(DxMemoryUsage, before + 5);
    EXPECT_EQ(septest::Le32(p - 8), 5u);
    EXPECT_EQ(septest::Le32(p - 4), DX_VOS_HEAP_PREFIX);
    EXPECT_EQ(septest::Le32(p + 8), DX_VOS_HEAP_SUFFIX);  // after the size padded to 8
    _DX_VOS_MemFree(p);
    EXPECT_EQ(DxMemoryUsage, before);
}

TEST(VosHeap, RefusesZeroAndSizesWhosePaddingWraps) {
    uint32_t before = DxMemoryUsage;
    EXPECT_EQ(_DX_VOS_MemMalloc(0), nullptr);
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFF4u})
        EXPECT_EQ(_DX_VOS_MemMalloc(size), nullptr) << size;
    EXPECT_EQ(DxMemoryUsage, before);
    _DX_VOS_MemFree(nullptr);
}

TEST(VosHeap, CorruptSuffixIsFreedAndUncountedCorruptPrefixStaysCounted) {
    uint32_t before = DxMemoryUsage;
    auto* p = static_cast<uint8_t*>(_DX_VOS_MemMalloc(8));
    p[8] ^= 0xFF;  // suffix
    _DX_VOS_MemFree(p);
    EXPECT_EQ(DxMemoryUsage, before);

    p = static_cast<uint8_t*>(_DX_VOS_MemMalloc(8));
    p[-1] ^= 0xFF;  // prefix
    _DX_VOS_MemFree(p);
    EXPECT_EQ(DxMemoryUsage, before + 8);
    DxMemoryUsage = before;
}

TEST(VosMemory, CopiesAreBoundedAndOverlapSafe) {
    uint8_t dst[4] = {0};
    const uint8_t src[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(DX_VOS_MemCpy(dst, sizeof dst, src, 10), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_THAT(dst, ::testing::ElementsAre(1, 2, 3, 4));
    EXPECT_EQ(DX_VOS_MemCpy(dst, sizeof dst, src, 0), DX_SUCCESS);

    uint8_t buf[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(DX_VOS_MemCpy(buf + 1, 5, buf, 5), DX_SUCCESS);
    EXPECT_THAT(buf, ::testing::ElementsAre(1, 1, 2, 3, 4, 5));
    DX_VOS_FastMemCpy(buf, buf + 2, 4);
    EXPECT_THAT(buf, ::testing::ElementsAre(2, 3, 4, 5, 4, 5));
    DX_VOS_FastMemCpy(nullptr, buf, 4);
    DX_VOS_MemSet6(buf, 7, 2);
    DX_VOS_MemSetZero6(buf + 4, 2);
    DX_VOS_MemSet6(nullptr, 7, 2);
    EXPECT_THAT(buf, ::testing::ElementsAre(7, 7, 4, 5, 0, 0));
}

// ---- formatter ----

struct Formatted {
    DxStatus status;
    std::string text;
};

Formatted Dx(uint32_t size, const char* format, ...) {
    std::vector<char> buffer(size + 1, '#');
    va_list args;
    va_start(args, format);
    DxStatus status = DX_VOS_VSPrintf(buffer.data(), size, format, args);
    va_end(args);
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    return {status, buffer.data()};
}

std::string C(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

TEST(VosFormatter, AgreesWithSnprintf) {
#define SAME(...) EXPECT_EQ(Dx(256, __VA_ARGS__).text, C(__VA_ARGS__)) << #__VA_ARGS__
    SAME("%d|%i|%d", 0, -5, INT_MIN);
    SAME("%u %u", 0u, 0xFFFFFFFFu);
    SAME("%x %X %o", 0xABCDEFu, 0xABCDEFu, 8u);
    SAME("%08X|%5d|%05d|%3u", 0x1Fu, 42, -42, 7u);
    SAME("%c%c", 'A', 'z');
    SAME("%s|%5s|%2s", "abc", "ab", "long");
    SAME("100%% done, %d%%", 5);
    SAME("a%db%sc%xd", 1, "-", 255u);
    SAME("%12d|%012u", 1, 7u);
#undef SAME
}

TEST(VosFormatter, OwnConversions) {
    const uint8_t bytes[] = {0x01, 0xFE};
    const uint16_t wide[] = {'h', 0xE9, 0};
    EXPECT_EQ(Dx(64, "%04x", 0xABu).text, "00ab");
    EXPECT_EQ(Dx(64, "%5s", "ab").text, "   ab");
    EXPECT_EQ(Dx(64, "%b", bytes, 2u).text, "01fe");
    EXPECT_EQ(Dx(64, "%B", bytes, 2u).text, "01FE");
    EXPECT_EQ(Dx(64, "[%n]", "xyz", 2u).text, "[xy]");
    EXPECT_EQ(Dx(64, "%S!", wide).text, "h\xC3\xA9!");
    EXPECT_EQ(Dx(64, "[%5c]", 'x').text, "[x]");
    EXPECT_EQ(Dx(64, "[%s%S]", (const char*)nullptr, (const uint16_t*)nullptr).text, "[]");
}

TEST(VosFormatter, BadLetterStops) {
    Formatted f = Dx(64, "ab%qcd");
    EXPECT_EQ(f.status, DX_BAD_CONVERSION);
    EXPECT_EQ(f.text, "ab");
    EXPECT_EQ(Dx(64, "ab%").status, DX_BAD_CONVERSION);
    const uint16_t lone[] = {0xDC00, 0};
    EXPECT_EQ(Dx(64, "x%S", lone).status, DX_BAD_CONVERSION);
}

TEST(VosFormatter, FullBufferCutsTerminatesAndSays) {
    const uint8_t bytes[] = {1, 2, 3};
    struct Case {
        Formatted got;
        const char* text;
        DxStatus status;
    } cases[] = {
        {Dx(6, "hello"), "hello", DX_SUCCESS},
        {Dx(6, "hello!"), "hello", DX_BUFFER_IS_NOT_BIG_ENOUGH},
        {Dx(4, "%s", "abcdef"), "abc", DX_BUFFER_IS_NOT_BIG_ENOUGH},
        {Dx(4, "%d", 123456), "123", DX_BUFFER_IS_NOT_BIG_ENOUGH},
        {Dx(6, "%b", bytes, 3u), "0102", DX_BUFFER_IS_NOT_BIG_ENOUGH},
        {Dx(3, "ab%d", 1), "ab", DX_BUFFER_IS_NOT_BIG_ENOUGH},
        {Dx(1, "x"), "", DX_BUFFER_IS_NOT_BIG_ENOUGH},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.text, c.text);
        EXPECT_EQ(c.got.status, c.status) << c.text;
    }
}

TEST(VosFormatter, SPrintfIsBounded) {
    char buffer[8];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(DX_VOS_SPrintf(buffer, 4, "%s", "overflowing"), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_STREQ(buffer, "ove");
    EXPECT_EQ(buffer[4], '#');
    EXPECT_EQ(DX_VOS_SPrintf(buffer, sizeof buffer, "%02d:%02d", 7, 5), DX_SUCCESS);
    EXPECT_STREQ(buffer, "07:05");
}

// ---- conversions ----

TEST(VosNumbers, NStrToInt) {
    struct Case {
        const char* text;
        uint32_t max;
        uint32_t base;
        DxStatus status;
        int32_t value;
    } cases[] = {
        {" -0x1A", 100, 0, DX_SUCCESS, -26},
        {"12a", 100, 10, DX_BAD_CONVERSION, 0},
        {"\t+7", 100, 10, DX_SUCCESS, 7},
        {"b101", 100, 0, DX_SUCCESS, 5},
        {"017", 100, 0, DX_SUCCESS, 15},
        {"ff", 100, 16, DX_SUCCESS, 255},
        {"FF", 100, 16, DX_SUCCESS, 255},
        {"8", 100, 8, DX_BAD_CONVERSION, 0},
        {"12345", 3, 10, DX_SUCCESS, 123},
        {"2147483647", 100, 10, DX_SUCCESS, INT32_MAX},
        {"4294967295", 100, 10, DX_SUCCESS, -1},
        {"0xFFFFFFFF", 100, 0, DX_SUCCESS, -1},
        {"-2147483648", 100, 10, DX_SUCCESS, INT32_MIN},
        {"4294967296", 100, 10, DX_OVERFLOW, 0},
        {"5000000000", 100, 10, DX_OVERFLOW, 0},  // wraps to a larger value
        {"0x100000000", 100, 0, DX_OVERFLOW, 0},
        {"-2147483649", 100, 10, DX_OVERFLOW, 0},
        {"99999999999999999999", 100, 10, DX_OVERFLOW, 0},
        {"", 100, 10, DX_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 99;
        EXPECT_EQ(DX_VOS_NStrToInt(c.text, c.max, &value, c.base), c.status) << c.text;
        if (c.status == DX_SUCCESS) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    int32_t value = 5;
    EXPECT_EQ(DX_VOS_NStrToInt("1", 10, &value, 1), DX_BAD_ARGUMENTS);
    EXPECT_EQ(DX_VOS_NStrToInt("1", 10, &value, 17), DX_BAD_ARGUMENTS);
    EXPECT_EQ(DX_VOS_NStrToInt(nullptr, 10, &value, 10), 1u);
    EXPECT_EQ(value, 0);
}

TEST(VosNumbers, IntToStr) {
    char buffer[40];
    struct Case {
        int64_t value;
        bool isSigned;
        uint32_t size, base;
        DxStatus status;
        const char* text;
    } cases[] = {
        {INT32_MIN, true, 40, 10, DX_SUCCESS, "-2147483648"},
        {-255, true, 40, 16, DX_SUCCESS, "-FF"},
        {5, true, 40, 2, DX_SUCCESS, "101"},
        {0xFFFFFFFF, false, 40, 16, DX_SUCCESS, "FFFFFFFF"},
        {0xFFFFFFFF, false, 40, 8, DX_SUCCESS, "37777777777"},
        {123, true, 4, 10, DX_SUCCESS, "123"},
        {1234, true, 4, 10, DX_BUFFER_IS_NOT_BIG_ENOUGH, ""},
        {-12, false, 40, 1, DX_BAD_ARGUMENTS, nullptr},
        {12, true, 40, 17, DX_BAD_ARGUMENTS, nullptr},
    };
    for (const Case& c : cases) {
        DxStatus status = c.isSigned ? DX_VOS_IntToStr(int32_t(c.value), buffer, c.size, c.base)
                                     : DX_VOS_UnsignedToStr(uint32_t(c.value), buffer, c.size, c.base);
        EXPECT_EQ(status, c.status) << c.value;
        if (c.text) {
            EXPECT_STREQ(buffer, c.text);
        }
    }
}

TEST(VosNumbers, Utf16ToUtf8) {
    struct Case {
        std::vector<uint16_t> text;
        uint32_t size;
        DxStatus status;
        std::string bytes;
    } cases[] = {
        {{'A'}, 16, DX_SUCCESS, "A"},
        {{0xE9}, 16, DX_SUCCESS, "\xC3\xA9"},
        {{0xD7FF}, 16, DX_SUCCESS, "\xED\x9F\xBF"},
        {{0xE000}, 16, DX_SUCCESS, "\xEE\x80\x80"},
        {{0xFFFF}, 16, DX_SUCCESS, "\xEF\xBF\xBF"},
        {{0xD83D, 0xDE00}, 16, DX_SUCCESS, "\xF0\x9F\x98\x80"},
        {{'a', 0xDC00, 'b'}, 16, DX_BAD_CONVERSION, "a"},
        {{'a', 0xD800}, 16, DX_BAD_CONVERSION, "a"},
        {{0xD800, 'A'}, 16, DX_BAD_CONVERSION, ""},
        {{'a', 0x20AC}, 4, DX_BUFFER_IS_NOT_BIG_ENOUGH, "a"},
        {{'a', 0x20AC}, 5, DX_SUCCESS, "a\xE2\x82\xAC"},
    };
    for (const Case& c : cases) {
        std::vector<uint16_t> text = c.text;
        text.push_back(0);
        char buffer[16];
        EXPECT_EQ(DX_VOS_Utf16ToUtf8(buffer, c.size, text.data()), c.status) << c.bytes;
        EXPECT_EQ(std::string(buffer), c.bytes);
    }
    char buffer[4] = "xx";
    EXPECT_EQ(DX_VOS_Utf16ToUtf8(buffer, 4, nullptr), DX_SUCCESS);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(DX_VOS_Utf16ToUtf8(buffer, 0, nullptr), DX_BUFFER_IS_NOT_BIG_ENOUGH);
}

TEST(VosStrings, CopyLengthAndSearch) {
    char buffer[8];
    EXPECT_EQ(DX_VOS_StrNCopy(buffer, 4, "abcdef"), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(DX_VOS_StrNCopy(buffer, 4, "abc"), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_StrNCopy(buffer, 0, "abc"), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_EQ(DX_VOS_StrNCopy(nullptr, 4, "abc"), DX_BAD_ARGUMENTS);
    char overlap[] = "xxhello";
    EXPECT_EQ(DX_VOS_StrNCopy(overlap, sizeof overlap, overlap + 2), DX_SUCCESS);
    EXPECT_STREQ(overlap, "hello");

    EXPECT_EQ(DX_VOS_StrNLen("hello", 0xFFFFFFFF), 5u);
    EXPECT_EQ(DX_VOS_StrNLen("hello", 3), 3u);
    EXPECT_EQ(DX_VOS_StrNLen(nullptr, 3), 0u);
    const char* path = "a/b/c";
    EXPECT_EQ(DX_VOS_StrChr(path, '/'), path + 1);
    EXPECT_EQ(DX_VOS_StrRChr(path, '/'), path + 3);
    EXPECT_EQ(DX_VOS_StrChr(nullptr, '/'), nullptr);
    EXPECT_EQ(DX_VOS_StrRChr(nullptr, '/'), nullptr);
    char mixed[] = "AbC-Z";
    DX_VOS_StrToLower(mixed, 4);
    EXPECT_STREQ(mixed, "abc-Z");
}

TEST(VosTime, LocalTimeFromEpochSeconds) {
    struct Case {
        uint32_t seconds;
        DxTimeStruct expected;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {951827696, {2000, 2, 29, 12, 34, 56}},
        {0xFFFFFFFF, {2106, 2, 7, 6, 28, 15}},
    };
    for (const Case& c : cases) {
        DxTimeStruct t{};
        ASSERT_EQ(DX_VOS_GetLocalTime(c.seconds, &t), DX_SUCCESS);
        EXPECT_EQ(std::vector<uint32_t>({t.year, t.month, t.day, t.hour, t.minute, t.second}),
                  std::vector<uint32_t>({c.expected.year, c.expected.month, c.expected.day,
                                         c.expected.hour, c.expected.minute, c.expected.second}))
            << c.seconds;
    }
}

// ---- files ----

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

TEST(VosFiles, FOpenModes) {
    auto dir = MakeTempDir();
    std::string path = (dir / "f.bin").string();
    struct Case {
        const char* mode;
        DxStatus status;
    } cases[] = {
        {"w", DX_SUCCESS},           {"wb", DX_SUCCESS},          {"w+", DX_SUCCESS},
        {"w+b", DX_SUCCESS},         {"r", DX_SUCCESS},           {"rb", DX_SUCCESS},
        {"r+", DX_SUCCESS},          {"r+b", DX_SUCCESS},         {"rt", DX_VOS_FILE_ERROR},
        {"r+t", DX_VOS_FILE_ERROR},  {"a", DX_BAD_ARGUMENTS},     {"rb+", DX_BAD_ARGUMENTS},
        {"r++", DX_BAD_ARGUMENTS},   {"wx", DX_BAD_ARGUMENTS},    {"", DX_BAD_ARGUMENTS},
    };
    for (const Case& c : cases) {
        DxVosFile handle = 99;
        EXPECT_EQ(DX_VOS_FOpen(&handle, path.c_str(), c.mode), c.status) << c.mode;
        if (c.status == DX_SUCCESS) {
            EXPECT_EQ(DX_VOS_FClose(handle), DX_SUCCESS);
        }
        if (c.status == DX_VOS_FILE_ERROR) {
            EXPECT_EQ(handle, 0u);
        }
    }
    DxVosFile handle;
    EXPECT_EQ(DX_VOS_FOpen(&handle, "", "r"), DX_BAD_ARGUMENTS);
    EXPECT_EQ(DX_VOS_FOpen(&handle, std::string(300, 'a').c_str(), "r"), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_EQ(DX_VOS_FOpen(&handle, (dir / "missing").c_str(), "rb"), DX_VOS_FILE_ERROR);
    EXPECT_EQ(DX_VOS_FileOpen(&handle, path.c_str(), 2), DX_VOS_FILE_OPEN_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(DX_VOS_FileOpen(&handle, "", 4), DX_BAD_ARGUMENTS);
    EXPECT_EQ(DX_VOS_FClose(0), DX_SUCCESS);
}

TEST(VosFiles, ReadWriteSeekAndSize) {
    auto dir = MakeTempDir();
    std::string path = (dir / "data.bin").string();
    DxVosFile out = 0;
    ASSERT_EQ(DX_VOS_FileOpen(&out, path.c_str(), DX_FILE_TRUNCATE_READ_WRITE), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_FWrite(out, "0123456789", 10), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_FWrite(out, nullptr, 0), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_FSeekEx(out, 4, SEEK_SET), DX_SUCCESS);
    uint64_t size = 0;
    EXPECT_EQ(DX_VOS_FGetFileSize(out, &size), DX_SUCCESS);
    EXPECT_EQ(size, 10u);
    char got[16] = {0};
    int32_t count = 0;
    EXPECT_EQ(DX_VOS_FReadEx(out, got, 3, &count), DX_SUCCESS);  // the position was kept
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(got, "456");
    EXPECT_EQ(DX_VOS_FReadEx(out, got, 8, nullptr), DX_VOS_FILE_ERROR);  // only 3 left
    EXPECT_EQ(DX_VOS_FReadEx(out, got, 8, &count), DX_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(DX_VOS_FFlush(out), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_FClose(out), DX_SUCCESS);

    DxVosFile in = 0;
    ASSERT_EQ(DX_VOS_FileOpen(&in, path.c_str(), DX_FILE_OPEN_EXISTING), DX_SUCCESS);
    EXPECT_EQ(DX_VOS_FWrite(in, "x", 1), DX_VOS_FILE_ERROR);
    EXPECT_EQ(DX_VOS_FReadEx(in, got, 10, nullptr), DX_SUCCESS);
    DX_VOS_FClose(in);
    EXPECT_EQ(DX_VOS_FGetFileSize(in, &size), DX_VOS_FILE_ERROR);
    EXPECT_EQ(size, 0u);
}

// ---- debug print ----

class VosDebugPrint : public ::testing::Test {
protected:
    void TearDown() override {
        DX_VOS_FClose(DxVosFile(uintptr_t(g_DxDebugFile)));
        g_DxDebugFile = nullptr;
        g_DxErrorStack = nullptr;
        g_DxDebugFileName[0] = '\0';
    }
};

TEST_F(VosDebugPrint, WithoutLogNameNothingIsWrittenOrOpened) {
    auto dir = MakeTempDir();
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    ::testing::internal::CaptureStdout();
    DX_VOS_DebugPrint(15, "src", 12, "fn", 10, "message %d", 5);
    _DX_VOS_MemFree(_DX_VOS_MemMalloc(0));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    EXPECT_EQ(g_DxDebugFile, nullptr);
    EXPECT_FALSE(DX_VOS_IsLogFileOpened());
}

TEST_F(VosDebugPrint, LogFileRecordsAndErrorStack) {
    auto dir = MakeTempDir();
    std::string base = (dir / "trace").string();
    std::snprintf(g_DxDebugFileName, sizeof g_DxDebugFileName, "%s", base.c_str());
    DxErrorStack stack{};
    g_DxErrorStack = &stack;

    DX_VOS_DebugPrint(15, "src", 12, "fn", 10, "message %d", 5);
    uint8_t small[2];
    const uint8_t src[4] = {};
    EXPECT_EQ(DX_VOS_MemCpy(small, 2, src, 4), DX_BUFFER_IS_NOT_BIG_ENOUGH);
    EXPECT_EQ(stack.count, 1u);
    DX_VOS_DebugPrint(2, "other", 0, "g", 20, "second");
    DX_VOS_DbgPrint_DebugLevel = 20;
    DX_VOS_DebugPrint(2, "other", 0, "g", 21, "above the level");
    DX_VOS_DbgPrint_DebugLevel = 0xFFFFFFFF;
    EXPECT_EQ(stack.count, 0u);

    std::string log = ReadAll(base + "_0.DxLog");
    EXPECT_EQ(log,
              "Module\tLevel\tTick Count\tFile\tLine\tFunction\tDate\tTime\tMessage"
              "\r\n0000000F\t10\t0\tsrc\t12\tfn\t01.01.1970\t00:00:00\tmessage 5"
              "\r\n80000000\t10\t0\tSepMW/VOS6/IFLayer/dx_vos_mem\t112\tDX_VOS_MemCpy\t01.01.1970\t00:00:00\t"
              "Error: 0x02000003(result)"
              "\r\n00000002\t20\t0\tother\t\tg\t01.01.1970\t00:00:00\tsecond");
}

// With standard input closed the log file gets descriptor 0; it is still opened once.
TEST_F(VosDebugPrint, LogFileOnDescriptorZeroIsOpenedOnce) {
    auto dir = MakeTempDir();
    std::string base = (dir / "trace").string();
    std::snprintf(g_DxDebugFileName, sizeof g_DxDebugFileName, "%s", base.c_str());
    DX_VOS_DbgPrint_ShouldPrintFileName = DX_VOS_DbgPrint_ShouldPrintLineNum = DX_VOS_DbgPrint_ShouldPrintFuncName = 0;
    long before = 0, after = 0;
    {
        septest::StandardInputClosed closed;
        before = septest::OpenDescriptorCount();
        DX_VOS_DebugPrint(15, "src", 12, "fn", 10, "first");
        DX_VOS_DebugPrint(15, "src", 12, "fn", 10, "second");
        after = septest::OpenDescriptorCount();
    }
    DX_VOS_DbgPrint_ShouldPrintFileName = DX_VOS_DbgPrint_ShouldPrintLineNum = DX_VOS_DbgPrint_ShouldPrintFuncName = 1;
    EXPECT_EQ(after, before + 1);
    EXPECT_EQ(ReadAll(base + "_0.DxLog"),
              "Module\tLevel\tTick Count\tDate\tTime\tMessage"
              "\r\n0000000F\t10\t0\t01.01.1970\t00:00:00\tfirst"
              "\r\n0000000F\t10\t0\t01.01.1970\t00:00:00\tsecond");
}

}  // namespace
