#include "RylCrypto.h"

#include "LogQueue.h"
#include "LogStore.h"
#include "Paths.h"
#include "Text.h"

#include <gtest/gtest.h>

#include "TestDir.h"

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <iterator>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

using namespace RylCrypto;

namespace {

std::string ReadBytes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

std::string Shell(const std::string& cmd) {
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << cmd;
    return out;
}

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

// openssl's key and IV arguments for a key index: the entry and 16 zero bytes; the IV's two words.
std::string OpensslArgs(int index, bool ecb) {
    std::string args = std::string(ecb ? "-des-ede3-ecb" : "-des-ede3-cbc") + " -K " +
                       Hex(KeyTable[index], 8) + std::string(32, '0');
    if (!ecb) {
        char iv[17];
        snprintf(iv, sizeof iv, "%08X%08X", kIvHigh, kIvLow);
        args += std::string(" -iv ") + iv;
    }
    return args;
}

std::wstring EncryptText(const std::wstring& text, uint8_t flags = 0, int index = 0) {
    std::wstring out;
    EXPECT_EQ(Encrypt(nullptr, &text, &out, flags, index), 0);
    return out;
}

// Log records handed over by the cipher, in order.
struct LogSink {
    RYL::CLogStore store;
    RYL::CLogQueue queue{store};

    std::vector<std::pair<uint32_t, std::wstring>> Records() const {
        std::vector<std::pair<std::wstring, const RYL::tagLogRecord*>> sorted;
        for (const auto& e : store) sorted.emplace_back(e.first, e.second);
        std::sort(sorted.begin(), sorted.end());
        std::vector<std::pair<uint32_t, std::wstring>> out;
        for (const auto& [key, r] : sorted) {
            EXPECT_EQ(r->nLevel, RYL::LOG_LEVEL_ERROR);
            EXPECT_EQ(r->dtTime.GetStatus(), RYL::COleDateTime::valid);
            EXPECT_EQ(r->Name(), L"(undefined)");
            out.emplace_back(r->dwCode, r->Text());
        }
        return out;
    }
};

const std::wstring k54 = L"<KIVSettings>\n\t<Host>ftp.example.invalid</Host>\n<Port>";  // 54 bytes

}  // namespace

TEST(RylCrypto, MatchesOpensslByteForByte) {
    TestDir dir;
    const std::string texts[] = {"", "A", "12345678", plat::NarrowFromWide(k54),
                                 "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC \xF0\x9F\x98\x80",
                                 std::string(300, 'x') + "\ttab\nline"};
    ASSERT_EQ(k54.size(), 54u);
    for (bool ecb : {false, true}) {
        for (int index : {0, 1, 2}) {
            for (const std::string& text : texts) {
                WriteBytes(dir / "plain", text);
                const std::string expected = Shell("openssl enc " + OpensslArgs(index, ecb) + " -in '" + (dir / "plain") +
                                                 "' | base64 -w 72");
                const uint8_t flags = ecb ? RYLCRYPTO_ECB : 0;
                SCOPED_TRACE(testing::Message() << "ecb " << ecb << " index " << index << " text " << text);
                EXPECT_EQ(plat::NarrowFromWide(EncryptText(plat::WideFromNarrow(text), flags, index)), expected);

                std::wstring in = plat::WideFromNarrow(text);
                std::wstring outFile = dir.Wide("out.sxml");
                ASSERT_EQ(Encrypt(nullptr, &in, &outFile, flags | RYLCRYPTO_OUTPUT_FILE, index), 0);
                EXPECT_EQ(ReadBytes(dir / "out.sxml"), expected);
                EXPECT_EQ(Shell("base64 -d '" + (dir / "out.sxml") + "' | openssl enc -d " + OpensslArgs(index, ecb)),
                          text);
            }
        }
    }
}

