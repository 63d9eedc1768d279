// FVOS driver access against the simulated driver: opening, control table, poll, queue status,
// the mapping and the end of a transaction.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include "SepTestSupport.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using sepsim::Call;

class Fvos : public septest::SepTest {};

std::vector<uint8_t> Bytes(std::initializer_list<std::pair<size_t, uint64_t>> fields, size_t size) {
    std::vector<uint8_t> out(size, 0);
    for (auto [at, value] : fields)
        for (size_t i = 0; i < 8 && at + i < size; i++) out[at + i] = uint8_t(value >> (8 * i));
    return out;
}

TEST_F(Fvos, InitOpensDeviceAndAttributeOnce) {
    close(g_FD);
    close(g_sysfsFD);
    g_FD = g_sysfsFD = -1;
    ASSERT_EQ(FVOS_Init(FVOS_SEP_DEVICE_PATH), FVOS_OK);
    EXPECT_EQ(FVOS_Init(FVOS_SEP_DEVICE_PATH), FVOS_OK);
    auto opens = sepsim::TraceOf(Call::Open);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].path, "/dev/sep_sec_driver");
    EXPECT_EQ(opens[0].flags, O_RDWR | O_DSYNC);
    EXPECT_EQ(opens[1].path, "/sys/devices/virtual/misc/sep_sec_driver/queue_status");
    EXPECT_EQ(opens[1].flags, O_RDONLY | O_DSYNC);
}

TEST_F(Fvos, InitFailsWithTwoWhenAFileIsMissing) {
    close(g_FD);
    close(g_sysfsFD);
    g_FD = g_sysfsFD = -1;
    sepsim::FailOpen(sepsim::kDevicePath, true);
    EXPECT_EQ(DX_CC_HostInit(), FVOS_NOT_OPEN);
    EXPECT_EQ(g_FD, -1);
    sepsim::FailOpen(sepsim::kDevicePath, false);
    sepsim::FailOpen(sepsim::kQueueStatusPath, true);
    EXPECT_EQ(DX_CC_HostInit(), FVOS_NOT_OPEN);
    sepsim::FailOpen(sepsim::kQueueStatusPath, false);
    EXPECT_EQ(DX_CC_HostInit(), FVOS_OK);
}

TEST_F(Fvos, ControlTableCodesAndArgumentBytes) {
    const uint64_t a = 0x1122334455667788ull;
    struct Case {
        uint32_t command;
        unsigned long code;  // 0: no control call
        std::vector<uint8_t> bytes;
    } cases[] = {
        {1, 0x7300, {}},
        {2, 0x7301, {}},
        {7, 0x40287323, Bytes({{0, a}, {8, 0xA1}, {16, a + 1}, {24, 0xA3}, {28, 0xA4}, {32, 0xA5}}, 40)},
        {8, 0x40287326, Bytes({{0, a}, {8, 0xA1}, {16, a + 1}, {24, 0xA3}, {28, 0xA4}, {32, 0xA5}}, 40)},
        {10, 0x7324, std::vector<uint8_t>(40, 0)},
        {11, 0x7327, std::vector<uint8_t>(40, 0)},
        {13, 0x7308, std::vector<uint8_t>(40, 0)},
        {16, 0x730E, Bytes({{0, uint32_t(a)}}, 4)},
        {19, 0x4028730D,
         Bytes({{0, a}, {8, 0xA1}, {12, 0xA2}, {16, 0xA3}, {20, 0xA4}, {24, a + 5}, {32, 0xA6}}, 40)},
        {23, 0x40107312, Bytes({{0, a}, {8, 0xA1}}, 16)},
        {24, 0x40087314, Bytes({{0, 0xFFFFFFFF800000A2ull}}, 8)},
        {25, 0x40187322, Bytes({{0, uint32_t(a)}, {8, 0xA1}, {16, uint32_t(a + 1)}}, 24)},
        {27, 0x7330, {}},
        {15, 0, {}},
        {17, 0, {}},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        FVOS_CntrlRecord w = {a, 0xA1, c.command == 24 ? 0x800000A2u : a + 1, 0xA3, 0xA4,
                              c.command == 19 ? a + 5 : 0xA5, 0xA6, 0xA7};
        if (c.command == 19) w[2] = 0xA2;
        int32_t result = FVOS_Cntrl(c.command, w);
        auto calls = sepsim::TraceOf(Call::Ioctl);
        if (c.code == 0) {
            EXPECT_EQ(result, 0) << c.command;
            EXPECT_TRUE(calls.empty()) << c.command;
            continue;
        }
        ASSERT_EQ(calls.size(), 1u) << c.command;
        EXPECT_EQ(calls[0].code, c.code) << c.command;
        EXPECT_THAT(calls[0].bytes, ElementsAreArray(c.bytes)) << c.command;
        if (c.command != 1 && c.command != 2) {
            EXPECT_EQ(result, 0) << c.command;
        }
    }
    // Sending without a request in the area is the firmware's violation to report.
    sepsim::TakeViolations();
}

