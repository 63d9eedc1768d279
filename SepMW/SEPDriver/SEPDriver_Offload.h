/* Where a hash runs: on the SEP, or on the host while the SEP's queue is loaded. */
#ifndef SEP_DRIVER_OFFLOAD_H
#define SEP_DRIVER_OFFLOAD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SEP_DMA_OUTPUT_WORDS 5

int32_t SEPDriver_OffloadDecisionIA(uint32_t opcode, uint32_t length, void *context);
int SEPDriver_OffloadedIACtx(void *context);
int SEPDriver_OffloadedIACtx_Clean(void *context);

/* One 40-byte DMA descriptor over the whole blocks of the data; zeroes the given output words. */
uint32_t SEPDriver_FastCall_PrepareSymDMAHdr(uint8_t *descriptor, const void *data, uint32_t length,
                                             uint32_t blockSize, uint32_t *out1, uint32_t *out2,
                                             uint32_t *out3, uint32_t *out4, uint32_t *out5);

#ifdef __cplusplus
}
#endif

#endif
