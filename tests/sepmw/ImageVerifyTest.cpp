// imageverify as a program: exit codes and exact standard error, run against the simulated SEP
// (imageverify_sim) and, without a SEP, the shipped program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "SepSimImage.h"
#include "SepTestSupport.h"

extern char** environ;

namespace {

constexpr int kRunLimitSeconds = 120;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

std::string Slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the program as "imageverify" with the given arguments and SEPSIM_ settings.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& simSettings, const std::filesystem::path& dir) {
    std::vector<std::string> argv = {"imageverify"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; e++)
        if (std::strncmp(*e, "SEPSIM_", 7) != 0) env.push_back(*e);
    env.insert(env.end(), simSettings.begin(), simSettings.end());
    std::vector<char*> cenv;
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    std::string outPath = (dir / "stdout.txt").string(), errPath = (dir / "stderr.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome o;
    if (rc != 0) return o;
    // A program that never ends is a failure, not a hang of the suite.
    int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        if (poll(&p, 1, kRunLimitSeconds * 1000) == 0) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << program << " did not end within " << kRunLimitSeconds << " s";
        }
        close(pidfd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    o.out = Slurp(outPath);
    o.err = Slurp(errPath);
    return o;
}

std::string Usage() {
    const char* n = "imageverify";
    std::ostringstream s;
    s << "  Usage: " << n << " -h | -k <key> -t <image type> {-f} <signed image pathname>\n"
      << "    <key> is 0 through 4 to specify the key that the image is signed with.\n"
      << "    <key> default is 2.\n"
      << "    <image type> is 0 (default) through 255 to specify the type of image.\n"
      << "    -f is optional syntax.\n"
      << "    -h Prints as help this usage message.\n"
      << "  Example, " << n << " -k 2 -t 3 image.bin\n"
      << "  Example, " << n << " -k 2 -t 3 -f image.bin\n"
      << "  Example, " << n << " -h\n\n";
    return s.str();
}

std::string Error(const std::string& text, int line, const char* function = "main") {
    return std::string(function) + "():" + std::to_string(line) + ": ERROR - " + text + "\n\n";
}

const std::string kVerified = "The file was successfully verified.\n\n";
const std::string kNotVerified = "The file was not verified.\n\n";

std::vector<uint8_t> Data(size_t n) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; i++) d[i] = uint8_t(i * 7 + i / 251);
    return d;
}

void Put32(std::vector<uint8_t>& image, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++) image[at + i] = uint8_t(v >> (8 * i));
}

// The SEPSIM_CALLBACKS setting of a run of requests ("opcode:word,..."), each made count times.
struct Requests {
    std::string text;
    Requests& Add(const std::string& request, size_t count = 1) {
        for (size_t i = 0; i < count; i++) text += (text.empty() ? "SEPSIM_CALLBACKS=" : ";") + request;
        return *this;
    }
};

class ImageVerify : public ::testing::Test {
protected:
    std::filesystem::path dir = septest::MakeTempDir();

    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), std::streamsize(bytes.size()));
        return path;
    }
    std::string Image(const std::string& name, sepsim::ImageSpec spec) { return Write(name, sepsim::BuildImage(spec)); }
    static sepsim::ImageSpec Spec(size_t dataSize, bool osHeader = false, uint32_t type = 0) {
        sepsim::ImageSpec spec;
        spec.data = Data(dataSize);
        spec.osHeader = osHeader;
        spec.imageType = type;
        return spec;
    }
    // An image whose header block is changed after signing; the checks before the SEP see it.
    std::string Edited(const std::string& name, size_t dataSize, size_t at, uint32_t value) {
        std::vector<uint8_t> image = sepsim::BuildImage(Spec(dataSize));
        Put32(image, at, value);
        return Write(name, image);
    }
    Outcome Sim(const std::vector<std::string>& args, const std::vector<std::string>& settings = {}) {
        return RunProgram(IMAGEVERIFY_SIM_BIN, args, settings, dir);
    }
};

