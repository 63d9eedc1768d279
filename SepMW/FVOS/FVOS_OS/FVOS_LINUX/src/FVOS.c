/* Access to the SEP kernel driver. */
#include "FVOS.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/opensslv.h>

#include "../../../../Common/SEP_LE.h"
#include "FVOS_Sys.h"

/* O_RDWR | O_DSYNC and O_RDONLY | O_DSYNC: 0x1002 and 0x1000 on x86. */
#define FVOS_DEVICE_OPEN_FLAGS (O_RDWR | O_DSYNC)
#define FVOS_SYSFS_OPEN_FLAGS (O_RDONLY | O_DSYNC)

/* An interrupted poll is repeated this many times before it counts as failed. */
#define FVOS_POLL_EINTR_RETRIES 16

int g_FD = -1;
int g_sysfsFD = -1;
uint8_t *g_StartMapAddress = NULL;
uint8_t *g_SharedRamAddr = NULL;
uint8_t *g_PrintfSharedRamAddr = NULL;
pthread_mutex_t gStateMutex = PTHREAD_MUTEX_INITIALIZER;

#if OPENSSL_VERSION_NUMBER < 0x10100000L
/* OpenSSL before 1.1 needs the application's locks; later versions lock internally. */
static pthread_mutex_t *lock_cs = NULL;
static long *lock_count = NULL;

static void FVOS_pthreads_locking_callback(int mode, int type, const char *file, int line)
{
    (void)file;
    (void)line;
    if (mode & CRYPTO_LOCK) {
        pthread_mutex_lock(&lock_cs[type]);
        lock_count[type]++;
    } else {
        pthread_mutex_unlock(&lock_cs[type]);
    }
}

static unsigned long FVOS_pthreads_thread_id(void)
{
    return (unsigned long)pthread_self();
}

static void FVOS_InstallOpenSSLLocks(void)
{
    if (CRYPTO_get_locking_callback() != NULL)
        return;
    int n = CRYPTO_num_locks();
    lock_cs = CRYPTO_malloc(n * (int)sizeof(pthread_mutex_t), "SepMW/FVOS/FVOS_OS/FVOS_LINUX/src/FVOS", 136);
    lock_count = CRYPTO_malloc(n * (int)sizeof(long), "SepMW/FVOS/FVOS_OS/FVOS_LINUX/src/FVOS", 137);
    if (lock_cs == NULL || lock_count == NULL)
        return;
    for (int i = 0; i < n; i++) {
        lock_count[i] = 0;
        pthread_mutex_init(&lock_cs[i], NULL);
    }
    CRYPTO_set_id_callback(FVOS_pthreads_thread_id);
    CRYPTO_set_locking_callback(FVOS_pthreads_locking_callback);
}
#else
static void FVOS_InstallOpenSSLLocks(void)
{
}
#endif

uint32_t FVOS_Init(const char *devicePath)
{
    if (g_FD < 0) {
        g_FD = FVOS_SysOpen(devicePath, FVOS_DEVICE_OPEN_FLAGS);
        if (g_FD < 0)
            return FVOS_NOT_OPEN;
    }
    if (g_sysfsFD >= 0)
        return FVOS_OK;
    g_sysfsFD = FVOS_SysOpen(FVOS_QUEUE_STATUS_PATH, FVOS_SYSFS_OPEN_FLAGS);
    if (g_sysfsFD < 0)
        return FVOS_NOT_OPEN;
    FVOS_InstallOpenSSLLocks();
    return FVOS_OK;
}

uint32_t FVOS_Mmap(uint8_t **messageArea)
{
    if (messageArea == NULL)
        return FVOS_NOT_OPEN;
    if (g_StartMapAddress == NULL) {
        if (g_FD < 0)
            return FVOS_NOT_OPEN;
        void *map = FVOS_SysMmap(NULL, FVOS_SHARED_AREA_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED,
                                 g_FD, 0);
        if (map == MAP_FAILED)
            return FVOS_MMAP_FAILED;
        g_StartMapAddress = (uint8_t *)map;
    }
    g_SharedRamAddr = g_StartMapAddress + FVOS_MESSAGE_AREA_OFFSET;
    *messageArea = g_SharedRamAddr;
    return FVOS_OK;
}

uint32_t FVOS_GetPrintfBuffer(uint8_t **address)
{
    if (address == NULL || g_StartMapAddress == NULL)
        return FVOS_NOT_OPEN;
    *address = g_StartMapAddress + FVOS_PRINTF_AREA_OFFSET;
    return FVOS_OK;
}

uint32_t FVOS_StartTransaction(void)
{
    return FVOS_OK;
}

