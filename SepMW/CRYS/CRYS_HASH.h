/* CRYS_HASH: message digests on the SEP, or on the host when the SEP's queue is loaded. */
#ifndef CRYS_HASH_H
#define CRYS_HASH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CRYS_HASH_CONTEXT_SIZE 244u
#define CRYS_HASH_RESULT_SIZE 64u

/* The caller's context: the SEP's hash state, or (on the host) a pointer to OpenSSL's. */
typedef struct {
    uint8_t buff[CRYS_HASH_CONTEXT_SIZE];
} HashContext;

typedef uint8_t CRYS_HASH_Result_t[CRYS_HASH_RESULT_SIZE];

typedef enum {
    CRYS_HASH_SHA1_mode = 0,
    CRYS_HASH_SHA224_mode = 1,
    CRYS_HASH_SHA256_mode = 2,
    CRYS_HASH_SHA384_mode = 3,
    CRYS_HASH_SHA512_mode = 4,
    CRYS_HASH_MD5_mode = 5
} CRYS_HASH_OperationMode_t;

#define CRYS_HASH_INVALID_USER_CONTEXT_POINTER_ERROR 0xF00200u
#define CRYS_HASH_ILLEGAL_OPERATION_MODE_ERROR 0xF00201u
#define CRYS_HASH_INVALID_CONTEXT_STATE_ERROR 0xF00202u
#define CRYS_HASH_DATA_IN_POINTER_INVALID_ERROR 0xF00203u
#define CRYS_HASH_DATA_SIZE_ILLEGAL 0xF00204u
#define CRYS_HASH_INVALID_RESULT_BUFFER_POINTER_ERROR 0xF00205u
#define CRYS_HASH_OFFLOAD_ERROR 0xF0020Du
#define CRYS_HASH_CONTEXT_ON_HOST_ERROR 0xF0020Eu
/* A failed fastcall exchange: writing, reading, or the reply's check. */
#define CRYS_HASH_FASTCALL_WRITE_ERROR ((uint32_t)-1)
#define CRYS_HASH_FASTCALL_READ_ERROR ((uint32_t)-2)
#define CRYS_HASH_FASTCALL_REPLY_ERROR ((uint32_t)-3)

#define CRYS_HASH_MAX_DATA_SIZE 0x20000000u

/* SEP opcodes. */
#define CRYS_HASH_INIT_OPCODE 32u
#define CRYS_HASH_UPDATE_OPCODE 33u
#define CRYS_HASH_FINISH_OPCODE 34u
#define CRYS_HASH_OPCODE 35u

/* How an update is split by the SEP's block size and pending count: the bytes that complete
 * the pending block, the whole blocks sent by DMA, and the bytes left after them. */
typedef struct {
    uint32_t head;
    uint32_t dma;
    uint32_t tail;
} CRYS_HASH_Split_t;

CRYS_HASH_Split_t CRYS_HASH_SplitUpdate(uint32_t blockSize, uint32_t pending, uint32_t length);

uint32_t CRYS_HASH_Init(HashContext *context, CRYS_HASH_OperationMode_t mode);
uint32_t CRYS_HASH_Update(HashContext *context, const uint8_t *data, uint32_t length);
uint32_t CRYS_HASH_Finish(HashContext *context, CRYS_HASH_Result_t result);
uint32_t CRYS_HASH_Free(HashContext *context);
uint32_t CRYS_HASH(CRYS_HASH_OperationMode_t mode, const uint8_t *data, uint32_t length,
                   CRYS_HASH_Result_t result);

#ifdef __cplusplus
}
#endif

#endif
