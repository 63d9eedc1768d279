// Hashing on the SEP (simulated) and on the host, and the decision between them.
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "CRYS_HASH.h"
#include "SEPDriver_Offload.h"
#include "SepTestSupport.h"

namespace {

using ::testing::ElementsAre;
using septest::Le32;
using septest::Le64;
using sepsim::Call;

const EVP_MD* Md(int mode) {
    switch (mode) {
    case 0: return EVP_sha1();
    case 1: return EVP_sha224();
    case 2: return EVP_sha256();
    case 3: return EVP_sha384();
    case 4: return EVP_sha512();
    default: return EVP_md5();
    }
}

std::vector<uint8_t> OpenSslDigest(int mode, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> out(64, 0);
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &n, Md(mode), nullptr);
    return out;
}

std::vector<uint8_t> Data(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1103515245 + 12345;
        d[i] = uint8_t(seed >> 16);
    }
    return d;
}

enum class Path { Sep, Host };

class CrysHash : public septest::SepTest {
protected:
    HashContext ctx{};
    void UsePath(Path p) { sepsim::SetQueueTypes(p == Path::Host ? std::vector<uint32_t>{2} : std::vector<uint32_t>{}); }
    std::vector<uint8_t> Digest(int mode, const std::vector<size_t>& chunks, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> out(64, 0xEE);
        EXPECT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_OperationMode_t(mode)), 0u);
        size_t at = 0;
        for (size_t n : chunks) {
            EXPECT_EQ(CRYS_HASH_Update(&ctx, data.data() + at, uint32_t(n)), 0u);
            at += n;
        }
        EXPECT_EQ(CRYS_HASH_Finish(&ctx, out.data()), 0u);
        EXPECT_EQ(CRYS_HASH_Free(&ctx), 0u);
        return out;
    }
    std::vector<sepsim::TraceRecord> Fastcalls() { return sepsim::TraceOf(Call::Write); }
};

TEST(CrysHashSplit, HeadDmaAndTail) {
    struct Case {
        uint32_t block, pending, length;
        uint32_t head, dma, tail;
    } cases[] = {
        {64, 10, 100, 54, 0, 46},   {64, 10, 200, 54, 128, 18}, {64, 0, 64, 0, 64, 0},
        {64, 10, 20, 20, 0, 0},     {64, 0, 63, 0, 0, 63},      {128, 127, 1, 1, 0, 0},
        {128, 100, 1000, 28, 896, 76}, {64, 63, 0x1FFFFFFF, 1, 0x1FFFFFC0, 62},
    };
    for (const Case& c : cases) {
        CRYS_HASH_Split_t s = CRYS_HASH_SplitUpdate(c.block, c.pending, c.length);
        EXPECT_EQ(std::vector<uint32_t>({s.head, s.dma, s.tail}), std::vector<uint32_t>({c.head, c.dma, c.tail}))
            << c.block << "/" << c.pending << "/" << c.length;
    }
}

TEST_F(CrysHash, UpdateFrameAsTheSepReceivesIt) {
    std::vector<uint8_t> data = Data(210);
    ASSERT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA256_mode), 0u);
    ASSERT_EQ(CRYS_HASH_Update(&ctx, data.data(), 10), 0u);
    EXPECT_EQ(ctx.buff[204], 10);  // the SEP's pending count
    EXPECT_EQ(ctx.buff[224], 64);  // and block size
    ASSERT_EQ(CRYS_HASH_Update(&ctx, data.data() + 10, 200), 0u);

    auto writes = Fastcalls();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].bytes.size(), 48u);
    EXPECT_EQ(Le32(&writes[0].bytes[40]), 2u);  // the mode
    const std::vector<uint8_t>& f = writes[2].bytes;
    ASSERT_EQ(f.size(), 604u);
    EXPECT_EQ(Le32(&f[16]), 1u);                                          // one descriptor
    EXPECT_EQ(Le64(&f[20]), uint64_t(uintptr_t(data.data() + 10 + 54)));  // after the head
    EXPECT_EQ(Le32(&f[28]), 128u);
    EXPECT_EQ(Le32(&f[44]), 64u);
    EXPECT_EQ(Le32(&f[76]), 33u);  // opcode in the message header
    EXPECT_EQ(Le32(&f[92]), 54u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 96, f.begin() + 150), std::vector<uint8_t>(data.begin() + 10, data.begin() + 64));
    EXPECT_EQ(Le32(&f[224]), 18u);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 228, f.begin() + 246), std::vector<uint8_t>(data.end() - 18, data.end()));
    std::vector<uint8_t> out(64);
    ASSERT_EQ(CRYS_HASH_Finish(&ctx, out.data()), 0u);
    EXPECT_EQ(out, OpenSslDigest(2, data));
    CRYS_HASH_Free(&ctx);
}

