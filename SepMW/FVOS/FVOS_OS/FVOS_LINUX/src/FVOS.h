/* FVOS: access to the SEP kernel driver (device file, shared mapping, poll, ioctl, sysfs). */
#ifndef FVOS_H
#define FVOS_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FVOS_OK 0u
#define FVOS_TIMEOUT 1u
#define FVOS_NOT_OPEN 2u
#define FVOS_MMAP_FAILED 3u
#define FVOS_BUSY 7u
#define FVOS_FAILED 9u
#define FVOS_DEVICE_ERROR 13u

#define FVOS_SEP_DEVICE_PATH "/dev/sep_sec_driver"
#define FVOS_QUEUE_STATUS_PATH "/sys/devices/virtual/misc/sep_sec_driver/queue_status"

/* Shared mapping of the device, present only inside a transaction. */
#define FVOS_SHARED_AREA_SIZE 0x7000u
#define FVOS_MESSAGE_AREA_OFFSET 8u
#define FVOS_MESSAGE_AREA_SIZE (FVOS_SHARED_AREA_SIZE - FVOS_MESSAGE_AREA_OFFSET)
#define FVOS_PRINTF_AREA_OFFSET 0x1700u
#define FVOS_PRINTF_AREA_SIZE (FVOS_SHARED_AREA_SIZE - FVOS_PRINTF_AREA_OFFSET)

/* Queue-status attribute: item count, then 10 items of 28 bytes (type in the first word). */
#define FVOS_QUEUE_STATUS_SIZE 284u
#define FVOS_QUEUE_ITEMS 10u
#define FVOS_QUEUE_ITEM_SIZE 28u
#define FVOS_QUEUE_ITEMS_OFFSET 4u

/* Poll status: reply ready, a text from the SEP in the printf area. Any other event is the
 * SEP calling back to the host. */
#define FVOS_POLL_REPLY_READY 1u
#define FVOS_POLL_SEP_PRINTF 4u

/* Control codes of the driver. */
#define FVOS_IOCTL_SEND_MSG 0x7300ul
#define FVOS_IOCTL_SEND_REPLY 0x7301ul
#define FVOS_IOCTL_ALLOC_DATA_POOL 0x40087302ul
#define FVOS_IOCTL_FREE_DMA 0x7308ul
#define FVOS_IOCTL_SET_FLOW_ID 0x4028730Dul
#define FVOS_IOCTL_REALLOC_EXT_CACHE 0x730Eul
#define FVOS_IOCTL_END_TRANSACTION 0x730Ful
#define FVOS_IOCTL_ADD_FLOW_TABLE 0x40107312ul
#define FVOS_IOCTL_GET_STATIC_POOL 0x40087314ul
#define FVOS_IOCTL_SET_API_MODE 0x40187322ul
#define FVOS_IOCTL_BUILD_SYM_DMA 0x40287323ul
#define FVOS_IOCTL_FREE_SYM_DMA 0x7324ul
#define FVOS_IOCTL_BUILD_SYM_DMA_LLI 0x40287326ul
#define FVOS_IOCTL_FREE_SYM_DMA_LLI 0x7327ul
#define FVOS_IOCTL_RESET_RESOURCES 0x7330ul

/* FVOS_Cntrl commands. */
#define FVOS_CNTRL_SEND_MSG_RDY 1u
#define FVOS_CNTRL_SEND_RPLY_MSG_RDY 2u
#define FVOS_CNTRL_ALLOC_MEM 3u
#define FVOS_CNTRL_COPY_TO_POOL 4u
#define FVOS_CNTRL_COPY_FROM_POOL 5u
#define FVOS_CNTRL_BUILD_SYM_DMA 7u
#define FVOS_CNTRL_BUILD_SYM_DMA_LLI 8u
#define FVOS_CNTRL_FREE_SYM_DMA 10u
#define FVOS_CNTRL_FREE_SYM_DMA_LLI 11u
#define FVOS_CNTRL_FREE_DMA 13u
#define FVOS_CNTRL_FREE_MEM 15u
#define FVOS_CNTRL_REALLOC_CACHE 16u
#define FVOS_CNTRL_SEP_INIT 17u
#define FVOS_CNTRL_SET_FLOW_ID 19u
#define FVOS_CNTRL_ADD_FLOW 23u
#define FVOS_CNTRL_GET_STATIC_POOL 24u
#define FVOS_CNTRL_SET_API_MODE 25u
#define FVOS_CNTRL_RESET 27u

/* A command record: words that carry addresses are pointer-wide, so all of them are. */
#define FVOS_CNTRL_RECORD_WORDS 8
typedef uintptr_t FVOS_CntrlRecord[FVOS_CNTRL_RECORD_WORDS];

extern int g_FD;
extern int g_sysfsFD;
extern uint8_t *g_StartMapAddress;
extern uint8_t *g_SharedRamAddr;
extern uint8_t *g_PrintfSharedRamAddr;
extern pthread_mutex_t gStateMutex;

uint32_t FVOS_Init(const char *devicePath);
uint32_t FVOS_Mmap(uint8_t **messageArea);
uint32_t FVOS_GetPrintfBuffer(uint8_t **address);
uint32_t FVOS_StartTransaction(void);
uint32_t FVOS_EndTransaction(void);
uint32_t FVOS_Poll(int timeoutMs, uint32_t *status);
int32_t FVOS_QueueStatusGet(uint8_t *buffer);
ssize_t FVOS_Fastcall_Write(const uint8_t *buffer, uint32_t length);
ssize_t FVOS_Fastcall_Read(uint8_t *buffer, uint32_t size);
int32_t FVOS_Cntrl(uint32_t command, uintptr_t *record);

#ifdef __cplusplus
}
#endif

#endif
