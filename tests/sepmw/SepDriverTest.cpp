// The SEPDriver message and fastcall frames, the reply check and the wait loop.
#include <cerrno>
#include <cstring>

#include "SepTestSupport.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using septest::Le32;
using septest::Words;
using sepsim::Call;

class SepDriver : public septest::SepTest {
protected:
    uint32_t offset = 0;
    uint8_t* Area() { return g_SharedRamAddr; }
    // Echoes the request's parameters back as reply parameters.
    static void EchoOpcode(uint32_t opcode) {
        sepsim::SetMessageHandler(opcode, [](const std::vector<uint8_t>& f) {
            return sepsim::Reply{0, std::vector<uint8_t>(f.begin() + 12, f.end() - 4)};
        });
    }
};

TEST_F(SepDriver, WriteParamaterRules) {
    struct Case {
        uint32_t start, length, max;
        uint32_t result, end;
    } cases[] = {
        {12, 12, 12, 0, 24},
        {12, 12, 14, SEP_DRIVER_ERR_PARAM_LENGTH, 12},
        {12, 12, 8, SEP_DRIVER_ERR_PARAM_LENGTH, 12},
        {8180, 16, 16, SEP_DRIVER_ERR_MSG_LENGTH, 8180},
        {8176, 16, 16, 0, 8192},
        {12, 0, 0, 0, 12},
    };
    ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0x10), 0u);
    const uint8_t data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (const Case& c : cases) {
        uint32_t at = c.start;
        EXPECT_EQ(SEPDriver_WriteParamater(data, c.length, c.max, &at), c.result) << c.start << "/" << c.max;
        EXPECT_EQ(at, c.end);
    }
}

TEST_F(SepDriver, ParameterPaddingIsZeroed) {
    ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0x10), 0u);
    memset(Area() + 12, 0xEE, 16);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(SEPDriver_WriteParamater(data, 5, 12, &offset), 0u);
    EXPECT_THAT(std::vector<uint8_t>(Area() + 12, Area() + 28),
                ElementsAre(1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE));
}

TEST_F(SepDriver, RequestFrameAsTheDriverReceivesIt) {
    EchoOpcode(0xBC0);
    ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0xBC0), 0u);
    EXPECT_EQ(offset, 12u);
    const uint32_t triple[3] = {2, 0, 480};
    std::vector<uint8_t> block(480, 0xA5), digest(32, 0x5A);
    ASSERT_EQ(SEPDriver_WriteParamater(triple, 12, 12, &offset), 0u);
    ASSERT_EQ(SEPDriver_WriteParamater(block.data(), 480, 480, &offset), 0u);
    ASSERT_EQ(SEPDriver_WriteParamater(digest.data(), 32, 32, &offset), 0u);
    EXPECT_EQ(offset, 536u);
    ASSERT_EQ(SEPDriver_EndMessage(offset), 0u);

    ASSERT_EQ(sepsim::Messages().size(), 1u);
    const std::vector<uint8_t>& f = sepsim::Messages()[0];
    ASSERT_EQ(f.size(), 540u);
    EXPECT_EQ(Le32(&f[0]), 0x02558808u);
    EXPECT_EQ(Le32(&f[4]), 135u);
    EXPECT_EQ(Le32(&f[8]), 0xBC0u);
    EXPECT_THAT(Words(std::vector<uint8_t>(f.begin() + 12, f.begin() + 24)), ElementsAre(2, 0, 480));
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 24, f.begin() + 504), block);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 504, f.begin() + 536), digest);
    EXPECT_EQ(Le32(&f[536]), 0u);

    ASSERT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
    ASSERT_EQ(SEPDriver_CheckStatus(&offset, 0xBC0), 0u);
    EXPECT_EQ(offset, 16u);
    EXPECT_EQ(Le32(Area() + 16), 2u);  // the echoed key index
    ASSERT_EQ(SEPDriver_Unlock(), 0u);

    std::vector<Call> calls;
    for (const auto& r : sepsim::Trace()) calls.push_back(r.call);
    EXPECT_THAT(calls, ElementsAre(Call::Mmap, Call::Ioctl, Call::Poll, Call::Munmap, Call::Ioctl));
}

