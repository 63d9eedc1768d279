/* Message digests through the SEP's fastcall frame, or through OpenSSL on the host. */
#include "CRYS_HASH.h"

#include <string.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "../Common/SEP_LE.h"
#include "../FVOS/FVOS_OS/FVOS_LINUX/src/FVOS.h"
#include "../SEPDriver/SEPDriver.h"
#include "../SEPDriver/SEPDriver_Offload.h"

#define CTX_PENDING_COUNT 204u
#define CTX_BLOCK_SIZE 224u
#define CTX_HOST_STATE_SIZE 24u /* where a host context keeps its OpenSSL state */

#define REPLY_SIZE 272u
#define MAX_INFRAME_BYTES 128u

#define INIT_FRAME_SIZE 48u
#define UPDATE_FRAME_SIZE 604u
#define FINISH_FRAME_SIZE 288u
/* Mode and three words (16), tail length (4), tail of up to 128 bytes, from offset 80. */
#define ONESHOT_FRAME_SIZE 228u

static const EVP_MD *DigestOf(CRYS_HASH_OperationMode_t mode)
{
    switch (mode) {
    case CRYS_HASH_SHA1_mode:
        return EVP_sha1();
    case CRYS_HASH_SHA224_mode:
        return EVP_sha224();
    case CRYS_HASH_SHA256_mode:
        return EVP_sha256();
    case CRYS_HASH_SHA384_mode:
        return EVP_sha384();
    case CRYS_HASH_SHA512_mode:
        return EVP_sha512();
    case CRYS_HASH_MD5_mode:
        return EVP_md5();
    }
    return NULL;
}

static uint32_t BlockSizeOf(CRYS_HASH_OperationMode_t mode)
{
    return mode == CRYS_HASH_SHA384_mode || mode == CRYS_HASH_SHA512_mode ? 128u : 64u;
}

/* ---- host state, kept behind a pointer at the start of the context ---- */

static EVP_MD_CTX *HostState(const HashContext *context)
{
    EVP_MD_CTX *md;
    memcpy(&md, context->buff, sizeof md);
    return md;
}

static void SetHostState(HashContext *context, EVP_MD_CTX *md)
{
    memcpy(context->buff, &md, sizeof md);
}

static void ReleaseHostState(HashContext *context)
{
    EVP_MD_CTX_free(HostState(context));
    OPENSSL_cleanse(context->buff, CTX_HOST_STATE_SIZE);
}

/* On every failure: when the context was hashing on the host, it ends there. */
static uint32_t CleanHostContext(HashContext *context, uint32_t error)
{
    if (SEPDriver_OffloadedIACtx_Clean(context))
        ReleaseHostState(context);
    return error;
}

/* ---- the SEP exchange ---- */

typedef struct {
    uint8_t frame[UPDATE_FRAME_SIZE];
    uint8_t reply[REPLY_SIZE];
    uint32_t total;
    uint32_t offset;
    uint32_t opcode;
} Fastcall;

static uint32_t StartFrame(Fastcall *fc, uint32_t opcode, uint32_t descriptors, uint32_t total)
{
    memset(fc, 0, sizeof *fc);
    fc->total = total;
    fc->opcode = opcode;
    return SEPDriver_Fastcall_InitHdr(fc->frame,
                                      fc->frame + SEP_FASTCALL_HEADER_SIZE +
                                          SEP_DMA_DESCRIPTOR_SIZE * descriptors,
                                      descriptors, opcode, total, NULL, &fc->offset);
}

static uint32_t Put(Fastcall *fc, const void *data, uint32_t length, uint32_t maxLength)
{
    return SEPDriver_Fastcall_WriteParameter(data, length, maxLength, &fc->offset, 0, fc->frame);
}

static uint32_t PutWord(Fastcall *fc, uint32_t value)
{
    uint8_t word[4];
    SEP_PutLE32(word, value);
    return Put(fc, word, 4, 4);
}

/* Sends the frame and checks a reply that carries at least replyParams bytes of parameters;
 * fc->offset then points at them. */
static uint32_t Exchange(Fastcall *fc, uint32_t replyParams)
{
    ssize_t put = FVOS_Fastcall_Write(fc->frame, fc->total);
    if (put <= 0 || (size_t)put != fc->total)
        return CRYS_HASH_FASTCALL_WRITE_ERROR;
    ssize_t got = FVOS_Fastcall_Read(fc->reply, REPLY_SIZE);
    if (got <= 0 || (size_t)got < SEP_FASTCALL_REPLY_PARAMS + replyParams)
        return CRYS_HASH_FASTCALL_READ_ERROR;
    if (SEPDriver_Fastcall_Validate(fc->reply, fc->opcode, 0, &fc->offset) != 0)
        return CRYS_HASH_FASTCALL_REPLY_ERROR;
    return 0;
}

static uint32_t Take(Fastcall *fc, void *data, uint32_t length)
{
    return SEPDriver_Fastcall_ReadParameter(data, length, length, &fc->offset, 0, fc->reply);
}

