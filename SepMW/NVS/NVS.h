/* NVS: the host's storage service for the SEP, with a write-back block cache per file. */
#ifndef NVS_H
#define NVS_H

#include <stdint.h>

#include "../VOS6/IFLayer/DX_VOS.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NVS_MAX_IDS 10u
#define NVS_NAME_SIZE 256u
#define NVS_BLOCK_SIZE 1024u
/* The SEP chooses the block count of a cache: at most this many blocks (1 MiB of block memory
 * and 32 KiB of entries) are granted; a larger request is refused. */
#define NVS_CACHE_MAX_BLOCKS 1024u
#define NVS_CACHE_MAX_BYTES (NVS_CACHE_MAX_BLOCKS * NVS_BLOCK_SIZE)

#define NVS_ERR_BAD_ID 0xAB000000u
#define NVS_ERR_FILE 0xAB000001u
#define NVS_ERR_BAD_REQUEST 0xAB000002u
#define NVS_ERR_CACHE 0xAB000004u
#define NVS_ERR_OPEN 0xAB000005u
#define NVS_ERR_CACHE_CONFLICT 0xAB000008u

/* Storage requests of the SEP. */
#define NVS_OP_READ_SHARED 0x600u
#define NVS_OP_WRITE_SHARED 0x601u
#define NVS_OP_READ_INLINE 0x602u
#define NVS_OP_WRITE_INLINE 0x603u
#define NVS_OP_OPEN 0x604u
#define NVS_OP_CLOSE 0x605u
#define NVS_OP_INIT_CACHE 0x606u
#define NVS_OP_ENABLE_CACHE 0x607u
#define NVS_OP_DISABLE_CACHE 0x608u
#define NVS_OP_FLUSH_CACHE 0x609u

#define NVS_MODE_READ_WRITE 0u
#define NVS_MODE_CREATE 1u

typedef struct {
    uint64_t block; /* file offset / NVS_BLOCK_SIZE */
    uint8_t *data;
    uint64_t stamp; /* counter value at the last add or use */
    uint32_t valid;
    uint32_t dirty;
} NvsCacheEntry;

typedef struct {
    uint8_t *memory;
    NvsCacheEntry *entries;
    uint32_t count;
    uint64_t stamp;
} NvsCache;

typedef struct {
    uint32_t reserved; /* 1 while the file is open */
    DxVosFile handle;
    uint64_t size;
    char name[NVS_NAME_SIZE];
    uint32_t cacheEnabled;
    uint32_t cacheInitialised;
    NvsCache cache;
} NvsMapEntry;

extern NvsMapEntry s_MapArray[NVS_MAX_IDS];

/* Assigns the file behind a storage id (nothing in imageverify does). */
DxStatus NVS_SetFileName(uint32_t id, const char *name);

uint32_t NVSHost_Parser(void);

DxStatus NVS_FileOpen(uint32_t id, uint32_t mode);
DxStatus NVS_FileClose(uint32_t id);
DxStatus NVS_Read(uint32_t id, uint64_t offset, uint8_t *buffer, uint32_t size, uint32_t *count);
DxStatus NVS_Write(uint32_t id, uint64_t offset, const uint8_t *data, uint32_t length,
                   uint32_t *count);
DxStatus NVS_InitCache(uint32_t id, uint32_t blocks);
DxStatus NVS_EnableCache(uint32_t id);
DxStatus NVS_DisableCache(uint32_t id);
DxStatus NVS_FlushCache(uint32_t id);

int NvsCacheInit(NvsCache *cache, uint32_t count);
uint8_t *NvsCacheGet(NvsCache *cache, uint64_t block);
int NvsCacheAdd(NvsCache *cache, uint64_t block, const uint8_t *data, uint32_t dirty);
int NvsCacheUpdate(NvsCache *cache, uint64_t block, uint32_t dirty);
uint8_t *NvsCacheRemoveDirty(NvsCache *cache, uint64_t *block);
int NvsCacheClearAll(NvsCache *cache);
int NvsCacheDirtyEntriesExistInRange(const NvsCache *cache, uint64_t first, uint64_t last);
int NvsCacheValidEntriesExistInRange(const NvsCache *cache, uint64_t first, uint64_t last);
/* Copies bytes written to the file at offset into the cached blocks they cover. */
void NvsCacheCopyIn(NvsCache *cache, uint64_t offset, const uint8_t *data, uint32_t length);
/* Forgets every block, dirty or not. */
void NvsCacheDropAll(NvsCache *cache);

#ifdef __cplusplus
}
#endif

#endif