uint32_t FVOS_EndTransaction(void)
{
    if (g_StartMapAddress != NULL) {
        FVOS_SysMunmap(g_StartMapAddress, FVOS_SHARED_AREA_SIZE);
        g_StartMapAddress = NULL;
    }
    if (FVOS_SysIoctl(g_FD, FVOS_IOCTL_END_TRANSACTION, NULL) != 0) {
        printf("Errno is:%s\n", strerror(errno));
        return FVOS_FAILED;
    }
    return FVOS_OK;
}

uint32_t FVOS_Poll(int timeoutMs, uint32_t *status)
{
    struct pollfd fds;
    memset(&fds, 0, sizeof fds);
    fds.fd = g_FD;
    fds.events = POLLIN | POLLPRI | POLLRDBAND;
    int rc = -1;
    for (int attempt = 0; attempt <= FVOS_POLL_EINTR_RETRIES; attempt++) {
        rc = FVOS_SysPoll(&fds, 1, timeoutMs);
        if (rc >= 0 || errno != EINTR)
            break;
    }
    if (rc == 0)
        return FVOS_TIMEOUT;
    if (rc < 0)
        return FVOS_FAILED;
    if (fds.revents & (POLLERR | POLLHUP | POLLNVAL))
        return FVOS_DEVICE_ERROR;
    if (status != NULL) {
        if (fds.revents & POLLIN)
            *status = FVOS_POLL_REPLY_READY;
        else if (fds.revents & POLLRDBAND)
            *status = FVOS_POLL_SEP_PRINTF;
    }
    return FVOS_OK;
}

int32_t FVOS_QueueStatusGet(uint8_t *buffer)
{
    if (buffer == NULL)
        return -1;
    memset(buffer, 0, FVOS_QUEUE_STATUS_SIZE);
    pthread_mutex_lock(&gStateMutex);
    ssize_t got = -1;
    if (FVOS_SysLseek(g_sysfsFD, 0, SEEK_SET) == 0)
        got = FVOS_SysRead(g_sysfsFD, buffer, FVOS_QUEUE_STATUS_SIZE);
    pthread_mutex_unlock(&gStateMutex);
    if (got > 0)
        return 0;
    printf("\n\n[%s] sizeof(*queue) %d, offset num %d, offset items %d, sizeof(queue->items) %d\n\n",
           "FVOS_QueueStatusGet", (int)FVOS_QUEUE_STATUS_SIZE, 0, (int)FVOS_QUEUE_ITEMS_OFFSET,
           (int)(FVOS_QUEUE_ITEMS * FVOS_QUEUE_ITEM_SIZE));
    printf("read 1 ret %d\n", (int)got);
    return -1;
}

ssize_t FVOS_Fastcall_Write(const uint8_t *buffer, uint32_t length)
{
    ssize_t put;
    do {
        put = FVOS_SysWrite(g_FD, buffer, length);
    } while (put < 0 && errno == EINTR);
    return put;
}

ssize_t FVOS_Fastcall_Read(uint8_t *buffer, uint32_t size)
{
    ssize_t got;
    do {
        got = FVOS_SysRead(g_FD, buffer, size);
    } while (got < 0 && errno == EINTR);
    return got;
}

static int32_t ControlCall(unsigned long code, void *argument)
{
    return FVOS_SysIoctl(g_FD, code, argument) == 0 ? 0 : -1;
}

/* Command 3: the driver returns an offset into the mapping for w3 bytes; w1 gets its address. */
static int32_t AllocateFromMapping(uintptr_t *w)
{
    uint8_t arg[8] = {0};
    SEP_PutLE32(arg + 4, (uint32_t)w[3]);
    int32_t result = ControlCall(FVOS_IOCTL_ALLOC_DATA_POOL, arg);
    if (result != 0)
        return result;
    uint32_t offset = SEP_GetLE32(arg);
    uint32_t size = (uint32_t)w[3];
    if (g_StartMapAddress == NULL || offset > FVOS_SHARED_AREA_SIZE ||
        size > FVOS_SHARED_AREA_SIZE - offset)
        return -1;
    w[1] = (uintptr_t)(g_StartMapAddress + offset);
    w[2] = 0;
    memset(g_StartMapAddress + offset, 0, size);
    return 0;
}

/* Commands 7 and 8: w0 as 64 bits, w1, 4 bytes, w2 as 64 bits, w3, w4, w5, 4 bytes. */
static void PackDmaBuild(uint8_t *arg, const uintptr_t *w)
{
    SEP_PutLE64(arg, w[0]);
    SEP_PutLE32(arg + 8, (uint32_t)w[1]);
    SEP_PutLE64(arg + 16, w[2]);
    SEP_PutLE32(arg + 24, (uint32_t)w[3]);
    SEP_PutLE32(arg + 28, (uint32_t)w[4]);
    SEP_PutLE32(arg + 32, (uint32_t)w[5]);
}

