#include "SepSim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

#include "FVOS_Sys.h"
#include "SepSimHash.h"
#include "SepSimImage.h"

namespace sepsim {
namespace {

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = uint8_t(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}
// memcpy that accepts the null data of an empty vector.
void Copy(void* dst, const void* src, size_t n) {
    if (n) std::memcpy(dst, src, n);
}
bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i]) return false;
    return true;
}

// Argument sizes of the control codes, as the driver reads them.
size_t ArgumentSize(unsigned long code) {
    switch (code) {
    case 0x40087302: case 0x40087314: return 8;
    case 0x40287323: case 0x40287326: case 0x4028730D: return 40;
    case 0x7324: case 0x7327: case 0x7308: return 40;
    case 0x730E: return 4;
    case 0x40107312: return 16;
    case 0x40187322: return 24;
    default: return 0;
    }
}

// The firmware's hash context, inside the caller's 244 bytes.
constexpr size_t kContextSize = 244;
constexpr uint32_t kContextMagic = 0x4348535A;  // "ZSHC"
constexpr size_t kCtxWords = 0, kCtxBlockBytes = 64, kCtxPending = 72, kCtxMagic = 200,
                 kCtxPendingCount = 204, kCtxMode = 208, kCtxBlockSize = 224;

struct Event {
    enum Kind { Text, Callback, Reply, DeviceError } kind;
    std::vector<uint8_t> bytes;
    uint32_t dataOffset;        // Callback: where its data goes when it is signalled
    std::vector<uint8_t> data;  // written then, over what the bytes laid there

    Event(Kind k, std::vector<uint8_t> b, uint32_t at = 0, std::vector<uint8_t> d = {})
        : kind(k), bytes(std::move(b)), dataOffset(at), data(std::move(d)) {}
};

struct Sim {
    int memfd = -1;
    uint8_t* view = nullptr;
    std::set<int> deviceFds;
    int queueFd = -1;
    off_t queuePos = 0;
    void* hostMap = nullptr;
    void* lastHostMap = nullptr;
    bool configured = false;

    std::deque<Event> script;  // waiting for the next request
    std::deque<Event> events;  // of the current request
    std::vector<std::vector<uint8_t>> callbackReplies;
    std::vector<std::vector<uint8_t>> messages;
    std::map<uint32_t, MessageHandler> handlers;
    std::optional<uint32_t> verifyStatus;
    ReplyFault replyFault;
    std::deque<int> pollFailures;
    bool failEnd = false, failMmap = false, failQueue = false;
    std::optional<unsigned long> failControl;
    std::set<std::string> failOpen;
    uint32_t allocOffset = 0x2000;
    std::optional<ssize_t> fcWrite, fcRead;
    std::optional<uint32_t> fcStatus;
    std::vector<uint8_t> fcReply;
    bool fcPending = false;
    std::map<uint32_t, size_t> fcCounts;
    std::vector<uint8_t> queue = std::vector<uint8_t>(284, 0);
    CallbackRepeat callbackRepeat = CallbackRepeat::None;
    size_t cycled = 0;  // callbacks sent again in turn for the current request
    bool dataPending = false;  // the front callback's data is not written yet

    std::vector<TraceRecord> trace;
    std::vector<std::string> violations;

    void Violation(const std::string& text) { violations.push_back(text); }
};

Sim& S() {
    static Sim sim;
    return sim;
}

void EnsureDevice() {
    Sim& s = S();
    if (s.memfd >= 0) return;
    s.memfd = memfd_create("sep_sec_driver", MFD_CLOEXEC);
    if (s.memfd < 0 || ftruncate(s.memfd, kMappingSize) != 0) std::abort();
    void* view = mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_SHARED, s.memfd, 0);
    if (view == MAP_FAILED) std::abort();
    s.view = static_cast<uint8_t*>(view);
}

uint8_t* Area() { return S().view + kMessageOffset; }

