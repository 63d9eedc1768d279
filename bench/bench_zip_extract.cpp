// Extracts a generated image package with UnzipToDirectory, Info-ZIP unzip and bsdtar
// (libarchive), each in a child process, in interleaved rounds, and prints the best time of each,
// the time ratios against both tools and the peak memory figures. Before that, one untimed
// extraction of ours is compared with unzip's tree.
//   bench_zip_extract [--size-mib N] [--dir DIR] [--rounds N] [--package ZIP]
//   (default 1100 MiB, in the temp directory, 5 rounds; --package: the package to use, made there
//   and kept when it does not exist)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    double cpuSeconds = 0;  // user and system
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
    r.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

Run Spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return {};
    return Measure(pid, start);
}

Run Unzip(const fs::path& zip, const fs::path& dest)
{
    fs::create_directories(dest);
    return Spawn({"unzip", "-q", "-o", zip.string(), "-d", dest.string()});
}

Run Bsdtar(const fs::path& zip, const fs::path& dest)
{
    fs::create_directories(dest);
    return Spawn({"bsdtar", "-x", "-f", zip.string(), "-C", dest.string()});
}

bool SameTree(const fs::path& a, const fs::path& b)
{
    return std::system(("diff -r -q '" + a.string() + "' '" + b.string() + "'").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t sizeMiB = 1100;
    int rounds = 5;
    fs::path base = fs::temp_directory_path();
    fs::path package;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size-mib")) sizeMiB = std::strtoull(argv[i + 1], nullptr, 10);
        else if (!std::strcmp(argv[i], "--dir")) base = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--package")) package = argv[i + 1];
    }
    fs::path work = base / ("bench_zip_extract." + std::to_string(getpid()));
    fs::create_directories(work);
    fs::path zip = package.empty() ? work / "package.zip" : package;
    if (!fs::exists(zip)) {
        std::printf("generating a package with a %llu MiB image and 200 small files...\n", (unsigned long long)sizeMiB);
        if (!MakePackage(zip, sizeMiB << 20)) {
            std::fprintf(stderr, "cannot write %s\n", zip.c_str());
            return 2;
        }
    }
    std::printf("package: %.1f MiB\n", double(fs::file_size(zip)) / (1 << 20));
    std::system(("cat '" + zip.string() + "' > /dev/null").c_str());  // all start from the page cache

    // Untimed: ours must give unzip's tree.
    {
        const fs::path a = work / "check-ours", b = work / "check-unzip";
        if (!Ours(zip, a).ok || !Unzip(zip, b).ok) {
            std::fprintf(stderr, "the check extraction failed\n");
            return 1;
        }
        bool same = SameTree(a, b);
        std::printf("extracted identically to unzip: %s\n", same ? "yes" : "NO");
        if (!same) return 1;
        DeleteDirectoryTree(plat::WideFromNarrow(a.string()));
        DeleteDirectoryTree(plat::WideFromNarrow(b.string()));
    }

    struct Tool {
        const char* name;
        Run (*run)(const fs::path&, const fs::path&);
        Run best;
        int runs;
    } tools[] = {{"UnzipToDirectory", Ours, {}, 0}, {"unzip", Unzip, {}, 0}, {"bsdtar", Bsdtar, {}, 0}};
    const int toolCount = int(sizeof tools / sizeof tools[0]);
    // Every run starts from the same state: the tree of the run before it deleted and written
    // back (a file system holding other fresh trees makes the writes of the next tool dearer),
    // and the order turns each round so that no tool always follows the same one.
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < toolCount; ++k) {
            Tool& tool = tools[(round + k) % toolCount];
            const fs::path dest = work / tool.name;
            sync();
            Run r = tool.run(zip, dest);
            if (!r.ok) {
                std::fprintf(stderr, "%s failed\n", tool.name);
                return 1;
            }
            if (tool.runs++ == 0 || r.seconds < tool.best.seconds) tool.best = r;
            DeleteDirectoryTree(plat::WideFromNarrow(dest.string()));
        }
    }
    sync();
    for (const Tool& tool : tools) {
        std::printf("%-17s %.2f s (CPU %.2f s), peak memory %ld KiB\n", (std::string(tool.name) + ":").c_str(),
                    tool.best.seconds, tool.best.cpuSeconds, tool.best.peakKiB);
    }
    std::printf("time ratio (UnzipToDirectory / unzip):  %.3f\n", tools[0].best.seconds / tools[1].best.seconds);
    std::printf("time ratio (UnzipToDirectory / bsdtar): %.3f\n", tools[0].best.seconds / tools[2].best.seconds);
    DeleteDirectoryTree(plat::WideFromNarrow(work.string()));
    return 0;
}
