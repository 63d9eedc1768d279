/* Block cache of a storage file: fixed entries of NVS_BLOCK_SIZE bytes. */
#include "NVS.h"

#include <string.h>

int NvsCacheInit(NvsCache *cache, uint32_t count)
{
    memset(cache, 0, sizeof *cache);
    if (count == 0)
        return 1;
    if (count > NVS_CACHE_MAX_BLOCKS)
        return 0;
    cache->memory = (uint8_t *)_DX_VOS_MemMalloc(count * NVS_BLOCK_SIZE);
    cache->entries = (NvsCacheEntry *)_DX_VOS_MemMalloc(count * (uint32_t)sizeof(NvsCacheEntry));
    if (cache->memory == NULL || cache->entries == NULL) {
        _DX_VOS_MemFree(cache->memory);
        _DX_VOS_MemFree(cache->entries);
        memset(cache, 0, sizeof *cache);
        return 0;
    }
    memset(cache->entries, 0, count * sizeof(NvsCacheEntry));
    for (uint32_t i = 0; i < count; i++)
        cache->entries[i].data = cache->memory + (size_t)i * NVS_BLOCK_SIZE;
    cache->count = count;
    return 1;
}

static NvsCacheEntry *FindEntry(const NvsCache *cache, uint64_t block)
{
    for (uint32_t i = 0; i < cache->count; i++)
        if (cache->entries[i].valid && cache->entries[i].block == block)
            return &cache->entries[i];
    return NULL;
}

uint8_t *NvsCacheGet(NvsCache *cache, uint64_t block)
{
    NvsCacheEntry *entry = FindEntry(cache, block);
    if (entry == NULL)
        return NULL;
    entry->stamp = ++cache->stamp;
    return entry->data;
}

/* A free entry, else the clean entry used least recently. */
static NvsCacheEntry *ChooseEntry(NvsCache *cache)
{
    NvsCacheEntry *victim = NULL;
    for (uint32_t i = 0; i < cache->count; i++) {
        NvsCacheEntry *e = &cache->entries[i];
        if (!e->valid)
            return e;
        if (!e->dirty && (victim == NULL || e->stamp < victim->stamp))
            victim = e;
    }
    return victim;
}

int NvsCacheAdd(NvsCache *cache, uint64_t block, const uint8_t *data, uint32_t dirty)
{
    if (FindEntry(cache, block) != NULL)
        return 0;
    NvsCacheEntry *entry = ChooseEntry(cache);
    if (entry == NULL)
        return 0;
    memcpy(entry->data, data, NVS_BLOCK_SIZE);
    entry->block = block;
    entry->valid = 1;
    entry->dirty = dirty ? 1 : 0;
    entry->stamp = ++cache->stamp;
    return 1;
}

int NvsCacheUpdate(NvsCache *cache, uint64_t block, uint32_t dirty)
{
    NvsCacheEntry *entry = FindEntry(cache, block);
    if (entry == NULL)
        return 0;
    entry->dirty = dirty ? 1 : 0;
    entry->stamp = ++cache->stamp;
    return 1;
}

uint8_t *NvsCacheRemoveDirty(NvsCache *cache, uint64_t *block)
{
    for (uint32_t i = 0; i < cache->count; i++) {
        NvsCacheEntry *e = &cache->entries[i];
        if (e->valid && e->dirty) {
            e->dirty = 0;
            if (block != NULL)
                *block = e->block;
            return e->data;
        }
    }
    return NULL;
}

void NvsCacheDropAll(NvsCache *cache)
{
    for (uint32_t i = 0; i < cache->count; i++) {
        NvsCacheEntry *e = &cache->entries[i];
        e->block = 0;
        e->stamp = 0;
        e->valid = 0;
        e->dirty = 0;
    }
}

int NvsCacheClearAll(NvsCache *cache)
{
    if (NvsCacheDirtyEntriesExistInRange(cache, 0, UINT64_MAX))
        return 0;
    NvsCacheDropAll(cache);
    return 1;
}

void NvsCacheCopyIn(NvsCache *cache, uint64_t offset, const uint8_t *data, uint32_t length)
{
    uint64_t end = offset + length;
    for (uint32_t i = 0; i < cache->count; i++) {
        NvsCacheEntry *e = &cache->entries[i];
        if (!e->valid)
            continue;
        uint64_t start = e->block * NVS_BLOCK_SIZE;
        uint64_t from = offset > start ? offset : start;
        uint64_t to = end < start + NVS_BLOCK_SIZE ? end : start + NVS_BLOCK_SIZE;
        if (from < to)
            memcpy(e->data + (from - start), data + (from - offset), (size_t)(to - from));
    }
}

int NvsCacheDirtyEntriesExistInRange(const NvsCache *cache, uint64_t first, uint64_t last)
{
    for (uint32_t i = 0; i < cache->count; i++) {
        const NvsCacheEntry *e = &cache->entries[i];
        if (e->valid && e->dirty && e->block >= first && e->block <= last)
            return 1;
    }
    return 0;
}

int NvsCacheValidEntriesExistInRange(const NvsCache *cache, uint64_t first, uint64_t last)
{
    for (uint32_t i = 0; i < cache->count; i++) {
        const NvsCacheEntry *e = &cache->entries[i];
        if (e->valid && e->block >= first && e->block <= last)
            return 1;
    }
    return 0;
}