TEST_F(Fvos, ControlCommandsThatChangeTheRecord) {
    FVOS_CntrlRecord w = {7, 8, 9, 10};
    EXPECT_EQ(FVOS_Cntrl(13, w), 0);
    EXPECT_EQ(w[0], 0u);
    FVOS_CntrlRecord v = {7, 8, 9};
    EXPECT_EQ(FVOS_Cntrl(15, v), 0);
    EXPECT_EQ(v[0], 0u);
    EXPECT_EQ(v[1], 0u);
    FVOS_CntrlRecord u = {7, 8, 9};
    EXPECT_EQ(FVOS_Cntrl(23, u), 0);
    EXPECT_EQ(u[2], 0u);

    uint8_t from[6] = {1, 2, 3, 4, 5, 6}, to[6] = {};
    FVOS_CntrlRecord copy = {uintptr_t(from), uintptr_t(to), 6};
    EXPECT_EQ(FVOS_Cntrl(4, copy), 0);
    EXPECT_THAT(to, ElementsAreArray(from));
    uint8_t back[6] = {};
    FVOS_CntrlRecord reverse = {uintptr_t(back), uintptr_t(from), 3};
    EXPECT_EQ(FVOS_Cntrl(5, reverse), 0);
    EXPECT_THAT(back, ElementsAreArray({1, 2, 3, 0, 0, 0}));
}

TEST_F(Fvos, CommandsOutsideTheTableMakeNoCall) {
    for (uint32_t command : {0u, 6u, 9u, 12u, 14u, 18u, 20u, 21u, 22u, 26u, 28u, 30u, 0xFFFFFFFFu}) {
        FVOS_CntrlRecord w = {};
        EXPECT_EQ(FVOS_Cntrl(command, w), 9) << command;
    }
    EXPECT_TRUE(sepsim::TraceOf(Call::Ioctl).empty());
}

TEST_F(Fvos, AllocationInTheMappingIsZeroedAndBounded) {
    uint8_t* area = nullptr;
    ASSERT_EQ(FVOS_Mmap(&area), FVOS_OK);
    memset(g_StartMapAddress + 0x2000, 0xEE, 64);
    FVOS_CntrlRecord w = {0, 0, 5, 64};
    ASSERT_EQ(FVOS_Cntrl(3, w), 0);
    EXPECT_EQ(w[1], uintptr_t(g_StartMapAddress + 0x2000));
    EXPECT_EQ(w[2], 0u);
    EXPECT_EQ(std::vector<uint8_t>(g_StartMapAddress + 0x2000, g_StartMapAddress + 0x2040),
              std::vector<uint8_t>(64, 0));
    auto calls = sepsim::TraceOf(Call::Ioctl);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 0x40087302u);
    EXPECT_THAT(calls[0].bytes, ElementsAreArray({0, 0, 0, 0, 64, 0, 0, 0}));  // as sent

    sepsim::SetAllocOffset(0x6FF0);
    FVOS_CntrlRecord big = {0, 0, 5, 0x20};
    EXPECT_EQ(FVOS_Cntrl(3, big), -1);
    EXPECT_EQ(big[1], 0u);
}

TEST_F(Fvos, PollOutcomes) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int timeout;
        uint32_t result;
        uint32_t status;
    } cases[] = {
        {"reply", [] { sepsim::SetMessageHandler(1, [](auto&) { return sepsim::Reply{}; }); }, -1, 0, 1},
        {"text", [] { sepsim::QueueText("hi"); }, -1, 0, 4},
        {"callback", [] { sepsim::QueueCallback(sepsim::StorageRequest(0x605, {0})); }, -1, 0, 0x77},
        {"device error", [] { sepsim::QueueDeviceError(); }, -1, FVOS_DEVICE_ERROR, 0x77},
        {"time-out", [] { sepsim::QueuePollFailures({}); }, 0, FVOS_TIMEOUT, 0x77},
        {"failure", [] { sepsim::QueuePollFailures({EIO}); }, -1, FVOS_FAILED, 0x77},
        {"interrupted", [] { sepsim::QueuePollFailures({EINTR, EINTR}); }, -1, 0, 1},
        {"always interrupted", [] { sepsim::QueuePollFailures(std::vector<int>(40, EINTR)); }, -1, FVOS_FAILED,
         0x77},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        c.arrange();
        uint32_t offset = 0;
        ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 1), 0u);
        if (c.timeout < 0) {
            ASSERT_EQ(SEPDriver_EndMessage(offset), 0u);
        }
        uint32_t status = 0x77;
        EXPECT_EQ(FVOS_Poll(c.timeout, &status), c.result) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        SEPDriver_Unlock();
    }
}

