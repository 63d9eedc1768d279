#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "ZipArchive.h"
#include "ZipTestSupport.h"

using namespace RYL;
using namespace ziptest;

namespace {

struct ArchiveCloser {
    void operator()(ArchiveHandle* h) const { CloseArchive(h); }
};
using Archive = std::unique_ptr<ArchiveHandle, ArchiveCloser>;

Archive Open(const fs::path& zip, const char* password = nullptr)
{
    return Archive(OpenArchive(W(zip.string()).c_str(), password));
}

int Count(ArchiveHandle* h)
{
    ArchiveItem item;
    EXPECT_EQ(GetArchiveItem(h, -1, &item), ARC_OK);
    return item.index;
}

int IndexOf(ArchiveHandle* h, const std::wstring& name)
{
    ArchiveItem item;
    for (int i = 0; i < Count(h); ++i) {
        if (GetArchiveItem(h, i, &item) == ARC_OK && name == item.name) return i;
    }
    return -1;
}

// Extracts every entry in the station's order; the first failure ends it.
ArchiveResult ExtractAll(const fs::path& zip, const fs::path& dest, const char* password = nullptr)
{
    Archive a = Open(zip, password);
    if (!a) return ARC_CANNOT_OPEN;
    ArchiveResult r = SetExtractDir(a.get(), W(dest.string()).c_str());
    for (int i = 0, n = Count(a.get()); r == ARC_OK && i < n; ++i) {
        ArchiveItem item;
        r = GetArchiveItem(a.get(), i, &item);
        if (r == ARC_OK) r = ExtractItem(a.get(), i, item.name);
    }
    return r;
}

int64_t MtimeOf(const fs::path& p)
{
    struct stat st;
    EXPECT_EQ(stat(p.c_str(), &st), 0) << p;
    return int64_t(st.st_mtime);
}

class ZipArchive : public TempDirTest {};

}  // namespace

TEST_F(ZipArchive, OpenFailsWithoutCode)
{
    EXPECT_FALSE(Open(dir_ / "missing.zip"));
    EXPECT_FALSE(Open(Crafted("notazip.zip")));
    EXPECT_FALSE(Open(dir_));
    EXPECT_FALSE(OpenArchiveFrom(Kept("tree.zip").c_str(), 0, 4, nullptr));
    EXPECT_FALSE(OpenArchiveFrom(nullptr, 0, ARC_KIND_FILE_NAME, nullptr));

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_FALSE(OpenArchiveFrom(&fds[0], 0, ARC_KIND_HANDLE, nullptr));  // cannot seek
    close(fds[0]);
    close(fds[1]);
}

TEST_F(ZipArchive, RefusesNullAndForeignHandles)
{
    ArchiveItem item;
    EXPECT_EQ(SetExtractDir(nullptr, L"/tmp"), ARC_BAD_ARGUMENT);
    EXPECT_EQ(GetArchiveItem(nullptr, -1, &item), ARC_BAD_ARGUMENT);
    EXPECT_EQ(ExtractItem(nullptr, 0, L"x"), ARC_BAD_ARGUMENT);
    EXPECT_EQ(CloseArchive(nullptr), ARC_BAD_ARGUMENT);

    ArchiveHandle foreign{2, nullptr};
    EXPECT_EQ(SetExtractDir(&foreign, L"/tmp"), ARC_WRONG_HANDLE);
    EXPECT_EQ(GetArchiveItem(&foreign, -1, &item), ARC_WRONG_HANDLE);
    EXPECT_EQ(ExtractItemTo(&foreign, 0, L"x", 0, ARC_KIND_FILE_NAME), ARC_WRONG_HANDLE);
    EXPECT_EQ(CloseArchive(&foreign), ARC_WRONG_HANDLE);
    EXPECT_EQ(foreign.kind, 2);
}

TEST_F(ZipArchive, CountsEntriesAndChecksIndexes)
{
    Archive empty = Open(Crafted("noentries.zip"));
    ASSERT_TRUE(empty);
    ArchiveItem item;
    item.index = 99;
    EXPECT_EQ(GetArchiveItem(empty.get(), -1, &item), ARC_OK);
    EXPECT_EQ(item.index, 0);
    EXPECT_EQ(GetArchiveItem(empty.get(), 0, &item), ARC_BAD_ARGUMENT);

    Archive a = Open(Kept("tree.zip"));
    ASSERT_TRUE(a);
    EXPECT_EQ(Count(a.get()), 10);
    EXPECT_EQ(GetArchiveItem(a.get(), 10, &item), ARC_BAD_ARGUMENT);
    EXPECT_EQ(GetArchiveItem(a.get(), -2, &item), ARC_BAD_ARGUMENT);
    EXPECT_EQ(ExtractItem(a.get(), 10, L"x"), ARC_BAD_ARGUMENT);
    EXPECT_EQ(ExtractItemTo(a.get(), 0, L"x", 0, 7), ARC_BAD_ARGUMENT);
    // Backwards and forwards through the entries.
    EXPECT_EQ(GetArchiveItem(a.get(), 9, &item), ARC_OK);
    EXPECT_STREQ(item.name, L"tree/sub/deep/random.img");
    EXPECT_EQ(GetArchiveItem(a.get(), 4, &item), ARC_OK);
    EXPECT_STREQ(item.name, L"tree/hello.txt");
    EXPECT_EQ(item.uncompressedSize, 20);
}

