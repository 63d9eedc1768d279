// The storage service: requests of the SEP served through callbacks, and the block cache.
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sstream>
#include <unistd.h>

#include "SepTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using septest::Le32;
using septest::Words;
using sepsim::Call;

constexpr uint32_t kToken = 0x02558808;
constexpr uint32_t kSharedData = 0x1000;  // where shared-memory transfers put their data

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

void ResetStorage() {
    for (NvsMapEntry& e : s_MapArray) {
        if (e.reserved) close(int(e.handle));
        _DX_VOS_MemFree(e.cache.memory);
        _DX_VOS_MemFree(e.cache.entries);
        memset(&e, 0, sizeof e);
    }
}

class Nvs : public septest::SepTest {
protected:
    std::filesystem::path dir;
    const std::string content = "0123456789abcdefghijklmnopqrstuvwxyz";

    void SetUp() override {
        SepTest::SetUp();
        ResetStorage();
        dir = septest::MakeTempDir();
        WriteFile(dir / "s0.bin", content);
        NVS_SetFileName(0, (dir / "s0.bin").c_str());
        NVS_SetFileName(1, (dir / "new.bin").c_str());
    }
    void TearDown() override {
        ResetStorage();
        SepTest::TearDown();
    }

    // One transaction in which the SEP makes the given storage requests; returns the host's
    // replies as words, and the wait's result.
    std::vector<std::vector<uint32_t>> Serve(const std::vector<std::vector<uint8_t>>& requests,
                                             uint32_t* waitResult = nullptr) {
        size_t before = sepsim::CallbackReplies().size();
        for (const auto& r : requests) sepsim::QueueCallback(r);
        sepsim::SetMessageHandler(0x77, [](auto&) { return sepsim::Reply{}; });
        uint32_t offset = 0;
        EXPECT_EQ(SEPDriver_BuildMsgHeader(&offset, 0x77), 0u);
        EXPECT_EQ(SEPDriver_EndMessage(offset), 0u);
        uint32_t result = SEPDriver_WaitForResponse(0, 0, nullptr, -1);
        if (waitResult) {
            *waitResult = result;
        } else {
            EXPECT_EQ(result, 0u);
        }
        SEPDriver_Unlock();
        std::vector<std::vector<uint32_t>> replies;
        for (size_t i = before; i < sepsim::CallbackReplies().size(); i++)
            replies.push_back(Words(sepsim::CallbackReplies()[i]));
        return replies;
    }
    std::vector<uint32_t> ServeOne(const std::vector<uint8_t>& request, uint32_t* waitResult = nullptr) {
        auto replies = Serve({request}, waitResult);
        return replies.empty() ? std::vector<uint32_t>{} : replies[0];
    }
    static std::vector<uint8_t> Req(uint32_t opcode, std::vector<uint32_t> words,
                                    const std::string& data = "") {
        return sepsim::StorageRequest(opcode, words, std::vector<uint8_t>(data.begin(), data.end()));
    }
    static std::vector<uint32_t> Reply(std::vector<uint32_t> words) {
        std::vector<uint32_t> out = {kToken, uint32_t(words.size() + 3)};
        out.insert(out.end(), words.begin(), words.end());
        out.push_back(0);
        return out;
    }
};

TEST_F(Nvs, OpenRequests) {
    NVS_SetFileName(2, "");
    struct Case {
        std::vector<uint32_t> words;
        uint32_t result;
    } cases[] = {
        {{10, 0}, NVS_ERR_BAD_ID},
        {{0, 2}, NVS_ERR_OPEN},
        {{2, 0}, NVS_ERR_OPEN},
        {{1, 0}, NVS_ERR_OPEN},  // read-write needs the file to exist
        {{1, 1}, 0},
        {{0, 0}, 0},
    };
    for (const Case& c : cases) {
        uint32_t wait = 99;
        EXPECT_THAT(ServeOne(Req(0x604, c.words), &wait), ElementsAreArray(Reply({0x604, c.result})))
            << c.words[0] << "/" << c.words[1];
        EXPECT_EQ(wait, 0u);  // an open never ends the wait
    }
    EXPECT_TRUE(std::filesystem::exists(dir / "new.bin"));
    EXPECT_EQ(s_MapArray[0].size, content.size());
}