TEST_F(ImageVerify, CommandLineAndFileChecks) {
    std::string good = Image("good.img", Spec(4096));
    std::string os = Image("os.img", Spec(1000, true));
    std::string empty = Write("empty.img", {});
    std::string small = Write("small.img", std::vector<uint8_t>(991, 0));
    std::string noVrl = Edited("novrl.img", 4096, 128, 0x12345678);
    std::string below = Edited("below.img", 4096, 160, 100);
    std::string negative = Edited("negative.img", 4096, 160, 0xFFFFFFFF);
    std::string beyond = Edited("beyond.img", 4096, 160, 4576 + 1);
    std::string atEnd = Edited("atend.img", 4096, 160, 4576);
    std::string zero = Edited("zero.img", 4096, 164, 0);
    std::string tooLong = Edited("toolong.img", 4096, 164, 1025);
    std::string missing = (dir / "missing.img").string();

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    } cases[] = {
        {"no arguments", {}, 1, Error("Incorrect number of arguments.", 337) + Usage()},
        {"help", {"-h"}, 1, Usage()},
        {"unknown option", {"-x", good}, 1, Usage()},
        {"missing argument", {"-k"}, 1, Usage()},
        {"no path", {"-k", "2", "-t", "0"}, 1, Usage()},
        {"empty path", {""}, 1, Error("File size is zero.", 421)},
        {"empty file", {empty}, 1, Error("File size is zero.", 421)},
        {"short file", {small}, 1, Error("File size is too small.", 430)},
        {"missing file", {missing}, 1,
         Error("Could not open the file " + missing, 200, "offGetFileSize") + Error("File size is zero.", 421)},
        {"no VRL header", {noVrl}, 1, Error("Image file does not have a VRL header.", 600) + kNotVerified},
        {"offset below the headers", {below}, 1,
         Error("File image data byte offset of 100 bytes is less than the extent of file headers at 480 bytes.", 566) +
             kNotVerified},
        {"negative offset", {negative}, 1,
         Error("File image data byte offset of -1 bytes is less than the extent of file headers at 480 bytes.", 566) +
             kNotVerified},
        {"offset beyond the file", {beyond}, 1,
         Error("File image data byte offset of 4577 bytes is greater than the file size of 4576 bytes.", 588) +
             kNotVerified},
        {"offset at the end", {atEnd}, 1,
         Error("VRL image data size of 4096 bytes is greater than file image data size of 0 bytes.", 661) +
             kNotVerified},
        {"size zero", {zero}, 1, Error("VRL image data size is zero.", 650) + kNotVerified},
        {"size beyond the file", {tooLong}, 1,
         Error("VRL image data size of 4100 bytes is greater than file image data size of 4096 bytes.", 661) +
             kNotVerified},
        {"verified", {good}, 0, kVerified},
        {"verified with -f", {"-k", "2", "-t", "0", "-f", good}, 0, kVerified},
        {"a path after -f replaces it", {"-f", missing, good}, 0, kVerified},
        {"$OS$ header", {os}, 0, kVerified},
    };
    for (const Case& c : cases) {
        Outcome o = Sim(c.args);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
        EXPECT_EQ(o.out, "") << c.name;
    }
}

TEST_F(ImageVerify, VerdictsOfTheSep) {
    std::string good = Image("good.img", Spec(3000));
    std::vector<uint8_t> tampered = sepsim::BuildImage(Spec(3000));
    tampered[2000] ^= 1;
    std::string bad = Write("tampered.img", tampered);
    sepsim::ImageSpec typed = Spec(3000, false, 300);
    std::string type300 = Image("type300.img", typed);
    std::string status = "SEPDriver_CheckStatus() returned an error value of ";

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::vector<std::string> settings;
        int exitCode;
        std::string err;
    } cases[] = {
        {"verified", {good}, {}, 0, kVerified},
        {"verified on the host", {good}, {"SEPSIM_QUEUE=2"}, 0, kVerified},
        {"SEP status 1", {good}, {"SEPSIM_VERIFY_STATUS=1"}, 1, Error(status + "0x1.", 948) + kNotVerified},
        {"tampered data", {bad}, {}, 1, Error(status + "0x3.", 948) + kNotVerified},
        {"tampered data on the host", {bad}, {"SEPSIM_QUEUE=2,2"}, 1, Error(status + "0x3.", 948) + kNotVerified},
        {"wrong key", {"-k", "1", good}, {}, 1, Error(status + "0x1.", 948) + kNotVerified},
        {"key without a key", {"-k", "7", good}, {}, 1, Error(status + "0x4.", 948) + kNotVerified},
        {"wrong type", {"-t", "3", good}, {}, 1, Error(status + "0x2.", 948) + kNotVerified},
        {"type 300 passed unchanged", {"-k", "2", "-t", "300", type300}, {}, 0, kVerified},
        {"offload decision fails", {good}, {"SEPSIM_QUEUE=1,1,1,1,1,1,1,1,1,1"}, 1,
         Error("Could not initialize CRYS_HASH; CRYS_HASH_Init() returned error value of 0xF0020D.", 709) +
             kNotVerified},
        {"request not sent", {good}, {"SEPSIM_FAIL_CONTROL=0x7300"}, 1,
         Error("SEPDriver_EndMessage() returned an error value of 0xFFFFFFFF.", 925) + kNotVerified},
        {"wait fails", {good}, {"SEPSIM_POLL_FAILURES=3"}, 1,
         Error("SEPDriver_POLL_FOR_REPONSE() returned an error value of 0x9.", 933) + kNotVerified},
        {"end of transaction fails", {good}, {"SEPSIM_FAIL_CONTROL=0x730F"}, 1,
         Error("SEPDriver_Unlock() returned an error value of 0x9.", 965) + kNotVerified},
    };
    for (const Case& c : cases) {
        Outcome o = Sim(c.args, c.settings);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
    }
}