// Puts the current event's content where the host will look for it.
void PlaceFront() {
    Sim& s = S();
    if (s.events.empty()) return;
    const Event& e = s.events.front();
    switch (e.kind) {
    case Event::Text: {
        size_t room = kMappingSize - kPrintfOffset;
        std::memset(s.view + kPrintfOffset, 0, room);
        Copy(s.view + kPrintfOffset, e.bytes.data(), std::min(room, e.bytes.size()));
        break;
    }
    case Event::Callback:
    case Event::Reply:
        Copy(Area(), e.bytes.data(), e.bytes.size());
        s.dataPending = !e.data.empty();
        break;
    case Event::DeviceError:
        break;
    }
}

std::vector<uint8_t> Frame(uint32_t opcodeOrFirst, uint32_t status, bool withStatus,
                           const std::vector<uint8_t>& params) {
    size_t head = withStatus ? 16 : 12;
    size_t end = head + (params.size() + 3) / 4 * 4;
    std::vector<uint8_t> f(end + 4, 0);
    Put32(&f[0], kToken);
    Put32(&f[4], uint32_t(end / 4 + 1));
    Put32(&f[8], opcodeOrFirst);
    if (withStatus) Put32(&f[12], status);
    Copy(f.data() + head, params.data(), params.size());
    return f;
}

// Copies a frame out of the message area, checking its token, length and trailing word.
bool CopyOutFrame(const char* what, std::vector<uint8_t>& frame) {
    Sim& s = S();
    const uint8_t* a = Area();
    uint32_t token = Le32(a), length = Le32(a + 4);
    std::ostringstream why;
    if (token != kToken) why << "bad token 0x" << std::hex << token;
    else if (length < 4 || (length - 1) * 4 > kMaxMessageOffset) why << "bad length word " << length;
    else if (Le32(a + (length - 1) * 4) != 0) why << "trailing word not 0";
    if (!why.str().empty()) {
        s.Violation(std::string(what) + ": " + why.str());
        return false;
    }
    frame.assign(a, a + length * 4);
    return true;
}

Reply VerifyImageRequest(const std::vector<uint8_t>& f) {
    Sim& s = S();
    if (f.size() != 540 || Le32(&f[20]) != kHeaderBlockSize) {
        s.Violation("VerifyImage frame of " + std::to_string(f.size()) + " bytes");
        return {kStatusFrameRejected, {}};
    }
    if (s.verifyStatus) return {*s.verifyStatus, {}};
    return {VerifyHeaderBlock(int32_t(Le32(&f[12])), int32_t(Le32(&f[16])), &f[24], &f[504]), {}};
}

void SendMessage() {
    Sim& s = S();
    if (!s.hostMap) s.Violation("request sent without the shared area mapped");
    if (!s.events.empty()) s.Violation("request sent while another is pending");
    s.events.clear();
    std::vector<uint8_t> frame;
    Reply reply{kStatusFrameRejected, {}};
    uint32_t opcode = 0;
    if (CopyOutFrame("request", frame)) {
        s.messages.push_back(frame);
        opcode = Le32(&frame[8]);
        auto h = s.handlers.find(opcode);
        if (h != s.handlers.end()) reply = h->second(frame);
        else if (opcode == 0xBC0) reply = VerifyImageRequest(frame);
        else reply = {kStatusUnknownOpcode, {}};
    }
    std::vector<uint8_t> out = Frame(opcode, reply.status, true, reply.params);
    const ReplyFault& f = s.replyFault;
    if (f.token) Put32(&out[0], *f.token);
    if (f.lengthWord) Put32(&out[4], *f.lengthWord);
    if (f.opcode) Put32(&out[8], *f.opcode);
    if (f.status) Put32(&out[12], *f.status);

    s.events.insert(s.events.end(), s.script.begin(), s.script.end());
    s.script.clear();
    s.cycled = 0;
    s.events.push_back({Event::Reply, out});
    PlaceFront();
}