TEST(RylCrypto, Base64Lines) {
    // Padding only: one block, 12 characters.
    EXPECT_EQ(EncryptText(L"").size(), 13u);
    EXPECT_EQ(EncryptText(L"").back(), L'\n');
    // 54 bytes: 56 of ciphertext, 76 characters in lines of 72 and 4.
    std::wstring out = EncryptText(k54);
    ASSERT_EQ(out.size(), 78u);
    EXPECT_EQ(out.find(L'\n'), 72u);
    EXPECT_EQ(out.back(), L'\n');
}

TEST(RylCrypto, EcbRepeatsEqualBlocksCbcDoesNot) {
    std::string ecb, cbc;
    for (bool useEcb : {true, false}) {
        std::wstring b64 = EncryptText(L"SameBlk!SameBlk!", useEcb ? RYLCRYPTO_ECB : 0);
        std::string cmd = "printf '%s' '" + plat::NarrowFromWide(b64) + "' | base64 -d | od -An -tx1 -v | tr -d ' \\n'";
        (useEcb ? ecb : cbc) = Shell(cmd);
    }
    ASSERT_EQ(ecb.size(), 48u);  // 24 bytes: two blocks and one of padding
    EXPECT_EQ(ecb.substr(0, 16), ecb.substr(16, 16));
    EXPECT_NE(cbc.substr(0, 16), cbc.substr(16, 16));
}

