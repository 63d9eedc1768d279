/* Storage files of the SEP, read and written directly or through the block cache. */
#include "NVS.h"

#include <stdio.h>
#include <string.h>

NvsMapEntry s_MapArray[NVS_MAX_IDS];

static size_t Pad4(uint32_t n)
{
    return ((size_t)n + 3u) & ~(size_t)3u;
}

static NvsMapEntry *EntryOf(uint32_t id)
{
    return id < NVS_MAX_IDS ? &s_MapArray[id] : NULL;
}

DxStatus NVS_SetFileName(uint32_t id, const char *name)
{
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    return DX_VOS_StrNCopy(entry->name, sizeof entry->name, name != NULL ? name : "");
}

static void RaiseSize(NvsMapEntry *entry, uint64_t end)
{
    if (end > entry->size)
        entry->size = end;
}

/* Reads what the file holds at offset; bytes past its end stay as they are. */
static DxStatus ReadAt(NvsMapEntry *entry, uint64_t offset, uint8_t *buffer, uint32_t size)
{
    if (DX_VOS_FSeekEx(entry->handle, (int64_t)offset, SEEK_SET) != DX_SUCCESS)
        return NVS_ERR_FILE;
    uint32_t done = 0;
    while (done < size) {
        int32_t got = 0;
        DX_VOS_FReadEx(entry->handle, buffer + done, size - done, &got);
        if (got < 0)
            return NVS_ERR_FILE;
        if (got == 0)
            break;
        done += (uint32_t)got;
    }
    return DX_SUCCESS;
}

static DxStatus WriteAt(NvsMapEntry *entry, uint64_t offset, const uint8_t *data, uint32_t length)
{
    if (DX_VOS_FSeekEx(entry->handle, (int64_t)offset, SEEK_SET) != DX_SUCCESS ||
        DX_VOS_FWrite(entry->handle, data, length) != DX_SUCCESS)
        return NVS_ERR_FILE;
    RaiseSize(entry, offset + length);
    return DX_SUCCESS;
}

/* Writes the cache's dirty blocks to the file. A block that fails stays dirty. */
static DxStatus WriteBackDirty(NvsMapEntry *entry)
{
    uint64_t block = 0;
    uint8_t *data;
    while ((data = NvsCacheRemoveDirty(&entry->cache, &block)) != NULL) {
        if (!entry->reserved || WriteAt(entry, block * NVS_BLOCK_SIZE, data, NVS_BLOCK_SIZE) != DX_SUCCESS) {
            NvsCacheUpdate(&entry->cache, block, 1);
            return NVS_ERR_FILE;
        }
    }
    return DX_SUCCESS;
}

DxStatus NVS_FileOpen(uint32_t id, uint32_t mode)
{
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    if (mode != NVS_MODE_READ_WRITE && mode != NVS_MODE_CREATE)
        return NVS_ERR_OPEN;
    if (entry->reserved) {
        DxStatus closed = NVS_FileClose(id);
        if (closed != DX_SUCCESS)
            return closed;
    }
    DxVosFile handle = 0;
    if (DX_VOS_FOpen(&handle, entry->name, mode == NVS_MODE_READ_WRITE ? "r+b" : "w+b") !=
        DX_SUCCESS)
        return NVS_ERR_OPEN;
    entry->handle = handle;
    entry->reserved = 1;
    uint64_t size = 0;
    DX_VOS_FGetFileSize(handle, &size);
    entry->size = size;
    return DX_SUCCESS;
}

DxStatus NVS_FileClose(uint32_t id)
{
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    if (!entry->reserved)
        return DX_SUCCESS;
    /* Dirty blocks that cannot be written keep the file open, so that nothing is lost. */
    if (WriteBackDirty(entry) != DX_SUCCESS)
        return NVS_ERR_FILE;
    if (entry->cacheEnabled)
        DX_VOS_FFlush(entry->handle);
    /* The blocks are this file's: the next file opened under the id starts without them. */
    NvsCacheDropAll(&entry->cache);
    /* Open state is the reserved word: the descriptor may well be 0. */
    DX_VOS_BaseFClose(entry->handle);
    entry->handle = 0;
    entry->reserved = 0;
    return DX_SUCCESS;
}

