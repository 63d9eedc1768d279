#include "PackageFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <random>
#include <vector>

#include "KivLog.h"
#include "Paths.h"
#include "Text.h"
#include "ZipArchive.h"

namespace {

bool PathExists(const std::wstring& path)
{
    struct stat st;
    return lstat(plat::NativePath(path).c_str(), &st) == 0;
}

void Report(int* code, std::wstring* error, int value, const std::wstring& text)
{
    if (code) *code = value;
    if (error) *error = text;
}

std::wstring Quoted(const wchar_t* before, const std::wstring& value, const wchar_t* after)
{
    return before + (L"\"" + value + L"\"") + after;
}

// A generator of the call's own, so that workers never share its state.
bool MakeTempName(std::wstring* name, const std::wstring& serial, const std::wstring& extension,
                  bool directory)
{
    if (!name) return true;
    std::random_device device;
    std::mt19937 generator(device() ^ static_cast<unsigned>(std::time(nullptr)));
    std::uniform_int_distribution<unsigned long> number(0, 2147483647UL);
    const std::wstring base = plat::TempDir() + L"~" + FileNameSafeSerial(serial);
    const std::wstring tail = extension.empty() ? L".kivmp" : extension;
    std::wstring path;
    do {
        path = base + std::to_wstring(number(generator)) + std::to_wstring(number(generator)) + tail;
    } while (PathExists(path));
    *name = directory ? path + L"/" : path;
    return true;
}

// Entries of stored size 0 are made here, with their parent directories.
void MakeEmptyEntry(const std::wstring& directory, const RYL::ArchiveItem& item)
{
    const std::wstring name = item.name;
    std::filesystem::path path = plat::NativePath(directory + L"/" + name);
    std::error_code ec;
    if (name.empty() || name.back() == L'/' || (item.attributes & RYL::FILE_ATTR_DIRECTORY)) {
        std::filesystem::create_directories(path, ec);
        return;
    }
    std::filesystem::create_directories(path.parent_path(), ec);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                  RYL::ModeFromAttributes(item.attributes));
    if (fd >= 0) close(fd);
}

wchar_t AsciiLower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c; }

// '*' any run, '?' one character; other characters match without regard to ASCII case.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* name)
{
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name) {
        if (*pattern == L'*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == L'?' || (*pattern && AsciiLower(*pattern) == AsciiLower(*name))) {
            ++pattern;
            ++name;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == L'*') ++pattern;
    return *pattern == 0;
}

std::vector<std::string> EntryNames(DIR* dir)
{
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    return names;
}

// Removes everything below the open directory; links are removed, not followed. Closes dirFd.
bool DeleteContents(int dirFd)
{
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    bool ok = true;
    for (const std::string& name : EntryNames(dir)) {
        struct stat st;
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            int sub = openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            ok = sub >= 0 && DeleteContents(sub) && ok;
            ok = unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) == 0 && ok;
        } else {
            ok = unlinkat(dirFd, name.c_str(), 0) == 0 && ok;
        }
    }
    closedir(dir);
    return ok;
}

}  // namespace

std::wstring FileNameSafeSerial(const std::wstring& serial)
{
    std::wstring safe = serial;
    for (wchar_t& c : safe) {
        if (c == L'/' || c == L'\\' || c < 0x20 || c == 0x7F) c = L'_';
    }
    return safe;
}

bool MakeTempDirName(std::wstring* name, std::wstring serial, std::wstring extension)
{
    return MakeTempName(name, serial, extension, true);
}

bool MakeTempFileName(std::wstring* name, std::wstring serial, std::wstring extension)
{
    return MakeTempName(name, serial, extension, false);
}

bool UnzipToDirectory(std::wstring zipPath, std::wstring directory, int* code, std::wstring* error)
{
    RYL::ArchiveHandle* zip = RYL::OpenArchive(zipPath.c_str(), nullptr);
    if (!zip) {
        Report(code, error, ERR_ZIP_OPEN, Quoted(L"Can't open ", zipPath, L""));
        return false;
    }
    if (RYL::SetExtractDir(zip, directory.c_str()) != RYL::ARC_OK) {
        RYL::CloseArchive(zip);
        Report(code, error, ERR_ZIP_DESTINATION, L"Can't set the destination");
        return false;
    }
    RYL::ArchiveItem item;
    RYL::GetArchiveItem(zip, -1, &item);
    const int count = item.index;
    bool ok = true;
    for (int i = 0; ok && i < count; ++i) {
        if (RYL::GetArchiveItem(zip, i, &item) != RYL::ARC_OK) {
            Report(code, error, ERR_ZIP_ITEM, L"Can't get zip content");
            ok = false;
        } else if (item.compressedSize == 0 && item.uncompressedSize == 0) {
            MakeEmptyEntry(directory, item);
        } else if (RYL::ExtractItem(zip, i, item.name) != RYL::ARC_OK) {
            Report(code, error, ERR_ZIP_EXTRACT, L"Can't unzip content");
            ok = false;
        }
    }
    RYL::CloseArchive(zip);
    return ok;
}

bool FindSingleFile(std::wstring directory, std::wstring pattern, std::wstring* path, int* code,
                    std::wstring* error)
{
    std::vector<std::wstring> found;
    std::string native = plat::NativePath(directory);
    if (DIR* dir = opendir(native.c_str())) {
        for (const std::string& name : EntryNames(dir)) {
            struct stat st;
            if (name[0] == '.' || fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISREG(st.st_mode))
                continue;
            std::wstring wide = plat::WideFromNarrow(name);
            if (WildcardMatch(pattern.c_str(), wide.c_str())) found.push_back(wide);
        }
        closedir(dir);
    }
    if (found.empty()) {
        Report(code, error, ERR_FILE_SEARCH, Quoted(L"Not found any ", pattern, L" file"));
        return false;
    }
    if (found.size() > 1) {
        Report(code, error, ERR_FILE_SEARCH, Quoted(L"Found two or more ", pattern, L" file(s)"));
        return false;
    }
    while (!directory.empty() && (directory.back() == L'/' || directory.back() == L'\\')) directory.pop_back();
    if (path) *path = directory + L"/" + found.front();
    return true;
}

uint64_t BytesToSend(std::wstring path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path native = plat::NativePath(path);
    if (!fs::is_directory(native, error)) {
        const uintmax_t size = fs::file_size(native, error);
        return error ? 0 : uint64_t(size);
    }
    uint64_t bytes = 0;
    for (fs::recursive_directory_iterator it(native, fs::directory_options::skip_permission_denied, error), end;
         !error && it != end; it.increment(error)) {
        if (it->symlink_status(error).type() == fs::file_type::regular) {
            const uintmax_t size = it->file_size(error);
            if (!error)
                bytes += size;
        }
        error.clear();
    }
    return bytes;
}

bool DeleteDirectoryTree(std::wstring directory)
{
    std::string native = plat::NativePath(directory);
    // The checks below must see the tree's own entry: through "link/" or "link/." they would see
    // the link's target.
    while (native.size() > 1 && native.back() == '/') native.pop_back();
    const std::string last = native.substr(native.rfind('/') + 1);
    if (native.find_first_not_of('/') == std::string::npos || last == "." || last == ".." ||
        std::filesystem::path(native).lexically_normal() == "/")
        return false;
    struct stat st;
    if (lstat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    return DeleteContents(fd) && rmdir(native.c_str()) == 0;
}