TEST_F(Nvs, InlineAndSharedTransfers) {
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    std::string pad = std::string("23456") + std::string(3, '\0');
    auto replies = Serve({
        Req(0x602, {0, 2, 5}),
        Req(0x603, {0, 4, 3}, "XYZ"),
        Req(0x602, {0, 0, 8}),
        Req(0x602, {0, 34, 6}),  // runs past the end: the rest reads as zero
    });
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_THAT(replies[0], ElementsAre(kToken, 8, 0x602, 0, 5, Le32((const uint8_t*)"2345"),
                                        Le32((const uint8_t*)"6\0\0\0"), 0));
    EXPECT_THAT(replies[1], ElementsAreArray(Reply({0x603, 0, 3})));
    EXPECT_THAT(replies[2], ElementsAre(kToken, 8, 0x602, 0, 8, Le32((const uint8_t*)"0123"),
                                        Le32((const uint8_t*)"XYZ7"), 0));
    EXPECT_THAT(replies[3], ElementsAre(kToken, 8, 0x602, 0, 6, Le32((const uint8_t*)"yz\0\0"), 0, 0));
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(0, 8), "0123XYZ7");

    memcpy(sepsim::DeviceMemory() + 8 + kSharedData, "shared!", 7);
    replies = Serve({
        Req(0x601, {0, 36, 7, kSharedData}),
        Req(0x600, {0, 10, 10, kSharedData + 64}),
    });
    EXPECT_THAT(replies[0], ElementsAreArray(Reply({0x601, 0, 7})));
    EXPECT_THAT(replies[1], ElementsAreArray(Reply({0x600, 0, 10})));
    EXPECT_EQ(std::string((const char*)sepsim::DeviceMemory() + 8 + kSharedData + 64, 10), "abcdefghij");
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(36), "shared!");
    EXPECT_EQ(s_MapArray[0].size, 43u);
}

// What a shared-memory write moves is part of what its callback brings, as it was when it was
// written: the same request words with new data, more often in a row than the wait takes a repeat,
// are progress, also when the SEP lays its next request over that data as soon as it has the reply.
TEST_F(Nvs, SharedWritesOfNewDataMoveTheWaitOn) {
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    const uint32_t count = SEP_WAIT_MAX_FRUITLESS_CALLBACKS + 8;
    const std::vector<uint8_t> frame = Req(0x601, {0, 4, 4, kSharedData});
    std::vector<uint8_t> overData = frame;  // zeroes the data area
    overData.resize(kSharedData + 4, 0);
    enum class Data { InTheRequest, AtTheSignal };
    struct Case {
        const char* name;
        std::vector<uint8_t> request;
        Data data;
    } cases[] = {
        {"laid out with the request", overData, Data::InTheRequest},
        {"written at the signal, the next request laid over it", overData, Data::AtTheSignal},
        {"written at the signal, the requests elsewhere", frame, Data::AtTheSignal},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        for (uint32_t i = 0; i < count; i++) {
            std::vector<uint8_t> data(4);
            for (int b = 0; b < 4; b++) data[b] = uint8_t((i + 1) >> (8 * b));
            if (c.data == Data::AtTheSignal) {
                sepsim::QueueCallback(c.request, kSharedData, data);
            } else {
                std::vector<uint8_t> request = c.request;
                std::copy(data.begin(), data.end(), request.begin() + kSharedData);
                sepsim::QueueCallback(request);
            }
        }
        uint32_t wait = 99;
        auto replies = Serve({}, &wait);
        EXPECT_EQ(wait, 0u) << c.name;
        ASSERT_EQ(replies.size(), count) << c.name;
        for (const auto& reply : replies) EXPECT_THAT(reply, ElementsAreArray(Reply({0x601, 0, 4}))) << c.name;
        EXPECT_EQ(Le32(reinterpret_cast<const uint8_t*>(ReadFile(dir / "s0.bin").data()) + 4), count) << c.name;
    }
}

