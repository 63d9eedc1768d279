#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <ctime>
#include <vector>

#include "Text.h"
#include "ZipEntryInfo.h"

using namespace RYL;

namespace {

FileTime Unix(int32_t t) { return UnixTimeToFileTime(t); }

std::vector<unsigned char> UtBlock(unsigned flags, std::vector<int32_t> times, int declared = -1)
{
    std::vector<unsigned char> b = {'U', 'T', 0, 0, static_cast<unsigned char>(flags)};
    for (int32_t t : times) {
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(uint32_t(t) >> (8 * i)));
    }
    size_t size = declared >= 0 ? size_t(declared) : b.size() - 4;
    b[2] = static_cast<unsigned char>(size);
    b[3] = static_cast<unsigned char>(size >> 8);
    return b;
}

// An Info-ZIP Unicode Path block: version, CRC-32 of the raw name, the UTF-8 name.
std::string UnicodePathBlock(unsigned version, uint32_t crc, const std::string& utf8)
{
    std::string data = std::string(1, char(version));
    for (int i = 0; i < 4; ++i) data += char(crc >> (8 * i));
    data += utf8;
    return std::string("\x75\x70", 2) + char(data.size()) + char(data.size() >> 8) + data;
}

}  // namespace

TEST(ZipEntryName, DecodedByFlagUnicodePathOrCodePage437)
{
    const std::string cp437 = "\x8eu.txt";  // A-umlaut in code page 437
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(cp437.data()), uInt(cp437.size())));
    struct Case {
        const char* label;
        std::string raw;
        unsigned flags;
        std::string extra;
        std::wstring name;
    } cases[] = {
        {"UTF-8 flag", "\xc3\xa4" "bc.txt", 0x800, "", L"\u00e4bc.txt"},
        {"code page 437", "\x84" "bc.txt", 0, "", L"\u00e4bc.txt"},
        {"UTF-8 bytes without the flag", "\xc3\xa4.txt", 0, "", L"\u251c\u00f1.txt"},
        {"ASCII", "plain/a.txt", 0, "", L"plain/a.txt"},
        {"Unicode Path block", cp437, 0, UnicodePathBlock(1, crc, "\xe2\x82\xacu.txt"), L"\u20acu.txt"},
        {"after another block", cp437, 0, std::string("UT\x01\x00\x00", 5) + UnicodePathBlock(1, crc, "\xe2\x82\xacu.txt"),
         L"\u20acu.txt"},
        {"Unicode Path of another name", cp437, 0, UnicodePathBlock(1, crc + 1, "\xe2\x82\xacu.txt"), L"\u00c4u.txt"},
        {"Unicode Path of another version", cp437, 0, UnicodePathBlock(2, crc, "\xe2\x82\xacu.txt"), L"\u00c4u.txt"},
        {"Unicode Path cut short", cp437, 0, UnicodePathBlock(1, crc, "\xe2\x82\xacu.txt").substr(0, 8), L"\u00c4u.txt"},
    };
    for (const Case& c : cases) {
        const auto* extra = reinterpret_cast<const unsigned char*>(c.extra.data());
        EXPECT_EQ(DecodeEntryName(c.raw.data(), c.raw.size(), c.flags, c.extra.empty() ? nullptr : extra, c.extra.size()),
                  c.name)
            << c.label;
    }
}

TEST(ZipEntryName, StripsPrefixesAndInnerParents)
{
    struct Case { const wchar_t* raw; const wchar_t* name; };
    const Case cases[] = {
        {L"C:\\dir\\a.txt", L"dir/a.txt"},
        {L"\\\\dir\\a.txt", L"dir/a.txt"},
        {L"/dir/a.txt", L"dir/a.txt"},
        {L"x/../y/z.bin", L"y/z.bin"},
        {L"a\\..\\b/../c", L"c"},
        {L"C:/D:\\//e.txt", L"e.txt"},
        {L"plain.txt", L"plain.txt"},
        {L"dir/", L"dir/"},
        {L"a..b/..c/d..", L"a..b/..c/d.."},
        {L"", L""},
        // One spelling for every name of a file: empty and "." parts dropped.
        {L"./a/./b", L"a/b"},
        {L"a//b.txt", L"a/b.txt"},
        {L"a/./b.txt", L"a/b.txt"},
        {L"./a/b.txt", L"a/b.txt"},
        {L"a\\.\\b.txt", L"a/b.txt"},
        {L"a/b/.", L"a/b/"},
        {L"dir//", L"dir/"},
        {L"./", L""},
        {L".", L""},
        {L".x/x./...", L".x/x./..."},
        {L"x/../y//./z", L"y/z"},
        {L"./../x", L"x"},
    };
    for (const Case& c : cases) {
        std::wstring name = L"untouched";
        EXPECT_TRUE(MakeSafeEntryName(c.raw, name)) << c.raw;
        EXPECT_EQ(name, c.name) << c.raw;
    }
}

TEST(ZipEntryName, RefusesNamesThatLeaveTheDirectory)
{
    using namespace std::string_literals;
    for (const std::wstring& raw : {L"../evil.txt"s, L"..\\evil.txt"s, L"dir/../../evil.txt"s, L"ok/.."s, L".."s,
                                    L"/../x"s, L"C:..\\x"s, L"a/b/.."s, L"a/./../../x"s,
                                    // A NUL would end the name early, or hide a ".." part.
                                    L"a\0x"s, L"x/..\0y"s, L"\0"s, L"ok.txt\0"s,
                                    // A drive that only shows once "." parts are gone.
                                    L"./C:/x.txt"s, L".//D:x"s}) {
        std::wstring name = L"untouched";
        EXPECT_FALSE(MakeSafeEntryName(raw, name)) << plat::NarrowFromWide(raw);
        EXPECT_EQ(name, L"untouched");
    }
}