/* ---- the operations ---- */

CRYS_HASH_Split_t CRYS_HASH_SplitUpdate(uint32_t blockSize, uint32_t pending, uint32_t length)
{
    CRYS_HASH_Split_t split;
    split.head = (blockSize - pending) % blockSize;
    if (split.head > length)
        split.head = length;
    uint32_t rest = length - split.head;
    split.tail = rest % blockSize;
    split.dma = rest - split.tail;
    return split;
}

uint32_t CRYS_HASH_Init(HashContext *context, CRYS_HASH_OperationMode_t mode)
{
    if (SEPDriver_OffloadedIACtx(context))
        return CRYS_HASH_CONTEXT_ON_HOST_ERROR;
    if (context == NULL)
        return CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR;
    if ((uint32_t)mode > CRYS_HASH_MD5_mode)
        return CRYS_HASH_ILLEGAL_OPERATION_MODE_ERROR;

    int32_t where = SEPDriver_OffloadDecisionIA(CRYS_HASH_INIT_OPCODE, 0, context);
    if (where < 0)
        return CRYS_HASH_OFFLOAD_ERROR;
    if (where == 1) {
        SetHostState(context, NULL);
        EVP_MD_CTX *md = EVP_MD_CTX_new();
        SetHostState(context, md);
        if (md == NULL || EVP_DigestInit(md, DigestOf(mode)) != 1)
            return CleanHostContext(context, CRYS_HASH_OFFLOAD_ERROR);
        return 0;
    }

    Fastcall fc;
    uint32_t rc = StartFrame(&fc, CRYS_HASH_INIT_OPCODE, 0, INIT_FRAME_SIZE);
    if (rc == 0)
        rc = PutWord(&fc, (uint32_t)mode);
    if (rc == 0)
        rc = Exchange(&fc, CRYS_HASH_CONTEXT_SIZE);
    if (rc == 0)
        rc = Take(&fc, context->buff, CRYS_HASH_CONTEXT_SIZE);
    return rc == 0 ? 0 : CleanHostContext(context, rc);
}

uint32_t CRYS_HASH_Update(HashContext *context, const uint8_t *data, uint32_t length)
{
    if (context == NULL)
        return CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR;
    if (length == 0)
        return 0;
    if (data == NULL)
        return CleanHostContext(context, CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR);
    if (length >= CRYS_HASH_MAX_DATA_SIZE)
        return CleanHostContext(context, CRYS_HASH_DATA_SIZE_ILLEGAL);

    int32_t where = SEPDriver_OffloadDecisionIA(CRYS_HASH_UPDATE_OPCODE, length, context);
    if (where < 0)
        return CleanHostContext(context, CRYS_HASH_OFFLOAD_ERROR);
    if (where == 1) {
        EVP_MD_CTX *md = HostState(context);
        if (md == NULL || EVP_DigestUpdate(md, data, length) != 1)
            return CleanHostContext(context, CRYS_HASH_OFFLOAD_ERROR);
        return 0;
    }

    uint32_t blockSize = SEP_GetLE16(context->buff + CTX_BLOCK_SIZE);
    uint32_t pending = SEP_GetLE16(context->buff + CTX_PENDING_COUNT);
    if ((blockSize != 64 && blockSize != 128) || pending >= blockSize)
        return CRYS_HASH_INVALID_CONTEXT_STATE_ERROR;
    CRYS_HASH_Split_t split = CRYS_HASH_SplitUpdate(blockSize, pending, length);

    Fastcall fc;
    static const uint8_t zeros[12] = {0};
    uint32_t rc = StartFrame(&fc, CRYS_HASH_UPDATE_OPCODE, 1, UPDATE_FRAME_SIZE);
    uint32_t out[3];
    if (rc == 0)
        rc = SEPDriver_FastCall_PrepareSymDMAHdr(fc.frame + SEP_FASTCALL_HEADER_SIZE, data + split.head,
                                                 split.dma, blockSize, &out[0], &out[1], &out[2], NULL,
                                                 NULL);
    if (rc == 0)
        rc = Put(&fc, zeros, sizeof zeros, sizeof zeros);
    if (rc == 0)
        rc = PutWord(&fc, split.head);
    if (rc == 0)
        rc = Put(&fc, data, split.head, MAX_INFRAME_BYTES);
    if (rc == 0)
        rc = PutWord(&fc, split.tail);
    if (rc == 0)
        rc = Put(&fc, data + length - split.tail, split.tail, MAX_INFRAME_BYTES);
    if (rc == 0)
        rc = Put(&fc, context->buff, CRYS_HASH_CONTEXT_SIZE, CRYS_HASH_CONTEXT_SIZE);
    if (rc == 0)
        rc = Exchange(&fc, CRYS_HASH_CONTEXT_SIZE);
    if (rc == 0)
        rc = Take(&fc, context->buff, CRYS_HASH_CONTEXT_SIZE);
    return rc == 0 ? 0 : CleanHostContext(context, rc);
}

