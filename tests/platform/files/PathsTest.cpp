#include "Paths.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace {

std::string ReadFile(const std::filesystem::path& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct stat StatOf(const std::filesystem::path& name) {
    struct stat st {};
    EXPECT_EQ(stat(name.c_str(), &st), 0) << name;
    return st;
}

size_t NamesIn(const std::filesystem::path& dir) {
    return size_t(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()));
}

// ReplaceFileContents with the process's files held to sizeLimit bytes (0: no limit), which cuts
// a write short as a full disk does.
bool ReplaceWithSizeLimit(const std::wstring& file, const std::string& content, long sizeLimit) {
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    if (sizeLimit) {
        struct rlimit limit = old;
        limit.rlim_cur = rlim_t(sizeLimit);
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    const bool replaced = plat::ReplaceFileContents(file, content);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    return replaced;
}

// Runs f in a child that keeps user id 0 but has no capabilities: an ordinary user, for whom the
// owners and modes of files and folders decide. Unlike another user id it still passes the
// folders above the test's own, whatever their modes. f's answer as 1 or 0; -1 when the child
// could not be made so.
// StartAsOrdinaryUser starts it, FinishedAsOrdinaryUser waits for its answer.
pid_t StartAsOrdinaryUser(const std::function<bool()>& f) {
    const pid_t pid = fork();
    if (pid == 0) {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] {};
        if (syscall(SYS_capset, &header, none) != 0) _exit(2);
        _exit(f() ? 1 : 0);
    }
    return pid;
}

int FinishedAsOrdinaryUser(pid_t pid) {
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) > 1) return -1;
    return WEXITSTATUS(status);
}

int AsOrdinaryUser(const std::function<bool()>& f) { return FinishedAsOrdinaryUser(StartAsOrdinaryUser(f)); }

// The pid of a process that has ended.
pid_t EndedPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// The file's bytes as a load reads them.
std::string ReadLocked(const std::string& name) {
    std::string bytes;
    return plat::ReadFileContents(plat::WideFromNarrow(name), &bytes) ? bytes : "(no file)";
}

}  // namespace

TEST(Paths, NativePathUsesSlashes) {
    EXPECT_EQ(plat::NativePath(L"C:\\dir\\file.txt"), "C:/dir/file.txt");
    EXPECT_EQ(plat::NativePath(L"/tmp/caf\u00e9"), "/tmp/caf\xC3\xA9");
}

TEST(Paths, ProgramDirAndItsTestOverride) {
    std::wstring file = plat::ProgramFile();
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.substr(file.rfind(L'/') + 1), L"platform_files_tests");
    EXPECT_EQ(plat::ProgramDir(), file.substr(0, file.rfind(L'/')));
    plat::SetProgramDirForTesting(L"/some/where/");
    EXPECT_EQ(plat::ProgramDir(), L"/some/where");
    plat::SetProgramDirForTesting(L"");
    EXPECT_EQ(plat::ProgramDir(), file.substr(0, file.rfind(L'/')));
}

TEST(Paths, SearchPathFindsOnlyExecutableFiles) {
    TestDir dir;
    std::ofstream(dir / "tool") << "#!/bin/sh\n";
    chmod((dir / "tool").c_str(), 0755);
    std::ofstream(dir / "data") << "x";
    std::string old = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", ("/nonexistent:" + dir.path()).c_str(), 1);
    std::wstring found = plat::SearchPathFor(L"tool");
    std::wstring data = plat::SearchPathFor(L"data");
    std::wstring missing = plat::SearchPathFor(L"nothing-here");
    std::wstring withDir = plat::SearchPathFor(L"x/tool");
    // An empty entry, at the end or in the middle, is the current directory.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::vector<std::string> here;
    for (const char* entries : {"/nonexistent:", "/nonexistent::/bin"}) {
        setenv("PATH", entries, 1);
        here.push_back(std::filesystem::path(plat::NativePath(plat::SearchPathFor(L"tool"))).lexically_normal());
    }
    std::filesystem::current_path(cwd);
    setenv("PATH", old.c_str(), 1);
    EXPECT_EQ(here, std::vector<std::string>(2, dir / "tool"));
    EXPECT_EQ(plat::NativePath(found), dir / "tool");
    EXPECT_EQ(data, L"");
    EXPECT_EQ(missing, L"");
    EXPECT_EQ(withDir, L"");
}

