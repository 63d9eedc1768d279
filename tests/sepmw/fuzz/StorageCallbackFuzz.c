/* Fuzz target of the storage service as the SEP reaches it. An input is a run of callbacks
 * (opcode, words, inline data, hostile length words, failing acknowledges) served one by one
 * against four storage files, then the same run again through a wait whose last callback stays
 * signalled. Checked on every input:
 * - a callback the service does not end the wait with is answered (acknowledged);
 * - every reply is a whole frame inside the message limit, answering the request's opcode;
 * - reads return what a plain file would hold after the writes that succeeded (also those whose
 *   acknowledge failed: the storage has them all the same);
 * - no cache grows past its bound;
 * - the wait ends, and only on its stale last callback: the run's callbacks are fewer than the
 *   wait takes in a row without progress.
 * Linked with a stand-in of the driver's system calls, without the simulator. Every input starts
 * from the same state (fresh files, service and shared area), and the run has fixed addresses,
 * so that a seed gives the same inputs on every run. seeds.py writes seed inputs: the cache
 * sequences that once lost writes. */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/personality.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FVOS.h"
#include "FVOS_Sys.h"
#include "NVS.h"
#include "SEPDriver.h"
#include "SEP_LE.h"

static void RemoveFiles(void);

#define CHECK(condition)                                                                    \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            RemoveFiles();                                                                  \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

enum {
    STORAGE_FILES = 4,     /* ids 0 to 3 have files; 4 to 9 none; 10 and 11 are no ids */
    MODEL_SIZE = 1 << 16,  /* offsets stay below, so that the model is a plain array */
    DEVICE_FD = 1000,
};

/* ---- the driver's system calls ---- */

static uint8_t s_Mapping[FVOS_SHARED_AREA_SIZE] __attribute__((aligned(8)));
/* Replies the host sent, and those of them that the driver took. */
static uint32_t s_Replies, s_Acks;
static int s_FailAck;
/* The wait: callbacks presented in turn; an acknowledge moves to the next, and the last one
 * stays signalled with the area as the host left it. */
static const uint8_t *const *s_WaitFrames;
static const uint32_t *s_WaitSizes;
static size_t s_WaitCount, s_WaitAt;
static size_t s_Polls;

static void PlaceWaitFrame(void)
{
    if (s_WaitAt < s_WaitCount)
        memcpy(g_SharedRamAddr, s_WaitFrames[s_WaitAt], s_WaitSizes[s_WaitAt]);
}

int FVOS_SysOpen(const char *path, int flags)
{
    (void)path;
    (void)flags;
    errno = ENOENT;
    return -1;
}

int FVOS_SysClose(int fd)
{
    (void)fd;
    return 0;
}

void *FVOS_SysMmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    (void)addr, (void)length, (void)prot, (void)flags, (void)fd, (void)offset;
    return s_Mapping;
}

int FVOS_SysMunmap(void *addr, size_t length)
{
    (void)addr, (void)length;
    return 0;
}

int FVOS_SysIoctl(int fd, unsigned long request, void *arg)
{
    (void)arg;
    CHECK(fd == DEVICE_FD);
    if (request != FVOS_IOCTL_SEND_REPLY)
        return 0;
    s_Replies++;
    if (s_FailAck) {
        errno = EIO;
        return -1;
    }
    s_Acks++;
    if (s_WaitFrames != NULL && s_WaitAt + 1 < s_WaitCount) {
        s_WaitAt++;
        PlaceWaitFrame();
    }
    return 0;
}

int FVOS_SysPoll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    (void)count, (void)timeoutMs;
    /* Each callback of the run once, then the last one until the wait gives up on it: the area
     * holds the host's reply from then on, so that every poll after the run's callbacks brings
     * nothing new. */
    CHECK(++s_Polls <= s_WaitCount + SEP_WAIT_MAX_FRUITLESS_CALLBACKS);
    fds[0].revents = POLLPRI;
    return 1;
}

ssize_t FVOS_SysRead(int fd, void *buffer, size_t size)
{
    (void)fd, (void)buffer, (void)size;
    return -1;
}

ssize_t FVOS_SysWrite(int fd, const void *buffer, size_t size)
{
    (void)fd, (void)buffer, (void)size;
    return -1;
}