TEST_F(CrysHash, DigestsOfEveryModeOnBothPathsMatchOpenSsl) {
    const std::vector<std::vector<size_t>> sequences = {
        {}, {1}, {63, 1, 64}, {55}, {56}, {127, 128, 129}, {200, 1000, 3}, {4096}, {5, 0, 300, 17},
    };
    for (Path path : {Path::Sep, Path::Host}) {
        for (int mode = 0; mode <= 5; mode++) {
            for (const auto& chunks : sequences) {
                sepsim::Reset();
                UsePath(path);
                size_t total = 0;
                for (size_t n : chunks) total += n;
                std::vector<uint8_t> data = Data(total, uint32_t(mode + 7));
                EXPECT_EQ(Digest(mode, chunks, data), OpenSslDigest(mode, data))
                    << (path == Path::Sep ? "SEP" : "host") << " mode " << mode << " length " << total;
                size_t fastcalls = sepsim::FastcallCount(32) + sepsim::FastcallCount(33) + sepsim::FastcallCount(34);
                EXPECT_EQ(fastcalls == 0, path == Path::Host);
            }
        }
    }
}

TEST_F(CrysHash, OneShotOfEveryModeOnBothPaths) {
    for (Path path : {Path::Sep, Path::Host}) {
        for (int mode = 0; mode <= 5; mode++) {
            for (size_t length : {0, 1, 55, 64, 127, 128, 255, 1000}) {
                sepsim::Reset();
                UsePath(path);
                std::vector<uint8_t> data = Data(length, uint32_t(length + 1));
                std::vector<uint8_t> out(64, 0xEE);
                ASSERT_EQ(CRYS_HASH(CRYS_HASH_OperationMode_t(mode), length ? data.data() : nullptr,
                                    uint32_t(length), out.data()),
                          0u);
                EXPECT_EQ(out, OpenSslDigest(mode, data)) << mode << "/" << length;
                EXPECT_EQ(sepsim::FastcallCount(35), path == Path::Sep ? 1u : 0u);
                if (path == Path::Sep) {
                    ASSERT_EQ(Fastcalls().size(), 1u);
                    EXPECT_EQ(Fastcalls()[0].bytes.size(), 228u);  // the whole tail area travels
                }
            }
        }
    }
}

TEST_F(CrysHash, SameDigestAsSha256sumOfTheDataFile) {
    auto dir = septest::MakeTempDir();
    std::vector<uint8_t> data = Data(3 * 1024 * 1024 + 77);
    std::ofstream(dir / "data.bin", std::ios::binary).write((const char*)data.data(), std::streamsize(data.size()));
    std::string command = "sha256sum '" + (dir / "data.bin").string() + "'";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, p), nullptr);
    pclose(p);
    std::string expected(line, 64);
    for (Path path : {Path::Sep, Path::Host}) {
        UsePath(path);
        std::vector<uint8_t> digest = Digest(2, {0x200000, data.size() - 0x200000}, data);
        char hex[65];
        for (int i = 0; i < 32; i++) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
        EXPECT_EQ(std::string(hex), expected);
    }
}