int32_t FVOS_Cntrl(uint32_t command, uintptr_t *w)
{
    /* Argument blocks are zeroed: no stack bytes reach the driver. */
    uint8_t arg[40];
    memset(arg, 0, sizeof arg);
    int32_t result;

    switch (command) {
    case FVOS_CNTRL_SEND_MSG_RDY:
        return ControlCall(FVOS_IOCTL_SEND_MSG, NULL);
    case FVOS_CNTRL_SEND_RPLY_MSG_RDY:
        return ControlCall(FVOS_IOCTL_SEND_REPLY, NULL);
    case FVOS_CNTRL_SEP_INIT:
        return 0;
    case FVOS_CNTRL_RESET:
        return ControlCall(FVOS_IOCTL_RESET_RESOURCES, NULL);
    case FVOS_CNTRL_FREE_SYM_DMA:
        return ControlCall(FVOS_IOCTL_FREE_SYM_DMA, arg);
    case FVOS_CNTRL_FREE_SYM_DMA_LLI:
        return ControlCall(FVOS_IOCTL_FREE_SYM_DMA_LLI, arg);
    default:
        break;
    }

    if (w == NULL)
        return (int32_t)FVOS_FAILED;
    switch (command) {
    case FVOS_CNTRL_ALLOC_MEM:
        return AllocateFromMapping(w);
    case FVOS_CNTRL_COPY_TO_POOL:
        if (w[0] != 0 && w[1] != 0 && w[2] != 0)
            memmove((void *)w[1], (const void *)w[0], w[2]);
        return 0;
    case FVOS_CNTRL_COPY_FROM_POOL:
        if (w[0] != 0 && w[1] != 0 && w[2] != 0)
            memmove((void *)w[0], (const void *)w[1], w[2]);
        return 0;
    case FVOS_CNTRL_BUILD_SYM_DMA:
        PackDmaBuild(arg, w);
        return ControlCall(FVOS_IOCTL_BUILD_SYM_DMA, arg);
    case FVOS_CNTRL_BUILD_SYM_DMA_LLI:
        PackDmaBuild(arg, w);
        return ControlCall(FVOS_IOCTL_BUILD_SYM_DMA_LLI, arg);
    case FVOS_CNTRL_FREE_DMA:
        result = ControlCall(FVOS_IOCTL_FREE_DMA, arg);
        w[0] = 0;
        return result;
    case FVOS_CNTRL_FREE_MEM:
        w[0] = 0;
        w[1] = 0;
        return 0;
    case FVOS_CNTRL_REALLOC_CACHE:
        SEP_PutLE32(arg, (uint32_t)w[0]);
        return ControlCall(FVOS_IOCTL_REALLOC_EXT_CACHE, arg);
    case FVOS_CNTRL_SET_FLOW_ID:
        SEP_PutLE64(arg, w[0]);
        SEP_PutLE32(arg + 8, (uint32_t)w[1]);
        SEP_PutLE32(arg + 12, (uint32_t)w[2]);
        SEP_PutLE32(arg + 16, (uint32_t)w[3]);
        SEP_PutLE32(arg + 20, (uint32_t)w[4]);
        SEP_PutLE64(arg + 24, w[5]);
        SEP_PutLE32(arg + 32, (uint32_t)w[6]);
        return ControlCall(FVOS_IOCTL_SET_FLOW_ID, arg);
    case FVOS_CNTRL_ADD_FLOW:
        SEP_PutLE64(arg, w[0]);
        SEP_PutLE32(arg + 8, (uint32_t)w[1]);
        result = ControlCall(FVOS_IOCTL_ADD_FLOW_TABLE, arg);
        w[2] = 0;
        return result;
    case FVOS_CNTRL_GET_STATIC_POOL:
        SEP_PutLE64(arg, (uint64_t)(int64_t)(int32_t)(uint32_t)w[2]);
        return ControlCall(FVOS_IOCTL_GET_STATIC_POOL, arg);
    case FVOS_CNTRL_SET_API_MODE:
        SEP_PutLE32(arg, (uint32_t)w[0]);
        SEP_PutLE64(arg + 8, w[1]);
        SEP_PutLE32(arg + 16, (uint32_t)w[2]);
        return ControlCall(FVOS_IOCTL_SET_API_MODE, arg);
    default:
        return (int32_t)FVOS_FAILED;
    }
}