void Acknowledge() {
    Sim& s = S();
    if (s.events.empty() || s.events.front().kind == Event::Reply ||
        s.events.front().kind == Event::DeviceError) {
        s.Violation("acknowledge with nothing to acknowledge");
        return;
    }
    if (s.events.front().kind == Event::Callback) {
        std::vector<uint8_t> frame;
        if (CopyOutFrame("callback reply", frame)) s.callbackReplies.push_back(frame);
        else s.callbackReplies.push_back({});
        if (s.callbackRepeat == CallbackRepeat::Stuck) return;           // the area stays as it is
        if (s.callbackRepeat == CallbackRepeat::Resend) return PlaceFront();  // the request again
        if (s.callbackRepeat == CallbackRepeat::Cycle && s.cycled < kCycledCallbacks) {
            s.cycled++;
            Event again = s.events.front();
            s.events.pop_front();
            s.events.insert(s.events.end() - 1, again);  // before the reply, which stays last
            return PlaceFront();
        }
    }
    s.events.pop_front();
    PlaceFront();
}

// ---- fastcall firmware ----

struct Fastcall {
    uint32_t opcode = 0;
    uint32_t count = 0;
    const uint8_t* descriptors = nullptr;
    const uint8_t* frame = nullptr;
    size_t size = 0;
    size_t params = 0;  // offset of the parameters
};

bool LoadContext(const uint8_t* ctx, HashState& state, std::vector<uint8_t>& pending) {
    if (Le32(ctx + kCtxMagic) != kContextMagic) return false;
    uint32_t mode = Le32(ctx + kCtxMode);
    if (!IsValidMode(mode)) return false;
    state.mode = HashMode(mode);
    uint16_t b = Le16(ctx + kCtxBlockSize), p = Le16(ctx + kCtxPendingCount);
    if (b != BlockSize(state.mode) || p >= b) return false;
    for (int i = 0; i < 8; i++) state.words[i] = Le64(ctx + kCtxWords + 8 * i);
    state.blockBytes = Le64(ctx + kCtxBlockBytes);
    pending.assign(ctx + kCtxPending, ctx + kCtxPending + p);
    return true;
}

std::vector<uint8_t> StoreContext(const HashState& state, const std::vector<uint8_t>& pending) {
    std::vector<uint8_t> ctx(kContextSize, 0);
    for (int i = 0; i < 8; i++) Put64(&ctx[kCtxWords + 8 * i], state.words[i]);
    Put64(&ctx[kCtxBlockBytes], state.blockBytes);
    Copy(ctx.data() + kCtxPending, pending.data(), pending.size());
    Put32(&ctx[kCtxMagic], kContextMagic);
    Put16(&ctx[kCtxPendingCount], uint16_t(pending.size()));
    Put32(&ctx[kCtxMode], uint32_t(state.mode));
    Put16(&ctx[kCtxBlockSize], uint16_t(BlockSize(state.mode)));
    return ctx;
}

// The one descriptor of an update or one-shot frame: address, whole-block length, block size.
bool ReadDescriptor(const Fastcall& fc, const uint8_t*& data, uint32_t& length, uint32_t& blockSize) {
    const uint8_t* d = fc.descriptors;
    data = reinterpret_cast<const uint8_t*>(uintptr_t(Le64(d)));
    length = Le32(d + 8);
    blockSize = Le32(d + 24);
    if (!AllZero(d + 12, 12) || !AllZero(d + 28, 12)) {
        S().Violation("DMA descriptor carries stray bytes");
        return false;
    }
    return length == 0 || data != nullptr;
}

// Reads a length word and its bytes (at most max) from the frame; the padding must be zero.
bool ReadChunk(const Fastcall& fc, size_t at, size_t max, std::vector<uint8_t>& bytes) {
    uint32_t n = Le32(fc.frame + at);
    if (n > max || at + 4 + max > fc.size) return false;
    if (!AllZero(fc.frame + at + 4 + n, max - n)) S().Violation("frame padding not zeroed");
    bytes.assign(fc.frame + at + 4, fc.frame + at + 4 + n);
    return true;
}

Reply HashInitCall(const Fastcall& fc) {
    if (fc.size != 48 || fc.count != 0) return {kStatusFrameRejected, {}};
    uint32_t mode = Le32(fc.frame + fc.params);
    if (!IsValidMode(mode)) return {kStatusBadContext, {}};
    HashState state;
    HashInit(state, HashMode(mode));
    return {0, StoreContext(state, {})};
}