TEST_F(CrysHash, FailedExchangeLeavesTheContextAsItWas) {
    struct Case {
        const char* name;
        std::function<void()> inject;
        uint32_t result;
    } cases[] = {
        {"write fails", [] { sepsim::SetFastcallWriteResult(-1); }, CRYS_HASH_FASTCALL_WRITE_ERROR},
        {"write transfers nothing", [] { sepsim::SetFastcallWriteResult(0); }, CRYS_HASH_FASTCALL_WRITE_ERROR},
        {"short write", [] { sepsim::SetFastcallWriteResult(100); }, CRYS_HASH_FASTCALL_WRITE_ERROR},
        {"read fails", [] { sepsim::SetFastcallReadResult(-1); }, CRYS_HASH_FASTCALL_READ_ERROR},
        {"read transfers nothing", [] { sepsim::SetFastcallReadResult(0); }, CRYS_HASH_FASTCALL_READ_ERROR},
        {"reply without the context", [] { sepsim::SetFastcallReadResult(100); }, CRYS_HASH_FASTCALL_READ_ERROR},
        {"SEP refuses", [] { sepsim::SetFastcallStatus(5); }, CRYS_HASH_FASTCALL_REPLY_ERROR},
    };
    std::vector<uint8_t> data = Data(300);
    for (const Case& c : cases) {
        sepsim::Reset();
        ASSERT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA256_mode), 0u);
        ASSERT_EQ(CRYS_HASH_Update(&ctx, data.data(), 100), 0u);
        HashContext before = ctx;
        c.inject();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(CRYS_HASH_Update(&ctx, data.data() + 100, 100), c.result) << c.name;
        ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(memcmp(&before, &ctx, sizeof ctx), 0) << c.name;
        // The step can be repeated from the unchanged context.
        ASSERT_EQ(CRYS_HASH_Update(&ctx, data.data() + 100, 200), 0u);
        std::vector<uint8_t> out(64);
        ASSERT_EQ(CRYS_HASH_Finish(&ctx, out.data()), 0u);
        EXPECT_EQ(out, OpenSslDigest(2, data)) << c.name;
        CRYS_HASH_Free(&ctx);
    }
    sepsim::Reset();
    ASSERT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_MD5_mode), 0u);
    std::vector<uint8_t> out(64);
    sepsim::SetFastcallReadResult(80);  // a finish reply carries 64 bytes from 24
    EXPECT_EQ(CRYS_HASH_Finish(&ctx, out.data()), CRYS_HASH_FASTCALL_READ_ERROR);
}

TEST_F(CrysHash, HostContextStaysOnTheHost) {
    UsePath(Path::Host);
    ASSERT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA256_mode), 0u);
    EXPECT_TRUE(SEPDriver_OffloadedIACtx(&ctx));
    EXPECT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA1_mode), CRYS_HASH_CONTEXT_ON_HOST_ERROR);
    EXPECT_TRUE(SEPDriver_OffloadedIACtx(&ctx));
    UsePath(Path::Sep);
    std::vector<uint8_t> data = Data(500);
    ASSERT_EQ(CRYS_HASH_Update(&ctx, data.data(), 500), 0u);
    std::vector<uint8_t> out(64);
    ASSERT_EQ(CRYS_HASH_Finish(&ctx, out.data()), 0u);
    EXPECT_EQ(out, OpenSslDigest(2, data));
    EXPECT_FALSE(SEPDriver_OffloadedIACtx(&ctx));
    EXPECT_TRUE(Fastcalls().empty());
    EXPECT_EQ(CRYS_HASH_Free(&ctx), 0u);
    const HashContext zero{};
    EXPECT_EQ(memcmp(&ctx, &zero, sizeof ctx), 0);
}

TEST_F(CrysHash, FreeEndsAHostHashAtAnyStep) {
    UsePath(Path::Host);
    HashContext other{};
    ASSERT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA512_mode), 0u);
    ASSERT_EQ(CRYS_HASH_Init(&other, CRYS_HASH_MD5_mode), 0u);
    EXPECT_EQ(CRYS_HASH_Free(&ctx), 0u);
    EXPECT_FALSE(SEPDriver_OffloadedIACtx(&ctx));
    EXPECT_TRUE(SEPDriver_OffloadedIACtx(&other));
    EXPECT_EQ(CRYS_HASH_Update(&other, nullptr, 5), CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR);
    EXPECT_FALSE(SEPDriver_OffloadedIACtx(&other));  // a failure ends it
    EXPECT_EQ(CRYS_HASH_Free(&other), 0u);
    EXPECT_EQ(SEPDriver_OffloadedIACtx_Clean(&other), 0);
}