TEST_F(ZipArchive, MakesNamesSafeAndRefusesTheRest)
{
    Archive a = Open(Crafted("names.zip"));
    ASSERT_TRUE(a);
    const wchar_t* expected[] = {L"dir/a.txt", L"dir/b.txt", L"abs/c.txt", L"y/z.bin", L"c",
                                 nullptr, nullptr, nullptr, nullptr, nullptr /* 259 n */, nullptr,
                                 L"\u00e4\u00f6/\u20ac.txt"};
    std::wstring n259(259, L'n');
    expected[9] = n259.c_str();
    ASSERT_EQ(Count(a.get()), 12);
    for (int i = 0; i < 12; ++i) {
        ArchiveItem item;
        ArchiveResult r = GetArchiveItem(a.get(), i, &item);
        if (expected[i]) {
            EXPECT_EQ(r, ARC_OK) << i;
            EXPECT_STREQ(item.name, expected[i]) << i;
        } else {
            EXPECT_EQ(r, ARC_BAD_ARCHIVE) << i;
            EXPECT_EQ(ExtractItem(a.get(), i, L"anything"), ARC_BAD_ARCHIVE) << i;
        }
    }
}

TEST_F(ZipArchive, NamesWithoutUtf8FlagAreCodePage437)
{
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    ASSERT_EQ(ExtractAll(Crafted("cp437.zip"), dest), ARC_OK);
    EXPECT_EQ(ReadFile(dest / "\u00e4bc.txt"), "a");
    EXPECT_EQ(ReadFile(dest / "\u00f6bc.txt"), "o");
    EXPECT_EQ(ReadFile(dest / "\u00fcbc.txt"), "u");
}

TEST_F(ZipArchive, TwoEntriesNeverLandOnOneFile)
{
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        fs::path dest = dir_ / ("out" + std::to_string(i));
        fs::create_directories(dest);
        EXPECT_EQ(ExtractAll(Crafted("collide" + std::to_string(i) + ".zip"), dest), ARC_BAD_ARCHIVE);
        Archive a = Open(Crafted("collide" + std::to_string(i) + ".zip"));
        ArchiveItem item;
        EXPECT_EQ(GetArchiveItem(a.get(), 0, &item), ARC_OK);
        EXPECT_EQ(GetArchiveItem(a.get(), 1, &item), ARC_BAD_ARCHIVE);
        EXPECT_EQ(GetArchiveItem(a.get(), 0, &item), ARC_OK);  // the first keeps its name
    }
    EXPECT_EQ(ReadFile(dir_ / "out0" / "same.txt"), "first");
}

TEST_F(ZipArchive, NothingLandsOutsideTheDirectory)
{
    for (int i = 0; i < 3; ++i) {
        fs::path dest = dir_ / ("out" + std::to_string(i)) / "inner";
        fs::create_directories(dest);
        EXPECT_EQ(ExtractAll(Crafted("escape" + std::to_string(i) + ".zip"), dest), ARC_BAD_ARCHIVE);
        EXPECT_EQ(ReadFile(dest / "fine.txt"), "fine");
        EXPECT_FALSE(fs::exists(dest.parent_path() / "escape.txt"));
        EXPECT_FALSE(fs::exists(dir_ / "escape.txt"));
    }
}