Reply HashUpdateCall(const Fastcall& fc) {
    if (fc.size != 604 || fc.count != 1) return {kStatusFrameRejected, {}};
    const uint8_t* p = fc.frame + fc.params;
    if (!AllZero(p, 12)) S().Violation("update: leading words not zero");
    HashState state;
    std::vector<uint8_t> pending, head, tail;
    if (!LoadContext(p + 276, state, pending)) return {kStatusBadContext, {}};
    if (!ReadChunk(fc, fc.params + 12, 128, head) || !ReadChunk(fc, fc.params + 144, 128, tail))
        return {kStatusFrameRejected, {}};
    const uint8_t* data;
    uint32_t dmaLength, blockSize;
    if (!ReadDescriptor(fc, data, dmaLength, blockSize)) return {kStatusFrameRejected, {}};
    uint32_t b = BlockSize(state.mode);
    uint32_t fill = uint32_t((b - pending.size()) % b);
    // The head completes the pending block, or is all there is.
    if (blockSize != b || dmaLength % b != 0 || tail.size() >= b || head.size() > fill ||
        (head.size() < fill && (dmaLength != 0 || !tail.empty())))
        return {kStatusBadSplit, {}};
    pending.insert(pending.end(), head.begin(), head.end());
    if (pending.size() == b) {
        HashBlocks(state, pending.data(), b);
        pending.clear();
    }
    HashBlocks(state, data, dmaLength);
    if (!tail.empty()) pending = tail;
    return {0, StoreContext(state, pending)};
}

Reply HashFinishCall(const Fastcall& fc) {
    if (fc.size != 288 || fc.count != 0) return {kStatusFrameRejected, {}};
    HashState state;
    std::vector<uint8_t> pending;
    if (!LoadContext(fc.frame + fc.params, state, pending)) return {kStatusBadContext, {}};
    std::vector<uint8_t> digest = HashFinal(state, pending.data(), pending.size());
    digest.resize(64, 0);
    return {0, digest};
}

Reply HashOneShotCall(const Fastcall& fc) {
    if (fc.count != 1 || fc.size < 100) return {kStatusFrameRejected, {}};
    const uint8_t* p = fc.frame + fc.params;
    uint32_t mode = Le32(p);
    if (!IsValidMode(mode)) return {kStatusBadContext, {}};
    if (!AllZero(p + 4, 12)) S().Violation("one-shot: zero words not zero");
    uint32_t tailLength = Le32(p + 16);
    if (tailLength > 128 || fc.params + 20 + tailLength > fc.size) {
        S().Violation("one-shot tail of " + std::to_string(tailLength) + " bytes beyond a frame of " +
                      std::to_string(fc.size));
        return {kStatusFrameRejected, {}};
    }
    const uint8_t* data;
    uint32_t dmaLength, blockSize;
    HashMode m = HashMode(mode);
    if (!ReadDescriptor(fc, data, dmaLength, blockSize) || blockSize != BlockSize(m) ||
        dmaLength % blockSize != 0 || tailLength >= blockSize)
        return {kStatusBadSplit, {}};
    HashState state;
    HashInit(state, m);
    HashBlocks(state, data, dmaLength);
    std::vector<uint8_t> digest = HashFinal(state, p + 20, tailLength);
    digest.resize(64, 0);
    return {0, digest};
}