// The same transfers of the same data again bring nothing new: the wait ends at its bound.
TEST_F(Nvs, SharedTransfersOfTheSameDataEndTheWait) {
    using sepsim::CallbackRepeat;
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    const size_t max = SEP_WAIT_MAX_FRUITLESS_CALLBACKS;
    // A write of the data at `at`, its request reaching over the data areas at kSharedData and
    // kSharedData + 4.
    auto write = [](uint32_t at, const std::string& data) {
        std::vector<uint8_t> request = Req(0x601, {0, 4, 4, at});
        request.resize(kSharedData + 8, 0);
        std::copy(data.begin(), data.end(), request.begin() + at);
        return request;
    };
    struct Callback {
        std::vector<uint8_t> request;
        std::string atSignal;  // data written at kSharedData when the SEP signals, if any
    };
    struct Case {
        const char* name;
        CallbackRepeat repeat;
        std::vector<Callback> callbacks;
        size_t served;
    } cases[] = {
        {"a write sent again", CallbackRepeat::Resend, {{write(kSharedData, "abcd"), ""}}, 1 + max},
        {"a write sent again, its data written at each signal", CallbackRepeat::Resend,
         {{write(kSharedData, ""), "abcd"}}, 1 + max},
        {"a read sent again", CallbackRepeat::Resend, {{Req(0x600, {0, 8, 4, kSharedData}), ""}}, 1 + max},
        {"two writes in turn, each request over the other's data", CallbackRepeat::Cycle,
         {{write(kSharedData, "abcd"), ""}, {write(kSharedData + 4, "efgh"), ""}}, 2 + max},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        sepsim::RepeatCallbacks(c.repeat);
        for (const Callback& callback : c.callbacks) {
            if (callback.atSignal.empty()) {
                sepsim::QueueCallback(callback.request);
            } else {
                sepsim::QueueCallback(callback.request, kSharedData,
                                      std::vector<uint8_t>(callback.atSignal.begin(), callback.atSignal.end()));
            }
        }
        uint32_t wait = 0;
        EXPECT_EQ(Serve({}, &wait).size(), c.served) << c.name;
        EXPECT_EQ(wait, FVOS_FAILED) << c.name;
    }
}

TEST_F(Nvs, RequestsOutsideTheAreaAreRefused) {
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    struct Case {
        std::vector<uint8_t> request;
        uint32_t opcode;
    } cases[] = {
        {Req(0x600, {0, 0, 100, 0x7000 - 8 - 96}), 0x600},
        {Req(0x601, {0, 0, 1, 0xFFFFFFFC}), 0x601},
        {Req(0x600, {0, 0, 0xFFFFFFFF, 16}), 0x600},
        {Req(0x602, {0, 0, 8173}), 0x602},
        {Req(0x603, {0, 0, 9}, "12345678"), 0x603},  // more than the request carries
    };
    for (const Case& c : cases) {
        uint32_t wait = 0;
        EXPECT_THAT(ServeOne(c.request, &wait), ElementsAreArray(Reply({c.opcode, NVS_ERR_BAD_REQUEST})));
        EXPECT_EQ(wait, NVS_ERR_BAD_REQUEST);
    }
    EXPECT_EQ(ReadFile(dir / "s0.bin"), content);
    EXPECT_THAT(ServeOne(Req(0x602, {0, 0, 8172})), ::testing::SizeIs(2 + 3 + 8172 / 4 + 1));
}

TEST_F(Nvs, EntriesThatAreNotOpenAreNeverUsed) {
    uint32_t wait = 0;
    EXPECT_THAT(ServeOne(Req(0x603, {3, 0, 4}, "data"), &wait), ElementsAreArray(Reply({0x603, NVS_ERR_FILE})));
    EXPECT_EQ(wait, NVS_ERR_FILE);
    EXPECT_THAT(ServeOne(Req(0x602, {3, 0, 4}), &wait), ElementsAreArray(Reply({0x602, NVS_ERR_FILE})));
    EXPECT_THAT(ServeOne(Req(0x605, {3})), ElementsAreArray(Reply({0x605, 0})));

    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    EXPECT_THAT(ServeOne(Req(0x605, {0})), ElementsAreArray(Reply({0x605, 0})));
    EXPECT_EQ(s_MapArray[0].handle, 0u);
    EXPECT_EQ(s_MapArray[0].reserved, 0u);
    EXPECT_THAT(ServeOne(Req(0x605, {0})), ElementsAreArray(Reply({0x605, 0})));
    uint32_t count = 7;
    uint8_t buffer[4];
    EXPECT_EQ(NVS_Read(0, 0, buffer, 4, &count), NVS_ERR_FILE);
    EXPECT_EQ(count, 0u);
}

