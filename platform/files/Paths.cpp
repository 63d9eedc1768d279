#include "Paths.h"

#include "Text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace plat {
namespace {

std::mutex gDirLock;
std::wstring gDirOverride;

std::wstring Parent(const std::wstring& file) {
    size_t slash = file.find_last_of(L'/');
    if (slash == std::wstring::npos) return L".";
    if (slash == 0) return L"/";
    return file.substr(0, slash);
}

}  // namespace

std::string NativePath(const std::wstring& path) {
    std::wstring p = path;
    for (wchar_t& c : p)
        if (c == L'\\') c = L'/';
    return NarrowFromWide(p);
}

std::wstring ProgramFile() {
    std::string buf(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return std::wstring();
    buf.resize(static_cast<size_t>(n));
    return WideFromNarrow(buf);
}

std::wstring ProgramDir() {
    {
        std::lock_guard<std::mutex> guard(gDirLock);
        if (!gDirOverride.empty()) return gDirOverride;
    }
    std::wstring file = ProgramFile();
    return file.empty() ? std::wstring() : Parent(file);
}

void SetProgramDirForTesting(const std::wstring& dir) {
    std::wstring d = dir;
    while (d.size() > 1 && (d.back() == L'/' || d.back() == L'\\')) d.pop_back();
    std::lock_guard<std::mutex> guard(gDirLock);
    gDirOverride = d;
}

std::wstring SearchPathFor(const std::wstring& name) {
    if (name.empty() || name.find_first_of(L"/\\") != std::wstring::npos) return std::wstring();
    const char* path = std::getenv("PATH");
    if (!path) return std::wstring();
    const std::string file = NarrowFromWide(name);
    std::string all = path;
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos) end = all.size();
        // An empty entry is the current directory.
        std::string full = end > start ? all.substr(start, end - start) : std::string(1, '.');
        full += '/';
        full += file;
        start = end + 1;
        struct stat st;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(full.c_str(), X_OK) == 0) {
            if (full[0] != '/') {
                char cwd[4096];
                if (getcwd(cwd, sizeof cwd)) full = std::string(cwd) + "/" + full;
            }
            return WideFromNarrow(full);
        }
    }
    return std::wstring();
}