TEST_F(CrysHash, OffloadDecision) {
    struct Case {
        const char* name;
        std::vector<uint32_t> types;
        std::optional<uint32_t> count;
        uint32_t opcode;
        int32_t decision;
    } cases[] = {
        {"empty queue", {}, {}, 32, 0},
        {"one item of type 2", {2}, {}, 32, 1},
        {"one item of another type", {7}, {}, 32, 0},
        {"two items", {7, 7}, {}, 32, 1},
        {"nine items", {1, 1, 1, 1, 1, 1, 1, 1, 1}, {}, 32, 1},
        {"count 10", {}, 10, 32, -1},
        {"opcode 5 threshold", {7}, {}, 5, 1},
        {"one-shot", {7}, {}, 35, 0},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        sepsim::SetQueueTypes(c.types);
        if (c.count) {
            sepsim::SetQueueCount(*c.count);
        }
        EXPECT_EQ(SEPDriver_OffloadDecisionIA(c.opcode, 0, nullptr), c.decision) << c.name;
    }
    sepsim::Reset();
    sepsim::FailQueueRead(true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SEPDriver_OffloadDecisionIA(32, 0, &ctx), -1);
    EXPECT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA256_mode), CRYS_HASH_OFFLOAD_ERROR);
    ::testing::internal::GetCapturedStdout();
    sepsim::Reset();
    sepsim::SetQueueCount(10);
    EXPECT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_SHA256_mode), CRYS_HASH_OFFLOAD_ERROR);
    EXPECT_FALSE(SEPDriver_OffloadedIACtx(&ctx));
}

TEST_F(CrysHash, ArgumentAndStateErrors) {
    std::vector<uint8_t> out(64), data = Data(8);
    EXPECT_EQ(CRYS_HASH_Init(nullptr, CRYS_HASH_SHA256_mode), CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR);
    EXPECT_EQ(CRYS_HASH_Init(&ctx, CRYS_HASH_OperationMode_t(6)), CRYS_HASH_ILLEGAL_OPERATION_MODE_ERROR);
    EXPECT_EQ(CRYS_HASH_Update(nullptr, data.data(), 8), CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR);
    EXPECT_EQ(CRYS_HASH_Update(&ctx, nullptr, 0), 0u);
    EXPECT_EQ(CRYS_HASH_Update(&ctx, nullptr, 8), CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR);
    EXPECT_EQ(CRYS_HASH_Update(&ctx, data.data(), 0x20000000), CRYS_HASH_DATA_SIZE_ILLEGAL);
    EXPECT_EQ(CRYS_HASH_Finish(&ctx, nullptr), CRYS_HASH_INVALID_RESULT_BUFFER_POINTER_ERROR);
    EXPECT_EQ(CRYS_HASH_Free(nullptr), CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR);
    EXPECT_EQ(CRYS_HASH(CRYS_HASH_OperationMode_t(6), data.data(), 8, out.data()), CRYS_HASH_ILLEGAL_OPERATION_MODE_ERROR);
    EXPECT_EQ(CRYS_HASH(CRYS_HASH_SHA1_mode, nullptr, 8, out.data()), CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR);
    EXPECT_EQ(CRYS_HASH(CRYS_HASH_SHA1_mode, data.data(), 0x20000000, out.data()), CRYS_HASH_DATA_SIZE_ILLEGAL);
    EXPECT_EQ(CRYS_HASH(CRYS_HASH_SHA1_mode, data.data(), 8, nullptr), CRYS_HASH_INVALID_RESULT_BUFFER_POINTER_ERROR);

    // A context that never started, or whose SEP fields are out of range, is not sent.
    HashContext fresh{};
    EXPECT_EQ(CRYS_HASH_Update(&fresh, data.data(), 8), CRYS_HASH_INVALID_CONTEXT_STATE_ERROR);
    ASSERT_EQ(CRYS_HASH_Init(&fresh, CRYS_HASH_SHA256_mode), 0u);
    fresh.buff[204] = 64;
    EXPECT_EQ(CRYS_HASH_Update(&fresh, data.data(), 8), CRYS_HASH_INVALID_CONTEXT_STATE_ERROR);
    EXPECT_EQ(sepsim::FastcallCount(33), 0u);
}

TEST_F(CrysHash, DmaDescriptor) {
    uint8_t d[40];
    memset(d, 0xEE, sizeof d);
    uint32_t a = 7, b = 8, c = 9;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(uintptr_t(0x123456789AB0ull));
    ASSERT_EQ(SEPDriver_FastCall_PrepareSymDMAHdr(d, data, 200, 64, &a, &b, &c, nullptr, nullptr), 0u);
    EXPECT_EQ(std::vector<uint32_t>({a, b, c}), std::vector<uint32_t>({0, 0, 0}));
    EXPECT_THAT(septest::Words({d, d + 40}), ElementsAre(0x56789AB0, 0x1234, 192, 0, 0, 0, 64, 0, 0, 0));
    EXPECT_EQ(SEPDriver_FastCall_PrepareSymDMAHdr(nullptr, data, 64, 64, nullptr, nullptr, nullptr, nullptr, nullptr),
              SEP_DRIVER_ERR_NULL_POINTER);
}

}  // namespace
