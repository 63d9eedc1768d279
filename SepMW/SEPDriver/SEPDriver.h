/* SEPDriver: the message frame to the SEP and the fastcall frame, on top of FVOS. */
#ifndef SEP_DRIVER_H
#define SEP_DRIVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SEP_MESSAGE_TOKEN 0x02558808u
#define SEP_MAX_MESSAGE_OFFSET 8192u
#define SEP_FASTCALL_MAGIC 0xFFAACCAAu

#define SEP_FASTCALL_HEADER_SIZE 20u
#define SEP_FASTCALL_MSG_HEADER_SIZE 20u
#define SEP_DMA_DESCRIPTOR_SIZE 40u
#define SEP_FASTCALL_REPLY_PARAMS 24u

#define SEP_DRIVER_ERR_WRONG_OPCODE 0xB000001u
#define SEP_DRIVER_ERR_WRONG_TOKEN 0xB000003u
#define SEP_DRIVER_ERR_PARAM_LENGTH 0xB000009u
#define SEP_DRIVER_ERR_BUSY 0xB00000Au
#define SEP_DRIVER_ERR_NULL_POINTER 0xB00000Fu
#define SEP_DRIVER_ERR_MSG_LENGTH 0xB000012u

/* Consecutive poll failures after which a wait gives up. */
#define SEP_WAIT_MAX_POLL_FAILURES 3u
/* Callbacks of one wait, in any order, that were refused (answered with an error) or made no
 * progress (the message area still held the host's last reply, or the request and its answer
 * were those of an earlier callback of the wait), after which the wait gives up. */
#define SEP_WAIT_MAX_FRUITLESS_CALLBACKS 8u

/* Serves a call back of the SEP during a wait; a non-zero result ends the wait with it. */
typedef uint32_t (*SEPDriver_Callback_t)(void);

uint32_t DX_CC_HostInit(void);
uint32_t SEPDriver_Init(const char *devicePath);

uint32_t SEPDriver_BuildMsgHeader(uint32_t *offset, uint32_t opcode);
uint32_t SEPDriver_WriteParamater(const void *data, uint32_t length, uint32_t maxLength,
                                  uint32_t *offset);
uint32_t SEPDriver_EndMessage(uint32_t endOffset);
uint32_t SEPDriver_StartMessage(uint32_t *offset);
uint32_t SEPDriver_EndReplyMessage(uint32_t endOffset);
uint32_t SEPDriver_WaitForResponse(uint32_t unused1, uint32_t unused2,
                                   SEPDriver_Callback_t callback, int timeoutMs);
uint32_t SEPDriver_CheckStatus(uint32_t *offset, uint32_t opcode);
uint32_t SEPDriver_Unlock(void);
uint32_t SEPDriver_StaticPhysAddrToVirt(uint32_t offset, uint8_t **address);
/* The data of a shared-memory transfer: size bytes at offset in the message area. 0 with their
 * address when they lie inside the area (the wait then counts them as what the callback moved);
 * SEP_DRIVER_ERR_PARAM_LENGTH when they do not. */
uint32_t SEPDriver_SharedData(uint32_t offset, uint64_t size, uint8_t **address);

uint32_t SEPDriver_Fastcall_InitHdr(uint8_t *header, uint8_t *msgHeader, uint32_t descriptorCount,
                                    uint32_t opcode, uint32_t totalSize, const void *tableAddress,
                                    uint32_t *paramOffset);
uint32_t SEPDriver_Fastcall_WriteParameter(const void *data, uint32_t length, uint32_t maxLength,
                                           uint32_t *offset, uint32_t unused, uint8_t *frame);
uint32_t SEPDriver_Fastcall_ReadParameter(void *data, uint32_t length, uint32_t maxLength,
                                          uint32_t *offset, uint32_t unused, const uint8_t *frame);
uint32_t SEPDriver_Fastcall_Validate(const uint8_t *reply, uint32_t opcode, uint32_t status,
                                     uint32_t *offset);

#ifdef __cplusplus
}
#endif

#endif
