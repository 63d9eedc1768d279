/* Guarded heap and memory copies. */
#include "DX_VOS.h"

#include <stdlib.h>
#include <string.h>

#include "../../Common/SEP_LE.h"

#define MEM_MODULE 15u
#define MEM_SOURCE "SepMW/VOS6/IFLayer/dx_vos_mem"
#define MEM_LINE_ZERO_ALLOC 52u
#define MEM_LINE_ALLOC_FAILED 61u
#define MEM_LINE_SUFFIX_CORRUPT 84u
#define MEM_LINE_PREFIX_CORRUPT 89u
#define MEM_LINE_MEMCPY_RESULT 112u
#define MEM_LINE_FASTMEMCPY_NULL 127u

#define MEM_HEADER_SIZE 8u /* size word, prefix word */
#define MEM_GUARD_SIZE 12u /* header plus suffix word */

uint32_t DxMemoryUsage = 0;

void *_DX_VOS_MemMalloc(uint32_t size)
{
    if (size == 0) {
        DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_ZERO_ALLOC, __func__, 30,
                          "Warning: Request for allocation of 0 bytes.");
        return NULL;
    }
    /* The padded size and the guard words must not wrap. */
    if (size > UINT32_MAX - 3u - MEM_GUARD_SIZE) {
        DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_ALLOC_FAILED, __func__, 10,
                          "Error: Allocation of %d bytes failed.", size);
        return NULL;
    }
    uint32_t padded = (size + 3u) & ~3u;
    uint8_t *block = (uint8_t *)malloc((size_t)padded + MEM_GUARD_SIZE);
    if (block == NULL) {
        DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_ALLOC_FAILED, __func__, 10,
                          "Error: Allocation of %d bytes failed.", size);
        return NULL;
    }
    SEP_PutLE32(block, size);
    SEP_PutLE32(block + 4, DX_VOS_HEAP_PREFIX);
    SEP_PutLE32(block + MEM_HEADER_SIZE + padded, DX_VOS_HEAP_SUFFIX);
    DxMemoryUsage += size;
    return block + MEM_HEADER_SIZE;
}

void _DX_VOS_MemFree(void *ptr)
{
    if (ptr == NULL)
        return;
    uint8_t *block = (uint8_t *)ptr - MEM_HEADER_SIZE;
    uint32_t size = SEP_GetLE32(block);
    uint32_t prefix = SEP_GetLE32(block + 4);
    if (prefix == DX_VOS_HEAP_PREFIX) {
        uint32_t padded = (size + 3u) & ~3u;
        if (SEP_GetLE32(block + MEM_HEADER_SIZE + padded) != DX_VOS_HEAP_SUFFIX) {
            DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_SUFFIX_CORRUPT, __func__, 40,
                              "Heap suffix is corrupt at address 0x%08x", (uint32_t)(uintptr_t)ptr);
        }
        DxMemoryUsage -= size;
    } else {
        /* Without a whole prefix the size word cannot be trusted to find the suffix. */
        DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_PREFIX_CORRUPT, __func__, 40,
                          "Heap prefix is corrupt at address 0x%08x", (uint32_t)(uintptr_t)ptr);
    }
    free(block);
}

DxStatus DX_VOS_MemCpy(void *dst, uint32_t dstSize, const void *src, uint32_t count)
{
    if (count == 0 || dst == src)
        return DX_SUCCESS;
    if (dst == NULL || src == NULL)
        return DX_BAD_ARGUMENTS;
    DxStatus result = DX_SUCCESS;
    if (count > dstSize) {
        count = dstSize;
        result = DX_BUFFER_IS_NOT_BIG_ENOUGH;
        DxErrorStack_Add(MEM_SOURCE, MEM_LINE_MEMCPY_RESULT, __func__, result, "result");
    }
    memmove(dst, src, count);
    return result;
}

void DX_VOS_FastMemCpy(void *dst, const void *src, uint32_t count)
{
    if (count == 0)
        return;
    if (dst == NULL || src == NULL) {
        DX_VOS_DebugPrint(MEM_MODULE, MEM_SOURCE, MEM_LINE_FASTMEMCPY_NULL, __func__, 10,
                          "NULL pointer was transfered to DX_VOS_FastMemCpy");
        return;
    }
    memmove(dst, src, count);
}

void DX_VOS_MemSet6(void *ptr, uint8_t value, uint32_t count)
{
    if (ptr != NULL && count != 0)
        memset(ptr, value, count);
}

void DX_VOS_MemSetZero6(void *ptr, uint32_t count)
{
    DX_VOS_MemSet6(ptr, 0, count);
}