TEST(Paths, FileAndDirectoryTests) {
    TestDir dir;
    std::ofstream(dir / "f") << "x";
    std::wstring d(dir.path().begin(), dir.path().end());
    EXPECT_TRUE(plat::FileExists(d + L"/f"));
    EXPECT_TRUE(plat::FileExists(d + L"\\f"));  // design separators
    EXPECT_FALSE(plat::FileExists(d));
    EXPECT_FALSE(plat::FileExists(d + L"/g"));
    EXPECT_FALSE(plat::FileExists(L""));
    EXPECT_TRUE(plat::DirectoryExists(d));
    EXPECT_FALSE(plat::DirectoryExists(d + L"/f"));
    std::wstring tmp = plat::TempDir();
    ASSERT_FALSE(tmp.empty());
    EXPECT_EQ(tmp.back(), L'/');
    EXPECT_TRUE(plat::DirectoryExists(tmp));
}

// Only a name that nothing holds is taken; any other leaves both names as they were.
TEST(Paths, RenameNoReplaceNeverReplaces) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;  // what holds the target name
        bool moved;
    } cases[] = {
        {"nothing", [](const std::string&) {}, true},
        {"a file", [](const std::string& to) { std::ofstream(to) << "earlier"; }, false},
        {"an empty directory", [](const std::string& to) { fs::create_directory(to); }, false},
        {"a link to a file", [](const std::string& to) { fs::create_symlink("other", to); }, false},
        {"a dangling link", [](const std::string& to) { fs::create_symlink("missing", to); }, false},
        {"a link to a directory", [](const std::string& to) { fs::create_directory_symlink("sub", to); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        std::ofstream(dir / "from") << "new";
        std::ofstream(dir / "other") << "other";
        fs::create_directory(dir / "sub");
        c.make(dir / "to");
        const fs::file_status before = fs::symlink_status(dir / "to");
        bool taken = !c.moved;
        EXPECT_EQ(plat::RenameNoReplace(dir.Wide("from"), dir.Wide("to"), &taken), c.moved);
        EXPECT_EQ(taken, !c.moved) << "the name was held";
        EXPECT_EQ(fs::exists(dir / "from"), !c.moved);
        if (c.moved) {
            EXPECT_EQ(ReadFile(dir / "to"), "new");
            continue;
        }
        EXPECT_EQ(ReadFile(dir / "from"), "new");
        EXPECT_EQ(fs::symlink_status(dir / "to").type(), before.type());
        if (fs::is_regular_file(before)) {
            EXPECT_EQ(ReadFile(dir / "to"), "earlier");
        }
        EXPECT_EQ(ReadFile(dir / "other"), "other");
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "missing")));
        EXPECT_TRUE(fs::is_empty(dir / "sub"));
    }
    TestDir dir;
    bool taken = true;
    EXPECT_FALSE(plat::RenameNoReplace(dir.Wide("absent"), dir.Wide("to"), &taken));
    EXPECT_FALSE(taken) << "the name was free";
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "to")));
}

// A new file is made only under a name that nothing holds; whether the name was held is told apart
// from other failures.
TEST(Paths, CreateNewFileNeverOpensAnExistingName) {
    namespace fs = std::filesystem;
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;  // what holds the name
        bool made, taken;
    } cases[] = {
        {"nothing", [](const std::string&) {}, true, false},
        {"a file", [](const std::string& name) { std::ofstream(name) << "earlier"; }, false, true},
        {"a directory", [](const std::string& name) { fs::create_directory(name); }, false, true},
        {"a dangling link", [](const std::string& name) { fs::create_symlink("missing", name); }, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        c.make(dir / "f");
        bool taken = !c.taken;
        const int fd = plat::CreateNewFile(dir.Wide("f"), &taken);
        EXPECT_EQ(fd >= 0, c.made);
        EXPECT_EQ(taken, c.taken);
        if (fd >= 0) {
            EXPECT_TRUE(plat::WriteAll(fd, "new", 3));
            close(fd);
            EXPECT_EQ(ReadFile(dir / "f"), "new");
        } else if (fs::is_regular_file(fs::symlink_status(dir / "f"))) {
            EXPECT_EQ(ReadFile(dir / "f"), "earlier");
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "missing")));
    }
    TestDir dir;
    bool taken = true;
    EXPECT_EQ(plat::CreateNewFile(dir.Wide("missing/f"), &taken), -1);
    EXPECT_FALSE(taken) << "no folder to hold the name";
}