TEST(ZipEntryName, RawNameWithNulIsRefusedWhateverTheExtraFieldSays)
{
    const std::string raw("a\0x.txt", 7);
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(raw.data()), uInt(raw.size())));
    const std::string block = UnicodePathBlock(1, crc, "ax.txt");
    const auto* extra = reinterpret_cast<const unsigned char*>(block.data());
    std::wstring name = L"untouched";
    EXPECT_FALSE(EntryExtractionName(raw.data(), raw.size(), 0, extra, block.size(), name));
    EXPECT_FALSE(EntryExtractionName(raw.data(), raw.size(), 0x800, nullptr, 0, name));
    EXPECT_EQ(name, L"untouched");
    EXPECT_TRUE(EntryExtractionName("a//x.txt", 8, 0, nullptr, 0, name));
    EXPECT_EQ(name, L"a/x.txt");
    // The extra field's name is made safe like any other.
    const std::string plain = "ax.txt";
    const std::string parent = UnicodePathBlock(
        1, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(plain.data()), uInt(plain.size()))), "../ax.txt");
    EXPECT_FALSE(EntryExtractionName(plain.data(), plain.size(), 0,
                                     reinterpret_cast<const unsigned char*>(parent.data()), parent.size(), name));
}

TEST(ZipEntryAttributes, FromHostAndExternalAttributes)
{
    struct Case { uint32_t external; int host; uint32_t attributes; };
    const Case cases[] = {
        {0x41ED0000, 3, 0x30},   // Unix directory, owner-writable
        {0x81A40000, 3, 0x20},   // Unix file
        {0x81240000, 3, 0x21},   // Unix file without owner write
        {0x00000027, 0, 0x27},   // FAT: read-only, hidden, system, archive
        {0x00000010, 0, 0x10},   // FAT directory
        {0x40000010, 0, 0x10},   // FAT bit 30 does not count
        {0x00000020, 11, 0x20},  // NTFS
        {0x00000001, 14, 0x01},  // VFAT
        {0x00000004, 7, 0x04},   // Macintosh (old)
        {0x81A40000, 19, 0x20},  // OS X: like Unix
        {0x00000000, 3, 0x21},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AttributesFromZip(c.external, c.host), c.attributes)
            << std::hex << c.external << " host " << std::dec << c.host;
    }
    EXPECT_EQ(ModeFromAttributes(0x21), 0444u);
    EXPECT_EQ(ModeFromAttributes(0x20), 0644u);
    EXPECT_EQ(ModeFromAttributes(0x30), 0755u);
}

TEST(ZipEntryTimes, DosTimeIsLocalAndUnixTimeIsUtc)
{
    EXPECT_EQ(UnixTimeToFileTime(0), 116444736000000000ULL);
    EXPECT_EQ(UnixTimeToFileTime(-1), 116444736000000000ULL - 10000000ULL);

    // 2020-05-17 13:45:30 local time.
    uint16_t date = ((2020 - 1980) << 9) | (5 << 5) | 17;
    uint16_t time = (13 << 11) | (45 << 5) | 15;
    std::tm tm{};
    tm.tm_year = 120;
    tm.tm_mon = 4;
    tm.tm_mday = 17;
    tm.tm_hour = 13;
    tm.tm_min = 45;
    tm.tm_sec = 30;
    tm.tm_isdst = -1;
    EXPECT_EQ(ZipDosTimeToFileTime(date, time), UnixTimeToFileTime(int32_t(std::mktime(&tm))));

    int64_t s;
    long ns;
    FileTimeToUnix(UnixTimeToFileTime(1000000000) + 5, s, ns);
    EXPECT_EQ(s, 1000000000);
    EXPECT_EQ(ns, 500);
    FileTimeToUnix(UnixTimeToFileTime(-2) + 3, s, ns);
    EXPECT_EQ(s, -2);
    EXPECT_EQ(ns, 300);
}

TEST(ZipEntryTimes, ExtendedTimestampBlock)
{
    const FileTime dos = 42;
    std::vector<unsigned char> other = {0xFE, 0xCA, 0x2C, 0x01};  // 300 data bytes
    other.resize(4 + 300);
    struct Case {
        const char* what;
        std::vector<unsigned char> extra;
        FileTime lastWrite, lastAccess, creation;
    };
    auto join = [](std::vector<unsigned char> a, const std::vector<unsigned char>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const Case cases[] = {
        {"modification only", UtBlock(1, {1000}), Unix(1000), dos, dos},
        {"all three", UtBlock(7, {1, 2, 3}), Unix(1), Unix(2), Unix(3)},
        {"access and creation", UtBlock(6, {2, 3}), dos, Unix(2), Unix(3)},
        {"after a long block", join(other, UtBlock(1, {77})), Unix(77), dos, dos},
        {"first UT block wins", join(UtBlock(1, {5}), UtBlock(1, {6})), Unix(5), dos, dos},
        {"flags promise more than the block holds", UtBlock(7, {9}), Unix(9), dos, dos},
        {"block runs past the field", UtBlock(1, {9}, 200), Unix(9), dos, dos},
        {"empty UT block", UtBlock(1, {}, 0), dos, dos, dos},
        {"no UT block", other, dos, dos, dos},
        {"too short to hold a block", {'U', 'T', 1, 0}, dos, dos, dos},
    };
    for (const Case& c : cases) {
        EntryTimes t{dos, dos, dos};
        ApplyExtendedTimestamp(c.extra.data(), c.extra.size(), t);
        EXPECT_EQ(t.lastWrite, c.lastWrite) << c.what;
        EXPECT_EQ(t.lastAccess, c.lastAccess) << c.what;
        EXPECT_EQ(t.creation, c.creation) << c.what;
    }
}