off_t FVOS_SysLseek(int fd, off_t offset, int whence)
{
    (void)fd, (void)offset, (void)whence;
    return -1;
}

/* ---- storage files and their model ---- */

static char s_Dir[256];
static uint8_t s_Model[STORAGE_FILES][MODEL_SIZE];

static void FilePath(char *path, size_t size, uint32_t id)
{
    snprintf(path, size, "%s/s%u.bin", s_Dir, id);
}

/* The device as it is before any input: nothing in the shared area, nothing pending. */
static void ResetDevice(void)
{
    memset(s_Mapping, 0, sizeof s_Mapping);
    s_Replies = s_Acks = 0;
    s_FailAck = 0;
    s_WaitFrames = NULL;
    s_WaitSizes = NULL;
    s_WaitCount = s_WaitAt = s_Polls = 0;
}

static void ResetStorage(void)
{
    for (uint32_t id = 0; id < NVS_MAX_IDS; id++) {
        NvsMapEntry *e = &s_MapArray[id];
        if (e->reserved)
            close((int)e->handle);
        _DX_VOS_MemFree(e->cache.memory);
        _DX_VOS_MemFree(e->cache.entries);
        memset(e, 0, sizeof *e);
    }
    for (uint32_t id = 0; id < STORAGE_FILES; id++) {
        char path[300];
        FilePath(path, sizeof path, id);
        int fd = open(path, O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
        CHECK(fd >= 0);
        close(fd);
        NVS_SetFileName(id, path);
        memset(s_Model[id], 0, MODEL_SIZE);
    }
}

/* ---- the input ---- */

typedef struct {
    const uint8_t *data;
    size_t size, at;
} Input;

static uint32_t Take(Input *in, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes && in->at < in->size; i++)
        v |= (uint32_t)in->data[in->at++] << (8 * i);
    return v;
}

typedef struct {
    uint32_t opcode, words[4], dataLength, lengthWord;
    int hostileLength, empty, failAck;
    uint8_t data[512];
} Callback;

/* Mostly requests that reach the service's paths, on few ids and blocks so that they meet;
 * now and then anything at all. */
static void NextCallback(Input *in, Callback *c)
{
    uint32_t kind = Take(in, 1) % 32;
    uint32_t flags = Take(in, 1);
    memset(c, 0, sizeof *c);
    c->empty = kind == 31;
    c->opcode = kind < 28 ? NVS_OP_READ_SHARED + kind % 10 : Take(in, 4);
    c->words[0] = flags & 0x80 ? Take(in, 4) : Take(in, 1) % (STORAGE_FILES + 1);
    c->words[1] = flags & 0x40 ? Take(in, 4) : Take(in, 2) % (4 * NVS_BLOCK_SIZE);
    c->words[2] = flags & 0x20 ? Take(in, 4) : Take(in, 2) % (2 * NVS_BLOCK_SIZE);
    c->words[3] = flags & 0x10 ? Take(in, 4) : Take(in, 2) % FVOS_MESSAGE_AREA_SIZE;
    if (c->opcode == NVS_OP_INIT_CACHE && !(flags & 0x40))
        c->words[1] %= 12;
    if (c->opcode == NVS_OP_OPEN && !(flags & 0x40))
        c->words[1] %= 3;
    c->dataLength = Take(in, 2) % (sizeof c->data + 1);
    for (uint32_t i = 0; i < c->dataLength; i++)
        c->data[i] = (uint8_t)Take(in, 1);
    c->hostileLength = (flags & 0x0C) == 0x0C;
    c->lengthWord = c->hostileLength ? Take(in, 4) : 0;
    c->failAck = (flags & 0x0F) == 0x03;
}

/* The request frame: token, length, opcode, four words, inline data, trailing word. */
static uint32_t BuildFrame(const Callback *c, uint8_t *frame)
{
    uint32_t end = 28 + (c->dataLength + 3) / 4 * 4;
    memset(frame, 0, end + 4);
    SEP_PutLE32(frame, SEP_MESSAGE_TOKEN);
    SEP_PutLE32(frame + 4, c->hostileLength ? c->lengthWord : end / 4 + 1);
    SEP_PutLE32(frame + 8, c->opcode);
    for (int i = 0; i < 4; i++)
        SEP_PutLE32(frame + 12 + 4 * i, c->words[i]);
    memcpy(frame + 28, c->data, c->dataLength);
    return end + 4;
}

