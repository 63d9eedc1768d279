// Extracts a generated image package with UnzipToDirectory and with Info-ZIP unzip, each in a
// child process, and prints the time ratio and both peak memory figures.
//   bench_zip_extract [--size-mib N] [--dir DIR]     (default 1100 MiB, in the temp directory)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <zip.h>

#include "PackageFiles.h"
#include "Text.h"

namespace fs = std::filesystem;
extern char** environ;

namespace {

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Image-like data: runs of zeros, repeated records and noise, about 2:1 under deflate.
void FillImageBlock(std::vector<unsigned char>& block, uint64_t& state)
{
    size_t i = 0;
    while (i < block.size()) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        size_t run = std::min<size_t>(block.size() - i, 512 + (state & 4095));
        switch ((state >> 20) % 3) {
        case 0: std::memset(&block[i], 0, run); break;
        case 1:
            for (size_t k = 0; k < run; ++k) block[i + k] = static_cast<unsigned char>("boot record "[k % 12] + ((k / 64) & 3));
            break;
        default:
            for (size_t k = 0; k < run; ++k) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                block[i + k] = static_cast<unsigned char>(state);
            }
        }
        i += run;
    }
}

bool AddEntry(zipFile zf, const std::string& name, uint64_t size, uint64_t seed)
{
    zip_fileinfo info{};
    if (zipOpenNewFileInZip64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                              Z_BEST_SPEED, size >= 0xFFFFFFFFull) != ZIP_OK)
        return false;
    std::vector<unsigned char> block(1 << 20);
    uint64_t state = seed | 1;
    for (uint64_t done = 0; done < size;) {
        FillImageBlock(block, state);
        unsigned n = unsigned(std::min<uint64_t>(block.size(), size - done));
        if (zipWriteInFileInZip(zf, block.data(), n) != ZIP_OK) return false;
        done += n;
    }
    return zipCloseFileInZip(zf) == ZIP_OK;
}

bool MakePackage(const fs::path& zip, uint64_t imageBytes)
{
    zipFile zf = zipOpen64(zip.c_str(), 0);
    if (!zf) return false;
    bool ok = AddEntry(zf, "image/system.img", imageBytes, 0x9E3779B97F4A7C15ull);
    for (int i = 0; ok && i < 200; ++i) {
        ok = AddEntry(zf, "files/part" + std::to_string(i / 50) + "/file" + std::to_string(i) + ".bin",
                      4096 + uint64_t(i) * 613, uint64_t(i) + 7);
    }
    return zipClose(zf, nullptr) == ZIP_OK && ok;
}

Run Measure(pid_t pid, std::chrono::steady_clock::time_point start)
{
    Run r;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peakKiB = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

Run Ours(const fs::path& zip, const fs::path& dest)
{
    fs::create_directories(dest);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int code = 0;
        std::wstring error;
        bool ok = UnzipToDirectory(plat::WideFromNarrow(zip.string()), plat::WideFromNarrow(dest.string()), &code, &error);
        if (!ok) std::fprintf(stderr, "UnzipToDirectory: 0x%X %s\n", code, plat::NarrowFromWide(error).c_str());
        _exit(ok ? 0 : 1);
    }
    return Measure(pid, start);
}

Run Unzip(const fs::path& zip, const fs::path& dest)
{
    fs::create_directories(dest);
    std::string z = zip.string(), d = dest.string();
    const char* argv[] = {"unzip", "-q", "-o", z.c_str(), "-d", d.c_str(), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "unzip", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return {};
    return Measure(pid, start);
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t sizeMiB = 1100;
    fs::path base = fs::temp_directory_path();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size-mib")) sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--dir")) base = argv[i + 1];
    }
    fs::path work = base / ("bench_zip_extract." + std::to_string(getpid()));
    fs::create_directories(work);
    fs::path zip = work / "package.zip";
    std::printf("generating a package with a %llu MiB image and 200 small files...\n", (unsigned long long)sizeMiB);
    if (!MakePackage(zip, sizeMiB << 20)) {
        std::fprintf(stderr, "cannot write %s\n", zip.c_str());
        return 2;
    }
    std::printf("package: %.1f MiB\n", double(fs::file_size(zip)) / (1 << 20));
    std::system(("cat '" + zip.string() + "' > /dev/null").c_str());  // both start from the page cache

    Run best[2];
    for (int round = 0; round < 2; ++round) {
        for (int tool = 0; tool < 2; ++tool) {
            fs::path dest = work / (tool == 0 ? "ours" : "unzip");
            Run r = tool == 0 ? Ours(zip, dest) : Unzip(zip, dest);
            if (!r.ok) {
                std::fprintf(stderr, "%s failed\n", tool == 0 ? "UnzipToDirectory" : "unzip");
                return 1;
            }
            if (round == 0 || r.seconds < best[tool].seconds) best[tool] = r;
        }
        if (round == 0) {
            bool same = std::system(("diff -r -q '" + (work / "ours").string() + "' '" +
                                     (work / "unzip").string() + "'").c_str()) == 0;
            std::printf("extracted identically: %s\n", same ? "yes" : "NO");
            if (!same) return 1;
        }
        for (const char* dest : {"ours", "unzip"}) DeleteDirectoryTree(plat::WideFromNarrow((work / dest).string()));
    }
    std::printf("UnzipToDirectory: %.2f s, peak memory %ld KiB\n", best[0].seconds, best[0].peakKiB);
    std::printf("unzip:            %.2f s, peak memory %ld KiB\n", best[1].seconds, best[1].peakKiB);
    std::printf("time ratio (UnzipToDirectory / unzip): %.3f\n", best[0].seconds / best[1].seconds);
    DeleteDirectoryTree(plat::WideFromNarrow(work.string()));
    return 0;
}