// The new content arrives whole, or the file keeps what it held and nothing else is left beside it.
TEST(Paths, ReplaceFileContentsWholeOrNotAtAll) {
    namespace fs = std::filesystem;
    const std::string content(100000, 'n');
    struct Case {
        const char* what;
        std::function<void(const fs::path& dir)> make;  // what stands at dir/"f" before
        long sizeLimit;                                   // of the process's files, 0 none
        bool replaced;
        const char* file;                                 // that holds the content afterwards
    } cases[] = {
        {"no file yet", [](const fs::path&) {}, 0, true, "f"},
        {"a file", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; }, 0, true, "f"},
        {"a read-only file", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; fs::permissions(d / "f", fs::perms::owner_read | fs::perms::group_read); }, 0, true, "f"},
        {"a link to a file", [](const fs::path& d) { std::ofstream(d / "target") << "earlier"; fs::create_symlink("target", d / "f"); }, 0, true, "target"},
        {"a file, the write cut short", [](const fs::path& d) { std::ofstream(d / "f") << "earlier"; }, 4096, false, "f"},
        {"no file yet, the write cut short", [](const fs::path&) {}, 4096, false, "f"},
        {"a directory", [](const fs::path& d) { fs::create_directory(d / "f"); }, 0, false, "f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        c.make(dir.path());
        const bool existed = fs::exists(fs::symlink_status(dir / "f"));
        const bool regular = fs::is_regular_file(dir / "f");
        const std::string before = regular ? ReadFile(dir / c.file) : "";
        const unsigned modeBefore = regular ? StatOf(dir / c.file).st_mode & 07777 : 0;
        const auto typeBefore = fs::symlink_status(dir / "f").type();
        EXPECT_EQ(ReplaceWithSizeLimit(dir.Wide("f"), content, c.sizeLimit), c.replaced);
        EXPECT_EQ(fs::symlink_status(dir / "f").type(), existed ? typeBefore : c.replaced ? fs::file_type::regular : fs::file_type::not_found);
        if (c.replaced) {
            EXPECT_EQ(ReadFile(dir / c.file), content);
            if (modeBefore) {
                EXPECT_EQ(StatOf(dir / c.file).st_mode & 07777, modeBefore);
            }
        } else if (regular) {
            EXPECT_EQ(ReadFile(dir / c.file), before);
        }
        size_t names = 0;
        for (const auto& entry : fs::directory_iterator(dir.path())) names += entry.path().filename() != "target";
        EXPECT_EQ(names, existed || c.replaced ? 1u : 0u) << "no file beside it";
    }
}