// Whatever the SEP does while the host waits, the wait ends: with the verdict when the SEP goes on
// to its reply, else with the wait's diagnostic and the negative verdict.
TEST_F(ImageVerify, FaultsOfTheSepDuringTheWait) {
    std::string good = Image("good.img", Spec(3000));
    auto waitError = [](const std::string& value) {
        return Error("SEPDriver_POLL_FOR_REPONSE() returned an error value of " + value + ".", 933) + kNotVerified;
    };
    const std::string maxCache = "SEPSIM_CALLBACKS=0x606:0," + std::to_string(NVS_CACHE_MAX_BLOCKS);
    const std::string overCache = "SEPSIM_CALLBACKS=0x606:0," + std::to_string(NVS_CACHE_MAX_BLOCKS + 1);
    // Storage requests of a SEP that moves on: every open is refused, since no storage has a name.
    Requests closes, opens, reads;
    for (uint32_t i = 0; i < 40; i++) closes.Add("0x605:" + std::to_string(i % 10), i % 3 == 0 ? 2 : 1);
    for (uint32_t id = 0; id < 10; id++) opens.Add("0x604:" + std::to_string(id) + ",0");
    for (uint32_t i = 0; i < 200; i++) reads.Add("0x600:3,0,0," + std::to_string(i), i % 20 == 0 ? 2 : 1);
    const size_t max = SEP_WAIT_MAX_FRUITLESS_CALLBACKS;
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        int exitCode;
        std::string err;
        std::string out;
    } cases[] = {
        {"text not acknowledged", {"SEPSIM_TEXT=checking", "SEPSIM_FAIL_CONTROL=0x7301"}, 1, waitError("0xFFFFFFFF"),
         "checking"},
        {"callback not acknowledged", {"SEPSIM_CALLBACKS=0x605:3", "SEPSIM_FAIL_CONTROL=0x7301"}, 1,
         waitError("0xFFFFFFFF"), ""},
        {"callback that is no storage request", {"SEPSIM_CALLBACKS=0x6FF:1,2"}, 0, kVerified, ""},
        {"empty callback", {"SEPSIM_CALLBACKS=empty;empty"}, 0, kVerified, ""},
        {"unknown callback sent again and again", {"SEPSIM_CALLBACKS=0x6FF", "SEPSIM_REPEAT_CALLBACKS=resend"}, 1,
         waitError("0x9"), ""},
        {"storage request sent again and again", {"SEPSIM_CALLBACKS=0x605:3", "SEPSIM_REPEAT_CALLBACKS=resend"}, 1,
         waitError("0x9"), ""},
        {"empty callback that stays signalled", {"SEPSIM_CALLBACKS=empty", "SEPSIM_REPEAT_CALLBACKS=stuck"}, 1,
         waitError("0x9"), ""},
        {"40 closes, every third sent twice", {closes.text}, 0, kVerified, ""},
        {"ten distinct opens, each refused", {opens.text}, 0, kVerified, ""},
        {"200 reads, every 20th sent once more", {reads.text}, 0, kVerified, ""},
        {"a refused open and max - 1 retries of it", {Requests().Add("0x604:5,0", max).text}, 0, kVerified, ""},
        {"a refused open and max retries of it", {Requests().Add("0x604:5,0", max + 1).text}, 1, waitError("0x9"),
         ""},
        {"two unknown requests in turn", {"SEPSIM_CALLBACKS=0x778;0x777", "SEPSIM_REPEAT_CALLBACKS=cycle"}, 1,
         waitError("0x9"), ""},
        {"answered and unknown requests in turn", {"SEPSIM_CALLBACKS=0x605:3;0x778", "SEPSIM_REPEAT_CALLBACKS=cycle"},
         1, waitError("0x9"), ""},
        {"two answered requests in turn", {"SEPSIM_CALLBACKS=0x605:3;0x605:4", "SEPSIM_REPEAT_CALLBACKS=cycle"}, 1,
         waitError("0x9"), ""},
        {"largest cache", {maxCache}, 0, kVerified, ""},
        {"cache larger than the host grants", {overCache}, 1, waitError("0xAB000004"), ""},
        {"cache of 4 Gi blocks", {"SEPSIM_CALLBACKS=0x606:0,0xFFFFFFFF"}, 1, waitError("0xAB000004"), ""},
    };
    for (const Case& c : cases) {
        Outcome o = Sim({good}, c.settings);
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.err, c.err) << c.name;
        EXPECT_EQ(o.out, c.out) << c.name;
    }
}