static DxStatus CacheRead(NvsMapEntry *entry, uint64_t offset, uint8_t *buffer, uint32_t size)
{
    NvsCache *cache = &entry->cache;
    uint64_t first = offset / NVS_BLOCK_SIZE;
    uint64_t last = (offset + size - 1) / NVS_BLOCK_SIZE;
    if (last - first + 1 > cache->count / 2) {
        if (NvsCacheDirtyEntriesExistInRange(cache, first, last))
            return NVS_ERR_CACHE_CONFLICT;
        return ReadAt(entry, offset, buffer, size);
    }
    uint32_t done = 0;
    for (uint64_t block = first; block <= last; block++) {
        uint32_t inBlock = block == first ? (uint32_t)(offset % NVS_BLOCK_SIZE) : 0;
        uint32_t chunk = NVS_BLOCK_SIZE - inBlock;
        if (chunk > size - done)
            chunk = size - done;
        const uint8_t *data = NvsCacheGet(cache, block);
        uint8_t fresh[NVS_BLOCK_SIZE];
        if (data == NULL) {
            memset(fresh, 0, sizeof fresh);
            if (ReadAt(entry, block * NVS_BLOCK_SIZE, fresh, NVS_BLOCK_SIZE) != DX_SUCCESS)
                return NVS_ERR_FILE;
            if (!NvsCacheAdd(cache, block, fresh, 0))
                return NVS_ERR_CACHE_CONFLICT;
            data = fresh;
        }
        memcpy(buffer + done, data + inBlock, chunk);
        done += chunk;
    }
    return DX_SUCCESS;
}

static DxStatus CacheWrite(NvsMapEntry *entry, uint64_t offset, const uint8_t *data,
                           uint32_t length)
{
    NvsCache *cache = &entry->cache;
    uint64_t first = offset / NVS_BLOCK_SIZE;
    uint64_t last = (offset + length - 1) / NVS_BLOCK_SIZE;
    if (last - first + 1 > cache->count / 2) {
        if (NvsCacheValidEntriesExistInRange(cache, first, last))
            return NVS_ERR_CACHE_CONFLICT;
        if (WriteAt(entry, offset, data, length) != DX_SUCCESS ||
            DX_VOS_FFlush(entry->handle) != DX_SUCCESS)
            return NVS_ERR_FILE;
        return DX_SUCCESS;
    }
    /* Every block of the range ends up dirty in the cache: refuse before changing anything
     * when the dirty blocks outside the range leave too little room. */
    uint32_t dirtyOutside = 0;
    for (uint32_t i = 0; i < cache->count; i++) {
        const NvsCacheEntry *e = &cache->entries[i];
        if (e->valid && e->dirty && (e->block < first || e->block > last))
            dirtyOutside++;
    }
    if (last - first + 1 + dirtyOutside > cache->count)
        return NVS_ERR_CACHE_CONFLICT;
    uint32_t done = 0;
    for (uint64_t block = first; block <= last; block++) {
        uint32_t inBlock = block == first ? (uint32_t)(offset % NVS_BLOCK_SIZE) : 0;
        uint32_t chunk = NVS_BLOCK_SIZE - inBlock;
        if (chunk > length - done)
            chunk = length - done;
        uint8_t *cached = NvsCacheGet(cache, block);
        if (cached != NULL) {
            memcpy(cached + inBlock, data + done, chunk);
            NvsCacheUpdate(cache, block, 1);
        } else if (chunk == NVS_BLOCK_SIZE) {
            if (!NvsCacheAdd(cache, block, data + done, 1))
                return NVS_ERR_CACHE_CONFLICT;
        } else {
            uint8_t merged[NVS_BLOCK_SIZE];
            memset(merged, 0, sizeof merged);
            if (ReadAt(entry, block * NVS_BLOCK_SIZE, merged, NVS_BLOCK_SIZE) != DX_SUCCESS)
                return NVS_ERR_FILE;
            memcpy(merged + inBlock, data + done, chunk);
            if (!NvsCacheAdd(cache, block, merged, 1))
                return NVS_ERR_CACHE_CONFLICT;
        }
        done += chunk;
    }
    return DX_SUCCESS;
}