// Root can give the new file everything the earlier one had, so it always replaces it whole.
TEST(Paths, ReplaceFileContentsKeepsOwnerGroupAndMode) {
    if (geteuid() != 0) GTEST_SKIP() << "only root gives a file to another user";
    namespace fs = std::filesystem;
    const std::string content(100000, 'n');
    struct Case {
        const char* what;
        uid_t uid;
        gid_t gid;
        mode_t mode;
        bool link;  // the name saved is a link to the file
    } cases[] = {
        {"another user's file", 65534, 65534, 0640, false},
        {"our file, another group", 0, 65534, 0660, false},
        {"set-id bits", 65534, 65534, 06750, false},
        {"through a link", 65534, 65534, 0600, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        const std::string file = dir / "target";
        std::ofstream(file) << "earlier";
        ASSERT_EQ(chown(file.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);  // after the owner, which clears set-id bits
        if (c.link) fs::create_symlink("target", dir / "f");
        const std::string saved = c.link ? dir / "f" : file;
        const ino_t inode = StatOf(file).st_ino;
        ASSERT_TRUE(plat::ReplaceFileContents(plat::WideFromNarrow(saved), content));
        const struct stat after = StatOf(file);
        EXPECT_EQ(after.st_uid, c.uid);
        EXPECT_EQ(after.st_gid, c.gid);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadFile(file), content);
        EXPECT_NE(after.st_ino, inode) << "replaced whole, not written over";
        EXPECT_EQ(fs::symlink_status(saved).type(), c.link ? fs::file_type::symlink : fs::file_type::regular);
        EXPECT_EQ(NamesIn(dir.path()), c.link ? 2u : 1u) << "no file beside it";
    }
}

// A user who may not give the new file the earlier one's owner and group, or whose folder takes no
// new file, still saves a file that they may write, by writing over it; a file they may not write
// stays as it was. Either way the file keeps its owner, group and mode and nothing is left beside it.
TEST(Paths, ReplaceFileContentsForAnOrdinaryUser) {
    if (geteuid() != 0) GTEST_SKIP() << "only root sets up files of other users";
    const std::string content(100000, 'n');
    constexpr uid_t other = 65534;
    struct Case {
        const char* what;
        bool ourFolder;  // else another user's, mode 0755: it takes no new file from us
        uid_t uid;       // the earlier file's owner, group and mode; mode 0: no file
        gid_t gid;
        mode_t mode;
        long sizeLimit;  // of the user's files, 0 none
        bool saved;
        bool inPlace;    // the earlier file itself holds the content afterwards
    } cases[] = {
        {"our file in our folder", true, 0, 0, 0600, 0, true, false},
        {"another user's writable file", true, other, other, 0666, 0, true, true},
        {"another user's writable file, the write cut short", true, other, other, 0666, 4096, false, true},
        {"our file, a group not ours", true, 0, other, 0660, 0, true, true},
        {"another user's file that we may only read", true, other, other, 0644, 0, false, true},
        {"a folder that takes no new file", false, 0, 0, 0644, 0, true, true},
        {"a folder that takes no new file, the write cut short", false, 0, 0, 0644, 4096, false, true},
        {"a folder that takes no new file, a file we may not write", false, 0, 0, 0444, 0, false, true},
        {"a folder that takes no new file, no file yet", false, 0, 0, 0, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        const std::string file = dir / "f";
        if (c.mode) {
            std::ofstream(file) << "earlier";
            ASSERT_EQ(chown(file.c_str(), c.uid, c.gid), 0);
            ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        }
        if (!c.ourFolder) {
            ASSERT_EQ(chown(dir.path().c_str(), other, other), 0);
            ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
        }
        const ino_t inode = c.mode ? StatOf(file).st_ino : 0;
        const int saved = AsOrdinaryUser([&] { return ReplaceWithSizeLimit(dir.Wide("f"), content, c.sizeLimit); });
        ASSERT_NE(saved, -1) << "no child without capabilities";
        EXPECT_EQ(saved == 1, c.saved);
        if (!c.mode) {
            EXPECT_EQ(NamesIn(dir.path()), 0u) << "no file made";
            continue;
        }
        const struct stat after = StatOf(file);
        EXPECT_EQ(after.st_uid, c.uid);
        EXPECT_EQ(after.st_gid, c.gid);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadFile(file), c.saved ? content : "earlier");
        EXPECT_EQ(after.st_ino == inode, c.inPlace);
        EXPECT_EQ(NamesIn(dir.path()), 1u) << "no file beside it";
    }
}

// A link is followed also to a file that does not exist yet: the file it ends at is made, and every
// link stays as it was. Relative links are read from their own folder.
TEST(Paths, ReplaceFileContentsMakesTheFileALinkNames) {
    namespace fs = std::filesystem;
    using Links = std::vector<std::pair<std::string, std::string>>;  // name in the folder, what it holds
    const auto chain = [](int length) {  // f, l1, l2, ... each naming the next, the last "target"
        Links links;
        for (int i = 0; i < length; ++i)
            links.push_back({i ? "l" + std::to_string(i) : "f", i + 1 < length ? "l" + std::to_string(i + 1) : "target"});
        return links;
    };
    TestDir outside;
    struct Case {
        const char* what;
        Links links;
        std::string made;  // the file that holds the content afterwards; empty: the save fails
    } cases[] = {
        {"a link to a missing file", {{"f", "target"}}, "target"},
        {"a chain through a subfolder", {{"f", "sub/l1"}, {"sub/l1", "l2"}, {"sub/l2", "../sub/target"}}, "sub/target"},
        {"an absolute link", {{"f", outside / "target"}}, outside / "target"},
        {"a chain of 40 links", chain(40), "target"},
        {"a chain of 41 links", chain(41), ""},
        {"a loop", {{"f", "g"}, {"g", "f"}}, ""},
        {"a link into a missing folder", {{"f", "missing/target"}}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestDir dir;
        fs::create_directory(dir / "sub");
        for (const auto& [name, to] : c.links) fs::create_symlink(to, dir / name);
        EXPECT_EQ(plat::ReplaceFileContents(dir.Wide("f"), "new"), !c.made.empty());
        for (const auto& [name, to] : c.links) {
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / name))) << name;
            std::error_code error;
            EXPECT_EQ(fs::read_symlink(dir / name, error), to) << name;
        }
        std::vector<std::string> files;
        for (const std::string& folder : {dir.path(), outside.path()})
            for (const auto& entry : fs::recursive_directory_iterator(folder))
                if (fs::is_regular_file(entry.symlink_status())) files.push_back(entry.path());
        const std::string made = c.made.empty() || c.made[0] == '/' ? c.made : dir / c.made;
        EXPECT_EQ(files, made.empty() ? std::vector<std::string>() : std::vector<std::string>{made});
        if (!made.empty()) {
            EXPECT_EQ(ReadFile(made), "new");
            fs::remove(made);
        }
        EXPECT_FALSE(fs::exists(dir / "missing"));
    }
}