ssize_t FastcallWrite(const uint8_t* buffer, size_t size) {
    Sim& s = S();
    if (s.fcWrite) {
        ssize_t r = *s.fcWrite;
        s.fcWrite.reset();
        if (r < 0) errno = EIO;
        return r;
    }
    Fastcall fc;
    fc.frame = buffer;
    fc.size = size;
    Reply reply{kStatusFrameRejected, {}};
    std::ostringstream why;
    if (size < 40 || Le32(buffer) != 0xFFAACCAA) {
        why << "bad fastcall header";
    } else {
        fc.count = Le32(buffer + 16);
        size_t body = size - 40ull * fc.count;
        const uint8_t* m = buffer + 20 + 40ull * fc.count;
        if (fc.count > 4 || 40ull * fc.count + 40 > size) why << "descriptor count " << fc.count;
        else if (Le64(buffer + 4) != 0) why << "separate descriptor table";
        else if (Le32(buffer + 12) != body - 20) why << "payload size " << Le32(buffer + 12);
        else if (!AllZero(m, 8) || Le32(m + 8) != kToken) why << "bad message header";
        else if (Le32(m + 12) != (body - 28) / 4 + (size % 4 ? 1 : 0)) why << "length word " << Le32(m + 12);
        else {
            fc.descriptors = buffer + 20;
            fc.opcode = Le32(m + 16);
            fc.params = 40 + 40ull * fc.count;
        }
    }
    if (!why.str().empty()) {
        s.Violation("fastcall: " + why.str());
    } else {
        s.fcCounts[fc.opcode]++;
        switch (fc.opcode) {
        case 32: reply = HashInitCall(fc); break;
        case 33: reply = HashUpdateCall(fc); break;
        case 34: reply = HashFinishCall(fc); break;
        case 35: reply = HashOneShotCall(fc); break;
        default: reply = {kStatusUnknownOpcode, {}}; break;
        }
    }
    if (s.fcStatus) {
        reply.status = *s.fcStatus;
        s.fcStatus.reset();
    }
    s.fcReply.assign(24 + reply.params.size(), 0);
    Put32(&s.fcReply[8], kToken);
    Put32(&s.fcReply[12], uint32_t((s.fcReply.size() - 8) / 4));
    Put32(&s.fcReply[16], fc.opcode);
    Put32(&s.fcReply[20], reply.status);
    Copy(s.fcReply.data() + 24, reply.params.data(), reply.params.size());
    s.fcPending = true;
    return ssize_t(size);
}

ssize_t FastcallRead(uint8_t* buffer, size_t size) {
    Sim& s = S();
    if (!s.fcPending) {
        s.Violation("fastcall read without a request");
        errno = EIO;
        return -1;
    }
    s.fcPending = false;
    size_t n = std::min(size, s.fcReply.size());
    if (s.fcRead) {
        ssize_t r = *s.fcRead;
        s.fcRead.reset();
        if (r < 0) {
            errno = EIO;
            return r;
        }
        n = std::min(n, size_t(r));
    }
    Copy(buffer, s.fcReply.data(), n);
    return ssize_t(n);
}

void Record(TraceRecord r) { S().trace.push_back(std::move(r)); }

}  // namespace

void Reset() {
    Sim& s = S();
    EnsureDevice();
    std::memset(s.view, 0, kMappingSize);
    s.script.clear();
    s.events.clear();
    s.callbackReplies.clear();
    s.messages.clear();
    s.handlers.clear();
    s.verifyStatus.reset();
    s.replyFault = {};
    s.pollFailures.clear();
    s.failEnd = s.failMmap = s.failQueue = false;
    s.failControl.reset();
    s.failOpen.clear();
    s.allocOffset = 0x2000;
    s.fcWrite.reset();
    s.fcRead.reset();
    s.fcStatus.reset();
    s.fcReply.clear();
    s.fcPending = false;
    s.fcCounts.clear();
    s.queue.assign(284, 0);
    s.callbackRepeat = CallbackRepeat::None;
    s.cycled = 0;
    s.dataPending = false;
    s.trace.clear();
    s.violations.clear();
}

// Comma-separated numbers in C notation; empty items are skipped.
static std::vector<uint32_t> NumberList(const std::string& text) {
    std::vector<uint32_t> numbers;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) numbers.push_back(uint32_t(std::strtoul(item.c_str(), nullptr, 0)));
    return numbers;
}