/* ---- checks of one served callback ---- */

static void CheckReplyFrame(uint32_t opcode)
{
    const uint8_t *area = g_SharedRamAddr;
    uint32_t length = SEP_GetLE32(area + 4);
    CHECK(SEP_GetLE32(area) == SEP_MESSAGE_TOKEN);
    CHECK(length >= 4 && (length - 1) * 4 <= SEP_MAX_MESSAGE_OFFSET);
    CHECK(SEP_GetLE32(area + (length - 1) * 4) == 0);
    CHECK(SEP_GetLE32(area + 8) == opcode);
}

/* The part of a transfer that lies inside the model: its length, 0 when none. */
static uint32_t Modelled(uint32_t id, uint32_t offset, uint32_t size)
{
    if (id >= STORAGE_FILES || offset >= MODEL_SIZE)
        return 0;
    return size < MODEL_SIZE - offset ? size : MODEL_SIZE - offset;
}

/* Reads must show what the model holds; writes that succeeded change the model. The request is
 * taken from the area as the service found it, whatever the callback wrote there. */
static void FollowModel(const uint8_t *request, uint32_t status)
{
    uint32_t opcode = SEP_GetLE32(request + 8), id = SEP_GetLE32(request + 12),
             offset = SEP_GetLE32(request + 16), size = SEP_GetLE32(request + 20),
             at = SEP_GetLE32(request + 24);
    uint32_t n = Modelled(id, offset, size);
    const uint8_t *area = g_SharedRamAddr;
    if (status != 0)
        return;
    switch (opcode) {
    case NVS_OP_WRITE_SHARED:
    case NVS_OP_WRITE_INLINE:
        memcpy(s_Model[id < STORAGE_FILES ? id : 0] + offset % MODEL_SIZE,
               opcode == NVS_OP_WRITE_INLINE ? request + 24 : request + at, n);
        break;
    case NVS_OP_READ_INLINE:
        CHECK(n == 0 || memcmp(area + 20, s_Model[id] + offset, n) == 0);
        break;
    case NVS_OP_READ_SHARED:
        /* The reply's words cover the start of the area. */
        CHECK(n == 0 || at < 24 || memcmp(area + at, s_Model[id] + offset, n) == 0);
        break;
    case NVS_OP_OPEN:
        if (id < STORAGE_FILES && offset == NVS_MODE_CREATE)
            memset(s_Model[id], 0, MODEL_SIZE);
        break;
    default:
        break;
    }
}

static void ServeDirectly(const Callback *c)
{
    static uint8_t before[FVOS_MESSAGE_AREA_SIZE];
    if (!c->empty) {
        uint8_t frame[8192 + 64];
        memcpy(g_SharedRamAddr, frame, BuildFrame(c, frame));
    }
    memcpy(before, g_SharedRamAddr, sizeof before);
    uint32_t opcode = SEP_GetLE32(g_SharedRamAddr + 8);
    uint32_t replies = s_Replies, acks = s_Acks;
    s_FailAck = c->failAck;
    uint32_t rc = NVSHost_Parser();
    s_FailAck = 0;
    if (rc == 0)
        CHECK(s_Acks == acks + 1); /* an unanswered callback would be signalled for ever */
    CHECK(s_Replies <= replies + 1 && s_Acks <= acks + 1);
    /* A reply that the driver refused was served all the same. */
    if (s_Replies == replies + 1) {
        CheckReplyFrame(opcode);
        FollowModel(before, SEP_GetLE32(g_SharedRamAddr + 12));
    }
    for (uint32_t id = 0; id < NVS_MAX_IDS; id++)
        CHECK(s_MapArray[id].cache.count <= NVS_CACHE_MAX_BLOCKS);
}

/* ---- the target ---- */

static uint32_t s_BaseUsage;

