#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "ZipTestSupport.h"
#include "KivLog.h"
#include "PackageFiles.h"
#include "Paths.h"
#include "Text.h"
#include "TextPattern.h"

using namespace ziptest;

namespace {

class PackageFilesTest : public TempDirTest {
protected:
    bool Unzip(const fs::path& zip, const fs::path& dest, int* code = nullptr, std::wstring* error = nullptr)
    {
        return UnzipToDirectory(W(zip.string()), W(dest.string()), code, error);
    }
};

}  // namespace

TEST_F(PackageFilesTest, TemporaryNames)
{
    const std::string temp = plat::NarrowFromWide(plat::TempDir());
    std::wstring dirName, fileName, apk;
    EXPECT_TRUE(MakeTempDirName(&dirName, L"ABC123", L""));
    EXPECT_TRUE(MakeTempFileName(&fileName, L"ABC123", L""));
    EXPECT_TRUE(MakeTempFileName(&apk, L"ABC123", L".apk"));
    const std::string quotedTemp = LiteralPattern(temp);
    EXPECT_TRUE(MatchesWhole(plat::NarrowFromWide(dirName), quotedTemp + R"(~ABC123[0-9]+\.kivmp/)"))
        << plat::NarrowFromWide(dirName);
    EXPECT_TRUE(MatchesWhole(plat::NarrowFromWide(fileName), quotedTemp + R"(~ABC123[0-9]+\.kivmp)"));
    EXPECT_TRUE(MatchesWhole(plat::NarrowFromWide(apk), quotedTemp + R"(~ABC123[0-9]+\.apk)"));
    EXPECT_FALSE(fs::exists(plat::NativePath(dirName))) << "the directory is not made";

    std::wstring odd;
    MakeTempFileName(&odd, L"../x/y\\z\n", L"");
    EXPECT_EQ(plat::NarrowFromWide(odd).rfind(temp + "~.._x_y_z_", 0), 0u) << plat::NarrowFromWide(odd);

    std::set<std::wstring> names;
    for (int i = 0; i < 50; ++i) {
        std::wstring n;
        MakeTempDirName(&n, L"SAME", L"");
        names.insert(n);
    }
    EXPECT_EQ(names.size(), 50u);
}

TEST_F(PackageFilesTest, UnzipsLikeUnzip)
{
    fs::path ours = dir_ / "ours", ref = dir_ / "ref";
    fs::create_directories(ours);
    int code = -1;
    EXPECT_TRUE(Unzip(Kept("tree.zip"), ours, &code));
    EXPECT_EQ(code, -1) << "untouched on success";
    ASSERT_EQ(Shell("unzip -q -d " + Quote(ref) + " " + Quote(Kept("tree.zip"))), 0);
    EXPECT_EQ(Shell("diff -r " + Quote(ref) + " " + Quote(ours)), 0);
}

TEST_F(PackageFilesTest, EmptyEntriesGetTheirParents)
{
    fs::path dest = dir_ / "out";
    fs::create_directories(dest);
    ASSERT_TRUE(Unzip(Crafted("empties.zip"), dest));
    EXPECT_TRUE(fs::is_directory(dest / "boot"));
    EXPECT_EQ(ReadFile(dest / "boot/x.img"), "image");
    EXPECT_TRUE(fs::is_regular_file(dest / "empty.txt"));
    EXPECT_EQ(fs::file_size(dest / "empty.txt"), 0u);
    EXPECT_TRUE(fs::is_regular_file(dest / "sub/deeper/empty.dat"));
    EXPECT_TRUE(fs::is_directory(dest / "sub2/emptydir"));

    fs::path empty = dir_ / "empty";
    fs::create_directories(empty);
    EXPECT_TRUE(Unzip(Crafted("noentries.zip"), empty));
    EXPECT_TRUE(fs::is_empty(empty));
}