TEST_F(SepDriver, CheckStatusOfReplies) {
    const std::optional<uint32_t> none;
    struct Case {
        const char* name;
        std::optional<uint32_t> token, status, lengthWord;
        uint32_t expectedOpcode;
        uint32_t result;
        uint32_t offset;
    } cases[] = {
        {"verified", none, none, none, 0xBC0, 0, 16},
        {"other opcode", none, none, none, 0xBC1, SEP_DRIVER_ERR_WRONG_OPCODE, 16},
        {"SEP status", none, 1, none, 0xBC0, 1, 16},
        {"token", 0x12345678, none, none, 0xBC0, SEP_DRIVER_ERR_WRONG_TOKEN, 8},
        {"length word 0", none, none, 0, 0xBC0, SEP_DRIVER_ERR_MSG_LENGTH, 0},
        {"length word 4", none, none, 4, 0xBC0, SEP_DRIVER_ERR_MSG_LENGTH, 0},
        {"length word past the message", none, none, 2050, 0xBC0, SEP_DRIVER_ERR_MSG_LENGTH, 0},
        {"length word huge", none, none, 0x40000000, 0xBC0, SEP_DRIVER_ERR_MSG_LENGTH, 0},
        {"longest reply", none, none, 2049, 0xBC0, 0, 16},
    };
    for (const Case& c : cases) {
        sepsim::Reset();
        EchoOpcode(0xBC0);
        sepsim::ReplyFault fault;
        fault.token = c.token;
        fault.status = c.status;
        fault.lengthWord = c.lengthWord;
        sepsim::SetReplyFault(fault);
        ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0xBC0), 0u);
        ASSERT_EQ(SEPDriver_EndMessage(offset), 0u);
        ASSERT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
        Area()[8192] = 0xEE;
        uint32_t got = 0;
        EXPECT_EQ(SEPDriver_CheckStatus(&got, c.expectedOpcode), c.result) << c.name;
        EXPECT_EQ(got, c.offset) << c.name;
        EXPECT_EQ(Area()[8192], c.lengthWord == 2049u ? 0 : 0xEE) << c.name;
        SEPDriver_Unlock();
    }
    EXPECT_EQ(SEPDriver_CheckStatus(nullptr, 1), SEP_DRIVER_ERR_NULL_POINTER);
}

TEST_F(SepDriver, EndMessageLengthWordAndTrailingZero) {
    ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0x20), 0u);
    memset(Area() + 12, 0xEE, 600);
    ASSERT_EQ(SEPDriver_EndMessage(536), 0u);
    ASSERT_EQ(sepsim::Messages().size(), 1u);
    const std::vector<uint8_t>& f = sepsim::Messages()[0];
    ASSERT_EQ(f.size(), 540u);
    EXPECT_EQ(Le32(&f[4]), 135u);
    EXPECT_EQ(Le32(&f[536]), 0u);
    EXPECT_EQ(SEPDriver_EndMessage(8196), SEP_DRIVER_ERR_MSG_LENGTH);
    EXPECT_EQ(SEPDriver_EndMessage(14), SEP_DRIVER_ERR_MSG_LENGTH);
    EXPECT_EQ(sepsim::TraceOf(Call::Ioctl).size(), 1u);
}

TEST_F(SepDriver, OperationsNeedTheirPointersAndTheMapping) {
    const uint8_t data[4] = {};
    EXPECT_EQ(SEPDriver_BuildMsgHeader(nullptr, 1), SEP_DRIVER_ERR_NULL_POINTER);
    EXPECT_EQ(SEPDriver_WriteParamater(data, 4, 4, &offset), FVOS_NOT_OPEN);
    EXPECT_EQ(SEPDriver_EndMessage(12), FVOS_NOT_OPEN);
    EXPECT_EQ(SEPDriver_CheckStatus(&offset, 1), FVOS_NOT_OPEN);
    EXPECT_EQ(SEPDriver_StartMessage(nullptr), SEP_DRIVER_ERR_NULL_POINTER);
    EXPECT_TRUE(sepsim::Trace().empty());
}

// ---- fastcall frame ----