TEST_F(ImageVerify, TextOfTheSepGoesToStandardOutput) {
    std::string good = Image("good.img", Spec(3000));
    Outcome o = Sim({good}, {"SEPSIM_TEXT=checking image"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "checking image");
    EXPECT_EQ(o.err, kVerified);
}

// Blocks of 2 MiB, read and hashed in halves: sizes around both.
TEST_F(ImageVerify, DataAcrossTheHashBlocks) {
    for (size_t size : {size_t(0x100000), size_t(0x100000 + 4), size_t(0x180004), size_t(0x200000),
                        size_t(0x200000 + 100), size_t(0x300000), size_t(2 * 0x200000 + 4), size_t(0x480008)}) {
        std::string image = Image("image.img", Spec(size));
        for (const char* queue : {"SEPSIM_QUEUE=", "SEPSIM_QUEUE=2"}) {
            Outcome o = Sim({image}, {queue});
            EXPECT_EQ(o.exitCode, 0) << size << " " << queue;
            EXPECT_EQ(o.err, kVerified) << size << " " << queue;
        }
    }
}

// Sizes need 64 bits: a file just over 4 GiB (sparse) whose low 32 bits look too small, and a
// size field whose byte count passes 4 GiB.
TEST_F(ImageVerify, SizesBeyondFourGiB) {
    std::string big = Image("big.img", Spec(4096));
    ASSERT_EQ(truncate(big.c_str(), off_t((1ull << 32) + 100)), 0);
    Outcome o = Sim({big});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, kVerified);
    std::filesystem::remove(big);

    std::string wide = Edited("wide.img", 4096, 164, 0x40000001);
    o = Sim({wide});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, Error("VRL image data size of 4294967300 bytes is greater than file image data size of 4096 bytes.",
                           661) +
                         kNotVerified);
}

TEST_F(ImageVerify, ShippedProgramWithoutTheSepFailsAtHostInit) {
    if (std::filesystem::exists("/dev/sep_sec_driver")) GTEST_SKIP() << "this machine has a SEP driver";
    std::string good = Image("good.img", Spec(4096));
    Outcome o = RunProgram(IMAGEVERIFY_BIN, {good}, {"SEPSIM_QUEUE=2"}, dir);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, Error("SEP driver init failed; DX_CC_HostInit() returned error value of 0x2.", 624) + kNotVerified);
}

TEST_F(ImageVerify, SigningToolBuildsWhatTheSepAccepts) {
    std::string data = Write("data.bin", Data(5000));
    std::string image = (dir / "tool.img").string();
    Outcome made = RunProgram(SIGNIMAGE_BIN, {"-k", "4", "-t", "9", "-o", data, image}, {}, dir);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    Outcome o = Sim({"-k", "4", "-t", "9", image});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, kVerified);
}

}  // namespace