TEST_F(PackageFilesTest, UnzipFailures)
{
    struct Case { std::string what; fs::path zip; int code; std::wstring text; };
    const fs::path missing = dir_ / "missing.zip";
    const Case cases[] = {
        {"missing", missing, int(ERR_ZIP_OPEN), L"Can't open \"" + W(missing.string()) + L"\""},
        {"not a zip", Crafted("notazip.zip"), int(ERR_ZIP_OPEN), L"Can't open \"" + W(Crafted("notazip.zip").string()) + L"\""},
        {"unsafe name", Crafted("escape0.zip"), int(ERR_ZIP_ITEM), L"Can't get zip content"},
        {"bad checksum", Crafted("badcrc_deflated.zip"), int(ERR_ZIP_EXTRACT), L"Can't unzip content"},
        {"encrypted", Kept("password.zip"), int(ERR_ZIP_EXTRACT), L"Can't unzip content"},
    };
    for (const Case& c : cases) {
        fs::path dest = dir_ / "out" / c.what;
        fs::create_directories(dest);
        int code = 0;
        std::wstring error;
        EXPECT_FALSE(Unzip(c.zip, dest, &code, &error)) << c.what;
        EXPECT_EQ(code, c.code) << c.what;
        EXPECT_EQ(error, c.text) << c.what;
        EXPECT_FALSE(Unzip(c.zip, dest)) << c.what;
    }
    EXPECT_FALSE(fs::exists(dir_ / "out" / "escape.txt"));
    int code = 0;
    std::wstring error;
    EXPECT_FALSE(UnzipToDirectory(W(Kept("tree.zip").string()), L"", &code, &error));
    EXPECT_EQ(code, int(ERR_ZIP_DESTINATION));
    EXPECT_EQ(error, L"Can't set the destination");
}

// An empty entry is made without the zip layer's extraction: another spelling of a name already
// extracted must still not empty that file.
TEST_F(PackageFilesTest, SecondSpellingOfANameFails)
{
    using namespace std::string_literals;
    int n = 0;
    for (const std::string& second : {"./a/b.txt"s, "a//b.txt"s, "a/./b.txt"s, "a/b.txt\0x"s}) {
        SCOPED_TRACE(n);
        const fs::path root = dir_ / std::to_string(n++);
        const fs::path dest = root / "out";
        fs::create_directories(dest);
        WriteFile(root / "package.zip", StoredZip({{"a/b.txt", "first"}, {second, ""}}));
        int code = 0;
        std::wstring error;
        EXPECT_FALSE(Unzip(root / "package.zip", dest, &code, &error));
        EXPECT_EQ(code, int(ERR_ZIP_ITEM));
        EXPECT_EQ(TreeOf(dest), (std::map<std::string, std::string>{{"a/", ""}, {"a/b.txt", "first"}}));
    }
}

TEST_F(PackageFilesTest, FindSingleFile)
{
    fs::path d = dir_ / "pkg";
    fs::create_directories(d / "sub");
    WriteFile(d / "image.raw", "top");
    WriteFile(d / "sub" / "other.raw", "deeper");
    WriteFile(d / ".hidden.raw", "dot");
    WriteFile(d / "notes.txt", "");
    fs::create_directories(d / "dir.raw");
    fs::create_symlink(d / "sub" / "other.raw", d / "link.raw");
    const std::wstring dir = W(d.string());

    std::wstring path;
    int code = 0;
    EXPECT_TRUE(FindSingleFile(dir, L"*.raw", &path, &code, nullptr));
    EXPECT_EQ(path, W((d / "image.raw").string()));
    EXPECT_TRUE(FindSingleFile(dir + L"/", L"*.RAW", &path, nullptr, nullptr));
    EXPECT_EQ(path, W((d / "image.raw").string()));
    EXPECT_TRUE(FindSingleFile(dir, L"ima?e.*", &path, nullptr, nullptr));

    struct Case { const wchar_t* pattern; std::wstring text; };
    WriteFile(d / "second.raw", "");
    const Case failures[] = {
        {L"*.raw", L"Found two or more \"*.raw\" file(s)"},
        {L"*.img", L"Not found any \"*.img\" file"},
        {L"*.hidden*", L"Not found any \"*.hidden*\" file"},
    };
    for (const Case& c : failures) {
        std::wstring error;
        path = L"unchanged";
        code = 0;
        EXPECT_FALSE(FindSingleFile(dir, c.pattern, &path, &code, &error)) << c.pattern;
        EXPECT_EQ(code, int(ERR_FILE_SEARCH));
        EXPECT_EQ(error, c.text);
        EXPECT_EQ(path, L"unchanged");
    }
    std::wstring error;
    EXPECT_FALSE(FindSingleFile(W((dir_ / "nowhere").string()), L"*", &path, &code, &error));
    EXPECT_EQ(error, L"Not found any \"*\" file");
}

