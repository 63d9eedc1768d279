// Simulated SEP driver and firmware, linked in place of the real system calls of FVOS.
//
// The device is a memfd of 0x7000 bytes that the host really maps and unmaps; the firmware
// keeps its own view of it. A request sent with control code 0x7300 is copied out of the area
// at once; the firmware then delivers, one poll at a time, the events queued for it (SEP texts,
// storage callbacks) and finally its reply. Driver events:
//   POLLIN     reply ready            POLLRDBAND  text in the printf area
//   POLLPRI    the SEP calls back     POLLERR     device error
// Every rule the host breaks is recorded in Violations().
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sepsim {

constexpr uint32_t kToken = 0x02558808;
constexpr size_t kMappingSize = 0x7000;
constexpr size_t kMessageOffset = 8;
constexpr size_t kPrintfOffset = 0x1700;
constexpr uint32_t kMaxMessageOffset = 8192;
constexpr const char* kDevicePath = "/dev/sep_sec_driver";
constexpr const char* kQueueStatusPath = "/sys/devices/virtual/misc/sep_sec_driver/queue_status";

// Statuses of the simulated firmware for requests it refuses.
constexpr uint32_t kStatusFrameRejected = 0x5E000001;
constexpr uint32_t kStatusUnknownOpcode = 0x5E000002;
constexpr uint32_t kStatusBadContext = 0x5E000003;
constexpr uint32_t kStatusBadSplit = 0x5E000004;

enum class Call { Open, Close, Mmap, Munmap, Ioctl, Poll, Read, Write, Lseek };

struct TraceRecord {
    Call call = Call::Open;
    int fd = -1;
    std::string path;            // Open
    int flags = 0;               // Open flags; Mmap protection
    unsigned long code = 0;      // Ioctl code; Mmap flags; Poll timeout
    size_t length = 0;           // Mmap, Munmap, Read, Write sizes asked
    std::vector<uint8_t> bytes;  // Ioctl argument as sent, Write data
    long result = 0;
};

struct Reply {
    uint32_t status = 0;
    std::vector<uint8_t> params;
};
// Receives the request frame (token to trailing word).
using MessageHandler = std::function<Reply(const std::vector<uint8_t>& frame)>;

struct ReplyFault {
    std::optional<uint32_t> token, opcode, status, lengthWord;
};

// Back to a fresh firmware: no events, faults, handlers or trace. Open descriptors stay.
void Reset();

// For programs that link the simulator: SEPSIM_QUEUE (comma-separated item types),
// SEPSIM_VERIFY_STATUS (the VerifyImage verdict), SEPSIM_FAIL_CONTROL (a control code that
// fails), SEPSIM_POLL_FAILURES (that many polls fail) and SEPSIM_TEXT (printed by the SEP before
// its first reply), SEPSIM_CALLBACKS (storage callbacks before the first reply, separated by
// ';': "opcode:word,word,..." in C notation, or "empty" for a callback that writes nothing) and
// SEPSIM_REPEAT_CALLBACKS ("resend", "stuck" or "cycle", see RepeatCallbacks).
void ConfigureFromEnvironment();

void SetMessageHandler(uint32_t opcode, MessageHandler handler);
void ForceVerifyStatus(std::optional<uint32_t> status);

// Events delivered before the reply of the next request, in the order queued.
void QueueText(const std::string& text);
void QueueRawText(const std::vector<uint8_t>& bytes);  // written as is, no terminator added
void QueueCallback(const std::vector<uint8_t>& request);
// A callback whose data the SEP writes at dataOffset in the message area only when it signals it.
// It lays the request out as soon as the host has replied to the callback before (so that the
// request's bytes may lie over where the data of that callback was) and writes the data after.
void QueueCallback(const std::vector<uint8_t>& request, uint32_t dataOffset, const std::vector<uint8_t>& data);
void QueueDeviceError();
// How the firmware treats an acknowledged callback: it moves on (None), sends the same request
// again (Resend), its event stays signalled with the area as the host left it (Stuck), or it
// sends the queued callbacks in turn (Cycle) until it has sent kCycledCallbacks, then its reply.
enum class CallbackRepeat { None, Resend, Stuck, Cycle };
constexpr size_t kCycledCallbacks = 1000;
void RepeatCallbacks(CallbackRepeat repeat);
// A storage request frame: token, length, opcode, the words, inline data, trailing word.
std::vector<uint8_t> StorageRequest(uint32_t opcode, const std::vector<uint32_t>& words,
                                    const std::vector<uint8_t>& inlineData = {});
// The host's replies to callbacks, copied out when it acknowledged them.
const std::vector<std::vector<uint8_t>>& CallbackReplies();
// Every request frame received, as copied out.
const std::vector<std::vector<uint8_t>>& Messages();

void SetReplyFault(const ReplyFault& fault);
// The next polls fail with these errno values, in order.
void QueuePollFailures(const std::vector<int>& errnos);
void FailEndTransaction(bool fail);
void FailControl(std::optional<unsigned long> code);
void FailMmap(bool fail);
void FailOpen(const std::string& path, bool fail);
void SetAllocOffset(uint32_t offset);  // what control code 0x40087302 returns

// Fastcall faults: the next write or read returns this instead of the transfer.
void SetFastcallWriteResult(std::optional<ssize_t> result);
void SetFastcallReadResult(std::optional<ssize_t> result);
// The next fastcall replies with this status instead of its own.
void SetFastcallStatus(std::optional<uint32_t> status);

void SetQueueTypes(const std::vector<uint32_t>& types);
void SetQueueCount(uint32_t count);  // item count as the attribute reports it
void FailQueueRead(bool fail);

const std::vector<TraceRecord>& Trace();
std::vector<TraceRecord> TraceOf(Call call);
const std::vector<std::string>& Violations();
std::vector<std::string> TakeViolations();  // returns them and forgets them
size_t FastcallCount(uint32_t opcode);

bool HostMapped();
void* LastHostMapping();
uint8_t* DeviceMemory();  // the firmware's view of the shared area

}  // namespace sepsim
