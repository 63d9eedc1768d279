// imageverify_sim on a signed image of more than 1 GiB, hashing forced to the host, against the
// CPU time of SHA-256 over the same number of bytes in memory (this CPU's limit: the aim is a wall
// time of at most 1.1 times it) and against sha256sum of the same data in the same run.
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SepSimImage.h"

extern char** environ;

namespace {

constexpr uint64_t kDataSize = (1ull << 30) + 4100;
constexpr size_t kChunk = 8u << 20;

// Runs the program with stdout to a file and stderr dropped; returns the exit code and adds the
// program's CPU time to cpuSeconds.
int Run(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv, const std::string& out,
        double& cpuSeconds) {
    std::vector<std::string> a = args;
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++) env.push_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    cpuSeconds += seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Seconds(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& out,
               int& exitCode, double& cpuSeconds) {
    cpuSeconds = 0;
    auto start = std::chrono::steady_clock::now();
    exitCode = Run(args, env, out, cpuSeconds);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double ThreadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// CPU time of SHA-256 over bytes bytes, hashed from one buffer of 2 MiB that stays in the cache.
double HashCpuSeconds(uint64_t bytes) {
    std::vector<uint8_t> buffer(2u << 20, 0x5A);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    double start = ThreadCpuSeconds();
    EVP_DigestInit(md, EVP_sha256());
    for (uint64_t done = 0; done < bytes;) {
        size_t n = size_t(std::min<uint64_t>(buffer.size(), bytes - done));
        EVP_DigestUpdate(md, buffer.data(), n);
        done += n;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal(md, digest, &length);
    double seconds = ThreadCpuSeconds() - start;
    EVP_MD_CTX_free(md);
    return seconds;
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("bench_imageverify." + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string dataPath = (dir / "data.bin").string(), imagePath = (dir / "image.img").string();
    std::string outPath = (dir / "out.txt").string();

    // The data, its digest and the image: header block followed by the same bytes.
    std::vector<uint8_t> chunk(kChunk);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    EVP_DigestInit(md, EVP_sha256());
    {
        std::ofstream data(dataPath, std::ios::binary);
        for (uint64_t done = 0; done < kDataSize;) {
            size_t n = size_t(std::min<uint64_t>(kChunk, kDataSize - done));
            for (size_t i = 0; i + 8 <= n; i += 8) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                std::memcpy(&chunk[i], &state, 8);
            }
            EVP_DigestUpdate(md, chunk.data(), n);
            data.write(reinterpret_cast<const char*>(chunk.data()), std::streamsize(n));
            done += n;
        }
    }
    std::vector<uint8_t> digest(32);
    unsigned int digestLength = 0;
    EVP_DigestFinal(md, digest.data(), &digestLength);
    EVP_MD_CTX_free(md);
    std::vector<uint8_t> block = sepsim::BuildHeaderBlock(2, 0, digest, 480, uint32_t(kDataSize / 4));
    {
        std::ofstream image(imagePath, std::ios::binary);
        image.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
        std::ifstream data(dataPath, std::ios::binary);
        image << data.rdbuf();
    }

    std::vector<std::string> verify = {IMAGEVERIFY_SIM_BIN, imagePath};
    std::vector<std::string> onHost = {"SEPSIM_QUEUE=2"};
    std::vector<std::string> reference = {"sha256sum", dataPath};
    int code = 0;
    double cpu = 0;
    Seconds(verify, onHost, outPath, code, cpu);  // both files into the page cache
    Seconds(reference, {}, outPath, code, cpu);

    double best = 1e9, bestCpu = 1e9, bestReference = 1e9, bestHash = 1e9;
    bool ok = true;
    for (int round = 0; round < 5; round++) {
        double wall = Seconds(verify, onHost, outPath, code, cpu);
        if (wall < best) best = wall, bestCpu = cpu;
        ok = ok && code == 0;
        bestReference = std::min(bestReference, Seconds(reference, {}, outPath, code, cpu));
        ok = ok && code == 0;
        bestHash = std::min(bestHash, HashCpuSeconds(kDataSize));
    }
    char hex[65];
    for (int i = 0; i < 32; i++) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    std::ifstream sum(outPath);
    std::string line;
    std::getline(sum, line);
    ok = ok && line.compare(0, 64, hex) == 0;
    fs::remove_all(dir);

    std::printf("data: %llu bytes, best of 5\n", (unsigned long long)kDataSize);
    std::printf("imageverify_sim (host hashing): %.3f s (CPU time %.3f s)\n", best, bestCpu);
    std::printf("SHA-256 CPU time of as many bytes in memory: %.3f s\n", bestHash);
    std::printf("sha256sum of the same data:     %.3f s\n", bestReference);
    std::printf("ratio (imageverify_sim wall / SHA-256 CPU time): %.3f (aim: at most 1.1)\n", best / bestHash);
    std::printf("ratio (imageverify_sim / sha256sum): %.3f\n", best / bestReference);
    if (!ok) {
        std::printf("FAILED: the image did not verify or the digests differ\n");
        return 1;
    }
    return 0;
}