TEST_F(Nvs, CacheRequests) {
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    struct Case {
        std::vector<uint8_t> request;
        std::vector<uint32_t> reply;
        uint32_t wait;
    } cases[] = {
        {Req(0x607, {0}), {0x607, NVS_ERR_CACHE}, NVS_ERR_CACHE},
        {Req(0x606, {11, 4}), {0x606, NVS_ERR_BAD_ID}, NVS_ERR_BAD_ID},
        {Req(0x606, {0, 4}), {0x606, 0}, 0},
        {Req(0x606, {0, 8}), {0x606, 0}, 0},  // already initialised
        {Req(0x607, {0}), {0x607, 0}, 0},
        {Req(0x603, {0, 1, 2}, "!!"), {0x603, 0, 2}, 0},
        {Req(0x608, {0}), {0x608, 0}, 0},
        {Req(0x607, {0}), {0x607, 0}, 0},
        {Req(0x609, {0}), {0x609, 0}, 0},
        {Req(0x609, {12}), {0x609, NVS_ERR_BAD_ID}, NVS_ERR_BAD_ID},
    };
    for (const Case& c : cases) {
        uint32_t wait = 99;
        EXPECT_THAT(ServeOne(c.request, &wait), ElementsAreArray(Reply(c.reply))) << Le32(&c.request[8]);
        EXPECT_EQ(wait, c.wait);
    }
    EXPECT_EQ(s_MapArray[0].cache.count, 4u);
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(0, 4), "0!!3");
}

// A callback that is no storage request, or an empty one that leaves the host's own request in
// the area, is answered, so that the SEP moves on and the wait goes on.
TEST_F(Nvs, UnknownAndEmptyCallbacksGetAnErrorReply) {
    uint32_t wait = 99;
    EXPECT_THAT(ServeOne(Req(0x6FF, {1, 2}), &wait), ElementsAreArray(Reply({0x6FF, NVS_ERR_BAD_REQUEST})));
    EXPECT_EQ(wait, 0u);
    EXPECT_THAT(ServeOne({}, &wait), ElementsAreArray(Reply({0x77, NVS_ERR_BAD_REQUEST})));
    EXPECT_EQ(wait, 0u);
}

// The SEP names the block count; the host grants a bounded cache and refuses a larger one.
TEST_F(Nvs, CacheSizeIsBounded) {
    uint32_t usage = DxMemoryUsage;
    for (uint32_t blocks : {NVS_CACHE_MAX_BLOCKS + 1, 0x400000u, 0xFFFFFFFFu}) {
        uint32_t wait = 0;
        EXPECT_THAT(ServeOne(Req(0x606, {0, blocks}), &wait), ElementsAreArray(Reply({0x606, NVS_ERR_CACHE})))
            << blocks;
        EXPECT_EQ(wait, NVS_ERR_CACHE);
        EXPECT_EQ(DxMemoryUsage, usage);
        EXPECT_EQ(s_MapArray[0].cacheInitialised, 0u);
    }
    EXPECT_THAT(ServeOne(Req(0x606, {0, NVS_CACHE_MAX_BLOCKS})), ElementsAreArray(Reply({0x606, 0})));
    EXPECT_EQ(s_MapArray[0].cache.count, NVS_CACHE_MAX_BLOCKS);
    EXPECT_EQ(DxMemoryUsage - usage, NVS_CACHE_MAX_BYTES + NVS_CACHE_MAX_BLOCKS * sizeof(NvsCacheEntry));
}

// A block as the cache writes it back: the bytes, then zeros to the block's end.
std::string Block(const std::string& bytes) {
    return bytes + std::string(NVS_BLOCK_SIZE - bytes.size(), '\0');
}