TEST_F(SepDriver, FastcallHeaderLayout) {
    struct Case {
        uint32_t descriptors, total;
        uint32_t payload, lengthWord, params;
    } cases[] = {
        {2, 130, 30, 6, 120},
        {0, 48, 28, 5, 40},
        {1, 604, 544, 134, 80},
        {0, 288, 268, 65, 40},
    };
    for (const Case& c : cases) {
        uint8_t header[20], message[20];
        memset(header, 0xEE, sizeof header);
        memset(message, 0xEE, sizeof message);
        uint32_t params = 0;
        ASSERT_EQ(SEPDriver_Fastcall_InitHdr(header, message, c.descriptors, 33, c.total, nullptr, &params), 0u);
        EXPECT_THAT(Words({header, header + 20}), ElementsAre(0xFFAACCAA, 0, 0, c.payload, c.descriptors))
            << c.total;
        EXPECT_THAT(Words({message, message + 20}), ElementsAre(0, 0, 0x02558808, c.lengthWord, 33)) << c.total;
        EXPECT_EQ(params, c.params);
    }
    uint8_t h[20], m[20];
    uint32_t params;
    EXPECT_EQ(SEPDriver_Fastcall_InitHdr(nullptr, m, 0, 1, 48, nullptr, &params), SEP_DRIVER_ERR_NULL_POINTER);
    EXPECT_EQ(SEPDriver_Fastcall_InitHdr(h, m, 1, 1, 60, nullptr, &params), SEP_DRIVER_ERR_PARAM_LENGTH);
    int table = 0;
    ASSERT_EQ(SEPDriver_Fastcall_InitHdr(h, m, 0, 1, 48, &table, &params), 0u);
    EXPECT_EQ(septest::Le64(h + 4), uint64_t(uintptr_t(&table)));
}

TEST_F(SepDriver, FastcallParameters) {
    uint8_t frame[64];
    memset(frame, 0xEE, sizeof frame);
    uint32_t at = 40;
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(SEPDriver_Fastcall_WriteParameter(data, 6, 8, &at, 0, frame), 0u);
    EXPECT_EQ(at, 48u);
    EXPECT_THAT(std::vector<uint8_t>(frame + 40, frame + 50), ElementsAre(1, 2, 3, 4, 5, 6, 0, 0, 0xEE, 0xEE));
    EXPECT_EQ(SEPDriver_Fastcall_WriteParameter(data, 6, 6, &at, 0, frame), SEP_DRIVER_ERR_PARAM_LENGTH);
    uint32_t far = 8190;
    EXPECT_EQ(SEPDriver_Fastcall_WriteParameter(data, 4, 4, &far, 0, frame), SEP_DRIVER_ERR_MSG_LENGTH);

    uint8_t back[6] = {};
    at = 40;
    EXPECT_EQ(SEPDriver_Fastcall_ReadParameter(back, 6, 8, &at, 0, frame), 0u);
    EXPECT_EQ(at, 48u);
    EXPECT_THAT(back, ElementsAreArray(data));
    EXPECT_EQ(SEPDriver_Fastcall_ReadParameter(back, 6, 4, &at, 0, frame), SEP_DRIVER_ERR_PARAM_LENGTH);
}

TEST_F(SepDriver, FastcallValidateTexts) {
    auto reply = [](uint32_t token, uint32_t opcode, uint32_t status) {
        std::vector<uint8_t> r(24, 0);
        for (int i = 0; i < 4; i++) {
            r[8 + i] = uint8_t(token >> (8 * i));
            r[16 + i] = uint8_t(opcode >> (8 * i));
            r[20 + i] = uint8_t(status >> (8 * i));
        }
        return r;
    };
    struct Case {
        std::vector<uint8_t> reply;
        uint32_t result;
        const char* printed;
        uint32_t offset;
    } cases[] = {
        {reply(0x02558808, 33, 0), 0, "", 24},
        {reply(0xDEADBEEF, 33, 0), SEP_DRIVER_ERR_WRONG_TOKEN, "TOKEN FAIL, TOKEN IS deadbeef\n", 0},
        {reply(0x02558808, 34, 0), SEP_DRIVER_ERR_WRONG_OPCODE, "OP FAIL", 0},
        {reply(0x02558808, 33, 0x77), 0x77, "RET VAL FAIL", 0},
    };
    for (const Case& c : cases) {
        uint32_t at = 0;
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(SEPDriver_Fastcall_Validate(c.reply.data(), 33, 0, &at), c.result);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_EQ(at, c.offset);
    }
}

// ---- the wait ----