TEST(RylCrypto, DecryptsReadableFilesWhateverTheirLineEnds) {
    TestDir dir;
    const std::wstring text = L"<KIVSettings>\n\t<Password>p&<x></Password>\n</KIVSettings>\n" + std::wstring(100, L'z');
    const std::string b64 = plat::NarrowFromWide(EncryptText(text));
    std::string oneLine, crlf, wrapped;
    for (char c : b64) {
        if (c != '\n') oneLine += c;
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    for (size_t i = 0; i < oneLine.size(); i += 20) wrapped += oneLine.substr(i, 20) + "\n";
    for (const std::string& file : {b64, oneLine, crlf, wrapped, oneLine + "\n\n  \n"}) {
        WriteBytes(dir / "in", file);
        std::wstring in = dir.Wide("in"), out;
        ASSERT_EQ(Decrypt(nullptr, &in, &out, RYLCRYPTO_INPUT_FILE, 0), 0);
        EXPECT_EQ(out, text);
        // The same from a text argument and into a file.
        std::wstring asText = plat::WideFromNarrow(file), outFile = dir.Wide("plain");
        ASSERT_EQ(Decrypt(nullptr, &asText, &outFile, RYLCRYPTO_OUTPUT_FILE, 0), 0);
        EXPECT_EQ(ReadBytes(dir / "plain"), plat::NarrowFromWide(text));
    }
}

TEST(RylCrypto, RoundTrips) {
    TestDir dir;
    const std::wstring texts[] = {L"", L"x", L"\u00E9\u4E2D\U0001F600 tab\t", std::wstring(1000, L'q')};
    for (uint8_t mode : {uint8_t(0), RYLCRYPTO_ECB}) {
        for (const std::wstring& text : texts) {
            std::wstring file = dir.Wide("f.sxml"), back;
            ASSERT_EQ(Encrypt(nullptr, &text, &file, mode | RYLCRYPTO_OUTPUT_FILE, 2), 0);
            ASSERT_EQ(Decrypt(nullptr, &file, &back, mode | RYLCRYPTO_INPUT_FILE, 2), 0);
            EXPECT_EQ(back, text);
        }
    }
    // The deciphered text ends at its first zero byte.
    std::wstring withZero(L"ab\0cd", 5), b64 = EncryptText(withZero), back;
    ASSERT_EQ(Decrypt(nullptr, &b64, &back, 0, 0), 0);
    EXPECT_EQ(back, L"ab");
    // A file takes every deciphered byte.
    std::wstring plainFile = dir.Wide("zero");
    ASSERT_EQ(Decrypt(nullptr, &b64, &plainFile, RYLCRYPTO_OUTPUT_FILE, 0), 0);
    EXPECT_EQ(ReadBytes(dir / "zero"), std::string("ab\0cd", 5));
    // Characters that UTF-8 cannot carry come back as the replacement character.
    std::wstring lone(1, static_cast<wchar_t>(0xD800));
    b64 = EncryptText(lone);
    ASSERT_EQ(Decrypt(nullptr, &b64, &back, 0, 0), 0);
    EXPECT_EQ(back, L"\uFFFD");
    // An input file's own line ends are not part of the text.
    WriteBytes(dir / "lines", "one\r\ntwo\nthree\n");
    std::wstring lines = dir.Wide("lines"), enc;
    ASSERT_EQ(Encrypt(nullptr, &lines, &enc, RYLCRYPTO_INPUT_FILE, 0), 0);
    ASSERT_EQ(Decrypt(nullptr, &enc, &back, 0, 0), 0);
    EXPECT_EQ(back, L"onetwothree");
}

TEST(RylCrypto, KeyIndexSelectsEntry) {
    // 0, 3 and -1 all select the first entry.
    const std::wstring text = L"settings";
    for (int a : {0, 3, -1, 1000}) {
        std::wstring b64 = EncryptText(text, 0, a);
        EXPECT_EQ(b64, EncryptText(text, 0, 0));
        for (int b : {0, 3, -1}) {
            std::wstring back;
            ASSERT_EQ(Decrypt(nullptr, &b64, &back, 0, b), 0);
            EXPECT_EQ(back, text);
        }
    }
    EXPECT_NE(EncryptText(text, 0, 1), EncryptText(text, 0, 0));
    EXPECT_NE(EncryptText(text, 0, 2), EncryptText(text, 0, 1));
}

TEST(RylCrypto, UndecipherableInputFailsWithoutOutput) {
    TestDir dir;
    const std::wstring text = L"<KIVSettings>\n\t<Host>h</Host>\n</KIVSettings>\n";
    const std::wstring good = EncryptText(text);
    std::wstring cut = good.substr(0, good.size() - 6) + L"\n";
    std::wstring lastBlockGone = EncryptText(text.substr(0, 16)).substr(0, 12);  // 8 of 24 bytes
    struct Case {
        const char* what;
        std::wstring input;
        int index;
        uint8_t flags;
    } cases[] = {
        {"wrong key", good, 1, 0},
        {"cut file", cut, 0, 0},
        {"whole blocks missing", lastBlockGone, 0, 0},
        {"empty", L"", 0, 0},
        {"not Base64", L"!!!! ????\n", 0, 0},
        {"CBC text read as ECB", good, 0, RYLCRYPTO_ECB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(dir / "in.sxml", plat::NarrowFromWide(c.input));
        std::wstring in = dir.Wide("in.sxml"), outFile = dir.Wide("out.txt"), outText = L"kept";
        LogSink sink;
        EXPECT_EQ(Decrypt(&sink.queue, &in, &outFile, c.flags | RYLCRYPTO_INPUT_FILE | RYLCRYPTO_OUTPUT_FILE, c.index), 1);
        EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));
        EXPECT_EQ(Decrypt(&sink.queue, &c.input, &outText, c.flags, c.index), 1);
        EXPECT_EQ(outText, L"kept");
        auto records = sink.Records();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].first, ERR_DECRYPT);
        EXPECT_NE(records[0].second.find(L"StreamTransformationFilter"), std::wstring::npos) << records[0].second;
    }
}