void ConfigureFromEnvironment() {
    if (const char* q = std::getenv("SEPSIM_QUEUE")) SetQueueTypes(NumberList(q));
    if (const char* v = std::getenv("SEPSIM_VERIFY_STATUS"))
        ForceVerifyStatus(uint32_t(std::strtoul(v, nullptr, 0)));
    if (const char* c = std::getenv("SEPSIM_FAIL_CONTROL")) FailControl(std::strtoul(c, nullptr, 0));
    if (const char* n = std::getenv("SEPSIM_POLL_FAILURES"))
        QueuePollFailures(std::vector<int>(std::strtoul(n, nullptr, 0), EIO));
    if (const char* t = std::getenv("SEPSIM_TEXT")) QueueText(t);
    if (const char* c = std::getenv("SEPSIM_CALLBACKS")) {
        std::stringstream in(c);
        std::string request;
        while (std::getline(in, request, ';')) {
            if (request == "empty") {
                QueueCallback({});
                continue;
            }
            size_t colon = request.find(':');
            std::vector<uint32_t> words = colon == std::string::npos ? std::vector<uint32_t>{}
                                                                     : NumberList(request.substr(colon + 1));
            QueueCallback(StorageRequest(uint32_t(std::strtoul(request.c_str(), nullptr, 0)), words));
        }
    }
    if (const char* r = std::getenv("SEPSIM_REPEAT_CALLBACKS")) {
        std::string repeat = r;
        RepeatCallbacks(repeat == "resend" ? CallbackRepeat::Resend
                        : repeat == "stuck" ? CallbackRepeat::Stuck
                        : repeat == "cycle" ? CallbackRepeat::Cycle
                                            : CallbackRepeat::None);
    }
}

void SetMessageHandler(uint32_t opcode, MessageHandler handler) { S().handlers[opcode] = std::move(handler); }
void ForceVerifyStatus(std::optional<uint32_t> status) { S().verifyStatus = status; }

void QueueText(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    S().script.push_back({Event::Text, bytes});
}
void QueueRawText(const std::vector<uint8_t>& bytes) { S().script.push_back({Event::Text, bytes}); }
void QueueCallback(const std::vector<uint8_t>& request) { S().script.push_back({Event::Callback, request}); }
void QueueCallback(const std::vector<uint8_t>& request, uint32_t dataOffset, const std::vector<uint8_t>& data) {
    if (dataOffset > kMappingSize - kMessageOffset || data.size() > kMappingSize - kMessageOffset - dataOffset)
        std::abort();
    S().script.push_back({Event::Callback, request, dataOffset, data});
}
void QueueDeviceError() { S().script.push_back({Event::DeviceError, {}}); }
void RepeatCallbacks(CallbackRepeat repeat) { S().callbackRepeat = repeat; }

std::vector<uint8_t> StorageRequest(uint32_t opcode, const std::vector<uint32_t>& words,
                                    const std::vector<uint8_t>& inlineData) {
    std::vector<uint8_t> params(words.size() * 4);
    for (size_t i = 0; i < words.size(); i++) Put32(&params[4 * i], words[i]);
    params.insert(params.end(), inlineData.begin(), inlineData.end());
    return Frame(opcode, 0, false, params);
}

const std::vector<std::vector<uint8_t>>& CallbackReplies() { return S().callbackReplies; }
const std::vector<std::vector<uint8_t>>& Messages() { return S().messages; }
void SetReplyFault(const ReplyFault& fault) { S().replyFault = fault; }
void QueuePollFailures(const std::vector<int>& errnos) {
    S().pollFailures.insert(S().pollFailures.end(), errnos.begin(), errnos.end());
}
void FailEndTransaction(bool fail) { S().failEnd = fail; }
void FailControl(std::optional<unsigned long> code) { S().failControl = code; }
void FailMmap(bool fail) { S().failMmap = fail; }
void FailOpen(const std::string& path, bool fail) {
    if (fail) S().failOpen.insert(path);
    else S().failOpen.erase(path);
}
void SetAllocOffset(uint32_t offset) { S().allocOffset = offset; }
void SetFastcallWriteResult(std::optional<ssize_t> result) { S().fcWrite = result; }
void SetFastcallReadResult(std::optional<ssize_t> result) { S().fcRead = result; }
void SetFastcallStatus(std::optional<uint32_t> status) { S().fcStatus = status; }

