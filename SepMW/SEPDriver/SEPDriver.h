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
/* Consecutive callbacks that bring nothing new, after which a wait gives up: the message area
 * still held the host's last reply, or the request, the reply and the data moved were those of an
 * earlier callback of the wait. A callback that brings something new, refused or not, starts the
 * run again. A working SEP retries a request a few times, and one that goes over what it knows
 * again (the same closes, the same reads) makes runs of tens; a stuck one is served this many
 * times more (a poll, a parse and a reply each, microseconds) before the wait ends. */
#define SEP_WAIT_MAX_FRUITLESS_CALLBACKS 256u
/* What the callbacks of one wait did is remembered for this many distinct callbacks (64 KiB);
 * past that, and when memory runs out, only the latest SEP_WAIT_MAX_FRUITLESS_CALLBACKS are. */
#define SEP_WAIT_MAX_DIGESTS 4096u

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
 * address when they lie inside the area; SEP_DRIVER_ERR_PARAM_LENGTH when they do not. */
uint32_t SEPDriver_SharedData(uint32_t offset, uint64_t size, uint8_t **address);
/* The transfer of the data last given by SEPDriver_SharedData is made: the wait counts those
 * bytes, as they are now, as what the callback moved. Called before the reply. */
void SEPDriver_SharedDataMoved(void);

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