TEST(RylCrypto, ArgumentAndFileFailuresAreLogged) {
    TestDir dir;
    LogSink sink;
    std::wstring text = L"t", out = L"kept";
    const std::wstring missing = dir.Wide("missing.sxml");
    const std::wstring noDir = dir.Wide("no/such/dir/out.sxml");
    std::wstring missingArg = missing, noDirArg = noDir;

    EXPECT_EQ(Encrypt(&sink.queue, nullptr, &out, 0, 0), 1);
    EXPECT_EQ(Encrypt(&sink.queue, &text, nullptr, 0, 0), 1);
    EXPECT_EQ(Decrypt(&sink.queue, nullptr, nullptr, 0, 0), 1);
    EXPECT_EQ(Decrypt(&sink.queue, &text, nullptr, 0, 0), 1);
    EXPECT_EQ(Encrypt(&sink.queue, &missingArg, &out, RYLCRYPTO_INPUT_FILE, 0), 1);
    EXPECT_EQ(Decrypt(&sink.queue, &missingArg, &out, RYLCRYPTO_INPUT_FILE, 0), 1);
    EXPECT_EQ(Encrypt(&sink.queue, &text, &noDirArg, RYLCRYPTO_OUTPUT_FILE, 0), 1);
    std::wstring b64 = EncryptText(text);
    EXPECT_EQ(Decrypt(&sink.queue, &b64, &noDirArg, RYLCRYPTO_OUTPUT_FILE, 0), 1);
    EXPECT_EQ(out, L"kept");
    // Without a sink the same failures leave no trace.
    EXPECT_EQ(Encrypt(nullptr, nullptr, &out, 0, 0), 1);
    EXPECT_EQ(Decrypt(nullptr, &missingArg, &out, RYLCRYPTO_INPUT_FILE, 0), 1);

    const std::vector<std::pair<uint32_t, std::wstring>> expected = {
        {ERR_NULL_ARGUMENT, L"[RylCrypto::Encrypt]: in_pStr is NULL"},
        {ERR_NULL_ARGUMENT, L"[RylCrypto::Encrypt]: out_pStr is NULL"},
        {ERR_NULL_ARGUMENT, L"[RylCrypto::Decrypt]: in_pStr is NULL"},
        {ERR_NULL_ARGUMENT, L"[RylCrypto::Decrypt]: out_pStr is NULL"},
        {ERR_FILE_OPEN, L"[RylCrypto::Encrypt]: Open \"" + missing + L"\" failure"},
        {ERR_FILE_OPEN, L"[RylCrypto::Decrypt]: Open \"" + missing + L"\" failure"},
        {ERR_FILE_OPEN, L"[RylCrypto::Encrypt]: Open \"" + noDir + L"\" failure"},
        {ERR_FILE_OPEN, L"[RylCrypto::Decrypt]: Open \"" + noDir + L"\" failure"},
    };
    EXPECT_EQ(sink.Records(), expected);
}

TEST(RylCrypto, OutputFileIsReplacedWhole) {
    TestDir dir;
    WriteBytes(dir / "s.sxml", std::string(5000, 'o'));
    std::wstring text = L"short", file = dir.Wide("s.sxml");
    ASSERT_EQ(Encrypt(nullptr, &text, &file, RYLCRYPTO_OUTPUT_FILE, 0), 0);
    EXPECT_EQ(plat::WideFromNarrow(ReadBytes(dir / "s.sxml")), EncryptText(text));

    // A write that fails half-way (here: beyond the process's file size limit) keeps the file
    // that was there.
    const std::string earlier = ReadBytes(dir / "s.sxml");
    std::wstring longText(20000, L'x');
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit limit = old;
    limit.rlim_cur = 4096;
    void (*oldHandler)(int) = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    const uint8_t result = Encrypt(nullptr, &longText, &file, RYLCRYPTO_OUTPUT_FILE, 0);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadBytes(dir / "s.sxml"), earlier);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(RylCrypto, QueuesRecordsFromOtherThreads) {
    LogSink sink;
    std::thread worker([&] {
        std::wstring bad = L"AAAA";
        std::wstring out;
        EXPECT_EQ(Decrypt(&sink.queue, &bad, &out, 0, 0), 1);
    });
    worker.join();
    EXPECT_TRUE(sink.store.IsEmpty());
    EXPECT_EQ(sink.queue.Drain(), 1u);
    ASSERT_EQ(sink.Records().size(), 1u);
    EXPECT_EQ(sink.Records()[0].first, ERR_DECRYPT);
}