TEST_F(PackageFilesTest, DeleteDirectoryTree)
{
    fs::path outside = dir_ / "outside";
    fs::create_directories(outside);
    WriteFile(outside / "keep.txt", "keep");
    fs::path tree = dir_ / "tree";
    fs::create_directories(tree / "a/b/c");
    WriteFile(tree / "a/b/c/file.bin", "x");
    WriteFile(tree / ".dot", "x");
    WriteFile(tree / "ro.txt", "x");
    fs::permissions(tree / "ro.txt", fs::perms::owner_read);
    fs::create_directory_symlink(outside, tree / "a/link");
    fs::create_symlink(outside / "keep.txt", tree / "filelink");

    EXPECT_TRUE(DeleteDirectoryTree(W(tree.string()) + L"/"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    EXPECT_EQ(ReadFile(outside / "keep.txt"), "keep");

    // A tree that is itself a link is refused, also in the form of a temporary directory name,
    // which ends in a separator; so are the root and the empty path.
    fs::create_directory_symlink(outside, dir_ / "linked");
    std::wstring tempName;
    ASSERT_TRUE(MakeTempDirName(&tempName, L"LINKED", L""));
    ASSERT_EQ(tempName.back(), L'/');
    const fs::path tempLink = plat::NativePath(tempName.substr(0, tempName.size() - 1));
    fs::create_directory_symlink(outside, tempLink);
    const std::wstring linked = W((dir_ / "linked").string());
    for (const std::wstring& refused : {linked, linked + L"/", linked + L"//", linked + L"\\", linked + L"/.",
                                        linked + L"/./", tempName}) {
        EXPECT_FALSE(DeleteDirectoryTree(refused)) << refused;
        EXPECT_EQ(ReadFile(outside / "keep.txt"), "keep") << refused;
    }
    fs::remove(tempLink);
    for (const wchar_t* refused : {L"", L"/", L"//", L"\\", L"/.", L"/tmp/.."}) {
        EXPECT_FALSE(DeleteDirectoryTree(refused)) << refused;
    }
    EXPECT_FALSE(DeleteDirectoryTree(W((dir_ / "missing").string())));
    EXPECT_TRUE(fs::exists("/tmp"));
}

TEST_F(PackageFilesTest, BytesToSendOfAFileOrATree)
{
    fs::path tree = dir_ / "tree";
    fs::create_directories(tree / "a/b");
    WriteFile(tree / "flashall_KIV.cmd", std::string(100, 'x'));
    WriteFile(tree / "a/b/system.img", std::string(5000, 'x'));
    WriteFile(dir_ / "outside.img", std::string(70000, 'x'));
    fs::create_symlink(dir_ / "outside.img", tree / "link.img");  // not followed
    fs::create_directory_symlink(dir_, tree / "a/up");
    EXPECT_EQ(BytesToSend(W(tree.string())), 5100u);
    EXPECT_EQ(BytesToSend(W(tree.string()) + L"/"), 5100u);
    EXPECT_EQ(BytesToSend(W((tree / "a/b/system.img").string())), 5000u);
    EXPECT_EQ(BytesToSend(W((dir_ / "missing").string())), 0u);
    EXPECT_EQ(BytesToSend(L""), 0u);
}