void SetQueueTypes(const std::vector<uint32_t>& types) {
    Sim& s = S();
    s.queue.assign(284, 0);
    Put32(&s.queue[0], uint32_t(types.size()));
    for (size_t i = 0; i < types.size() && i < 10; i++) Put32(&s.queue[4 + 28 * i], types[i]);
}
void SetQueueCount(uint32_t count) { Put32(&S().queue[0], count); }
void FailQueueRead(bool fail) { S().failQueue = fail; }

const std::vector<TraceRecord>& Trace() { return S().trace; }
std::vector<TraceRecord> TraceOf(Call call) {
    std::vector<TraceRecord> out;
    for (const TraceRecord& r : S().trace)
        if (r.call == call) out.push_back(r);
    return out;
}
const std::vector<std::string>& Violations() { return S().violations; }
std::vector<std::string> TakeViolations() {
    std::vector<std::string> out;
    out.swap(S().violations);
    return out;
}
size_t FastcallCount(uint32_t opcode) {
    auto it = S().fcCounts.find(opcode);
    return it == S().fcCounts.end() ? 0 : it->second;
}
bool HostMapped() { return S().hostMap != nullptr; }
void* LastHostMapping() { return S().lastHostMap; }
uint8_t* DeviceMemory() {
    EnsureDevice();
    return S().view;
}

}  // namespace sepsim

using namespace sepsim;

extern "C" int FVOS_SysOpen(const char* path, int flags) {
    Sim& s = S();
    if (!s.configured) {
        s.configured = true;
        ConfigureFromEnvironment();
    }
    EnsureDevice();
    TraceRecord r;
    r.call = Call::Open;
    r.path = path ? path : "";
    r.flags = flags;
    int fd;
    if (s.failOpen.count(r.path)) {
        errno = ENOENT;
        fd = -1;
    } else if (r.path == kDevicePath) {
        fd = fcntl(s.memfd, F_DUPFD_CLOEXEC, 3);
        if (fd >= 0) s.deviceFds.insert(fd);
    } else if (r.path == kQueueStatusPath) {
        fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        s.queueFd = fd;
        s.queuePos = 0;
    } else {
        fd = open(path, flags);
    }
    r.fd = fd;
    r.result = fd;
    Record(r);
    return fd;
}

extern "C" int FVOS_SysClose(int fd) {
    Sim& s = S();
    s.deviceFds.erase(fd);
    if (fd == s.queueFd) s.queueFd = -1;
    TraceRecord r;
    r.call = Call::Close;
    r.fd = fd;
    r.result = close(fd);
    Record(r);
    return int(r.result);
}

extern "C" void* FVOS_SysMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Mmap;
    r.fd = fd;
    r.flags = prot;
    r.code = unsigned(flags);
    r.length = length;
    void* map = MAP_FAILED;
    if (!s.deviceFds.count(fd)) {
        s.Violation("mmap of a descriptor that is not the device");
        errno = EBADF;
    } else if (s.failMmap) {
        errno = ENOMEM;
    } else {
        if (length != kMappingSize || offset != 0 || prot != (PROT_READ | PROT_WRITE) || flags != MAP_SHARED)
            s.Violation("mmap with unexpected arguments");
        if (s.hostMap) s.Violation("second mapping while the first is held");
        map = mmap(addr, length, prot, flags, fd, offset);
        if (map != MAP_FAILED) s.hostMap = s.lastHostMap = map;
    }
    r.result = map == MAP_FAILED ? -1 : 0;
    Record(r);
    return map;
}

extern "C" int FVOS_SysMunmap(void* addr, size_t length) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Munmap;
    r.length = length;
    if (addr != s.hostMap || length != kMappingSize) s.Violation("munmap of an area the host did not map");
    r.result = munmap(addr, length);
    if (r.result == 0 && addr == s.hostMap) s.hostMap = nullptr;
    Record(r);
    return int(r.result);
}