uint32_t CRYS_HASH_Finish(HashContext *context, CRYS_HASH_Result_t result)
{
    if (context == NULL)
        return CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR;
    if (result == NULL)
        return CleanHostContext(context, CRYS_HASH_INVALID_RESULT_BUFFER_POINTER_ERROR);

    int32_t where = SEPDriver_OffloadDecisionIA(CRYS_HASH_FINISH_OPCODE, 0, context);
    if (where < 0)
        return CleanHostContext(context, CRYS_HASH_OFFLOAD_ERROR);
    if (where == 1) {
        /* The decision has taken the context off the host list: its state ends here. */
        EVP_MD_CTX *md = HostState(context);
        memset(result, 0, CRYS_HASH_RESULT_SIZE);
        unsigned int size = 0;
        int ok = md != NULL && EVP_DigestFinal(md, result, &size) == 1;
        ReleaseHostState(context);
        return ok ? 0 : CRYS_HASH_OFFLOAD_ERROR;
    }

    Fastcall fc;
    uint32_t rc = StartFrame(&fc, CRYS_HASH_FINISH_OPCODE, 0, FINISH_FRAME_SIZE);
    if (rc == 0)
        rc = Put(&fc, context->buff, CRYS_HASH_CONTEXT_SIZE, CRYS_HASH_CONTEXT_SIZE);
    if (rc == 0)
        rc = Exchange(&fc, CRYS_HASH_RESULT_SIZE);
    if (rc == 0)
        rc = Take(&fc, result, CRYS_HASH_RESULT_SIZE);
    return rc == 0 ? 0 : CleanHostContext(context, rc);
}

uint32_t CRYS_HASH_Free(HashContext *context)
{
    if (context == NULL)
        return CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR;
    CleanHostContext(context, 0);
    memset(context->buff, 0, CRYS_HASH_CONTEXT_SIZE);
    return 0;
}

static uint32_t HostOneShot(CRYS_HASH_OperationMode_t mode, const uint8_t *data, uint32_t length,
                            CRYS_HASH_Result_t result)
{
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    unsigned int size = 0;
    memset(result, 0, CRYS_HASH_RESULT_SIZE);
    int ok = md != NULL && EVP_DigestInit(md, DigestOf(mode)) == 1 &&
             EVP_DigestUpdate(md, data, length) == 1 && EVP_DigestFinal(md, result, &size) == 1;
    EVP_MD_CTX_free(md);
    return ok ? 0 : CRYS_HASH_OFFLOAD_ERROR;
}

uint32_t CRYS_HASH(CRYS_HASH_OperationMode_t mode, const uint8_t *data, uint32_t length,
                   CRYS_HASH_Result_t result)
{
    if ((uint32_t)mode > CRYS_HASH_MD5_mode)
        return CRYS_HASH_ILLEGAL_OPERATION_MODE_ERROR;
    if (length != 0 && data == NULL)
        return CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR;
    if (length >= CRYS_HASH_MAX_DATA_SIZE)
        return CRYS_HASH_DATA_SIZE_ILLEGAL;
    if (result == NULL)
        return CRYS_HASH_INVALID_RESULT_BUFFER_POINTER_ERROR;

    int32_t where = SEPDriver_OffloadDecisionIA(CRYS_HASH_OPCODE, length, NULL);
    if (where < 0)
        return CRYS_HASH_OFFLOAD_ERROR;
    if (where == 1)
        return HostOneShot(mode, data, length, result);

    uint32_t blockSize = BlockSizeOf(mode);
    uint32_t tail = length % blockSize;
    const uint8_t *tailBytes = data != NULL ? data + (length - tail) : NULL;
    static const uint8_t zeros[12] = {0};
    Fastcall fc;
    uint32_t out[3];
    uint32_t rc = StartFrame(&fc, CRYS_HASH_OPCODE, 1, ONESHOT_FRAME_SIZE);
    if (rc == 0)
        rc = SEPDriver_FastCall_PrepareSymDMAHdr(fc.frame + SEP_FASTCALL_HEADER_SIZE, data,
                                                 length - tail, blockSize, &out[0], &out[1], &out[2],
                                                 NULL, NULL);
    if (rc == 0)
        rc = PutWord(&fc, (uint32_t)mode);
    if (rc == 0)
        rc = Put(&fc, zeros, sizeof zeros, sizeof zeros);
    if (rc == 0)
        rc = PutWord(&fc, tail);
    if (rc == 0)
        rc = Put(&fc, tailBytes, tail, MAX_INFRAME_BYTES);
    if (rc == 0)
        rc = Exchange(&fc, CRYS_HASH_RESULT_SIZE);
    if (rc == 0)
        rc = Take(&fc, result, CRYS_HASH_RESULT_SIZE);
    return rc;
}