// The cache and the file agree whatever the order of cached and direct transfers, and a file
// opened again under the same id never sees the blocks of the one before.
TEST_F(Nvs, CacheKeepsEveryWrite) {
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> requests;
        std::string file;
        std::vector<uint32_t> lastReply;
    } cases[] = {
        {"direct write while disabled, then a flush",
         {Req(0x606, {0, 4}), Req(0x607, {0}), Req(0x603, {0, 0, 4}, "AAAA"), Req(0x608, {0}),
          Req(0x603, {0, 1, 2}, "BB"), Req(0x607, {0}), Req(0x609, {0})},
         Block("ABBA456789"), Reply({0x609, 0})},
        {"clean block after a direct write",
         {Req(0x606, {0, 4}), Req(0x607, {0}), Req(0x602, {0, 0, 4}), Req(0x608, {0}),
          Req(0x603, {0, 2, 2}, "xy"), Req(0x607, {0}), Req(0x602, {0, 0, 4})},
         "01xy456789", Reply({0x602, 0, 4, Le32((const uint8_t*)"01xy")})},
        {"dirty block of a file closed with the cache disabled",
         {Req(0x606, {0, 4}), Req(0x607, {0}), Req(0x603, {0, 0, 4}, "old!"), Req(0x608, {0}),
          Req(0x605, {0}), Req(0x604, {0, 1}), Req(0x607, {0}), Req(0x602, {0, 0, 4}), Req(0x609, {0}),
          Req(0x605, {0})},
         "", Reply({0x605, 0})},
        {"clean block of a file closed with the cache disabled",
         {Req(0x606, {0, 4}), Req(0x607, {0}), Req(0x602, {0, 0, 4}), Req(0x608, {0}), Req(0x605, {0}),
          Req(0x604, {0, 1}), Req(0x603, {0, 4, 2}, "nw"), Req(0x607, {0}), Req(0x602, {0, 0, 8})},
         std::string(4, '\0') + "nw", Reply({0x602, 0, 8, 0, Le32((const uint8_t*)"nw\0\0")})},
    };
    for (const Case& c : cases) {
        ResetStorage();
        WriteFile(dir / "s0.bin", "0123456789");
        NVS_SetFileName(0, (dir / "s0.bin").c_str());
        ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
        auto replies = Serve(c.requests);
        ASSERT_EQ(replies.size(), c.requests.size()) << c.name;
        for (size_t i = 0; i + 1 < replies.size(); i++)
            EXPECT_EQ(replies[i][3], 0u) << c.name << ", request " << i;
        EXPECT_THAT(replies.back(), ElementsAreArray(c.lastReply)) << c.name;
        EXPECT_EQ(ReadFile(dir / "s0.bin"), c.file) << c.name;
    }
}

// With standard input closed a storage file gets descriptor 0, and is still closed.
TEST_F(Nvs, FileOnDescriptorZeroIsClosed) {
    bool onZero = false;
    {
        septest::StandardInputClosed closed;
        long before = septest::OpenDescriptorCount();
        for (int round = 0; round < 3; round++) {
            Serve({Req(0x604, {0, 0}), Req(0x602, {0, 0, 4})});
            onZero = onZero || (s_MapArray[0].reserved && s_MapArray[0].handle == 0);
            Serve({Req(0x605, {0})});
            EXPECT_EQ(septest::OpenDescriptorCount(), before) << "round " << round;
        }
    }
    EXPECT_TRUE(onZero);
}

// ---- the block cache ----