extern "C" int FVOS_SysIoctl(int fd, unsigned long request, void* arg) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Ioctl;
    r.fd = fd;
    r.code = request;
    size_t n = ArgumentSize(request);
    if (n && arg) r.bytes.assign(static_cast<uint8_t*>(arg), static_cast<uint8_t*>(arg) + n);
    if (n && !arg) s.Violation("control code without its argument");
    int result = 0;
    if (!s.deviceFds.count(fd)) {
        errno = EBADF;
        result = -1;
    } else if (s.failControl && *s.failControl == request) {
        errno = EIO;
        result = -1;
    } else if (request == 0x7300) {
        SendMessage();
    } else if (request == 0x7301) {
        Acknowledge();
    } else if (request == 0x730F) {
        if (s.hostMap) s.Violation("end of transaction with the area still mapped");
        s.events.clear();
        if (s.failEnd) {
            errno = EIO;
            result = -1;
        }
    } else if (request == 0x40087302 && arg) {
        Put32(static_cast<uint8_t*>(arg), s.allocOffset);
    }
    r.result = result;
    Record(r);
    return result;
}

extern "C" int FVOS_SysPoll(struct pollfd* fds, nfds_t count, int timeoutMs) {
    Sim& s = S();
    if (count != 1 || !s.deviceFds.count(fds[0].fd)) return poll(fds, count, timeoutMs);
    TraceRecord r;
    r.call = Call::Poll;
    r.fd = fds[0].fd;
    r.code = unsigned(timeoutMs);
    fds[0].revents = 0;
    int result = 1;
    if (!s.pollFailures.empty()) {
        errno = s.pollFailures.front();
        s.pollFailures.pop_front();
        result = -1;
    } else if (s.events.empty()) {
        if (timeoutMs < 0) {
            s.Violation("poll without a time limit while nothing is pending");
            errno = EDEADLK;
            result = -1;
        } else {
            result = 0;
        }
    } else {
        switch (s.events.front().kind) {
        case Event::Text: fds[0].revents = POLLRDBAND; break;
        case Event::Callback:
            if (s.dataPending) {
                const Event& e = s.events.front();
                Copy(Area() + e.dataOffset, e.data.data(), e.data.size());
                s.dataPending = false;
            }
            fds[0].revents = POLLPRI;
            break;
        case Event::Reply: fds[0].revents = POLLIN; break;
        case Event::DeviceError:
            fds[0].revents = POLLERR;
            s.events.pop_front();
            PlaceFront();
            break;
        }
        fds[0].revents &= short(fds[0].events | POLLERR);
    }
    r.result = result;
    Record(r);
    return result;
}

extern "C" ssize_t FVOS_SysRead(int fd, void* buffer, size_t size) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Read;
    r.fd = fd;
    r.length = size;
    ssize_t result;
    if (fd >= 0 && fd == s.queueFd) {
        if (s.failQueue) {
            errno = EIO;
            result = -1;
        } else {
            size_t at = std::min(size_t(s.queuePos), s.queue.size());
            size_t n = std::min(size, s.queue.size() - at);
            Copy(buffer, s.queue.data() + at, n);
            s.queuePos += off_t(n);
            result = ssize_t(n);
        }
    } else if (s.deviceFds.count(fd)) {
        result = FastcallRead(static_cast<uint8_t*>(buffer), size);
    } else {
        result = read(fd, buffer, size);
    }
    r.result = result;
    Record(r);
    return result;
}

extern "C" ssize_t FVOS_SysWrite(int fd, const void* buffer, size_t size) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Write;
    r.fd = fd;
    r.length = size;
    ssize_t result;
    if (s.deviceFds.count(fd)) {
        r.bytes.assign(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + size);
        result = FastcallWrite(static_cast<const uint8_t*>(buffer), size);
    } else {
        result = write(fd, buffer, size);
    }
    r.result = result;
    Record(r);
    return result;
}

extern "C" off_t FVOS_SysLseek(int fd, off_t offset, int whence) {
    Sim& s = S();
    TraceRecord r;
    r.call = Call::Lseek;
    r.fd = fd;
    off_t result;
    if (fd >= 0 && fd == s.queueFd) {
        if (whence == SEEK_SET && offset >= 0) {
            s.queuePos = offset;
            result = offset;
        } else {
            errno = EINVAL;
            result = -1;
        }
    } else {
        result = lseek(fd, offset, whence);
    }
    r.result = result;
    Record(r);
    return result;
}