class SepWait : public SepDriver {
protected:
    void Send(uint32_t opcode = 0x77) {
        sepsim::SetMessageHandler(opcode, [](auto&) { return sepsim::Reply{0, {9, 0, 0, 0}}; });
        ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, opcode), 0u);
        ASSERT_EQ(SEPDriver_EndMessage(offset), 0u);
    }
    size_t Acks() {
        size_t n = 0;
        for (const auto& r : sepsim::TraceOf(Call::Ioctl)) n += r.code == 0x7301;
        return n;
    }

    // A wait ends only on a run of SEP_WAIT_MAX_FRUITLESS_CALLBACKS consecutive callbacks that
    // bring nothing new: the area still holds the host's last reply, or the request, the reply and
    // the data moved are those of an earlier callback of the wait. Anything new, a refused request
    // too, starts the run again. Each callback is served before it is judged.
    static constexpr size_t max = SEP_WAIT_MAX_FRUITLESS_CALLBACKS;
    struct Outcome {
        uint32_t result;
        size_t served;  // callbacks that the host answered
    };
    // One wait of a request while the SEP makes these callbacks (and repeats them so).
    Outcome Wait(const std::vector<std::vector<uint8_t>>& callbacks,
                 sepsim::CallbackRepeat repeat = sepsim::CallbackRepeat::None) {
        sepsim::Reset();
        sepsim::RepeatCallbacks(repeat);
        for (const auto& request : callbacks) sepsim::QueueCallback(request);
        Send();
        Outcome o{SEPDriver_WaitForResponse(0, 0, nullptr, -1), sepsim::CallbackReplies().size()};
        if (o.result == 0) {
            EXPECT_EQ(SEPDriver_CheckStatus(&offset, 0x77), 0u);  // the reply
        }
        SEPDriver_Unlock();
        EXPECT_THAT(sepsim::TakeViolations(), ::testing::IsEmpty());
        return o;
    }
};

TEST_F(SepWait, TextThenReply) {
    sepsim::QueueText("SEP says hello\n");
    sepsim::QueueText("and more");
    Send();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "SEP says hello\nand more");
    EXPECT_EQ(Acks(), 2u);
    EXPECT_EQ(SEPDriver_CheckStatus(&offset, 0x77), 0u);
    EXPECT_EQ(Le32(Area() + 16), 9u);
}

TEST_F(SepWait, TextWithoutTerminatorStopsAtTheMappingsEnd) {
    sepsim::QueueRawText(std::vector<uint8_t>(0x7000 - 0x1700, 'x'));
    Send();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(0x7000 - 0x1700, 'x'));
}

TEST_F(SepWait, CallbackThenReplyRunsTheStorageService) {
    sepsim::QueueCallback(sepsim::StorageRequest(0x605, {3}));
    Send();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
    ASSERT_EQ(sepsim::CallbackReplies().size(), 1u);
    EXPECT_THAT(Words(sepsim::CallbackReplies()[0]), ElementsAre(0x02558808, 5, 0x605, 0, 0));
    // The request was copied out before the callback reused the area.
    EXPECT_EQ(Le32(&sepsim::Messages()[0][8]), 0x77u);
    EXPECT_EQ(SEPDriver_CheckStatus(&offset, 0x77), 0u);
}

uint32_t g_callbacks = 0;
uint32_t AcknowledgingCallback() {
    g_callbacks++;
    return uint32_t(FVOS_Cntrl(FVOS_CNTRL_SEND_RPLY_MSG_RDY, nullptr));
}

TEST_F(SepWait, GivenCallbackIsCalledInsteadOfTheStorageService) {
    g_callbacks = 0;
    std::vector<uint8_t> request = sepsim::StorageRequest(0x605, {3});
    sepsim::QueueCallback(request);
    Send();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, AcknowledgingCallback, -1), 0u);
    EXPECT_EQ(g_callbacks, 1u);
    ASSERT_EQ(sepsim::CallbackReplies().size(), 1u);
    EXPECT_EQ(sepsim::CallbackReplies()[0], request);  // the area as the SEP left it: no storage reply
}

TEST_F(SepWait, RepeatedPollFailuresEndTheWaitWithoutServingTheArea) {
    sepsim::QueueCallback(sepsim::StorageRequest(0x605, {3}));
    Send();
    sepsim::QueuePollFailures({EIO, EIO, EIO, EIO});
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), FVOS_FAILED);
    EXPECT_EQ(sepsim::TraceOf(Call::Poll).size(), SEP_WAIT_MAX_POLL_FAILURES);
    EXPECT_TRUE(sepsim::CallbackReplies().empty());
    EXPECT_EQ(Acks(), 0u);
}