DxStatus NVS_Read(uint32_t id, uint64_t offset, uint8_t *buffer, uint32_t size, uint32_t *count)
{
    *count = 0;
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    if (size == 0)
        return DX_SUCCESS;
    if (!entry->reserved)
        return NVS_ERR_FILE;
    memset(buffer, 0, Pad4(size));
    DxStatus status = entry->cacheEnabled ? CacheRead(entry, offset, buffer, size)
                                          : ReadAt(entry, offset, buffer, size);
    if (status != DX_SUCCESS)
        return status;
    *count = size;
    return DX_SUCCESS;
}

DxStatus NVS_Write(uint32_t id, uint64_t offset, const uint8_t *data, uint32_t length,
                   uint32_t *count)
{
    *count = 0;
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    if (length == 0)
        return DX_SUCCESS;
    if (!entry->reserved)
        return NVS_ERR_FILE;
    DxStatus status;
    if (entry->cacheEnabled) {
        status = CacheWrite(entry, offset, data, length);
    } else {
        status = WriteAt(entry, offset, data, length);
        /* A cached copy of a block written here would be stale when the cache is enabled again. */
        if (status == DX_SUCCESS)
            NvsCacheCopyIn(&entry->cache, offset, data, length);
        if (status == DX_SUCCESS && DX_VOS_FFlush(entry->handle) != DX_SUCCESS)
            status = NVS_ERR_FILE;
    }
    if (status != DX_SUCCESS)
        return status;
    *count = length;
    return DX_SUCCESS;
}

DxStatus NVS_InitCache(uint32_t id, uint32_t blocks)
{
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    if (entry->cacheInitialised)
        return DX_SUCCESS;
    if (!NvsCacheInit(&entry->cache, blocks))
        return NVS_ERR_CACHE;
    entry->cacheInitialised = 1;
    return DX_SUCCESS;
}

static NvsMapEntry *CacheEntryOf(uint32_t id, DxStatus *status)
{
    NvsMapEntry *entry = EntryOf(id);
    *status = entry == NULL ? NVS_ERR_BAD_ID : !entry->cacheInitialised ? NVS_ERR_CACHE : DX_SUCCESS;
    return *status == DX_SUCCESS ? entry : NULL;
}

DxStatus NVS_EnableCache(uint32_t id)
{
    DxStatus status;
    NvsMapEntry *entry = CacheEntryOf(id, &status);
    if (entry != NULL)
        entry->cacheEnabled = 1;
    return status;
}

DxStatus NVS_DisableCache(uint32_t id)
{
    DxStatus status;
    NvsMapEntry *entry = CacheEntryOf(id, &status);
    if (entry == NULL)
        return status;
    /* Reads and writes go straight to the file from now on: it gets the dirty blocks first, and
     * the cache stays enabled when it cannot. */
    status = WriteBackDirty(entry);
    if (status != DX_SUCCESS)
        return status;
    if (entry->reserved && DX_VOS_FFlush(entry->handle) != DX_SUCCESS)
        return NVS_ERR_FILE;
    entry->cacheEnabled = 0;
    return DX_SUCCESS;
}

DxStatus NVS_FlushCache(uint32_t id)
{
    NvsMapEntry *entry = EntryOf(id);
    if (entry == NULL)
        return NVS_ERR_BAD_ID;
    DxStatus status = WriteBackDirty(entry);
    if (status != DX_SUCCESS)
        return status;
    NvsCacheClearAll(&entry->cache);
    if (entry->reserved && DX_VOS_FFlush(entry->handle) != DX_SUCCESS)
        return NVS_ERR_FILE;
    return DX_SUCCESS;
}
