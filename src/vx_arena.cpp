// Arena allocator: bump allocation inside a chain of large blocks.
#include "vexal.h"

#include <stdlib.h>
#include <string.h>

static const uint64_t ARENA_DEFAULT_BLOCK = 4194304;
static const uint64_t ARENA_MIN_BLOCK = 65536;

struct vx_arena_block {
    char *memory;
    uint64_t size;
    uint64_t offset;
    vx_arena_block *next;
};

struct vx_arena {
    vx_arena_block *head;
    vx_arena_block *tail;
    uint64_t block_size;
    uint64_t total;
    uint64_t used;
    const char *name;
};

// Links a fresh block of at least 64 KiB after the tail; null on failure,
// leaving the arena unchanged.
static vx_arena_block *arena_add_block(vx_arena *arena, uint64_t size) {
    if (size < ARENA_MIN_BLOCK) size = ARENA_MIN_BLOCK;
    vx_arena_block *block = (vx_arena_block *)malloc(sizeof(vx_arena_block));
    if (!block) return nullptr;
    block->memory = (char *)malloc(size);
    if (!block->memory) {
        free(block);
        return nullptr;
    }
    block->size = size;
    block->offset = 0;
    block->next = nullptr;
    if (arena->tail) arena->tail->next = block;
    else arena->head = block;
    arena->tail = block;
    arena->total += size;
    return block;
}

extern "C" VX_API vx_status vx_arena_create(uint64_t block_size, vx_arena **out) {
    if (!out) return VX_ERR_INVALID_ARG;
    vx_arena *arena = (vx_arena *)calloc(1, sizeof(vx_arena));
    if (!arena) return VX_ERR_NO_MEMORY;
    arena->block_size = block_size ? block_size : ARENA_DEFAULT_BLOCK;
    if (!arena_add_block(arena, arena->block_size)) {
        free(arena);
        return VX_ERR_NO_MEMORY;
    }
    *out = arena;
    return VX_OK;
}

extern "C" VX_API void vx_arena_destroy(vx_arena *arena) {
    if (!arena) return;
    vx_arena_block *block = arena->head;
    while (block) {
        vx_arena_block *next = block->next;
        free(block->memory);
        free(block);
        block = next;
    }
    free(arena);
}

extern "C" VX_API void *vx_arena_alloc(vx_arena *arena, uint64_t size) {
    if (!arena || size == 0 || size > UINT64_MAX - 7) return nullptr;
    uint64_t rounded = (size + 7) & ~(uint64_t)7;
    vx_arena_block *tail = arena->tail;
    if (!tail || tail->size - tail->offset < rounded) {
        uint64_t want = rounded > arena->block_size ? rounded : arena->block_size;
        tail = arena_add_block(arena, want);
        if (!tail) return nullptr;
    }
    void *p = tail->memory + tail->offset;
    tail->offset += rounded;
    arena->used += rounded;
    return p;
}

extern "C" VX_API void *vx_arena_calloc(vx_arena *arena, uint64_t count, uint64_t size) {
    if (!arena || count == 0 || size == 0) return nullptr;
    uint64_t bytes = count * size;
    if (bytes / size != count) return nullptr;
    void *p = vx_arena_alloc(arena, bytes);
    if (p) vx_memset(p, 0, bytes);
    return p;
}

extern "C" VX_API void *vx_arena_memdup(vx_arena *arena, const void *source, uint64_t size) {
    if (!arena || !source || size == 0) return nullptr;
    void *p = vx_arena_alloc(arena, size);
    if (p) vx_memcpy(p, source, size);
    return p;
}

extern "C" VX_API char *vx_arena_strdup(vx_arena *arena, const char *text) {
    if (!arena || !text) return nullptr;
    uint64_t n = strlen(text) + 1;
    char *p = (char *)vx_arena_alloc(arena, n);
    if (p) vx_memcpy(p, text, n);
    return p;
}

extern "C" VX_API void vx_arena_reset(vx_arena *arena) {
    if (!arena || !arena->head) return;
    vx_arena_block *head = arena->head;
    vx_arena_block *block = head->next;
    while (block) {
        vx_arena_block *next = block->next;
        arena->total -= block->size;
        free(block->memory);
        free(block);
        block = next;
    }
    head->offset = 0;
    head->next = nullptr;
    arena->tail = head;
    arena->used = 0;
    arena->total = head->size;
}

extern "C" VX_API uint64_t vx_arena_get_used_size(const vx_arena *arena) {
    return arena ? arena->used : 0;
}

extern "C" VX_API void vx_arena_stat(const vx_arena *arena, uint64_t *used, uint64_t *total) {
    if (used) *used = arena ? arena->used : 0;
    if (total) *total = arena ? arena->total : 0;
}

extern "C" VX_API const char *vx_arena_get_name(const vx_arena *arena) {
    return arena && arena->name ? arena->name : "(unnamed)";
}

extern "C" VX_API uint64_t vx_arena_get_block_count(const vx_arena *arena) {
    uint64_t n = 0;
    if (!arena) return 0;
    for (const vx_arena_block *b = arena->head; b; b = b->next) n++;
    return n;
}