TEST_F(SepWait, AFailureBetweenGoodPollsIsRetried) {
    Send();
    sepsim::QueuePollFailures({EIO, EINTR, EIO});
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u);
    EXPECT_EQ(SEPDriver_CheckStatus(&offset, 0x77), 0u);
}

TEST_F(SepWait, DeviceErrorAndTimeOutEndTheWait) {
    sepsim::QueueDeviceError();
    Send();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), FVOS_DEVICE_ERROR);
    SEPDriver_Unlock();
    ASSERT_EQ(SEPDriver_BuildMsgHeader(&offset, 0x77), 0u);
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, 10), FVOS_TIMEOUT);
}

// Unacknowledged, the text would come back on every poll.
TEST_F(SepWait, FailedAcknowledgeOfATextEndsTheWait) {
    sepsim::QueueText("once");
    Send();
    sepsim::FailControl(0x7301);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0xFFFFFFFFu);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "once");
    EXPECT_EQ(sepsim::TraceOf(Call::Poll).size(), 1u);
}

using Frames = std::vector<std::vector<uint8_t>>;

// Reads of nothing into the area at distinct offsets (answered), every interval-th sent once more.
Frames ReadsWithRepeats(uint32_t count, uint32_t interval, uint32_t first = 0) {
    Frames requests;
    for (uint32_t i = 0; i < count; i++) {
        requests.push_back(sepsim::StorageRequest(0x600, {3, 0, 0, first + i}));
        if (interval != 0 && i % interval == 0) requests.push_back(requests.back());
    }
    return requests;
}

Frames Times(const std::vector<uint8_t>& request, size_t n) { return Frames(n, request); }

