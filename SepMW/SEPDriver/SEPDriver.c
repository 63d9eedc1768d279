/* Requests to the SEP through the shared message area, and the fastcall frame. */
#include "SEPDriver.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../Common/SEP_LE.h"
#include "../FVOS/FVOS_OS/FVOS_LINUX/src/FVOS.h"
#include "../NVS/NVS.h"
#include "../VOS6/IFLayer/DX_VOS.h"

uint32_t SEPDriver_Init(const char *devicePath)
{
    return FVOS_Init(devicePath);
}

uint32_t DX_CC_HostInit(void)
{
    return SEPDriver_Init(FVOS_SEP_DEVICE_PATH);
}

static int IsMapped(void)
{
    return g_StartMapAddress != NULL && g_SharedRamAddr != NULL;
}

uint32_t SEPDriver_BuildMsgHeader(uint32_t *offset, uint32_t opcode)
{
    if (offset == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    uint32_t rc = FVOS_StartTransaction();
    if (rc == FVOS_BUSY)
        return SEP_DRIVER_ERR_BUSY;
    if (rc != FVOS_OK)
        return rc;
    rc = FVOS_Mmap(&g_SharedRamAddr);
    if (rc != FVOS_OK)
        return rc;
    rc = FVOS_GetPrintfBuffer(&g_PrintfSharedRamAddr);
    if (rc != FVOS_OK)
        return rc;
    SEP_PutLE32(g_SharedRamAddr, SEP_MESSAGE_TOKEN);
    SEP_PutLE32(g_SharedRamAddr + 4, 0);
    SEP_PutLE32(g_SharedRamAddr + 8, opcode);
    *offset = 12;
    return 0;
}

/* Shared rule of every parameter writer: a maximum that is a multiple of 4 and not below the
 * length. The bytes between length and maximum are zeroed. */
static uint32_t PutParameter(uint8_t *frame, const void *data, uint32_t length, uint32_t maxLength,
                             uint32_t *offset, uint64_t limit)
{
    if (offset == NULL || (data == NULL && length != 0))
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (maxLength < length || maxLength % 4 != 0)
        return SEP_DRIVER_ERR_PARAM_LENGTH;
    if ((uint64_t)*offset + maxLength > limit)
        return SEP_DRIVER_ERR_MSG_LENGTH;
    if (length != 0)
        memmove(frame + *offset, data, length);
    memset(frame + *offset + length, 0, maxLength - length);
    *offset += maxLength;
    return 0;
}

uint32_t SEPDriver_WriteParamater(const void *data, uint32_t length, uint32_t maxLength,
                                  uint32_t *offset)
{
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    return PutParameter(g_SharedRamAddr, data, length, maxLength, offset, SEP_MAX_MESSAGE_OFFSET);
}

/* Length word and trailing zero word of a message that ends at endOffset. */
static uint32_t CloseFrame(uint32_t endOffset)
{
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    if (endOffset > SEP_MAX_MESSAGE_OFFSET || endOffset % 4 != 0 || endOffset < 8)
        return SEP_DRIVER_ERR_MSG_LENGTH;
    SEP_PutLE32(g_SharedRamAddr + 4, endOffset / 4 + 1);
    SEP_PutLE32(g_SharedRamAddr + endOffset, 0);
    return 0;
}

uint32_t SEPDriver_EndMessage(uint32_t endOffset)
{
    uint32_t rc = CloseFrame(endOffset);
    if (rc != 0)
        return rc;
    return (uint32_t)FVOS_Cntrl(FVOS_CNTRL_SEND_MSG_RDY, NULL);
}

uint32_t SEPDriver_StartMessage(uint32_t *offset)
{
    if (offset == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    SEP_PutLE32(g_SharedRamAddr, SEP_MESSAGE_TOKEN);
    *offset = 8;
    return 0;
}

/* Prints the SEP's text, never reading past the end of the mapping. */
static void PrintSepText(void)
{
    uint8_t *text = NULL;
    if (FVOS_GetPrintfBuffer(&text) != FVOS_OK)
        return;
    uint32_t length = DX_VOS_StrNLen((const char *)text, FVOS_PRINTF_AREA_SIZE);
    printf("%.*s", (int)length, (const char *)text);
}

/* A frame in the message area, as far as its length word reaches (its three header words when
 * that word is out of range). */
typedef struct {
    uint32_t size;
    uint8_t bytes[SEP_MAX_MESSAGE_OFFSET + 4];
} SepFrame;

static uint32_t FrameSize(const uint8_t *area)
{
    uint32_t length = SEP_GetLE32(area + 4);
    return length >= 3 && length <= SEP_MAX_MESSAGE_OFFSET / 4 + 1 ? length * 4 : 12;
}

static void KeepFrame(SepFrame *frame)
{
    frame->size = FrameSize(g_SharedRamAddr);
    memcpy(frame->bytes, g_SharedRamAddr, frame->size);
}

static int HoldsFrame(const SepFrame *frame)
{
    return frame->size != 0 && frame->size == FrameSize(g_SharedRamAddr) &&
           memcmp(frame->bytes, g_SharedRamAddr, frame->size) == 0;
}

/* The last reply sent to the SEP, kept before the driver may hand the area back to it. */
static SepFrame s_LastReply;

uint32_t SEPDriver_EndReplyMessage(uint32_t endOffset)
{
    uint32_t rc = CloseFrame(endOffset);
    if (rc != 0)
        return rc;
    KeepFrame(&s_LastReply);
    return (uint32_t)FVOS_Cntrl(FVOS_CNTRL_SEND_RPLY_MSG_RDY, NULL);
}

static uint64_t Fnv1a(uint64_t hash, const uint8_t *bytes, uint32_t size)
{
    for (uint32_t i = 0; i < size; i++) {
        hash ^= bytes[i];
        hash *= 0x100000001B3ull;
    }
    return hash;
}

static uint64_t FnvWord(uint64_t hash, uint32_t word)
{
    uint8_t bytes[4];
    SEP_PutLE32(bytes, word);
    return Fnv1a(hash, bytes, sizeof bytes);
}

#define FNV_OFFSET_BASIS 0xCBF29CE484222325ull

/* The data of the current callback's shared-memory transfer. Its digest is taken when the
 * transfer is made: once the reply hands the area back, the SEP may write there again. */
static struct {
    uint32_t offset;
    uint32_t size;
    int given;  /* its address was handed out */
    int moved;  /* digest holds the bytes as the transfer moved them */
    uint64_t digest;
} s_SharedData;

uint32_t SEPDriver_SharedData(uint32_t offset, uint64_t size, uint8_t **address)
{
    if (address == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    if ((uint64_t)offset + size > FVOS_MESSAGE_AREA_SIZE)
        return SEP_DRIVER_ERR_PARAM_LENGTH;
    s_SharedData.offset = offset;
    s_SharedData.size = (uint32_t)size;
    s_SharedData.given = 1;
    return SEPDriver_StaticPhysAddrToVirt(offset, address);
}

void SEPDriver_SharedDataMoved(void)
{
    if (!s_SharedData.given || !IsMapped())
        return;
    s_SharedData.digest = Fnv1a(FnvWord(FNV_OFFSET_BASIS, s_SharedData.size),
                                g_SharedRamAddr + s_SharedData.offset, s_SharedData.size);
    s_SharedData.moved = 1;
}

/* Digests of what the callbacks of one wait did: request, reply and the data moved. The table
 * takes at most SEP_WAIT_MAX_DIGESTS; the latest digests are kept beside it without allocation,
 * so that a SEP repeating itself is still seen when the table can take no more. */
#define RECENT_DIGESTS SEP_WAIT_MAX_FRUITLESS_CALLBACKS
typedef struct {
    uint64_t *slots; /* 0 marks a free slot */
    uint32_t capacity;
    uint32_t used;
    uint64_t recent[RECENT_DIGESTS]; /* 0 marks a free entry */
    uint32_t next;                   /* the entry that the next digest replaces */
} DigestSet;

/* The slot that holds the digest, or the free slot where it belongs. */
static uint32_t SlotOf(const uint64_t *slots, uint32_t capacity, uint64_t digest)
{
    uint32_t i = (uint32_t)(digest % capacity);
    while (slots[i] != 0 && slots[i] != digest)
        i = (i + 1) % capacity;
    return i;
}

static int Holds(const DigestSet *set, uint64_t digest)
{
    for (uint32_t i = 0; i < RECENT_DIGESTS; i++)
        if (set->recent[i] == digest)
            return 1;
    return set->capacity != 0 && set->slots[SlotOf(set->slots, set->capacity, digest)] == digest;
}

/* Room in the table for one more digest; 0 when it is at its bound or memory runs out. */
static int MakeRoom(DigestSet *set)
{
    if (2 * (set->used + 1) <= set->capacity)
        return 1;
    if (set->used >= SEP_WAIT_MAX_DIGESTS)
        return 0;
    uint32_t capacity = set->capacity == 0 ? 64 : 2 * set->capacity;
    uint64_t *slots = calloc(capacity, sizeof *slots);
    if (slots == NULL)
        return 0;
    for (uint32_t i = 0; i < set->capacity; i++)
        if (set->slots[i] != 0)
            slots[SlotOf(slots, capacity, set->slots[i])] = set->slots[i];
    free(set->slots);
    set->slots = slots;
    set->capacity = capacity;
    return 1;
}

/* 1 when an earlier callback of the wait had the digest. A digest that is not remembered is
 * taken as new: a repeat is never made up. */
static int SeenBefore(DigestSet *set, uint64_t digest)
{
    if (digest == 0)
        digest = 1;
    int seen = Holds(set, digest);
    if (!seen && MakeRoom(set)) {
        set->slots[SlotOf(set->slots, set->capacity, digest)] = digest;
        set->used++;
    }
    set->recent[set->next] = digest;
    set->next = (set->next + 1) % RECENT_DIGESTS;
    return seen;
}

/* What the storage service has done in one wait. */
typedef struct {
    SepFrame reply; /* the last reply, as sent */
    DigestSet seen;
    uint32_t fruitless; /* consecutive callbacks that brought nothing new */
} CallbackProgress;

/* Serves a call back of the SEP with the storage service. Non-zero ends the wait. */
static uint32_t ServeStorageCallback(CallbackProgress *progress)
{
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    /* The SEP wrote nothing since the last reply (its event is still signalled). */
    int stale = HoldsFrame(&progress->reply);
    uint64_t digest = Fnv1a(FNV_OFFSET_BASIS, g_SharedRamAddr, FrameSize(g_SharedRamAddr));
    s_LastReply.size = 0;
    s_SharedData.given = 0;
    s_SharedData.moved = 0;
    uint32_t rc = NVSHost_Parser();
    progress->reply = s_LastReply;
    if (rc != 0)
        return rc;
    digest = FnvWord(digest, s_LastReply.size);
    digest = Fnv1a(digest, s_LastReply.bytes, s_LastReply.size);
    if (s_SharedData.moved) {
        digest = FnvWord(digest, (uint32_t)s_SharedData.digest);
        digest = FnvWord(digest, (uint32_t)(s_SharedData.digest >> 32));
    }
    int repeated = SeenBefore(&progress->seen, digest);
    progress->fruitless = stale || repeated ? progress->fruitless + 1 : 0;
    return progress->fruitless >= SEP_WAIT_MAX_FRUITLESS_CALLBACKS ? FVOS_FAILED : 0;
}

/* Polls until the reply is there, printing the SEP's texts and serving its callbacks. */
static uint32_t WaitServing(SEPDriver_Callback_t callback, int timeoutMs, CallbackProgress *progress)
{
    uint32_t failures = 0;
    for (;;) {
        uint32_t status = 0;
        uint32_t rc = FVOS_Poll(timeoutMs, &status);
        if (rc == FVOS_TIMEOUT || rc == FVOS_DEVICE_ERROR)
            return rc;
        if (rc != FVOS_OK) {
            /* A failed wait says nothing about the area: never serve it as a request. */
            if (++failures >= SEP_WAIT_MAX_POLL_FAILURES)
                return rc;
            continue;
        }
        failures = 0;
        if (status == FVOS_POLL_REPLY_READY)
            return 0;
        if (status == FVOS_POLL_SEP_PRINTF) {
            PrintSepText();
            /* Unacknowledged, the same text would come back on every poll. */
            int32_t acknowledged = FVOS_Cntrl(FVOS_CNTRL_SEND_RPLY_MSG_RDY, NULL);
            if (acknowledged != 0)
                return (uint32_t)acknowledged;
            continue;
        }
        rc = callback != NULL ? callback() : ServeStorageCallback(progress);
        if (rc != 0)
            return rc;
    }
}

uint32_t SEPDriver_WaitForResponse(uint32_t unused1, uint32_t unused2,
                                   SEPDriver_Callback_t callback, int timeoutMs)
{
    (void)unused1;
    (void)unused2;
    CallbackProgress progress;
    memset(&progress.seen, 0, sizeof progress.seen);
    progress.reply.size = 0;
    progress.fruitless = 0;
    uint32_t rc = WaitServing(callback, timeoutMs, &progress);
    free(progress.seen.slots);
    return rc;
}

uint32_t SEPDriver_CheckStatus(uint32_t *offset, uint32_t opcode)
{
    if (offset == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (!IsMapped())
        return FVOS_NOT_OPEN;
    if (SEP_GetLE32(g_SharedRamAddr) != SEP_MESSAGE_TOKEN) {
        *offset = 8;
        return SEP_DRIVER_ERR_WRONG_TOKEN;
    }
    /* The reply holds at least its opcode and status, and ends inside the message limit. */
    uint32_t length = SEP_GetLE32(g_SharedRamAddr + 4);
    if (length < 5 || length > SEP_MAX_MESSAGE_OFFSET / 4 + 1)
        return SEP_DRIVER_ERR_MSG_LENGTH;
    SEP_PutLE32(g_SharedRamAddr + (length - 1) * 4, 0);
    uint32_t replyOpcode = SEP_GetLE32(g_SharedRamAddr + 8);
    uint32_t status = SEP_GetLE32(g_SharedRamAddr + 12);
    *offset = 16;
    return replyOpcode == opcode ? status : SEP_DRIVER_ERR_WRONG_OPCODE;
}

uint32_t SEPDriver_Unlock(void)
{
    return FVOS_EndTransaction();
}

uint32_t SEPDriver_StaticPhysAddrToVirt(uint32_t offset, uint8_t **address)
{
    if (address == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    *address = g_SharedRamAddr + offset;
    return 0;
}

uint32_t SEPDriver_Fastcall_InitHdr(uint8_t *header, uint8_t *msgHeader, uint32_t descriptorCount,
                                    uint32_t opcode, uint32_t totalSize, const void *tableAddress,
                                    uint32_t *paramOffset)
{
    if (header == NULL || msgHeader == NULL || paramOffset == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    uint64_t descriptors = (uint64_t)SEP_DMA_DESCRIPTOR_SIZE * descriptorCount;
    if ((uint64_t)totalSize < descriptors + SEP_FASTCALL_HEADER_SIZE + SEP_FASTCALL_MSG_HEADER_SIZE)
        return SEP_DRIVER_ERR_PARAM_LENGTH;
    uint32_t body = totalSize - (uint32_t)descriptors;
    memset(header, 0, SEP_FASTCALL_HEADER_SIZE);
    memset(msgHeader, 0, SEP_FASTCALL_MSG_HEADER_SIZE);
    SEP_PutLE32(header, SEP_FASTCALL_MAGIC);
    SEP_PutAddr(header + 4, tableAddress);
    SEP_PutLE32(header + 12, body - SEP_FASTCALL_HEADER_SIZE);
    SEP_PutLE32(header + 16, descriptorCount);
    SEP_PutLE32(msgHeader + 8, SEP_MESSAGE_TOKEN);
    SEP_PutLE32(msgHeader + 12, (body - 28) / 4 + (totalSize % 4 != 0 ? 1 : 0));
    SEP_PutLE32(msgHeader + 16, opcode);
    *paramOffset = (uint32_t)descriptors + SEP_FASTCALL_HEADER_SIZE + SEP_FASTCALL_MSG_HEADER_SIZE;
    return 0;
}

uint32_t SEPDriver_Fastcall_WriteParameter(const void *data, uint32_t length, uint32_t maxLength,
                                           uint32_t *offset, uint32_t unused, uint8_t *frame)
{
    (void)unused;
    if (frame == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    return PutParameter(frame, data, length, maxLength, offset, SEP_MAX_MESSAGE_OFFSET);
}

uint32_t SEPDriver_Fastcall_ReadParameter(void *data, uint32_t length, uint32_t maxLength,
                                          uint32_t *offset, uint32_t unused, const uint8_t *frame)
{
    (void)unused;
    if (frame == NULL || offset == NULL || (data == NULL && length != 0))
        return SEP_DRIVER_ERR_NULL_POINTER;
    if (maxLength < length || maxLength % 4 != 0)
        return SEP_DRIVER_ERR_PARAM_LENGTH;
    if (length != 0)
        memmove(data, frame + *offset, length);
    *offset += maxLength;
    return 0;
}

uint32_t SEPDriver_Fastcall_Validate(const uint8_t *reply, uint32_t opcode, uint32_t status,
                                     uint32_t *offset)
{
    if (reply == NULL || offset == NULL)
        return SEP_DRIVER_ERR_NULL_POINTER;
    uint32_t token = SEP_GetLE32(reply + 8);
    if (token != SEP_MESSAGE_TOKEN) {
        printf("TOKEN FAIL, TOKEN IS %x\n", token);
        return SEP_DRIVER_ERR_WRONG_TOKEN;
    }
    if (SEP_GetLE32(reply + 16) != opcode) {
        printf("OP FAIL");
        return SEP_DRIVER_ERR_WRONG_OPCODE;
    }
    uint32_t replyStatus = SEP_GetLE32(reply + 20);
    if (replyStatus != status) {
        printf("RET VAL FAIL");
        return replyStatus;
    }
    *offset = SEP_FASTCALL_REPLY_PARAMS;
    return 0;
}