bool FileExists(const std::wstring& path) {
    if (path.empty()) return false;
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::wstring& path) {
    if (path.empty()) return false;
    struct stat st;
    return stat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool RenameNoReplace(const std::wstring& from, const std::wstring& to, bool* taken) {
    const std::string source = NativePath(from), target = NativePath(to);
    if (taken) *taken = false;
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (taken) *taken = errno == EEXIST;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // A file system without the flag: a second hard link, which no existing name lets through.
    if (link(source.c_str(), target.c_str()) != 0) {
        if (taken) *taken = errno == EEXIST;
        return false;
    }
    if (unlink(source.c_str()) == 0) return true;
    const int error = errno;
    unlink(target.c_str());
    errno = error;
    return false;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

namespace {

int CreateNewFileAt(const std::string& name, bool* taken) {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (taken) *taken = fd < 0 && errno == EEXIST;
    return fd;
}

}  // namespace

int CreateNewFile(const std::wstring& path, bool* taken) { return CreateNewFileAt(NativePath(path), taken); }

namespace {

constexpr int kLinkDepth = 40;  // as the kernel follows

// The saves of this process in progress, by the file names of their new files.
std::mutex gSavingLock;
std::set<std::string> gSaving;

std::string FolderOf(const std::string& name) {
    const size_t slash = name.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a chain of links ends at, relative links read from their own folder; the name itself
// when it is no link. That name need not exist. Empty when the chain is longer than kLinkDepth or
// a link cannot be read.
std::string FollowLinks(std::string name) {
    for (int links = 0; links <= kLinkDepth; ++links) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
        if (links == kLinkDepth) break;
        std::string to(size_t(st.st_size) + 1, '\0');
        const ssize_t n = readlink(name.c_str(), to.data(), to.size());
        if (n <= 0 || size_t(n) >= to.size()) return std::string();  // changed meanwhile
        to.resize(size_t(n));
        if (to[0] != '/') {
            const std::string folder = FolderOf(name);
            to = (folder == "/" ? folder : folder + "/") + to;
        }
        name = to;
    }
    return std::string();
}

// "<pid>-<n>" of a new file's name: the pid, or 0 when the text is not of that form.
pid_t LeftoverPid(const std::string& suffix) {
    const size_t dash = suffix.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == suffix.size() || dash > 9) return 0;
    if (suffix.find_first_not_of("0123456789") != dash ||
        suffix.find_first_not_of("0123456789", dash + 1) != std::string::npos)
        return 0;
    return pid_t(std::stol(suffix.substr(0, dash)));
}

// Removes the new files that earlier saves of target left beside it (cut off by a crash or a
// power loss): those of processes that have ended, and those of this process that no save of it
// is writing now. Another live process's new file stays.
void RemoveLeftovers(const std::string& target) {
    const std::string folder = FolderOf(target), prefix = NameOf(target) + ".new-";
    DIR* dir = opendir(folder.c_str());
    if (!dir) return;
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const pid_t pid = LeftoverPid(name.substr(prefix.size()));
        if (pid <= 0) continue;
        if (pid == getpid()) {
            std::lock_guard<std::mutex> guard(gSavingLock);
            if (gSaving.count(name)) continue;
        } else if (kill(pid, 0) == 0 || errno != ESRCH) {
            continue;
        }
        leftovers.push_back(name);
    }
    for (const std::string& name : leftovers) {
        struct stat st;
        if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            unlinkat(dirfd(dir), name.c_str(), 0);
    }
    closedir(dir);
}

// Waits for a lock on the file (flock LOCK_EX or LOCK_SH), which its descriptor's close releases.
void Lock(int fd, int operation) {
    while (flock(fd, operation) != 0 && errno == EINTR) {}
}

// The rest of the file from the descriptor's position; false when a read fails.
bool ReadRest(int fd, std::string* bytes) {
    char block[65536];
    for (;;) {
        const ssize_t n = read(fd, block, sizeof block);
        if (n > 0) bytes->append(block, size_t(n));
        else if (n == 0) return true;
        else if (errno != EINTR) return false;
    }
}

bool SameFile(int fd, const std::string& name) {
    struct stat held, named;
    return fstat(fd, &held) == 0 && stat(name.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// Writes over the file itself, for when no new file can take its place. The new bytes go over the
// earlier ones and only then is the file cut to their length; when they do not all go in, the
// earlier bytes are put back as far as the file takes them. An exclusive lock on the file keeps
// other saves out meanwhile.
bool OverwriteInPlace(const std::string& target, const std::string& bytes) {
    int fd = -1;
    bool readable = false;
    // A save that replaced the file while this one waited for the lock leaves it holding a file
    // that no name leads to any more: it opens the new one.
    for (int attempt = 0; attempt < 100; ++attempt) {
        fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
        readable = fd >= 0;
        if (!readable) fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return false;
        Lock(fd, LOCK_EX);
        if (SameFile(fd, target)) break;
        close(fd);
        fd = -1;
    }
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string earlier;
    const bool restorable = ok && readable && ReadRest(fd, &earlier);
    const auto put = [fd](const std::string& content) {
        return lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, content.data(), content.size()) &&
               ftruncate(fd, off_t(content.size())) == 0 && fsync(fd) == 0;
    };
    ok = ok && put(bytes);
    if (!ok && restorable) put(earlier);
    ok = close(fd) == 0 && ok;  // which also releases the lock
    return ok;
}

// A new file's name beside target, entered among this process's saves in progress before the file
// is made, so that no other save of it takes the file for a leftover.
class NewFileName {
public:
    explicit NewFileName(const std::string& target) : target_(target) {}
    ~NewFileName() { Forget(); }
    NewFileName(const NewFileName&) = delete;
    NewFileName& operator=(const NewFileName&) = delete;

    const std::string& Next() {
        static std::atomic<unsigned> counter{0};
        Forget();
        path_ = target_ + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        std::lock_guard<std::mutex> guard(gSavingLock);
        gSaving.insert(NameOf(path_));
        return path_;
    }
    const std::string& path() const { return path_; }

private:
    void Forget() {
        if (path_.empty()) return;
        std::lock_guard<std::mutex> guard(gSavingLock);
        gSaving.erase(NameOf(path_));
    }
    std::string target_, path_;
};

}  // namespace

bool ReplaceFileContents(const std::wstring& path, const std::string& bytes) {
    const std::string target = FollowLinks(NativePath(path));
    if (target.empty()) return false;
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return false;
    if (!exists && errno != ENOENT) return false;
    RemoveLeftovers(target);
    NewFileName temp(target);
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        bool taken = false;
        fd = CreateNewFileAt(temp.Next(), &taken);
        if (fd >= 0 || taken) continue;
        // A folder that takes no new file: the file itself may still be writable.
        if (exists && (errno == EACCES || errno == EPERM || errno == EROFS)) return OverwriteInPlace(target, bytes);
        return false;
    }
    if (fd < 0) return false;
    // A new file that cannot have the earlier one's owner and group would take them away: the
    // earlier file then takes the content itself, or stays as it was.
    if (exists && fchown(fd, st.st_uid, st.st_gid) != 0) {
        close(fd);
        unlink(temp.path().c_str());
        return OverwriteInPlace(target, bytes);
    }
    // The mode after the owner, since a change of owner clears the set-id bits.
    bool ok = (!exists || fchmod(fd, st.st_mode & 07777) == 0) && WriteAll(fd, bytes.data(), bytes.size());
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok) {
        // Not while a save in place is writing the earlier file.
        const int held = exists ? open(target.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (held >= 0) Lock(held, LOCK_EX);
        ok = rename(temp.path().c_str(), target.c_str()) == 0;
        if (held >= 0) close(held);
        if (ok) return true;
    }
    unlink(temp.path().c_str());
    return false;
}

bool ReadFileContents(const std::wstring& path, std::string* bytes) {
    const int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    Lock(fd, LOCK_SH);
    std::string read;
    const bool ok = ReadRest(fd, &read);
    close(fd);
    if (ok) *bytes = std::move(read);
    return ok;
}

std::wstring TempDir() {
    std::string dir;
    const char* env = std::getenv("TMPDIR");
    if (env && *env) {
        struct stat st;
        if (stat(env, &st) == 0 && S_ISDIR(st.st_mode)) dir = env;
    }
    if (dir.empty()) dir = "/tmp";
    if (dir.back() != '/') dir += '/';
    return WideFromNarrow(dir);
}

}  // namespace plat
