#include "Paths.h"

#include "Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

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

bool RenameNoReplace(const std::wstring& from, const std::wstring& to) {
    const std::string source = NativePath(from), target = NativePath(to);
    if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
    // A file system without the flag: a second hard link, which no existing name lets through.
    if (link(source.c_str(), target.c_str()) != 0) return false;
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

// Writes over the file itself, for when no new file can take its place. The new bytes go over the
// earlier ones and only then is the file cut to their length; when they do not all go in, the
// earlier bytes are put back as far as the file takes them.
bool OverwriteInPlace(const std::string& target, const std::string& bytes) {
    int fd = open(target.c_str(), O_RDWR | O_CLOEXEC);
    const bool readable = fd >= 0;
    if (!readable) fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string earlier;
    bool restorable = ok && readable;
    while (restorable) {
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) restorable = false;
        else earlier.append(buf, size_t(n));
    }
    const auto put = [fd](const std::string& content) {
        return lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, content.data(), content.size()) &&
               ftruncate(fd, off_t(content.size())) == 0 && fsync(fd) == 0;
    };
    ok = ok && put(bytes);
    if (!ok && restorable) put(earlier);
    ok = close(fd) == 0 && ok;
    return ok;
}

}  // namespace

bool ReplaceFileContents(const std::wstring& path, const std::string& bytes) {
    std::string target = NativePath(path);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return false;
    if (exists) {
        char* resolved = realpath(target.c_str(), nullptr);
        if (!resolved) return false;
        target = resolved;
        std::free(resolved);
    }
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = target + ".new-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno == EEXIST) continue;
        // A folder that takes no new file: the file itself may still be writable.
        if (exists && (errno == EACCES || errno == EPERM || errno == EROFS)) return OverwriteInPlace(target, bytes);
        return false;
    }
    if (fd < 0) return false;
    // A new file that cannot have the earlier one's owner and group would take them away: the
    // earlier file then takes the content itself, or stays as it was.
    if (exists && fchown(fd, st.st_uid, st.st_gid) != 0) {
        close(fd);
        unlink(temp.c_str());
        return OverwriteInPlace(target, bytes);
    }
    // The mode after the owner, since a change of owner clears the set-id bits.
    bool ok = (!exists || fchmod(fd, st.st_mode & 07777) == 0) && WriteAll(fd, bytes.data(), bytes.size());
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) == 0) return true;
    unlink(temp.c_str());
    return false;
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
