/* Serves a storage request that the SEP left in the message area, and replies in place. */
#include "NVS.h"

#include <string.h>

#include "../Common/SEP_LE.h"
#include "../FVOS/FVOS_OS/FVOS_LINUX/src/FVOS.h"
#include "../SEPDriver/SEPDriver.h"

#define REQ_OPCODE 8u
#define REQ_P0 12u
#define REQ_P1 16u
#define REQ_P2 20u
#define REQ_P3 24u
#define REQ_INLINE_DATA 24u

/* A reply starts at offset 8 and carries three words before inline data. */
#define REPLY_WORDS_OFFSET 8u
#define REPLY_INLINE_MAX (SEP_MAX_MESSAGE_OFFSET - REPLY_WORDS_OFFSET - 12u)

static uint64_t Pad4(uint32_t n)
{
    return ((uint64_t)n + 3u) & ~(uint64_t)3u;
}

/* Builds the reply: token, length, the words (with any data after them), trailing word. */
static uint32_t SendReply(const uint8_t *words, uint32_t length)
{
    uint32_t offset = 0;
    uint32_t rc = SEPDriver_StartMessage(&offset);
    if (rc == 0)
        rc = SEPDriver_WriteParamater(words, length, (uint32_t)Pad4(length), &offset);
    if (rc == 0)
        rc = SEPDriver_EndReplyMessage(offset);
    return rc;
}

/* Replies the result word. A reply that cannot be sent ends the wait with its error. */
static uint32_t ReplyResult(uint32_t opcode, uint32_t result, uint32_t parserResult)
{
    uint8_t words[8];
    SEP_PutLE32(words, opcode);
    SEP_PutLE32(words + 4, result);
    uint32_t sent = SendReply(words, sizeof words);
    return sent != 0 ? sent : parserResult;
}

/* Success carries the byte count after the status; a failure only the error. */
static uint32_t ReplyTransfer(uint32_t opcode, uint32_t status, uint32_t count)
{
    if (status != DX_SUCCESS)
        return ReplyResult(opcode, status, status);
    uint8_t words[12];
    SEP_PutLE32(words, opcode);
    SEP_PutLE32(words + 4, status);
    SEP_PutLE32(words + 8, count);
    return SendReply(words, sizeof words);
}

/* The request's own end, from its length word, bounded by the message limit. */
static uint32_t RequestEnd(const uint8_t *area)
{
    uint32_t length = SEP_GetLE32(area + 4);
    if (length == 0 || length > SEP_MAX_MESSAGE_OFFSET / 4 + 1)
        return 0;
    return (length - 1) * 4;
}

uint32_t NVSHost_Parser(void)
{
    if (g_StartMapAddress == NULL || g_SharedRamAddr == NULL)
        return FVOS_NOT_OPEN;
    const uint8_t *area = g_SharedRamAddr;
    uint32_t opcode = SEP_GetLE32(area + REQ_OPCODE);
    uint32_t p0 = SEP_GetLE32(area + REQ_P0);
    uint32_t p1 = SEP_GetLE32(area + REQ_P1);
    uint32_t p2 = SEP_GetLE32(area + REQ_P2);
    uint32_t p3 = SEP_GetLE32(area + REQ_P3);
    uint32_t count = 0;
    DxStatus status;

    switch (opcode) {
    case NVS_OP_READ_SHARED:
    case NVS_OP_WRITE_SHARED: {
        /* The transfer covers the size padded to whole words (a read zeroes them all). */
        uint8_t *data = NULL;
        if (SEPDriver_SharedData(p3, Pad4(p2), &data) != 0)
            return ReplyResult(opcode, NVS_ERR_BAD_REQUEST, NVS_ERR_BAD_REQUEST);
        if (opcode == NVS_OP_READ_SHARED)
            status = NVS_Read(p0, p1, data, p2, &count);
        else
            status = NVS_Write(p0, p1, data, p2, &count);
        SEPDriver_SharedDataMoved();
        return ReplyTransfer(opcode, status, count);
    }
    case NVS_OP_READ_INLINE: {
        if (p2 > REPLY_INLINE_MAX)
            return ReplyResult(opcode, NVS_ERR_BAD_REQUEST, NVS_ERR_BAD_REQUEST);
        uint8_t reply[12 + REPLY_INLINE_MAX];
        memset(reply, 0, sizeof reply);
        status = NVS_Read(p0, p1, reply + 12, p2, &count);
        if (status != DX_SUCCESS)
            return ReplyResult(opcode, status, status);
        SEP_PutLE32(reply, opcode);
        SEP_PutLE32(reply + 4, 0);
        SEP_PutLE32(reply + 8, count);
        return SendReply(reply, 12 + p2);
    }
    case NVS_OP_WRITE_INLINE:
        if ((uint64_t)REQ_INLINE_DATA + p2 > RequestEnd(area))
            return ReplyResult(opcode, NVS_ERR_BAD_REQUEST, NVS_ERR_BAD_REQUEST);
        status = NVS_Write(p0, p1, area + REQ_INLINE_DATA, p2, &count);
        return ReplyTransfer(opcode, status, count);
    case NVS_OP_OPEN:
        return ReplyResult(opcode, NVS_FileOpen(p0, p1), 0);
    case NVS_OP_CLOSE:
        return ReplyResult(opcode, NVS_FileClose(p0), 0);
    case NVS_OP_INIT_CACHE:
        status = NVS_InitCache(p0, p1);
        return ReplyResult(opcode, status, status);
    case NVS_OP_ENABLE_CACHE:
        status = NVS_EnableCache(p0);
        return ReplyResult(opcode, status, status);
    case NVS_OP_DISABLE_CACHE:
        status = NVS_DisableCache(p0);
        return ReplyResult(opcode, status, status);
    case NVS_OP_FLUSH_CACHE:
        status = NVS_FlushCache(p0);
        return ReplyResult(opcode, status, status);
    default:
        /* Not a storage request (or an empty callback that left the host's own request):
         * answered, so that the SEP moves on. */
        return ReplyResult(opcode, NVS_ERR_BAD_REQUEST, 0);
    }
}