TEST_F(Fvos, QueueStatusIsReadWholeFromTheStart) {
    sepsim::SetQueueTypes({2, 7});
    uint8_t queue[FVOS_QUEUE_STATUS_SIZE];
    memset(queue, 0xEE, sizeof queue);
    ASSERT_EQ(FVOS_QueueStatusGet(queue), 0);
    EXPECT_EQ(septest::Le32(queue), 2u);
    EXPECT_EQ(septest::Le32(queue + 4), 2u);
    EXPECT_EQ(septest::Le32(queue + 32), 7u);
    ASSERT_EQ(FVOS_QueueStatusGet(queue), 0);  // read again from offset 0
    EXPECT_EQ(septest::Le32(queue), 2u);
    auto reads = sepsim::TraceOf(Call::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].length, 284u);
}

TEST_F(Fvos, FailedQueueStatusReadPrintsAndFails) {
    sepsim::FailQueueRead(true);
    uint8_t queue[FVOS_QUEUE_STATUS_SIZE];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(FVOS_QueueStatusGet(queue), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "\n\n[FVOS_QueueStatusGet] sizeof(*queue) 284, offset num 0, offset items 4, "
              "sizeof(queue->items) 280\n\nread 1 ret -1\n");
}

TEST_F(Fvos, EndOfTransactionReallyUnmaps) {
    uint8_t* area = nullptr;
    ASSERT_EQ(FVOS_Mmap(&area), FVOS_OK);
    uint8_t* map = g_StartMapAddress;
    EXPECT_EQ(area, map + 8);
    uint8_t* text = nullptr;
    ASSERT_EQ(FVOS_GetPrintfBuffer(&text), FVOS_OK);
    EXPECT_EQ(text, map + 0x1700);
    area[0] = 0x5A;
    EXPECT_EQ(sepsim::DeviceMemory()[8], 0x5A);  // one shared memory

    ASSERT_EQ(FVOS_EndTransaction(), FVOS_OK);
    EXPECT_EQ(g_StartMapAddress, nullptr);
    EXPECT_FALSE(sepsim::HostMapped());
    EXPECT_EQ(msync(map, 0x7000, MS_ASYNC), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(FVOS_GetPrintfBuffer(&text), FVOS_NOT_OPEN);
    auto calls = sepsim::TraceOf(Call::Ioctl);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, 0x730Fu);
}

TEST_F(Fvos, FailedEndOfTransactionReportsErrno) {
    uint8_t* area = nullptr;
    ASSERT_EQ(FVOS_Mmap(&area), FVOS_OK);
    sepsim::FailEndTransaction(true);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(FVOS_EndTransaction(), FVOS_FAILED);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), ::testing::StartsWith("Errno is:"));
    EXPECT_FALSE(sepsim::HostMapped());
}

TEST_F(Fvos, FailedMappingGivesThree) {
    sepsim::FailMmap(true);
    uint32_t offset = 0;
    EXPECT_EQ(SEPDriver_BuildMsgHeader(&offset, 1), FVOS_MMAP_FAILED);
    EXPECT_EQ(SEPDriver_Unlock(), FVOS_OK);
}

TEST_F(Fvos, FastcallTransfersAreThePlatformsCounts) {
    sepsim::SetFastcallWriteResult(-1);
    const uint8_t frame[4] = {};
    EXPECT_EQ(FVOS_Fastcall_Write(frame, 4), -1);
    sepsim::SetFastcallWriteResult(2);
    EXPECT_EQ(FVOS_Fastcall_Write(frame, 4), 2);
    uint8_t reply[8];
    EXPECT_EQ(FVOS_Fastcall_Read(reply, sizeof reply), -1);
    EXPECT_THAT(sepsim::TakeViolations(), ElementsAreArray({HasSubstr("fastcall read without a request")}));
}

}  // namespace