class NvsCacheTest : public Nvs {
protected:
    void OpenCached(uint32_t blocks, const std::string& data) {
        WriteFile(dir / "s0.bin", data);
        ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
        ASSERT_EQ(NVS_InitCache(0, blocks), 0u);
        ASSERT_EQ(NVS_EnableCache(0), 0u);
    }
    std::vector<uint64_t> CachedBlocks() {
        std::vector<uint64_t> out;
        const NvsCache& c = s_MapArray[0].cache;
        for (uint32_t i = 0; i < c.count; i++)
            if (c.entries[i].valid) out.push_back(c.entries[i].block);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string Read(uint64_t offset, uint32_t size, DxStatus expected = 0) {
        std::vector<uint8_t> buffer((size + 3) / 4 * 4 + 4, 0xEE);
        uint32_t count = 0;
        EXPECT_EQ(NVS_Read(0, offset, buffer.data(), size, &count), expected);
        EXPECT_EQ(buffer[(size + 3) / 4 * 4], 0xEE);
        return std::string(buffer.begin(), buffer.begin() + count);
    }
    DxStatus Write(uint64_t offset, const std::string& data) {
        uint32_t count = 0;
        return NVS_Write(0, offset, (const uint8_t*)data.data(), uint32_t(data.size()), &count);
    }
};

std::string Pattern(size_t n) {
    std::string s(n, 0);
    for (size_t i = 0; i < n; i++) s[i] = char('A' + i % 23);
    return s;
}

TEST_F(NvsCacheTest, ReadSpanningTwoBlocks) {
    std::string data = Pattern(4096);
    OpenCached(4, data);
    EXPECT_EQ(Read(1000, 100), data.substr(1000, 100));
    EXPECT_THAT(CachedBlocks(), ElementsAre(0, 1));
}

TEST_F(NvsCacheTest, RangesOverHalfTheEntriesBypassTheCache) {
    std::string data = Pattern(8192);
    OpenCached(4, data);
    EXPECT_EQ(Read(0, 3 * 1024), data.substr(0, 3072));
    EXPECT_TRUE(CachedBlocks().empty());
    EXPECT_EQ(Read(1024, 2048), data.substr(1024, 2048));
    EXPECT_THAT(CachedBlocks(), ElementsAre(1, 2));

    EXPECT_EQ(Write(0, std::string(3000, 'w')), NVS_ERR_CACHE_CONFLICT);  // would pass cached blocks
    EXPECT_EQ(Write(4096, std::string(3000, 'w')), 0u);                   // straight to the file
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(4096, 3000), std::string(3000, 'w'));
    EXPECT_EQ(Write(1024, "dirty"), 0u);
    EXPECT_EQ(Read(0, 3000, NVS_ERR_CACHE_CONFLICT), "");
}

TEST_F(NvsCacheTest, VictimIsTheCleanEntryUsedLeastRecently) {
    std::string data = Pattern(8 * 1024);
    OpenCached(4, data);
    for (uint64_t b : {0, 1, 2, 3}) Read(b * 1024, 10);
    Read(0, 10);                  // block 0 used again
    ASSERT_EQ(Write(2048, "d"), 0u);  // block 2 dirty
    Read(4 * 1024, 10);
    EXPECT_THAT(CachedBlocks(), ElementsAre(0, 2, 3, 4));
    Read(5 * 1024, 10);
    EXPECT_THAT(CachedBlocks(), ElementsAre(0, 2, 4, 5));
    Read(6 * 1024, 10);
    EXPECT_THAT(CachedBlocks(), ElementsAre(2, 4, 5, 6));
}

TEST_F(NvsCacheTest, CacheFullOfDirtyBlocksRefusesMore) {
    OpenCached(2, Pattern(4096));
    ASSERT_EQ(Write(0, "a"), 0u);
    ASSERT_EQ(Write(1024, "b"), 0u);
    EXPECT_EQ(Write(2048, "c"), NVS_ERR_CACHE_CONFLICT);
    EXPECT_EQ(Read(3072, 4, NVS_ERR_CACHE_CONFLICT), "");
    EXPECT_EQ(NVS_FlushCache(0), 0u);
    EXPECT_TRUE(CachedBlocks().empty());
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(0, 1), "a");
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(1024, 1), "b");
}

TEST_F(NvsCacheTest, FailedWriteBackKeepsTheBlockDirtyAndIsReported) {
    std::string data = Pattern(2048);
    OpenCached(4, data);
    ASSERT_EQ(Write(10, "new"), 0u);
    DxVosFile good = s_MapArray[0].handle;
    int readOnly = open((dir / "s0.bin").c_str(), O_RDONLY);
    s_MapArray[0].handle = DxVosFile(readOnly);

    EXPECT_EQ(NVS_FlushCache(0), NVS_ERR_FILE);
    EXPECT_TRUE(NvsCacheDirtyEntriesExistInRange(&s_MapArray[0].cache, 0, 0));
    EXPECT_EQ(NVS_DisableCache(0), NVS_ERR_FILE);
    EXPECT_EQ(s_MapArray[0].cacheEnabled, 1u);  // reads still see the block
    EXPECT_EQ(NVS_FileClose(0), NVS_ERR_FILE);
    EXPECT_EQ(s_MapArray[0].reserved, 1u);  // still open, nothing lost
    EXPECT_EQ(ReadFile(dir / "s0.bin"), data);

    s_MapArray[0].handle = good;
    close(readOnly);
    EXPECT_EQ(NVS_FileClose(0), 0u);
    EXPECT_EQ(ReadFile(dir / "s0.bin").substr(8, 7), data.substr(8, 2) + "new" + data.substr(13, 2));
    EXPECT_EQ(s_MapArray[0].reserved, 0u);
}