Frames Concat(Frames a, const Frames& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Storage requests of a SEP without storage: every open is refused, since no file has a name.
std::vector<uint8_t> Open(uint32_t id) { return sepsim::StorageRequest(0x604, {id, 0}); }

// Callbacks that differ, or repeat now and then, end the wait only with the reply, every one
// served.
TEST_F(SepWait, ManyCallbacksThatMoveOn) {
    Frames closes;  // from the eleventh on, each repeats an earlier one: a run under the bound
    for (uint32_t i = 0; i < 40; i++) {
        closes.push_back(sepsim::StorageRequest(0x605, {i % 10}));
        if (i % 3 == 0) closes.push_back(closes.back());
    }
    Frames opens;
    for (uint32_t id = 0; id < 10; id++) opens.push_back(Open(id));
    struct Case {
        const char* name;
        Frames callbacks;
        size_t served;
    } cases[] = {
        {"40 closes, every third sent twice", closes, 54},
        {"ten distinct opens, each refused", opens, 10},
        {"200 reads, every 20th sent once more", ReadsWithRepeats(200, 20), 210},
        {"a refused open and max - 1 retries of it", Times(Open(5), max), max},
        {"two refused opens, each with max - 1 retries", Concat(Times(Open(1), max), Times(Open(2), max)),
         2 * max},
    };
    for (const Case& c : cases) {
        Outcome o = Wait(c.callbacks);
        EXPECT_EQ(o.result, 0u) << c.name;
        EXPECT_EQ(o.served, c.served) << c.name;
    }
}

TEST_F(SepWait, CallbacksWithoutProgressEndTheWait) {
    using sepsim::CallbackRepeat;
    const auto close3 = sepsim::StorageRequest(0x605, {3}), close4 = sepsim::StorageRequest(0x605, {4});
    const auto unknown = sepsim::StorageRequest(0x6FF, {}), a = sepsim::StorageRequest(0x778, {}),
               b = sepsim::StorageRequest(0x777, {});
    struct Case {
        const char* name;
        CallbackRepeat repeat;
        Frames callbacks;
        size_t served;
    } cases[] = {
        {"a refused open and max retries of it", CallbackRepeat::None, Times(Open(5), max + 1), 1 + max},
        // the same request again: answered once, then max times without anything new
        {"request sent again", CallbackRepeat::Resend, {close3}, 1 + max},
        {"refused request sent again", CallbackRepeat::Resend, {unknown}, 1 + max},
        {"empty callback sent again", CallbackRepeat::Resend, {{}}, 1 + max},
        // the area keeps the host's reply
        {"request stays signalled", CallbackRepeat::Stuck, {close3}, 1 + max},
        {"refused request stays signalled", CallbackRepeat::Stuck, {unknown}, 1 + max},
        {"empty callback stays signalled", CallbackRepeat::Stuck, {{}}, 1 + max},
        // requests in turn: each differs from the one before, none from the earlier ones
        {"two unknown requests in turn", CallbackRepeat::Cycle, {a, b}, 2 + max},
        {"refused opens and unknown requests in turn", CallbackRepeat::Cycle, {Open(5), a}, 2 + max},
        {"two answered requests in turn", CallbackRepeat::Cycle, {close3, close4}, 2 + max},
        {"refused and answered requests in turn", CallbackRepeat::Cycle, {a, close3}, 2 + max},
        {"three requests, one twice", CallbackRepeat::Cycle, {close3, close3, a}, 3 + max},
    };
    for (const Case& c : cases) {
        Outcome o = Wait(c.callbacks, c.repeat);
        EXPECT_EQ(o.result, FVOS_FAILED) << c.name;
        EXPECT_EQ(o.served, c.served) << c.name;
    }
}

// Past SEP_WAIT_MAX_DIGESTS distinct callbacks (or when memory runs out) the wait remembers no
// more of them but the latest: a SEP that moves on is still served to its reply, one that repeats
// itself still ends.
TEST_F(SepWait, CallbacksPastTheRememberedOnes) {
    const size_t remembered = SEP_WAIT_MAX_DIGESTS;
    const Frames first = ReadsWithRepeats(remembered, 0);
    const auto a = sepsim::StorageRequest(0x778, {}), b = sepsim::StorageRequest(0x777, {});
    Frames inTurn;
    for (size_t i = 0; i < max + 20; i++) inTurn.push_back(i % 2 ? b : a);
    struct Case {
        const char* name;
        Frames callbacks;
        uint32_t result;
        size_t served;
    } cases[] = {
        {"new reads, every 20th sent once more", Concat(first, ReadsWithRepeats(300, 20, remembered)), 0,
         remembered + 315},
        {"a refused open and max - 1 retries of it", Concat(first, Times(Open(5), max)), 0, remembered + max},
        {"a refused open and max retries of it", Concat(first, Times(Open(5), max + 1)), FVOS_FAILED,
         remembered + max + 1},
        {"two unknown requests in turn", Concat(first, inTurn), FVOS_FAILED, remembered + 2 + max},
        {"the first read again and again", Concat(first, Times(first[0], max + 5)), FVOS_FAILED, remembered + max},
    };
    for (const Case& c : cases) {
        Outcome o = Wait(c.callbacks);
        EXPECT_EQ(o.result, c.result) << c.name;
        EXPECT_EQ(o.served, c.served) << c.name;
    }
}

// A wait starts with nothing seen: two requests in turn, as long as the wait allows, in each of
// three waits.
TEST_F(SepWait, EachWaitHasItsOwnBound) {
    for (int wait = 0; wait < 3; wait++) {
        for (uint32_t i = 0; i < max + 1; i++) sepsim::QueueCallback(sepsim::StorageRequest(0x778 - i % 2, {}));
        Send();
        EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), 0u) << wait;
        EXPECT_EQ(SEPDriver_CheckStatus(&offset, 0x77), 0u) << wait;
        SEPDriver_Unlock();
    }
}

uint32_t FailingCallback() {
    g_callbacks++;
    return 0x1234;
}

TEST_F(SepWait, GivenCallbackThatFailsEndsTheWait) {
    g_callbacks = 0;
    sepsim::QueueCallback(sepsim::StorageRequest(0x605, {3}));
    Send();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, FailingCallback, -1), 0x1234u);
    EXPECT_EQ(g_callbacks, 1u);
}

TEST_F(SepWait, StorageFailureEndsTheWaitWithItsStatus) {
    sepsim::QueueCallback(sepsim::StorageRequest(0x602, {9, 0, 16}));  // id 9 never opened
    Send();
    EXPECT_EQ(SEPDriver_WaitForResponse(0, 0, nullptr, -1), NVS_ERR_FILE);
    ASSERT_EQ(sepsim::CallbackReplies().size(), 1u);
    EXPECT_THAT(Words(sepsim::CallbackReplies()[0]), ElementsAre(0x02558808, 5, 0x602, NVS_ERR_FILE, 0));
}

}  // namespace