static void RemoveFiles(void)
{
    for (uint32_t id = 0; id < STORAGE_FILES; id++) {
        char path[300];
        FilePath(path, sizeof path, id);
        unlink(path);
    }
    rmdir(s_Dir);
}

/* The fuzzer's comparison records hold addresses (loops over the service's names and areas
 * compare them), and its mutations insert what they hold: with randomised addresses one seed
 * gives other inputs on every run. The target runs again with fixed addresses, or, where they
 * cannot be fixed, without those records. */
static void RunDeterministically(int argc, char **argv)
{
    static const char kNoComparisons[] = "-use_cmp=0";
    for (int i = 1; i < argc; i++)
        if (strcmp(argv[i], kNoComparisons) == 0)
            return;
    int persona = personality(0xffffffff);
    if (persona != -1 && (persona & ADDR_NO_RANDOMIZE))
        return;
    if (persona != -1 && personality((unsigned long)persona | ADDR_NO_RANDOMIZE) != -1) {
        execv("/proc/self/exe", argv);
    } else {
        static char *args[256];
        if (argc + 2 > (int)(sizeof args / sizeof args[0]))
            return;
        memcpy(args, argv, (size_t)argc * sizeof *args);
        args[argc] = (char *)kNoComparisons;
        args[argc + 1] = NULL;
        execv("/proc/self/exe", args);
    }
    fprintf(stderr, "cannot run again deterministically: %s\n", strerror(errno));
    exit(1);
}

int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    RunDeterministically(*argc, *argv);
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : getenv("TMPDIR");
    /* A name of fixed length, whatever the process number. */
    snprintf(s_Dir, sizeof s_Dir, "%s/storage_fuzz.%010d", base != NULL ? base : "/tmp", (int)getpid());
    CHECK(mkdir(s_Dir, 0700) == 0 || errno == EEXIST);
    atexit(RemoveFiles);
    g_FD = DEVICE_FD;
    s_BaseUsage = DxMemoryUsage;
    return 0;
}

enum { MAX_CALLBACKS = 32 };
_Static_assert(MAX_CALLBACKS < SEP_WAIT_MAX_FRUITLESS_CALLBACKS,
               "the run's callbacks alone cannot make the wait give up");

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetDevice();
    ResetStorage();
    CHECK(DxMemoryUsage == s_BaseUsage);
    uint32_t offset = 0;
    CHECK(SEPDriver_BuildMsgHeader(&offset, 0x77) == 0);
    CHECK(SEPDriver_EndMessage(offset) == 0);

    static Callback callbacks[MAX_CALLBACKS];
    static uint8_t frames[MAX_CALLBACKS][8192 + 64];
    static const uint8_t *framePointers[MAX_CALLBACKS];
    static uint32_t frameSizes[MAX_CALLBACKS];
    Input in = {data, size, 0};
    size_t count = 0;
    while (in.at < in.size && count < MAX_CALLBACKS) {
        Callback *c = &callbacks[count];
        NextCallback(&in, c);
        ServeDirectly(c);
        frameSizes[count] = c->empty ? 0 : BuildFrame(c, frames[count]);
        framePointers[count] = frames[count];
        count++;
    }
    CHECK(DxMemoryUsage - s_BaseUsage <=
          NVS_MAX_IDS * (NVS_CACHE_MAX_BYTES + NVS_CACHE_MAX_BLOCKS * (uint32_t)sizeof(NvsCacheEntry)) +
              4096);

    /* The same callbacks through a wait; the last one stays signalled. */
    if (count > 0) {
        s_WaitFrames = framePointers;
        s_WaitSizes = frameSizes;
        s_WaitCount = count;
        s_WaitAt = 0;
        s_Polls = 0;
        PlaceWaitFrame();
        uint32_t rc = SEPDriver_WaitForResponse(0, 0, NULL, -1);
        CHECK(rc != 0);
        /* Given up only in a run that reached the stale callbacks, and as long as the bound. */
        CHECK(rc != FVOS_FAILED ||
              (s_Polls > s_WaitCount && s_Polls >= SEP_WAIT_MAX_FRUITLESS_CALLBACKS));
        s_WaitFrames = NULL;
    }
    CHECK(SEPDriver_Unlock() == 0);
    return 0;
}