TEST_F(NvsCacheTest, FlushWithoutDirtyBlocksOnlyClears) {
    std::string data = Pattern(2048);
    OpenCached(4, data);
    Read(0, 10);
    EXPECT_EQ(NVS_FlushCache(0), 0u);
    EXPECT_TRUE(CachedBlocks().empty());
    EXPECT_EQ(ReadFile(dir / "s0.bin"), data);
}

TEST_F(NvsCacheTest, DirectWriteBeyondTheEndRaisesTheSize) {
    WriteFile(dir / "s0.bin", "abc");
    ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
    EXPECT_EQ(s_MapArray[0].size, 3u);
    EXPECT_EQ(Write(100, "xyz"), 0u);
    EXPECT_EQ(s_MapArray[0].size, 103u);
    EXPECT_EQ(Write(10, "q"), 0u);
    EXPECT_EQ(s_MapArray[0].size, 103u);
    EXPECT_EQ(Read(0, 5), std::string("abc\0\0", 5));
}

TEST_F(NvsCacheTest, CacheOperationsNeedAnInitialisedCache) {
    EXPECT_EQ(NVS_EnableCache(0), NVS_ERR_CACHE);
    EXPECT_EQ(NVS_DisableCache(0), NVS_ERR_CACHE);
    EXPECT_EQ(NVS_InitCache(10, 1), NVS_ERR_BAD_ID);
    EXPECT_EQ(NVS_InitCache(0, 0xFFFFFFFF), NVS_ERR_CACHE);
    EXPECT_EQ(NVS_InitCache(0, 2), 0u);
    EXPECT_EQ(NVS_EnableCache(0), 0u);
}

// The cache against a plain model of the file: random reads, writes, flushes and reopenings.
TEST_F(NvsCacheTest, BehavesLikeThePlainFile) {
    for (uint32_t blocks : {0u, 1u, 2u, 3u, 4u, 8u}) {
        SCOPED_TRACE("cache of " + std::to_string(blocks));
        ResetStorage();
        NVS_SetFileName(0, (dir / "s0.bin").c_str());
        std::string model = Pattern(5000);
        OpenCached(blocks, model);
        std::mt19937 rng(1234 + blocks);
        auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
        size_t refused = 0;
        for (int step = 0; step < 400; step++) {
            uint32_t op = pick(0, 19);
            uint64_t offset = pick(0, 12000);
            uint32_t length = pick(1, op % 2 ? 1100 : 2600);
            if (op < 9) {
                std::string expected = model.size() > offset ? model.substr(offset, length) : "";
                expected.resize(length, '\0');
                std::vector<uint8_t> buffer((length + 3) / 4 * 4);
                uint32_t count = 0;
                DxStatus status = NVS_Read(0, offset, buffer.data(), length, &count);
                if (status == NVS_ERR_CACHE_CONFLICT) {
                    refused++;
                    continue;
                }
                ASSERT_EQ(status, 0u) << step;
                ASSERT_EQ(std::string(buffer.begin(), buffer.begin() + count), expected) << step;
            } else if (op < 18) {
                std::string data(length, char('a' + step % 26));
                DxStatus status = Write(offset, data);
                if (status == NVS_ERR_CACHE_CONFLICT) {
                    refused++;
                    continue;
                }
                ASSERT_EQ(status, 0u) << step;
                if (model.size() < offset + length) model.resize(offset + length, '\0');
                model.replace(offset, length, data);
            } else if (op == 18) {
                ASSERT_EQ(NVS_FlushCache(0), 0u);
            } else {
                ASSERT_EQ(NVS_FileClose(0), 0u);
                ASSERT_EQ(NVS_FileOpen(0, NVS_MODE_READ_WRITE), 0u);
            }
        }
        ASSERT_EQ(NVS_FileClose(0), 0u);
        std::string file = ReadFile(dir / "s0.bin");
        ASSERT_GE(file.size(), model.size());
        EXPECT_EQ(file.substr(0, model.size()), model);
        EXPECT_EQ(file.substr(model.size()), std::string(file.size() - model.size(), '\0'));
        EXPECT_LT(refused, 200u);
    }
}

}  // namespace