TEST_F(ZipArchive, ExtractsLikeUnzip)
{
    for (const char* name : {"tree.zip", "tree_x.zip"}) {
        fs::path ours = dir_ / (std::string(name) + ".ours"), ref = dir_ / (std::string(name) + ".ref");
        fs::create_directories(ours);
        ASSERT_EQ(ExtractAll(Kept(name), ours), ARC_OK) << name;
        ASSERT_EQ(Shell("unzip -q -d " + Quote(ref) + " " + Quote(Kept(name))), 0);
        EXPECT_EQ(Shell("diff -r " + Quote(ref) + " " + Quote(ours)), 0) << name;
        for (const char* file : {"tree/hello.txt", "tree/sub/text.txt", "tree/empty.txt", "tree/.hidden"}) {
            EXPECT_EQ(MtimeOf(ours / file), MtimeOf(ref / file)) << name << " " << file;
        }
        EXPECT_EQ(fs::status(ours / "tree/readonly.txt").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        EXPECT_TRUE(fs::is_directory(ours / "tree/emptydir"));
        // Extracting again replaces the files, except the read-only one.
        Archive a = Open(Kept(name));
        ASSERT_TRUE(a);
        SetExtractDir(a.get(), W(ours.string()).c_str());
        EXPECT_EQ(ExtractItem(a.get(), IndexOf(a.get(), L"tree/hello.txt"), L"tree/hello.txt"), ARC_OK);
        EXPECT_EQ(ExtractItem(a.get(), IndexOf(a.get(), L"tree/readonly.txt"), L"tree/readonly.txt"),
                  ARC_CANNOT_OPEN);
    }
}

TEST_F(ZipArchive, TraditionalEncryption)
{
    fs::path ref = dir_ / "ref";
    ASSERT_EQ(Shell("unzip -q -P secret -d " + Quote(ref) + " " + Quote(Kept("password.zip"))), 0);
    fs::path ours = dir_ / "ours";
    fs::create_directories(ours);
    ASSERT_EQ(ExtractAll(Kept("password.zip"), ours, "secret"), ARC_OK);
    EXPECT_EQ(Shell("diff -r " + Quote(ref) + " " + Quote(ours)), 0);

    // Written to a pipe, so with data descriptors: the check byte comes from the time.
    fs::path stream = dir_ / "stream";
    fs::create_directories(stream);
    ASSERT_EQ(ExtractAll(Kept("password_stream.zip"), stream, "secret"), ARC_OK);
    EXPECT_EQ(ReadFile(stream / "hello.txt"), ReadFile(ref / "tree/hello.txt"));
    EXPECT_EQ(ReadFile(stream / "sub/text.txt"), ReadFile(ref / "tree/sub/text.txt"));

    for (const char* password : {"wrong", "", static_cast<const char*>(nullptr)}) {
        Archive a = Open(Kept("password.zip"), password);
        ASSERT_TRUE(a);
        fs::path dest = dir_ / "bad";
        fs::create_directories(dest);
        SetExtractDir(a.get(), W(dest.string()).c_str());
        int hello = IndexOf(a.get(), L"tree/hello.txt");
        EXPECT_EQ(ExtractItem(a.get(), hello, L"hello.txt"), ARC_BAD_PASSWORD);
        EXPECT_EQ(ExtractItem(a.get(), IndexOf(a.get(), L"tree/sub/"), L"sub/"), ARC_OK);
        char block[64];
        EXPECT_EQ(ExtractItemTo(a.get(), hello, block, sizeof block, ARC_KIND_MEMORY), ARC_BAD_PASSWORD);
    }
}

TEST_F(ZipArchive, WrongChecksumOrSizeIsAnError)
{
    for (const char* name : {"badcrc_stored.zip", "badcrc_deflated.zip"}) {
        fs::path dest = dir_ / name;
        fs::create_directories(dest);
        Archive a = Open(Crafted(name));
        ASSERT_TRUE(a);
        SetExtractDir(a.get(), W(dest.string()).c_str());
        EXPECT_EQ(ExtractItem(a.get(), 0, L"good.txt"), ARC_OK);
        EXPECT_EQ(ExtractItem(a.get(), 1, L"bad.txt"), ARC_INFLATE_ERROR) << name;
        std::vector<char> block(4096);
        EXPECT_EQ(ExtractItemTo(a.get(), 1, block.data(), block.size(), ARC_KIND_MEMORY), ARC_INFLATE_ERROR);
    }
    fs::path dest = dir_ / "size";
    fs::create_directories(dest);
    EXPECT_EQ(ExtractAll(Crafted("badsize.zip"), dest), ARC_INFLATE_ERROR);

    // An entry of many blocks, whose CRC-32 is computed beside the writing: one bit off in both
    // headers' CRC field.
    std::string big(5 * 1024 * 1024 + 17, '\0');
    for (size_t k = 0; k < big.size(); ++k) big[k] = char(k * 2654435761u >> 11);
    std::string zip = StoredZip({{"big.bin", big}});
    zip[14] ^= 0x10;
    zip[zip.find("PK\x01\x02") + 16] ^= 0x10;
    WriteFile(dir_ / "bigcrc.zip", zip);
    Archive a = Open(dir_ / "bigcrc.zip");
    ASSERT_TRUE(a);
    SetExtractDir(a.get(), W(dest.string()).c_str());
    EXPECT_EQ(ExtractItem(a.get(), 0, L"big.bin"), ARC_INFLATE_ERROR);
    int devNull = open("/dev/null", O_WRONLY);
    ASSERT_GE(devNull, 0);
    EXPECT_EQ(ExtractItemTo(a.get(), 0, &devNull, 0, ARC_KIND_HANDLE), ARC_INFLATE_ERROR);
    close(devNull);
    std::vector<char> block(1 << 20);
    ArchiveResult r = ARC_MORE_DATA;
    while (r == ARC_MORE_DATA) r = ExtractItemTo(a.get(), 0, block.data(), block.size(), ARC_KIND_MEMORY);
    EXPECT_EQ(r, ARC_INFLATE_ERROR);
}

TEST_F(ZipArchive, AttributesAndModes)
{
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    ASSERT_EQ(ExtractAll(Crafted("attrs.zip"), dest), ARC_OK);
    Archive a = Open(Crafted("attrs.zip"));
    ASSERT_TRUE(a);
    const std::map<std::wstring, uint32_t> expected = {
        {L"unixdir/", 0x30}, {L"unix.txt", 0x20}, {L"unixro.txt", 0x21}, {L"dosall.txt", 0x27},
        {L"dosdir/", 0x10},  {L"ntfs.txt", 0x20}, {L"mac.txt", 0x20}};
    for (int i = 0; i < Count(a.get()); ++i) {
        ArchiveItem item;
        ASSERT_EQ(GetArchiveItem(a.get(), i, &item), ARC_OK);
        EXPECT_EQ(item.attributes, expected.at(item.name)) << i;
    }
    EXPECT_TRUE(fs::is_directory(dest / "unixdir"));
    EXPECT_TRUE(fs::is_directory(dest / "dosdir"));
    auto perms = [&](const char* f) { return fs::status(dest / f).permissions() & fs::perms::all; };
    const auto ro = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    EXPECT_EQ(perms("unixro.txt"), ro);
    EXPECT_EQ(perms("dosall.txt"), ro);
    EXPECT_EQ(perms("unix.txt"), ro | fs::perms::owner_write);
}

TEST_F(ZipArchive, TimesFromDosFieldAndExtendedTimestamp)
{
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    ASSERT_EQ(ExtractAll(Crafted("times.zip"), dest), ARC_OK);
    Archive a = Open(Crafted("times.zip"));
    ASSERT_TRUE(a);
    ArchiveItem plain;
    ASSERT_EQ(GetArchiveItem(a.get(), 4, &plain), ARC_OK);
    const FileTime dos = plain.lastWrite;
    EXPECT_EQ(plain.lastAccess, dos);
    EXPECT_EQ(plain.creation, dos);
    struct Case { const wchar_t* name; FileTime lastWrite, lastAccess, creation; };
    const Case cases[] = {
        {L"mtime.txt", UnixTimeToFileTime(1000000000), dos, dos},
        {L"all.txt", UnixTimeToFileTime(1000000000), UnixTimeToFileTime(1100000000), UnixTimeToFileTime(900000000)},
        {L"after.txt", UnixTimeToFileTime(1200000000), dos, dos},
        {L"short.txt", UnixTimeToFileTime(1300000000), dos, dos},
    };
    for (int i = 0; i < 4; ++i) {
        ArchiveItem item;
        ASSERT_EQ(GetArchiveItem(a.get(), i, &item), ARC_OK);
        EXPECT_STREQ(item.name, cases[i].name);
        EXPECT_EQ(item.lastWrite, cases[i].lastWrite) << i;
        EXPECT_EQ(item.lastAccess, cases[i].lastAccess) << i;
        EXPECT_EQ(item.creation, cases[i].creation) << i;
    }
    struct stat st;
    ASSERT_EQ(stat((dest / "all.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_atime, 1100000000);
    ASSERT_EQ(stat((dest / "mtime.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    // DOS time 2020-05-17 13:45:30 local, as unzip reads it.
    fs::path ref = dir_ / "ref";
    ASSERT_EQ(Shell("unzip -q -d " + Quote(ref) + " " + Quote(Crafted("times.zip")) + " plain.txt"), 0);
    EXPECT_EQ(MtimeOf(dest / "plain.txt"), MtimeOf(ref / "plain.txt"));
}

TEST_F(ZipArchive, StreamsThroughMemoryTargets)
{
    Archive a = Open(Crafted("sizes.zip"));
    ASSERT_TRUE(a);
    std::string stored = ReadFile(dir_ / "none");
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    SetExtractDir(a.get(), W(dest.string()).c_str());
    ASSERT_EQ(ExtractItem(a.get(), 0, L"stored40000.bin"), ARC_OK);
    const std::string all = ReadFile(dest / "stored40000.bin");
    ASSERT_EQ(all.size(), 40000u);
    EXPECT_EQ(MtimeOf(dest / "stored40000.bin"), 0 + MtimeOf(dest / "stored40000.bin"));

    std::vector<char> block(16384, 'x');
    EXPECT_EQ(ExtractItemTo(a.get(), 1, block.data(), block.size(), ARC_KIND_MEMORY), ARC_MORE_DATA);
    EXPECT_EQ(std::string(block.data(), block.size()), all.substr(0, 16384));
    EXPECT_EQ(ExtractItemTo(a.get(), 1, block.data(), block.size(), ARC_KIND_MEMORY), ARC_OK);
    EXPECT_EQ(std::string(block.data(), 3616), all.substr(16384, 3616));

    EXPECT_EQ(ExtractItemTo(a.get(), 2, block.data(), block.size(), ARC_KIND_MEMORY), ARC_OK);
    EXPECT_EQ(std::string(block.data(), block.size()), all.substr(0, 16384));
    EXPECT_EQ(ExtractItemTo(a.get(), 3, block.data(), block.size(), ARC_KIND_MEMORY), ARC_OK);
    EXPECT_EQ(ExtractItemTo(a.get(), 3, block.data(), 0, ARC_KIND_MEMORY), ARC_BAD_ARGUMENT);

    // Another entry in between starts the first one over.
    EXPECT_EQ(ExtractItemTo(a.get(), 1, block.data(), block.size(), ARC_KIND_MEMORY), ARC_MORE_DATA);
    EXPECT_EQ(ExtractItemTo(a.get(), 2, block.data(), 100, ARC_KIND_MEMORY), ARC_MORE_DATA);
    EXPECT_EQ(ExtractItemTo(a.get(), 1, block.data(), block.size(), ARC_KIND_MEMORY), ARC_MORE_DATA);
    EXPECT_EQ(std::string(block.data(), block.size()), all.substr(0, 16384));
}

TEST_F(ZipArchive, SourcesAndTargetsOfEveryKind)
{
    const std::string zip = ReadFile(Kept("tree.zip"));
    const std::string hello = "hello from the tree\n";

    Archive fromMemory(OpenArchiveFrom(zip.data(), zip.size(), ARC_KIND_MEMORY, nullptr));
    ASSERT_TRUE(fromMemory);
    EXPECT_EQ(Count(fromMemory.get()), 10);

    // A handle that stands after a prefix: positions count from there.
    fs::path prefixed = dir_ / "prefixed.bin";
    WriteFile(prefixed, std::string(100, '#') + zip);
    int fd = open(prefixed.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 100, SEEK_SET), 100);
    Archive fromHandle(OpenArchiveFrom(&fd, 0, ARC_KIND_HANDLE, nullptr));
    ASSERT_TRUE(fromHandle);

    for (ArchiveHandle* h : {fromMemory.get(), fromHandle.get()}) {
        int index = IndexOf(h, L"tree/hello.txt");
        fs::path out = dir_ / "target.txt";
        int target = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(target, 0);
        EXPECT_EQ(ExtractItemTo(h, index, &target, 0, ARC_KIND_HANDLE), ARC_OK);
        EXPECT_EQ(fcntl(target, F_GETFD), 0) << "the caller's handle stays open";
        close(target);
        EXPECT_EQ(ReadFile(out), hello);
        int closed = target;
        EXPECT_EQ(ExtractItemTo(h, index, &closed, 0, ARC_KIND_HANDLE), ARC_CANNOT_OPEN);
    }
    fromHandle.reset();
    close(fd);
}

TEST_F(ZipArchive, DirectoryTargetsAndBaseDirectory)
{
    Archive a = Open(Kept("tree.zip"));
    ASSERT_TRUE(a);
    int sub = IndexOf(a.get(), L"tree/sub/");
    int hello = IndexOf(a.get(), L"tree/hello.txt");
    fs::path base = dir_ / "base";  // not there yet: the first level is made too
    EXPECT_EQ(SetExtractDir(a.get(), W(base.string()).c_str()), ARC_OK);
    EXPECT_EQ(ExtractItem(a.get(), sub, L"one/two/three/"), ARC_OK);
    EXPECT_TRUE(fs::is_directory(base / "one/two/three"));
    EXPECT_EQ(ExtractItem(a.get(), hello, L"four\\five\\hello.txt"), ARC_OK);
    EXPECT_EQ(ReadFile(base / "four/five/hello.txt"), "hello from the tree\n");

    fs::path absolute = dir_ / "elsewhere" / "deep";
    EXPECT_EQ(ExtractItem(a.get(), sub, W(absolute.string()).c_str()), ARC_OK);
    EXPECT_TRUE(fs::is_directory(absolute));
    EXPECT_EQ(ExtractItem(a.get(), hello, W((absolute / "h.txt").string()).c_str()), ARC_OK);
    EXPECT_TRUE(fs::exists(absolute / "h.txt"));

    // With and without a trailing separator the same place.
    EXPECT_EQ(SetExtractDir(a.get(), W(base.string() + "/").c_str()), ARC_OK);
    EXPECT_EQ(ExtractItem(a.get(), hello, L"again.txt"), ARC_OK);
    EXPECT_TRUE(fs::exists(base / "again.txt"));
    EXPECT_EQ(SetExtractDir(a.get(), L""), ARC_BAD_ARGUMENT);
    EXPECT_EQ(SetExtractDir(a.get(), nullptr), ARC_BAD_ARGUMENT);

    // An existing symbolic link is not written through.
    fs::path outside = dir_ / "outside.txt";
    WriteFile(outside, "keep");
    fs::create_symlink(outside, base / "link.txt");
    EXPECT_EQ(ExtractItem(a.get(), hello, L"link.txt"), ARC_CANNOT_OPEN);
    EXPECT_EQ(ReadFile(outside), "keep");
}

TEST_F(ZipArchive, Zip64Headers)
{
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    ASSERT_EQ(ExtractAll(Crafted("zip64.zip"), dest), ARC_OK);
    EXPECT_EQ(ReadFile(dest / "one.txt"), "first zip64 entry\n");
    EXPECT_EQ(fs::file_size(dest / "two.bin"), 256u * 64);
}

// A sparse archive whose entries lie beyond 4 GiB, one of them larger than 4 GiB.
TEST_F(ZipArchive, Zip64BeyondFourGigabytes)
{
    fs::path zip = dir_ / "huge.zip";
    ASSERT_EQ(Shell("/usr/bin/python3 " ZELK_FIXTURES_DIR "/zip/make_crafted.py --huge " + Quote(zip)), 0);
    Archive a = Open(zip);
    ASSERT_TRUE(a);
    ASSERT_EQ(Count(a.get()), 2);
    ArchiveItem item;
    ASSERT_EQ(GetArchiveItem(a.get(), 1, &item), ARC_OK);
    EXPECT_STREQ(item.name, L"zeros.bin");
    EXPECT_EQ(item.uncompressedSize, (int64_t(4097) << 20));

    fs::path dest = dir_ / "out";
    SetExtractDir(a.get(), W(dest.string()).c_str());
    EXPECT_EQ(ExtractItem(a.get(), 0, L"small.txt"), ARC_OK);
    EXPECT_EQ(ReadFile(dest / "small.txt"), "small entry beyond 4 GiB\n");

    int devNull = open("/dev/null", O_WRONLY);
    ASSERT_GE(devNull, 0);
    EXPECT_EQ(ExtractItemTo(a.get(), 1, &devNull, 0, ARC_KIND_HANDLE), ARC_OK);
    close(devNull);
}

// Names that spell one file in several ways, or hide a part behind a NUL: the first entry
// extracts, a later one for the same file is refused, and no file holds the wrong data.
TEST_F(ZipArchive, OneCanonicalNamePerFile)
{
    using namespace std::string_literals;
    using Tree = std::map<std::string, std::string>;
    const Tree first = {{"a/", ""}, {"a/b.txt", "first"}};
    struct Case {
        const char* label;
        std::vector<RawEntry> entries;
        ArchiveResult result;
        Tree tree;
    } cases[] = {
        {"double separator", {{"a/b.txt", "first"}, {"a//b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"dot part", {{"a/b.txt", "first"}, {"a/./b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"leading dot", {{"a/b.txt", "first"}, {"./a/b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"leading dot first", {{"./a/b.txt", "first"}, {"a/b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"backslashes", {{"a/b.txt", "first"}, {".\\a\\\\b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"absolute", {{"a/b.txt", "first"}, {"/a/b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"drive", {{"a/b.txt", "first"}, {"C:\\a\\b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"inner parent", {{"a/b.txt", "first"}, {"x/../a/b.txt", "second"}}, ARC_BAD_ARCHIVE, first},
        {"file over a directory", {{"a/b.txt", "first"}, {"a", "second"}}, ARC_BAD_ARCHIVE, first},
        {"directory over a file", {{"a/b.txt", "first"}, {"a/b.txt/", ""}}, ARC_BAD_ARCHIVE, first},
        {"NULs", {{"a\0x"s, "first"}, {"a\0y"s, "second"}}, ARC_BAD_ARCHIVE, {}},
        {"NUL after a parent", {{"x/..\0y"s, "evil"}}, ARC_BAD_ARCHIVE, {}},
        {"NUL after a name", {{"a/b.txt\0.sh"s, "evil"}}, ARC_BAD_ARCHIVE, {}},
        {"drive after a dot", {{"./C:/b.txt", "evil"}}, ARC_BAD_ARCHIVE, {}},
        {"canonical names", {{"a//b.txt", "first"}, {"./c/./d.txt", "d"}}, ARC_OK,
         {{"a/", ""}, {"a/b.txt", "first"}, {"c/", ""}, {"c/d.txt", "d"}}},
        {"directories repeat", {{"d/", ""}, {"d//", ""}, {"./d/", ""}, {"d/f.txt", "f"}, {"d/./", ""}}, ARC_OK,
         {{"d/", ""}, {"d/f.txt", "f"}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path root = dir_ / std::to_string(n++);
        const fs::path zip = root / "package.zip", dest = root / "out";
        fs::create_directories(dest);
        WriteFile(zip, StoredZip(c.entries));
        EXPECT_EQ(ExtractAll(zip, dest), c.result);
        EXPECT_EQ(TreeOf(dest), c.tree);
        EXPECT_EQ(TreeOf(root).size(), c.tree.size() + 2);  // nothing beside the package and out/
    }
    EXPECT_FALSE(fs::exists("C:"));
}

// A central directory and entries that span many read-ahead blocks of the archive stream: every
// source kind gives unzip's tree.
TEST_F(ZipArchive, LargeDirectoryFromEverySource)
{
    std::vector<RawEntry> entries;
    for (int i = 0; i < 600; ++i) {  // a central directory of about 90 KB
        std::string data(size_t(i % 7 == 0 ? 70000 + i : (i * 37) % 3000), '\0');
        for (size_t k = 0; k < data.size(); ++k) data[k] = char('a' + (k * 31 + size_t(i)) % 26);
        entries.push_back({"dir" + std::to_string(i % 10) + "/" + std::string(90, char('a' + i % 26)) +
                               std::to_string(i) + ".bin",
                           data});
    }
    const fs::path zip = dir_ / "large.zip", ref = dir_ / "ref";
    WriteFile(zip, StoredZip(entries));
    ASSERT_EQ(Shell("unzip -q -d " + Quote(ref) + " " + Quote(zip)), 0);
    const auto expected = TreeOf(ref);

    fs::path dest = dir_ / "byname";
    fs::create_directories(dest);
    ASSERT_EQ(ExtractAll(zip, dest), ARC_OK);
    EXPECT_TRUE(TreeOf(dest) == expected);

    const std::string bytes = ReadFile(zip);
    int fd = open(zip.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (int kind : {ARC_KIND_HANDLE, ARC_KIND_MEMORY}) {
        Archive a(kind == ARC_KIND_HANDLE ? OpenArchiveFrom(&fd, 0, kind, nullptr)
                                          : OpenArchiveFrom(bytes.data(), bytes.size(), kind, nullptr));
        ASSERT_TRUE(a);
        dest = dir_ / ("kind" + std::to_string(kind));
        SetExtractDir(a.get(), W(dest.string()).c_str());
        // Backwards, so the stream seeks between far places of the archive.
        for (int i = Count(a.get()) - 1; i >= 0; --i) {
            ArchiveItem item;
            ASSERT_EQ(GetArchiveItem(a.get(), i, &item), ARC_OK);
            ASSERT_EQ(ExtractItem(a.get(), i, item.name), ARC_OK);
        }
        EXPECT_TRUE(TreeOf(dest) == expected) << kind;
    }
    close(fd);
}

// Entries of one block and of many (written while the next block is decoded): the data, or
// ARC_WRITE_ERROR when the target takes none.
TEST_F(ZipArchive, WritesEveryBlockOrReportsTheFailure)
{
    std::string big(3 * 512 * 1024 + 12345, '\0');
    for (size_t k = 0; k < big.size(); ++k) big[k] = char(k * 2654435761u >> 13);
    const fs::path zip = dir_ / "blocks.zip";
    WriteFile(zip, StoredZip({{"small.bin", big.substr(0, 5000)}, {"big.bin", big}}));
    Archive a = Open(zip);
    ASSERT_TRUE(a);
    const fs::path dest = dir_ / "out";
    SetExtractDir(a.get(), W(dest.string()).c_str());
    EXPECT_EQ(ExtractItem(a.get(), 0, L"small.bin"), ARC_OK);
    EXPECT_EQ(ExtractItem(a.get(), 1, L"big.bin"), ARC_OK);
    EXPECT_TRUE(ReadFile(dest / "small.bin") == big.substr(0, 5000));
    EXPECT_TRUE(ReadFile(dest / "big.bin") == big);
    EXPECT_EQ(MtimeOf(dest / "big.bin"), MtimeOf(dest / "small.bin")) << "times set after the last write";

    int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    EXPECT_EQ(ExtractItemTo(a.get(), 0, &full, 0, ARC_KIND_HANDLE), ARC_WRITE_ERROR);
    EXPECT_EQ(ExtractItemTo(a.get(), 1, &full, 0, ARC_KIND_HANDLE), ARC_WRITE_ERROR);
    close(full);
    // The reader goes on after a failure.
    EXPECT_EQ(ExtractItem(a.get(), 1, L"again.bin"), ARC_OK);
    EXPECT_TRUE(ReadFile(dest / "again.bin") == big);
}

// Entries whose raw data spans many reads of the archive (read ahead while the data before is
// decoded), from every kind of source, to files and to memory, stopped half-way and cut short.
TEST_F(ZipArchive, LargeEntriesFromEverySourceWholeOrRefused)
{
    std::string noise(3 * 1024 * 1024 + 777, '\0');
    uint32_t seed = 12345;
    for (char& c : noise) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    std::string mixed;  // compressible runs between noise
    for (size_t k = 0; mixed.size() < 2 * 1024 * 1024; ++k) mixed += std::string(5000, char(k)) + noise.substr(k * 3000, 3000);
    const fs::path files = dir_ / "files";
    fs::create_directories(files);
    WriteFile(files / "small.txt", "before the large ones\n");
    WriteFile(files / "noise.bin", noise);
    WriteFile(files / "mixed.bin", mixed);
    const fs::path zip = dir_ / "large.zip";
    ASSERT_EQ(Shell("cd " + Quote(files) + " && /usr/bin/python3 -c \"import zipfile, sys\n"
                    "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                    "    z.write('small.txt', compress_type=zipfile.ZIP_DEFLATED)\n"
                    "    z.write('noise.bin', compress_type=zipfile.ZIP_DEFLATED)\n"
                    "    z.write('noise.bin', 'noise_stored.bin', compress_type=zipfile.ZIP_STORED)\n"
                    "    z.write('mixed.bin', compress_type=zipfile.ZIP_DEFLATED)\n\" " +
                    Quote(zip)),
              0);
    const std::map<std::wstring, std::string> expected = {
        {L"small.txt", "before the large ones\n"}, {L"noise.bin", noise}, {L"noise_stored.bin", noise}, {L"mixed.bin", mixed}};

    const std::string bytes = ReadFile(zip);
    const fs::path prefixed = dir_ / "prefixed.bin";
    WriteFile(prefixed, std::string(4099, '#') + bytes);
    int fd = open(prefixed.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 4099, SEEK_SET), 4099);
    std::vector<std::pair<const char*, Archive>> sources;
    sources.emplace_back("file name", Open(zip));
    sources.emplace_back("handle after a prefix", Archive(OpenArchiveFrom(&fd, 0, ARC_KIND_HANDLE, nullptr)));
    sources.emplace_back("memory", Archive(OpenArchiveFrom(bytes.data(), bytes.size(), ARC_KIND_MEMORY, nullptr)));
    for (auto& [source, a] : sources) {
        ASSERT_TRUE(a) << source;
        const fs::path dest = dir_ / "out" / source;
        fs::create_directories(dest);
        SetExtractDir(a.get(), W(dest.string()).c_str());
        for (const auto& [name, data] : expected) {
            const int index = IndexOf(a.get(), name);
            ASSERT_GE(index, 0);
            EXPECT_EQ(ExtractItem(a.get(), index, name.c_str()), ARC_OK) << source;
            EXPECT_TRUE(ReadFile(dest / fs::path(name)) == data) << source;

            // To memory in blocks, begun over once by another entry in between.
            std::string got;
            std::vector<char> block(100000);
            ArchiveResult r = ExtractItemTo(a.get(), index, block.data(), block.size(), ARC_KIND_MEMORY);
            if (r == ARC_MORE_DATA) {
                EXPECT_EQ(ExtractItemTo(a.get(), IndexOf(a.get(), L"small.txt"), block.data(), 5, ARC_KIND_MEMORY),
                          ARC_MORE_DATA);
                r = ARC_MORE_DATA;
                while (r == ARC_MORE_DATA) {
                    r = ExtractItemTo(a.get(), index, block.data(), block.size(), ARC_KIND_MEMORY);
                    got.append(block.data(), std::min(block.size(), data.size() - got.size()));
                }
            } else {
                got.assign(block.data(), data.size());
            }
            EXPECT_EQ(r, ARC_OK) << source;
            EXPECT_TRUE(got == data) << source << " " << fs::path(name).string();
        }
    }
    sources.clear();
    close(fd);

    // The archive cut short while a large entry is being read: its data ends in a failure,
    // never as a whole entry, and what came before the cut is what the entry holds.
    for (const char* narrow : {"noise.bin", "noise_stored.bin"}) {
        const std::wstring name = W(narrow);
        const fs::path copy = dir_ / "cut.zip";
        WriteFile(copy, bytes);
        Archive a = Open(copy);
        ASSERT_TRUE(a);
        const int index = IndexOf(a.get(), name);
        const std::string& data = expected.at(name);
        std::vector<char> block(64 * 1024);
        ASSERT_EQ(ExtractItemTo(a.get(), index, block.data(), block.size(), ARC_KIND_MEMORY), ARC_MORE_DATA);
        // Past the reads ahead that may have been made already (its local header holds the name).
        ASSERT_EQ(truncate(copy.c_str(), off_t(bytes.find(narrow) + 1536 * 1024)), 0);
        std::string got(block.data(), block.size());
        ArchiveResult r = ARC_MORE_DATA;
        while (r == ARC_MORE_DATA && got.size() < data.size()) {
            r = ExtractItemTo(a.get(), index, block.data(), block.size(), ARC_KIND_MEMORY);
            if (r == ARC_MORE_DATA || r == ARC_OK) got.append(block.data(), std::min(block.size(), data.size() - got.size()));
        }
        EXPECT_EQ(r, ARC_INFLATE_ERROR) << narrow;
        EXPECT_TRUE(data.compare(0, got.size(), got) == 0) << narrow;
    }
}
