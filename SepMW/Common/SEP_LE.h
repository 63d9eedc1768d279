/* Little-endian access to wire formats (message frames, fastcall frames, queue status,
 * storage requests). Never lay a struct over these buffers. */
#ifndef SEP_LE_H
#define SEP_LE_H

#include <stdint.h>

static inline uint32_t SEP_GetLE32(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

static inline uint16_t SEP_GetLE16(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint16_t)(b[0] | (b[1] << 8));
}

static inline uint64_t SEP_GetLE64(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint64_t)SEP_GetLE32(b) | ((uint64_t)SEP_GetLE32(b + 4) << 32);
}

static inline void SEP_PutLE32(void *p, uint32_t v)
{
    uint8_t *b = (uint8_t *)p;
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
    b[2] = (uint8_t)(v >> 16);
    b[3] = (uint8_t)(v >> 24);
}

static inline void SEP_PutLE16(void *p, uint16_t v)
{
    uint8_t *b = (uint8_t *)p;
    b[0] = (uint8_t)v;
    b[1] = (uint8_t)(v >> 8);
}

static inline void SEP_PutLE64(void *p, uint64_t v)
{
    SEP_PutLE32(p, (uint32_t)v);
    SEP_PutLE32((uint8_t *)p + 4, (uint32_t)(v >> 32));
}

/* An address travels as a 64-bit word, so that it is whole on every build. */
static inline void SEP_PutAddr(void *p, const void *addr)
{
    SEP_PutLE64(p, (uint64_t)(uintptr_t)addr);
}

static inline void *SEP_GetAddr(const void *p)
{
    return (void *)(uintptr_t)SEP_GetLE64(p);
}

#endif