// New files that earlier saves left when they were cut off go with the next save of the same file,
// unless a live process may still be writing them; everything else beside the file stays.
TEST(Paths, ReplaceFileContentsRemovesLeftoversOfEarlierSaves) {
    namespace fs = std::filesystem;
    const std::string ended = std::to_string(EndedPid()), live = std::to_string(getppid()),
                      self = std::to_string(getpid());
    for (const bool throughLink : {false, true}) {
        SCOPED_TRACE(throughLink ? "through a link" : "the file itself");
        TestDir dir;
        const std::string folder = throughLink ? dir / "sub" : dir.path();
        fs::create_directories(folder);
        if (throughLink) fs::create_symlink("sub/f", dir / "f");
        std::ofstream(folder + "/f") << "earlier";
        const std::set<std::string> leftovers = {"f.new-" + ended + "-0", "f.new-" + ended + "-17",
                                                 "f.new-" + self + "-999999"};  // of this pid, not being written
        const std::set<std::string> others = {"f", "f.new-" + live + "-0", "f.new-" + ended, "f.new-" + ended + "-x",
                                              "f.new--3", "f.new-" + ended + "-0.bak", "g.new-" + ended + "-0",
                                              "f.old", "f.new-" + ended + "-5"};
        for (const std::string& name : leftovers) std::ofstream(folder + "/" + name) << "cut off";
        for (const std::string& name : others)
            if (name != "f" && name != "f.new-" + ended + "-5") std::ofstream(folder + "/" + name) << "other";
        fs::create_directory(folder + "/f.new-" + ended + "-5");  // a folder of that name is no leftover
        ASSERT_TRUE(plat::ReplaceFileContents(dir.Wide("f"), "new"));
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
        EXPECT_EQ(names, others);
        EXPECT_EQ(ReadFile(folder + "/f"), "new");
        EXPECT_EQ(ReadFile(folder + "/f.new-" + live + "-0"), "other");
    }
}

// Two processes that save one file in place at once (its folder takes no new file from them) each
// write it whole in turn: read between their saves, the file always holds one of the two contents.
TEST(Paths, ReplaceFileContentsInPlaceOneSaveAtATime) {
    if (geteuid() != 0) GTEST_SKIP() << "only root sets up a folder of another user";
    constexpr uid_t other = 65534;
    constexpr int kSaves = 60;
    const std::string first(300000, 'a'), second(200000, 'b');
    TestDir dir;
    const std::string file = dir / "f";
    std::ofstream(file) << first;
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(chown(dir.path().c_str(), other, other), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const ino_t inode = StatOf(file).st_ino;
    const auto saves = [&](const std::string& content) {
        return [&file, &content] {
            bool all = true;
            for (int i = 0; i < kSaves; ++i) all = plat::ReplaceFileContents(plat::WideFromNarrow(file), content) && all;
            return all;
        };
    };
    const pid_t writers[] = {StartAsOrdinaryUser(saves(first)), StartAsOrdinaryUser(saves(second))};
    int reads = 0, mixed = 0;
    for (bool running = true; running; ++reads) {
        running = false;
        for (pid_t writer : writers) {
            siginfo_t info{};
            running = running || (waitid(P_PID, id_t(writer), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0);
        }
        const std::string now = ReadLocked(file);
        mixed += now != first && now != second;
    }
    for (pid_t writer : writers) EXPECT_EQ(FinishedAsOrdinaryUser(writer), 1) << "every save went through";
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    const std::string last = ReadFile(file);
    EXPECT_TRUE(last == first || last == second) << last.size() << " bytes";
    EXPECT_EQ(StatOf(file).st_ino, inode) << "written in place";
    EXPECT_EQ(NamesIn(dir.path()), 1u) << "no file beside it";
}
